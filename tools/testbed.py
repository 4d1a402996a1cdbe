#!/usr/bin/env python3
"""The hermetic Wine test bed: the one place that knows how to run Windows programs here.

Everything lives below the build folder:

  <build>/certs/            test CA and server certificates (make_certs)
  <build>/wine/template/    a booted prefix that trusts the test CA and has tar.exe
  <build>/wine/home/        the template's HOME
  <build>/wine/runs/NAME-PID-N/
      prefix/               a copy of the template, one per session
      home/ xdg/ tmp/       that session's HOME, XDG folders and TMPDIR
      xvfb.log out-*.txt    its X server's and its programs' output

Python:

  import testbed
  testbed.make_certs(build)                 # -> Path of <build>/certs
  testbed.ensure_template(build)            # -> Path of the template prefix
  with testbed.WineSession(build, "name", dpi=144, display=True, hook=None) as s:
      s.run([exe, "arg"], timeout=120, env_extra=None)   # -> CompletedProcess (text)
      s.start([exe], env_extra=None)                     # -> Popen
      s.kill_all(); s.wait_idle(timeout=30)              # end the prefix's processes / wait
      s.win_path(unix_path); s.unix_path(r"C:\\users")    # Z:/C: mapping both ways
      s.prefix, s.run_dir, s.user, s.localappdata, s.temp_dir (Unix paths)
      s.find_windows(name=None, cls=None); s.wait_for_window(name=..., timeout=30)
      s.screenshot(png, window_id=None)
      s.failed = True                                    # keep the run folder

Environment knobs: NIMBREL_KEEP_RUNS=1 (keep every run folder), NIMBREL_WINEDEBUG
(WINEDEBUG for the programs, default -all), NIMBREL_FULL_COPY=1 (cp -a sessions),
NIMBREL_TEST_TIMEOUT (default of --timeout).

Command line:

  testbed.py run --build B [--dpi N] [--no-display] [--timeout S] [--keep] -- EXE [ARGS...]
  testbed.py template --build B
  testbed.py certs --build B

"run" exits with the program's exit code, 124 after a time-out. A session's
folder is removed when it ends well and kept (and named on stderr) when an
exception escaped it, the program failed, or NIMBREL_KEEP_RUNS=1.
"""

import argparse
import contextlib
import datetime
import fcntl
import hashlib
import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from collections import namedtuple
from pathlib import Path

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
XVFB = "/usr/bin/Xvfb"
IMPORT = "/usr/bin/import"
XWININFO = "/usr/bin/xwininfo"
OPENSSL = "/usr/bin/openssl"

DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"
SCREEN = "1920x1080x24"

# Changing the template recipe below? Bump this, so that old templates are rebuilt.
TEMPLATE_RECIPE = 2

# The Unix half of the tar shim (tests/support/tar_shim.cpp), installed as
# C:\windows\system32\nimbrel-tar-runner.sh. It gets a job folder whose file
# "args" holds NUL-terminated strings: the working folder, then bsdtar's
# arguments. It leaves bsdtar's output in "out" and "err" and its exit code in
# "rc" (written last, by rename, so that the shim never reads half of it).
TAR_RUNNER = r"""#!/bin/bash
job=$1
export PATH=/usr/bin:/bin LC_ALL=C.UTF-8
unset LANGUAGE
finish() { printf '%s\n' "$1" > "$job/rc.tmp" && mv -f "$job/rc.tmp" "$job/rc"; exit 0; }
[ -d "$job" ] || exit 2
mapfile -d '' -t args < "$job/args" || finish 2
cd "${args[0]}" || finish 2
/usr/bin/bsdtar "${args[@]:1}" < /dev/null > "$job/out" 2> "$job/err"
finish $?
"""

Window = namedtuple("Window", "id title res_name res_class x y w h")

_session_numbers = itertools.count(1)


class TestbedError(RuntimeError):
    pass


# ----------------------------------------------------------------- helpers

def _log(message):
    print(f"testbed: {message}", file=sys.stderr, flush=True)


