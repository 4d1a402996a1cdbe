"""Finding and photographing X windows on one display, given the environment
(DISPLAY, and XAUTHORITY when needed) that reaches it."""

import re
import time
from collections import namedtuple
from pathlib import Path

from .common import IMPORT, XWININFO, TestbedError, _run_bounded

Window = namedtuple("Window", "id title res_name res_class x y w h")

_TREE_LINE = re.compile(r'^\s+(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((?:"(.*)" "(.*)")?\)'
                        r'\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$')


def _x(env, argv, timeout=20):
    if not env.get("DISPLAY"):
        raise TestbedError("no display to look at")
    result = _run_bounded(argv, env, timeout, argv[0])
    if result.returncode != 0:
        raise TestbedError(f"{argv[0]} failed: {result.stderr.strip()}")
    return result.stdout


def find_windows(env, name=None, cls=None, viewable=True):
    """Top-level and child X windows: Window(id "0x..", title, res_name, res_class,
    x, y, w, h) with root coordinates. name: exact title or a compiled regex;
    cls: res_name or res_class (Wine uses the exe name, e.g. "nimbrel-setup.exe"),
    case-insensitive. viewable: only windows mapped on screen."""
    tree = _x(env, [XWININFO, "-root", "-tree"])
    found = []
    for line in tree.splitlines():
        match = _TREE_LINE.match(line)
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
        if viewable and "IsViewable" not in _x(env, [XWININFO, "-id", wid]):
            continue
        found.append(window)
    return found


def wait_for_window(env, name=None, cls=None, timeout=30, poll=0.2):
    """The first matching viewable window, polled for at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        windows = find_windows(env, name=name, cls=cls)
        if windows:
            return windows[0]
        if time.monotonic() > deadline:
            raise TestbedError(f"no window name={name!r} cls={cls!r} within {timeout} s")
        time.sleep(poll)


def screenshot(env, png_path, window_id=None):
    """A PNG of the whole screen, or of one window's rectangle as it is on screen."""
    argv = [IMPORT, "-window", "root"]
    if window_id is not None:
        info = _x(env, [XWININFO, "-id", str(window_id)])
        values = {k: int(v) for k, v in re.findall(
            r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", info)}
        argv += ["-crop", f"{values['Width']}x{values['Height']}"
                          f"+{values['Absolute upper-left X']}+{values['Absolute upper-left Y']}",
                 "+repage"]
    _x(env, argv + ["-depth", "8", f"png:{png_path}"], timeout=60)
    return Path(png_path)
