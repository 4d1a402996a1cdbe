"""The hermetic Wine test bed: the one place that knows how to run Windows programs here.

Everything lives below the build folder:

  <build>/certs/            test CA and server certificates (make_certs)
  <build>/wine/template/    a booted prefix that trusts the test CA and has tar.exe
  <build>/wine/home/        the template's HOME
  <build>/wine/runs/NAME-PID-N/
      prefix/               a copy of the template, one per session
      home/ xdg/ tmp/       that session's HOME, XDG folders and TMPDIR
      xvfb.log out-*.txt    its X server's and its programs' output

Python (PYTHONPATH=tests/support; the CTest entries set it):

  import testbed
  testbed.make_certs(build)                 # -> Path of <build>/certs
  testbed.ensure_template(build)            # -> Path of the template prefix
  with testbed.WineSession(build, "name", dpi=144, display=True, hook=None) as s:
      s.run([exe, "arg"], timeout=120, env_extra=None)   # -> CompletedProcess (text)
      s.start([exe], env_extra=None)                     # -> Popen
      s.kill_all(); s.wait_idle(timeout=30)              # end the prefix's processes / wait
                                                         # until no program runs
      s.win_path(unix_path); s.unix_path(r"C:\\users")    # Z:/C: mapping both ways
      s.prefix, s.run_dir, s.user, s.localappdata, s.temp_dir (Unix paths)
      s.server_pid                                       # its persistent wineserver
      s.find_windows(name=None, cls=None); s.wait_for_window(name=..., timeout=30)
      s.screenshot(png, window_id=None)
      s.failed = True                                    # keep the run folder

Each session starts one persistent wineserver (wineserver -p) before its first
program and ends it when it closes, so that no program meets a server that is
going away; kill_all starts a new one. A watchdog process ends everything of
the session should the test driver die without closing it.

Environment knobs: NIMBREL_KEEP_RUNS=1 (keep every run folder), NIMBREL_WINEDEBUG
(WINEDEBUG for the programs, default -all), NIMBREL_FULL_COPY=1 (cp -a sessions),
NIMBREL_TEST_TIMEOUT (default of --timeout: 300 s, 3600 s under
tools/wine-run.sh, where the CTest TIMEOUT decides).

X windows on any display (e.g. the user's own, with its DISPLAY in env):

  testbed.find_windows(env, name=None, cls=None); testbed.wait_for_window(env, ...)
  testbed.screenshot(env, png, window_id=None)

Pieces: common (tool paths, errors, environment), certs, prefix (template and
copies), session (WineSession), windows (X window lookup), cli.

Command line (tools/testbed.py, or python3 -m testbed):

  testbed.py run --build B [--dpi N] [--no-display] [--timeout S] [--keep] -- EXE [ARGS...]
  testbed.py template --build B
  testbed.py certs --build B

"run" exits with the program's exit code, 124 after a time-out. A session's
folder is removed when it ends well and kept (and named on stderr) when an
exception escaped it, the program failed, or NIMBREL_KEEP_RUNS=1.
"""

from .certs import CERT_FILES, make_certs
from .cli import main
from .common import (DLL_OVERRIDES, IMPORT, OPENSSL, SCREEN, WINE64, WINESERVER, XVFB, XWININFO,
                     TestbedError)
from .prefix import TAR_RUNNER, TEMPLATE_RECIPE, ensure_template
from .session import WineSession
from .windows import Window, find_windows, screenshot, wait_for_window

__all__ = [
    "CERT_FILES", "DLL_OVERRIDES", "IMPORT", "OPENSSL", "SCREEN", "TAR_RUNNER", "TEMPLATE_RECIPE",
    "WINE64", "WINESERVER", "XVFB", "XWININFO", "TestbedError", "Window", "WineSession",
    "ensure_template", "find_windows", "main", "make_certs", "screenshot", "wait_for_window",
]