@contextlib.contextmanager
def _locked(path, shared=False, timeout=900):
    """An fcntl lock on `path`, waited for at most `timeout` seconds."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a+") as handle:
        deadline = time.monotonic() + timeout
        mode = (fcntl.LOCK_SH if shared else fcntl.LOCK_EX) | fcntl.LOCK_NB
        while True:
            try:
                fcntl.flock(handle, mode)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TestbedError(f"lock {path} still held after {timeout} s")
                time.sleep(0.1)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def _write_atomically(path, text):
    tmp = path.with_name(f"{path.name}.{os.getpid()}.tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def _hermetic_env(home, xdg_root, tmp_dir, prefix):
    """The environment for every Wine, X and helper process of the bed."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("WINE", "XDG_", "LC_"))
           and k not in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                         "LANGUAGE", "TMPDIR", "TEMP", "TMP")}
    for sub in ("runtime", "cache", "config", "data", "state"):
        (xdg_root / sub).mkdir(parents=True, exist_ok=True)
    (xdg_root / "runtime").chmod(0o700)
    home.mkdir(parents=True, exist_ok=True)
    tmp_dir.mkdir(parents=True, exist_ok=True)
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG=os.environ.get("NIMBREL_WINEDEBUG", "-all"),
        WINEDLLOVERRIDES=DLL_OVERRIDES,
        HOME=str(home),
        XDG_RUNTIME_DIR=str(xdg_root / "runtime"),
        XDG_CACHE_HOME=str(xdg_root / "cache"),
        XDG_CONFIG_HOME=str(xdg_root / "config"),
        XDG_DATA_HOME=str(xdg_root / "data"),
        XDG_STATE_HOME=str(xdg_root / "state"),
        TMPDIR=str(tmp_dir),
        LANG="C.UTF-8",
        LC_ALL="C.UTF-8",
    )
    return env


