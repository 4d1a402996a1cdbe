"""The template prefix (booted once, trusting the test CA, with the tar shim),
its copies for sessions, and registry edits made before a session's first
process."""

import hashlib
import os
import shutil
import time
from pathlib import Path

from .certs import make_certs
from .common import (WINE64, TestbedError, _end_prefix, _hermetic_env, _locked, _log, _run_bounded,
                     _start_server, _start_watchdog, _tell_watchdog, _wait_idle, _write_atomically)

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
        watchdog = _start_watchdog({k: v for k, v in env.items() if k != "WINEPREFIX"}, prefix)
        try:
            # One persistent server for the whole making: a server that ends with its last
            # program could be going away just as the next one connects. The programs write
            # into a file, not pipes: Wine's services stay with the server and would hold
            # pipes open.
            _start_server(env, prefix)
            log = wine_dir / "template.log"
            boot = _run_bounded([WINE64, "wineboot", "-i"], env, 300, "wineboot -i", log=log)
            if boot.returncode != 0:
                raise TestbedError(f"wineboot -i failed ({boot.returncode}): {boot.stderr.strip()}")
            trust = _run_bounded([WINE64, str(inputs["trust-ca.exe"]), str(inputs["ca.pem"])], env,
                                 120, "trust-ca.exe", log=log)
            if trust.returncode != 0:
                raise TestbedError(f"trust-ca.exe failed ({trust.returncode}): {trust.stdout.strip()}")
            # Whatever wineboot left running finishes before the server saves the registry.
            _wait_idle(prefix, 120)
        finally:
            _end_prefix(env, prefix)
            _tell_watchdog(watchdog, b"closed")
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


def copy_template(build_dir, dest):
    """Copies the template (made first if needed) to `dest`. The copy is made under the
    template's shared lock and only from a template that is whole at that moment: a
    rebuild by another process may have started, or failed, after ensure_template
    returned. Returns the template's path."""
    build = Path(build_dir).resolve()
    wine_dir = build / "wine"
    for _ in range(3):
        ensure_template(build)
        _, key = _template_inputs(build)
        with _locked(wine_dir / "template.lock", shared=True):
            if _template_ready(wine_dir, key):
                _copy_prefix(wine_dir / "template", dest)
                return wine_dir / "template"
    raise TestbedError(f"{wine_dir / 'template'} kept changing while a session waited to copy it")


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
