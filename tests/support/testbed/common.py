"""What every piece of the test bed shares: tool paths, the error type, locks,
the hermetic environment and the ending of a prefix's processes."""

import contextlib
import fcntl
import os
import signal
import subprocess
import sys
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
XVFB = "/usr/bin/Xvfb"
IMPORT = "/usr/bin/import"
XWININFO = "/usr/bin/xwininfo"
OPENSSL = "/usr/bin/openssl"

DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"
SCREEN = "1920x1080x24"


class TestbedError(RuntimeError):
    pass


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