def _run_bounded(argv, env, timeout, what, **kwargs):
    """Runs a helper command to its end within `timeout` seconds, or raises."""
    try:
        return subprocess.run(argv, env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace", **kwargs)
    except subprocess.TimeoutExpired as expired:
        raise TestbedError(f"{what} did not finish within {timeout} s") from expired


def _end_prefix(env, prefix, timeout=15):
    """Ends every process of a prefix: its wineserver, Windows processes and Unix strays."""
    try:
        subprocess.run([WINESERVER, "-k"], env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass
    try:
        subprocess.run([WINESERVER, "-w"], env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass
    _kill_strays(prefix)


def _kill_strays(prefix):
    """SIGKILLs every process that has WINEPREFIX=<prefix> in its environment or names the
    prefix in its command line: the wineserver, the Windows processes and the Unix programs
    they started (the tar runner, bsdtar)."""
    marker = os.fsencode(str(prefix))
    own = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == own:
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read()
        except OSError:
            continue
        if marker in cmdline or b"WINEPREFIX=" + marker + b"\0" in environ:
            with contextlib.suppress(OSError):
                os.kill(int(entry), signal.SIGKILL)


# ----------------------------------------------------------------- certificates

CERT_FILES = ("ca.pem", "ca.key", "server.pem", "server.key", "otherhost.pem", "otherhost.key",
              "untrusted.pem", "untrusted.key")

_OPENSSL_CONFIG = """\
[ca]
default_ca = test_ca

[test_ca]
dir = {dir}
database = $dir/index.txt
serial = $dir/serial
new_certs_dir = $dir/issued
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
preserve = no

[any_name]
commonName = supplied
organizationName = optional

[req]
distinguished_name = dn
prompt = no

[dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1

[otherhost_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:other.invalid

[untrusted_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
"""


def make_certs(build_dir):
    """Creates <build>/certs once: the test CA, a localhost server certificate it signs,
    one it signs for another host only, and a self-signed (untrusted) localhost one."""
    build = Path(build_dir).resolve()
    certs = build / "certs"
    if all((certs / name).exists() for name in CERT_FILES):
        return certs
    with _locked(build / "certs.lock"):
        if all((certs / name).exists() for name in CERT_FILES):
            return certs
        work = build / "certs.new"
        shutil.rmtree(work, ignore_errors=True)
        (work / "issued").mkdir(parents=True)
        (work / "index.txt").write_text("")
        # A random positive serial of an even number of hex digits, as openssl wants it.
        serial = int.from_bytes(os.urandom(8), "big") & ((1 << 62) - 1) | (1 << 60)
        (work / "serial").write_text(f"{serial:016X}\n")
        config = work / "openssl.cnf"
        config.write_text(_OPENSSL_CONFIG.format(dir=work))
        now = datetime.datetime.now(datetime.timezone.utc)
        start = (now - datetime.timedelta(days=1)).strftime("%Y%m%d%H%M%SZ")
        end = (now + datetime.timedelta(days=3650)).strftime("%Y%m%d%H%M%SZ")
        env = dict(os.environ, HOME=str(work), RANDFILE=str(work / ".rnd"))

        def openssl(*args):
            result = _run_bounded([OPENSSL, *args], env, 60, "openssl", cwd=work)
            if result.returncode != 0:
                raise TestbedError(f"openssl {args[0]} failed: {result.stderr.strip()}")

        def issue(name, subject, extensions, signer):
            openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", f"{name}.key")
            openssl("req", "-new", "-config", str(config), "-key", f"{name}.key", "-subj", subject,
                    "-sha256", "-out", f"{name}.csr")
            signing = (["-selfsign", "-keyfile", f"{name}.key"] if signer is None
                       else ["-cert", f"{signer}.pem", "-keyfile", f"{signer}.key"])
            openssl("ca", "-batch", "-notext", "-config", str(config), *signing, "-in", f"{name}.csr",
                    "-out", f"{name}.pem", "-extensions", extensions, "-startdate", start,
                    "-enddate", end)

        issue("ca", "/O=Nimbrel Test/CN=Nimbrel Test CA", "ca_ext", None)
        issue("server", "/CN=localhost", "server_ext", "ca")
        issue("otherhost", "/CN=other.invalid", "otherhost_ext", "ca")
        issue("untrusted", "/CN=localhost", "untrusted_ext", None)
        certs.mkdir(exist_ok=True)
        for name in CERT_FILES:
            os.replace(work / name, certs / name)
        shutil.rmtree(work, ignore_errors=True)
        return certs


# ----------------------------------------------------------------- template

def _template_inputs(build):
    support = build / "tests" / "support"
    inputs = {"trust-ca.exe": support / "trust-ca.exe", "tar.exe": support / "tar.exe",
              "ca.pem": build / "certs" / "ca.pem"}
    for name, path in inputs.items():
        if not path.is_file():
            raise TestbedError(f"{path} is missing (build the Windows helpers first)")
    digest = hashlib.sha256()
    digest.update(f"recipe {TEMPLATE_RECIPE}\n{TAR_RUNNER}".encode())
    wine = os.stat(WINE64)
    digest.update(f"wine {wine.st_size} {wine.st_mtime_ns}\n".encode())
    for name, path in sorted(inputs.items()):
        digest.update(name.encode() + b"\0" + path.read_bytes())
    return inputs, digest.hexdigest()


def _template_ready(wine_dir, key, say_why=False):
    stamp = wine_dir / "template.stamp"
    if not (stamp.is_file() and (wine_dir / "template").is_dir()):
        return False
    recorded = stamp.read_text().split()
    if recorded[:1] != [key]:
        return False
    if recorded[1:] != [_shared_fingerprint(wine_dir / "template")]:
        if say_why:
            _log("files that sessions share with the template were written: rebuilding it")
        return False
    return True


def ensure_template(build_dir):
    """Makes <build>/wine/template once (and again when its inputs change): a booted
    prefix that trusts the test CA and has the tar shim as C:\\windows\\system32\\tar.exe."""
    build = Path(build_dir).resolve()
    make_certs(build)
    wine_dir = build / "wine"
    inputs, key = _template_inputs(build)
    if _template_ready(wine_dir, key):
        return wine_dir / "template"
    with _locked(wine_dir / "template.lock"):
        if _template_ready(wine_dir, key, say_why=True):
            return wine_dir / "template"
        started = time.monotonic()
        prefix, home = wine_dir / "template", wine_dir / "home"
        (wine_dir / "template.stamp").unlink(missing_ok=True)
        for stale in (prefix, home):
            if stale.exists():
                _end_prefix(_hermetic_env(home, home / ".xdg", home / ".tmp", prefix), prefix)
                shutil.rmtree(stale)
        env = _hermetic_env(home, home / ".xdg", home / ".tmp", prefix)
        prefix.mkdir()
        try:
            # A server that ends as soon as its last process does, so the final wait is short.
            # (Its output goes nowhere: the server keeps whatever it was given open.)
            subprocess.run([WINESERVER, "-p0"], env=env, timeout=30, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            boot = _run_bounded([WINE64, "wineboot", "-i"], env, 300, "wineboot -i")
            if boot.returncode != 0:
                raise TestbedError(f"wineboot -i failed ({boot.returncode}): {boot.stderr.strip()}")
            trust = _run_bounded([WINE64, str(inputs["trust-ca.exe"]), str(inputs["ca.pem"])], env,
                                 120, "trust-ca.exe")
            if trust.returncode != 0:
                raise TestbedError(f"trust-ca.exe failed ({trust.returncode}): "
                                   f"{trust.stdout.strip()} {trust.stderr.strip()}")
            _run_bounded([WINESERVER, "-w"], env, 120, "wineserver -w")
        finally:
            _end_prefix(env, prefix)
        system32 = prefix / "drive_c" / "windows" / "system32"
        shutil.copyfile(inputs["tar.exe"], system32 / "tar.exe")
        runner = system32 / "nimbrel-tar-runner.sh"
        runner.write_text(TAR_RUNNER)
        runner.chmod(0o755)
        # wineboot links Desktop, Documents, ... to $HOME when HOME has no such folders;
        # every copy would then share the template's HOME. Make them folders of the prefix.
        for link in list(prefix.joinpath("drive_c", "users").rglob("*")):
            if link.is_symlink():
                link.unlink()
                link.mkdir()
        _write_atomically(wine_dir / "template.stamp", f"{key}\n{_shared_fingerprint(prefix)}\n")
        _log(f"template ready in {time.monotonic() - started:.1f} s: {prefix}")
        return prefix


# ----------------------------------------------------------------- copying

# Wine's own program and library files in C:\windows (over 600 MB) are shared
# with the template through hard links: nothing writes them after wineboot, and
# a session then copies in a fraction of a second and costs little disk when it
# is kept. Everything else (registry, user folders, our tar shim and runner) is
# copied. Wine lets root write even read-only files, so the template's stamp
# records the shared files' sizes and times, and a template whose shared files
# were written is rebuilt. NIMBREL_FULL_COPY=1 makes every session a plain `cp -a`.
_SHARED_SUFFIXES = {".dll", ".drv", ".sys", ".exe", ".ocx", ".cpl", ".acm", ".ax", ".ds", ".tlb",
                    ".nls", ".com", ".msstyles", ".icm", ".ttf", ".fon"}
_NEVER_SHARED = {"tar.exe", "nimbrel-tar-runner.sh"}


def _is_shared(path):
    return path.suffix.lower() in _SHARED_SUFFIXES and path.name.lower() not in _NEVER_SHARED


def _shared_fingerprint(template):
    digest = hashlib.sha256()
    for root, dirs, files in os.walk(template / "drive_c" / "windows"):
        dirs.sort()
        for name in sorted(files):
            path = Path(root, name)
            if _is_shared(path):
                st = path.lstat()
                digest.update(f"{path}\0{st.st_size}\0{st.st_mtime_ns}\0{st.st_ino}\n".encode())
    return digest.hexdigest()


def _copy_prefix(template, dest):
    if os.environ.get("NIMBREL_FULL_COPY") == "1":
        copy = _run_bounded(["cp", "-a", str(template), str(dest)], None, 300, "copying the template")
        if copy.returncode != 0:
            raise TestbedError(f"copying the template failed: {copy.stderr.strip()}")
        return
    windows = template / "drive_c" / "windows"

    def link_or_copy(src, dst):
        src_path = Path(src)
        if _is_shared(src_path) and windows in src_path.parents:
            os.link(src, dst)
        else:
            shutil.copy2(src, dst)

    shutil.copytree(template, dest, symlinks=True, copy_function=link_or_copy)


# ----------------------------------------------------------------- registry text

def _set_user_dword(user_reg, key, name, value):
    """Sets a REG_DWORD in a prefix's user.reg while no wineserver runs for it."""
    lines = user_reg.read_text(encoding="latin-1").split("\n")
    header = "[" + key.replace("\\", "\\\\") + "]"
    entry = f'"{name}"=dword:{value:08x}'
    for i, line in enumerate(lines):
        if line.startswith(header + " ") or line == header:
            j = i + 1
            while j < len(lines) and lines[j].startswith("#"):
                j += 1
            insert_at = j
            while j < len(lines) and lines[j] and not lines[j].startswith("["):
                if lines[j].startswith(f'"{name}"='):
                    lines[j] = entry
                    break
                j += 1
            else:
                lines.insert(insert_at, entry)
            break
    else:
        lines += [f"{header} {int(time.time())}", entry, ""]
    user_reg.write_text("\n".join(lines), encoding="latin-1")


# ----------------------------------------------------------------- session

class WineSession:
    """A fresh copy of the template prefix with its own HOME and, optionally, its own Xvfb.

    dpi:     system DPI (HKCU\\Control Panel\\Desktop LogPixels) set before any process runs.
    display: start an Xvfb 1920x1080x24 and export DISPLAY; without it DISPLAY is unset.
    hook:    a callable (given the session) or a shell command (with env() set) run after
             the copy, before any Windows process, e.g. to delete system32\\tar.exe.
    keep:    keep the run folder even when the session ends well.
    """

    def __init__(self, build_dir, name, dpi=None, display=True, hook=None, keep=False):
        self.build = Path(build_dir).resolve()
        self.name = re.sub(r"[^A-Za-z0-9._-]+", "_", name) or "session"
        self.dpi = dpi
        self.display = display
        self.hook = hook
        self.keep = keep or os.environ.get("NIMBREL_KEEP_RUNS") == "1"
        self.failed = False  # set it to keep the run folder for a post-mortem
        self.run_dir = None
        self.prefix = None
        self.user = None  # the prefix's user folder name (the Unix user name)
        self.display_name = None
        self._env = None
        self._xvfb = None
        self._watchdog = None
        self._children = []
        self._outputs = itertools.count(1)

    # --- life cycle

    def __enter__(self):
        try:
            self._open()
        except BaseException:
            self._close(keep=True)
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        self._close(keep=self.keep or self.failed or exc_type is not None)
        return False

    def _open(self):
        template = ensure_template(self.build)
        runs = self.build / "wine" / "runs"
        runs.mkdir(parents=True, exist_ok=True)
        while True:
            candidate = runs / f"{self.name}-{os.getpid()}-{next(_session_numbers)}"
            try:
                candidate.mkdir()
                break
            except FileExistsError:
                continue
        self.run_dir = candidate
        self.prefix = candidate / "prefix"
        with _locked(self.build / "wine" / "template.lock", shared=True):
            _copy_prefix(template, self.prefix)
        self._env = _hermetic_env(candidate / "home", candidate / "xdg", candidate / "tmp", self.prefix)
        users = [p.name for p in (self.prefix / "drive_c" / "users").iterdir()
                 if p.name != "Public" and p.is_dir()]
        self.user = users[0] if len(users) == 1 else os.environ.get("USER", "root")
        if self.dpi is not None:
            _set_user_dword(self.prefix / "user.reg", r"Control Panel\Desktop", "LogPixels",
                            int(self.dpi))
        if self.hook is not None:
            if callable(self.hook):
                self.hook(self)
            else:
                result = _run_bounded(self.hook, self._env, 120, "the session hook", shell=True)
                if result.returncode != 0:
                    raise TestbedError(f"hook failed ({result.returncode}): {result.stderr.strip()}")
        if self.display:
            self._start_xvfb()
        # Ends the prefix's processes and the X server should this process die
        # without closing the session (SIGKILL from a test driver's time-out).
        self._watchdog = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "_watchdog", str(self.prefix),
             str(self._xvfb.pid if self._xvfb else 0)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=self._outside_env(), start_new_session=True)

    def _outside_env(self):
        # Without WINEPREFIX, so that ending the prefix's processes leaves these alone.
        return {k: v for k, v in self._env.items() if k != "WINEPREFIX"}

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(self.run_dir / "xvfb.log", "wb")
        try:
            self._xvfb = subprocess.Popen(
                [XVFB, "-displayfd", str(write_end), "-screen", "0", SCREEN, "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                env=self._outside_env(), start_new_session=True)
        finally:
            os.close(write_end)
            log.close()
        number = b""
        deadline = time.monotonic() + 20
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([pipe], [], [], left)[0]:
                    raise TestbedError("Xvfb did not report its display within 20 s")
                chunk = pipe.read(16)
                if not chunk:
                    raise TestbedError(f"Xvfb ended at start; see {self.run_dir / 'xvfb.log'}")
                number += chunk
        self.display_name = ":" + number.decode().strip()
        self._env["DISPLAY"] = self.display_name

    def _close(self, keep):
        if self._watchdog is not None:
            with contextlib.suppress(OSError):
                self._watchdog.stdin.write(b"closed")
                self._watchdog.stdin.close()
        if self._env is not None:
            if keep:
                _end_prefix(self._env, self.prefix)  # saves the registry for a post-mortem
            else:
                _kill_strays(self.prefix)  # quicker, and the prefix goes anyway
        for child in self._children:
            with contextlib.suppress(OSError):
                os.killpg(child.pid, signal.SIGKILL)
            with contextlib.suppress(subprocess.TimeoutExpired):
                child.wait(5)
        if self._xvfb is not None:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(5)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait(5)
        if self._watchdog is not None:
            try:
                self._watchdog.wait(5)
            except subprocess.TimeoutExpired:
                self._watchdog.kill()
        if self.run_dir is None:
            return
        if keep:
            _log(f"kept {self.run_dir}")
        else:
            shutil.rmtree(self.run_dir, ignore_errors=True)

    # --- processes

    def env(self, env_extra=None):
        """The environment for a process of this session (a new dict)."""
        env = dict(self._env)
        if env_extra:
            env.update({k: str(v) for k, v in env_extra.items()})
        return env

    def start(self, argv, env_extra=None, **popen_kwargs):
        """Starts a Windows program (argv[0]: its Unix or Windows path) under wine64.

        Standard output and error go to a file in the run folder unless given
        (popen.output_path names it); pipes risk hanging on Wine's own processes,
        which inherit them."""
        output_path = None
        if "stdout" not in popen_kwargs:
            output_path = self.run_dir / f"out-{next(self._outputs)}.txt"
            popen_kwargs["stdout"] = open(output_path, "wb")
            popen_kwargs.setdefault("stderr", subprocess.STDOUT)
        popen_kwargs.setdefault("stdin", subprocess.DEVNULL)
        popen_kwargs.setdefault("cwd", str(self.run_dir))
        try:
            process = subprocess.Popen([WINE64, *map(str, argv)], env=self.env(env_extra),
                                       start_new_session=True, **popen_kwargs)
        finally:
            if output_path is not None:
                popen_kwargs["stdout"].close()
        process.output_path = output_path
        self._children.append(process)
        return process

    def run(self, argv, timeout=120, env_extra=None, text=True):
        """Runs a Windows program to its end: CompletedProcess with stdout and stderr.
        After `timeout` seconds every process of the session is ended and
        subprocess.TimeoutExpired is raised."""
        number = next(self._outputs)
        out_path = self.run_dir / f"out-{number}.txt"
        err_path = self.run_dir / f"err-{number}.txt"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = self.start(argv, env_extra, stdout=out, stderr=err)
        try:
            code = process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill_all()
            process.wait(10)
            raise subprocess.TimeoutExpired(argv, timeout, out_path.read_bytes(), err_path.read_bytes())
        stdout, stderr = out_path.read_bytes(), err_path.read_bytes()
        if text:
            stdout, stderr = stdout.decode("utf-8", "replace"), stderr.decode("utf-8", "replace")
        return subprocess.CompletedProcess(argv, code, stdout, stderr)

    def kill_all(self):
        """Ends every process of this prefix (the X server stays)."""
        _end_prefix(self._env, self.prefix)
        for child in self._children:
            with contextlib.suppress(OSError):
                os.killpg(child.pid, signal.SIGKILL)

    def wait_idle(self, timeout=30):
        """Waits until the prefix's wineserver has ended (all its processes are gone)."""
        _run_bounded([WINESERVER, "-w"], self._env, timeout, "wineserver -w")

    # --- paths

    def win_path(self, unix_path):
        """The Windows path of a Unix path: C: inside the prefix's drive_c, Z: elsewhere."""
        path = Path(os.path.abspath(unix_path))
        drive_c = self.prefix / "drive_c"
        try:
            rest = path.relative_to(drive_c)
            return "C:\\" + str(rest).replace("/", "\\") if str(rest) != "." else "C:\\"
        except ValueError:
            return "Z:" + str(path).replace("/", "\\")

    def unix_path(self, path):
        """The Unix path of "C:\\..." or "Z:\\..." or of a path relative to the prefix
        ("drive_c/users/root/AppData/Local")."""
        text = str(path)
        match = re.match(r"^([A-Za-z]):[\\/]?(.*)$", text)
        if match:
            drive, rest = match.group(1).lower(), match.group(2).replace("\\", "/")
            root = {"c": self.prefix / "drive_c", "z": Path("/")}.get(
                drive, self.prefix / "dosdevices" / f"{drive}:")
            return root / rest if rest else root
        return self.prefix / text

    @property
    def user_dir(self):
        return self.prefix / "drive_c" / "users" / self.user

    @property
    def localappdata(self):
        return self.user_dir / "AppData" / "Local"

    @property
    def temp_dir(self):
        # Wine 8's TEMP and TMP: C:\users\<user>\Temp (not AppData\Local\Temp).
        return self.user_dir / "Temp"

    # --- X

    def _x(self, argv, timeout=20):
        if not self.display_name:
            raise TestbedError("this session has no display")
        result = _run_bounded(argv, self._env, timeout, argv[0])
        if result.returncode != 0:
            raise TestbedError(f"{argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def find_windows(self, name=None, cls=None, viewable=True):
        """Top-level and child X windows: Window(id "0x..", title, res_name, res_class,
        x, y, w, h) with root coordinates. name: exact title or a compiled regex;
        cls: res_name or res_class (Wine uses the exe name, e.g. "nimbrel-setup.exe"),
        case-insensitive. viewable: only windows mapped on screen."""
        tree = self._x([XWININFO, "-root", "-tree"])
        pattern = re.compile(r'^\s+(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((?:"(.*)" "(.*)")?\)'
                             r'\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$')
        found = []
        for line in tree.splitlines():
            match = pattern.match(line)
            if not match:
                continue
            wid, title, res_name, res_class, w, h, x, y = match.groups()
            window = Window(wid, title or "", res_name or "", res_class or "", int(x), int(y), int(w), int(h))
            if name is not None:
                if hasattr(name, "search") and not name.search(window.title):
                    continue
                if isinstance(name, str) and window.title != name:
                    continue
            if cls is not None and cls.lower() not in (window.res_name.lower(), window.res_class.lower()):
                continue
            if viewable and "IsViewable" not in self._x([XWININFO, "-id", wid]):
                continue
            found.append(window)
        return found

    def wait_for_window(self, name=None, cls=None, timeout=30, poll=0.2):
        """The first matching viewable window, polled for at most `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            windows = self.find_windows(name=name, cls=cls)
            if windows:
                return windows[0]
            if time.monotonic() > deadline:
                raise TestbedError(f"no window name={name!r} cls={cls!r} within {timeout} s")
            time.sleep(poll)

    def screenshot(self, png_path, window_id=None):
        """A PNG of the whole screen, or of one window's rectangle as it is on screen."""
        argv = [IMPORT, "-window", "root"]
        if window_id is not None:
            info = self._x([XWININFO, "-id", str(window_id)])
            values = {k: int(v) for k, v in re.findall(
                r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", info)}
            argv += ["-crop", f"{values['Width']}x{values['Height']}"
                              f"+{values['Absolute upper-left X']}+{values['Absolute upper-left Y']}",
                     "+repage"]
        self._x(argv + ["-depth", "8", f"png:{png_path}"], timeout=60)
        return Path(png_path)


# ----------------------------------------------------------------- command line

def _watchdog_main(prefix, xvfb_pid):
    """Waits for its session to close its stdin; cleans up if it went without a word."""
    if b"closed" in sys.stdin.buffer.read():
        return 0
    _end_prefix(dict(os.environ, WINEPREFIX=prefix), Path(prefix))
    if xvfb_pid:
        with contextlib.suppress(OSError):
            os.kill(xvfb_pid, signal.SIGTERM)
    return 0


def _on_signal(signum, frame):
    raise SystemExit(128 + signum)


def _cli_run(args):
    exe = Path(args.command[0])
    if not exe.exists():
        _log(f"{exe} does not exist")
        return 2
    with WineSession(args.build, exe.stem, dpi=args.dpi, display=not args.no_display,
                     keep=args.keep) as session:
        sys.stdout.flush()
        process = session.start([exe.resolve(), *args.command[1:]], stdout=None, stderr=None)
        try:
            code = process.wait(args.timeout)
        except subprocess.TimeoutExpired:
            _log(f"{exe.name} still running after {args.timeout} s: ending it")
            session.kill_all()
            session.failed = True
            return 124
        if code < 0:
            code = 128 - code
        if code != 0:
            session.failed = True
        return code


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_watchdog"]:
        return _watchdog_main(argv[1], int(argv[2]))
    parser = argparse.ArgumentParser(description="Runs Windows programs under Wine, hermetically.")
    sub = parser.add_subparsers(dest="action", required=True)
    run = sub.add_parser("run", help="run one program in a fresh session")
    run.add_argument("--build", required=True, help="the build folder")
    run.add_argument("--dpi", type=int, help="system DPI, e.g. 144")
    run.add_argument("--no-display", action="store_true", help="no X server")
    run.add_argument("--timeout", type=float, default=float(os.environ.get("NIMBREL_TEST_TIMEOUT", 300)),
                     help="seconds until everything is ended and 124 returned (default 300)")
    run.add_argument("--keep", action="store_true", help="keep the run folder")
    run.add_argument("command", nargs=argparse.REMAINDER, help="-- EXE [ARGS...]")
    for action in ("template", "certs"):
        sub.add_parser(action).add_argument("--build", required=True)
    args = parser.parse_args(argv)

    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, _on_signal)
    try:
        if args.action == "certs":
            print(make_certs(args.build))
            return 0
        if args.action == "template":
            print(ensure_template(args.build))
            return 0
        if args.command[:1] == ["--"]:
            args.command = args.command[1:]
        if not args.command:
            parser.error("run needs -- EXE [ARGS...]")
        return _cli_run(args)
    except TestbedError as error:
        _log(str(error))
        return 125


if __name__ == "__main__":
    sys.exit(main())
