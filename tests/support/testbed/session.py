"""One hermetic Wine session: a fresh prefix copy, its own HOME, TMPDIR and,
optionally, its own X server."""

import contextlib
import itertools
import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

from . import windows
from .common import (SCREEN, WINE64, XVFB, TestbedError, _end_prefix, _hermetic_env, _kill_strays,
                     _log, _run_bounded, _server_pids, _start_server, _start_watchdog,
                     _tell_watchdog, _wait_idle)
from .prefix import _set_user_dword, copy_template

_session_numbers = itertools.count(1)


class WineSession:
    """A fresh copy of the template prefix with its own HOME and, optionally, its own Xvfb.

    dpi:     system DPI (HKCU\\Control Panel\\Desktop LogPixels) set before any process runs.
    display: start an Xvfb 1920x1080x24 and export DISPLAY; without it DISPLAY is unset.
    hook:    a callable (given the session) or a shell command (with env() set) run after
             the copy, before any Windows process, e.g. to delete system32\\tar.exe.
    keep:    keep the run folder even when the session ends well.

    One wineserver, started with -p after the hook and before the first program,
    serves the session until it closes (server_pid); kill_all starts a new one.
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
        self.server_pid = None  # the session's persistent wineserver
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
        self._env = _hermetic_env(candidate / "home", candidate / "xdg", candidate / "tmp", self.prefix)
        # Before anything that could outlive this process (see common._start_watchdog).
        self._watchdog = _start_watchdog(self._outside_env(), self.prefix)
        copy_template(self.build, self.prefix)
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
        self.server_pid = _start_server(self._env, self.prefix)

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
        _tell_watchdog(self._watchdog, b"xvfb %d" % self._xvfb.pid)
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
            _tell_watchdog(self._watchdog, b"closed")
        if self._env is not None:
            if keep:
                _end_prefix(self._env, self.prefix)  # wineserver -k saves the registry
            else:
                _kill_strays(self.prefix)  # the server too; quicker, and the prefix goes anyway
            self.server_pid = None
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
        """Ends every process of this prefix, its wineserver too, and starts a new
        persistent server for the programs that follow (the X server stays)."""
        _end_prefix(self._env, self.prefix)
        for child in self._children:
            with contextlib.suppress(OSError):
                os.killpg(child.pid, signal.SIGKILL)
        self.server_pid = None
        left = _server_pids(self.prefix)
        if left:
            raise TestbedError(f"the wineserver of {self.prefix} outlived kill_all: {left}")
        self.server_pid = _start_server(self._env, self.prefix)

    def wait_idle(self, timeout=30):
        """Waits until no program of the prefix runs (the server and Wine's own
        services stay); raises TestbedError after `timeout` seconds."""
        _wait_idle(self.prefix, timeout)

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

    # --- X (see windows.py; these look at the session's own display)

    def _display_env(self):
        if not self.display_name:
            raise TestbedError("this session has no display")
        return self._env

    def find_windows(self, name=None, cls=None, viewable=True):
        return windows.find_windows(self._display_env(), name=name, cls=cls, viewable=viewable)

    def wait_for_window(self, name=None, cls=None, timeout=30, poll=0.2):
        return windows.wait_for_window(self._display_env(), name=name, cls=cls, timeout=timeout,
                                       poll=poll)

    def screenshot(self, png_path, window_id=None):
        return windows.screenshot(self._display_env(), png_path, window_id=window_id)
