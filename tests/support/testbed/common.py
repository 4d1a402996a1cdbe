"""What every piece of the test bed shares: tool paths, the error type, locks,
the hermetic environment and the ending of a prefix's processes."""

import contextlib
import fcntl
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

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


def _run_bounded(argv, env, timeout, what, log=None, **kwargs):
    """Runs a helper command to its end within `timeout` seconds, or raises.
    With `log` (a path), standard output and error go to that file instead of
    pipes, for commands that may leave Wine processes behind (they inherit the
    pipes and hold them open); the result then carries the file's text in both."""
    try:
        if log is None:
            return subprocess.run(argv, env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, errors="replace", **kwargs)
        with open(log, "wb") as out:
            result = subprocess.run(argv, env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT, **kwargs)
    except subprocess.TimeoutExpired as expired:
        raise TestbedError(f"{what} did not finish within {timeout} s") from expired
    text = Path(log).read_text(errors="replace")
    return subprocess.CompletedProcess(argv, result.returncode, text, text)


# ----------------------------------------------------------------- a prefix's processes

# Wine's own services, which a persistent wineserver keeps running after the last
# program of the prefix has ended (argv[0] as Wine shows it, lower case).
_WINE_SERVICES = {rf"c:\windows\system32\{name}".encode() for name in
                  ("services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe")}
_WINE_DESKTOP = (rb"c:\windows\system32\explorer.exe", b"/desktop")


def _read_proc(pid, name):
    with open(f"/proc/{pid}/{name}", "rb") as f:
        return f.read()


def _start_time(pid):
    """The process's start time in clock ticks (None: gone or a zombie), so that
    a reused pid is never taken for the process that had it."""
    try:
        fields = _read_proc(pid, "stat").rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] == b"Z" else int(fields[19])


def _prefix_processes(prefix):
    """(pid, start time, argv) of every process with WINEPREFIX=<prefix> in its
    environment or the prefix in its command line: the wineserver, the Windows
    processes and the Unix programs they started (the tar runner, bsdtar)."""
    marker = os.fsencode(str(prefix))
    own = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == own:
            continue
        try:
            cmdline = _read_proc(entry, "cmdline")
            environ = _read_proc(entry, "environ")
        except OSError:
            continue
        if marker in cmdline or b"WINEPREFIX=" + marker + b"\0" in environ:
            started = _start_time(entry)
            if started is not None:
                found.append((int(entry), started, cmdline.split(b"\0")))
    return found


def _is_wineserver(argv):
    return bool(argv) and os.path.basename(argv[0]).startswith(b"wineserver")


def _server_pids(prefix):
    """The pids of the prefix's wineservers (one at most, unless one is going away)."""
    return [pid for pid, _, argv in _prefix_processes(prefix) if _is_wineserver(argv)]


def _busy_processes(prefix):
    """The prefix's processes other than its wineserver and Wine's own services:
    the programs that run and whatever they started."""
    busy = []
    for pid, _, argv in _prefix_processes(prefix):
        program = argv[0].strip().lower() if argv else b""
        if _is_wineserver(argv) or program in _WINE_SERVICES:
            continue
        if program == _WINE_DESKTOP[0] and _WINE_DESKTOP[1] in (a.strip().lower() for a in argv[1:]):
            continue
        busy.append(pid)
    return busy


def _wait_idle(prefix, timeout):
    """Waits until no program of the prefix runs (its server and services stay)."""
    deadline = time.monotonic() + timeout
    while _busy_processes(prefix):
        if time.monotonic() > deadline:
            raise TestbedError(f"programs of {prefix} still running after {timeout} s")
        time.sleep(0.1)


def _start_server(env, prefix, timeout=30):
    """Starts the prefix's persistent wineserver and returns its pid.

    A server started on demand by a program ends a few seconds after the prefix's
    last program, and a program that connects while it is going away fails
    ("wine client error:0: recvmsg: Connection reset by peer"). A server started
    with -p stays until it is killed, so no program ever meets one that is going
    away. `wineserver -p` returns once the server listens; its output goes nowhere,
    since the server keeps whatever it was given open. Exit code 2 means that a
    server already runs (one that a hook's program started): it is waited for."""
    for attempt in range(2):
        try:
            code = subprocess.run([WINESERVER, "-p"], env=env, timeout=timeout,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired as expired:
            raise TestbedError(f"wineserver -p did not return within {timeout} s") from expired
        if code == 0:
            pids = _server_pids(prefix)
            if len(pids) != 1:
                raise TestbedError(f"wineserver -p started, but {prefix} has servers {pids}")
            return pids[0]
        if code != 2 or attempt:
            break
        _run_bounded([WINESERVER, "-w"], env, 60, "wineserver -w (an earlier server)")
    raise TestbedError(f"wineserver -p failed ({code}) for {prefix}")


def _start_watchdog(env, prefix):
    """Leaves behind a process (python -m testbed _watchdog, see cli._watchdog_main) that
    ends the prefix's processes, and the X servers it is told of, should this process die
    without saying "closed" (SIGKILL from a test driver's time-out). It learns what to end
    through its standard input, whose other end only this process holds, and detaches.
    `env` must reach the prefix's server (TMPDIR) and must not carry its WINEPREFIX."""
    package_parent = str(Path(__file__).resolve().parent.parent)
    watchdog = subprocess.Popen(
        [sys.executable, "-m", "testbed", "_watchdog"],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(env, PYTHONPATH=package_parent, PYTHONDONTWRITEBYTECODE="1"),
        start_new_session=True)
    _tell_watchdog(watchdog, b"prefix " + os.fsencode(str(prefix)))
    try:
        watchdog.wait(30)  # it forks, and this first process ends at once
    except subprocess.TimeoutExpired as expired:
        watchdog.kill()
        raise TestbedError("the watchdog did not detach within 30 s") from expired
    return watchdog


def _tell_watchdog(watchdog, line):
    """Sends the watchdog a line: "xvfb <pid>", or "closed" (then it ends, doing nothing)."""
    with contextlib.suppress(OSError):
        watchdog.stdin.write(line + b"\n")
        watchdog.stdin.flush()
        if line == b"closed":
            watchdog.stdin.close()


def _end_prefix(env, prefix, timeout=15):
    """Ends every process of a prefix: its wineserver (which saves the registry as it
    goes), Windows processes and Unix strays."""
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


def _kill_strays(prefix, timeout=10):
    """SIGKILLs every process of the prefix (see _prefix_processes) and waits, at most
    `timeout` seconds, until they are gone: a killed wineserver that still holds its
    socket would take the next program's connection and reset it."""
    killed = []
    for pid, started, _ in _prefix_processes(prefix):
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
            killed.append((pid, started))
    deadline = time.monotonic() + timeout
    while killed and time.monotonic() < deadline:
        killed = [(pid, started) for pid, started in killed if _start_time(pid) == started]
        if killed:
            time.sleep(0.02)
