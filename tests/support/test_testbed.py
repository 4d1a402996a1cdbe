"""The test bed's sessions from outside: one wineserver serves a session from
before its first program until it closes, and a killed test driver still leaves
nothing of its session running."""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path

import testbed

BUILD = Path(os.environ["NIMBREL_BUILD"])
PRINT_ENV = BUILD / "tests" / "support" / "print-env.exe"


def prefix_processes(prefix):
    """{pid: executable name} of the live processes that belong to a prefix, read
    from /proc here rather than through the bed."""
    marker = os.fsencode(str(prefix))
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
            exe = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
        except (OSError, IndexError):
            continue
        if state != b"Z" and (b"WINEPREFIX=" + marker + b"\0" in environ or marker in cmdline):
            found[int(entry)] = exe
    return found


def servers(prefix):
    return sorted(pid for pid, exe in prefix_processes(prefix).items() if exe.startswith("wineserver"))


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def kill_tree(pid):
    """SIGKILLs a process and every descendant found by parent pid, as CTest does to a
    test at its time-out."""
    os.kill(pid, signal.SIGSTOP)  # no new children while the tree is walked
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                parent = int(f.read().rsplit(b")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if parent == pid:
            kill_tree(int(entry))
    os.kill(pid, signal.SIGKILL)


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


class OneServerPerSession(unittest.TestCase):
    def test_the_server_outlives_each_program_and_goes_with_the_session(self):
        with testbed.WineSession(BUILD, "one-server", display=False) as session:
            # Up before the first program: no program ever starts one of its own.
            first = servers(session.prefix)
            self.assertEqual(first, [session.server_pid])
            for argv, code in (([PRINT_ENV, "LOCALAPPDATA"], 0), (["cmd", "/c", "exit 7"], 7),
                               ([PRINT_ENV, "NO_SUCH_VARIABLE"], 3)):
                with self.subTest(argv[-1]):
                    result = session.run(argv, timeout=60)
                    self.assertEqual(result.returncode, code, result.stderr)
                    self.assertNotIn("wine client error", result.stderr)
                    self.assertEqual(servers(session.prefix), first)
            session.wait_idle(30)  # returns with no program left; the server stays
            self.assertEqual(servers(session.prefix), first)

            # kill_all ends that server and leaves a new persistent one.
            session.kill_all()
            self.assertFalse(alive(first[0]))
            second = servers(session.prefix)
            self.assertEqual(second, [session.server_pid])
            self.assertNotEqual(second, first)
            self.assertEqual(session.run([PRINT_ENV, "LOCALAPPDATA"], timeout=60).returncode, 0)
            self.assertEqual(servers(session.prefix), second)
            prefix = session.prefix
        self.assertIsNone(session.server_pid)
        self.assertFalse(alive(second[0]))
        self.assertEqual(prefix_processes(prefix), {})


# Run in a child Python that is SIGKILLed with its descendants while its session
# has a Windows program, a Unix program started from it and an X server running.
_DRIVER = r"""
import json, sys, time, testbed
with testbed.WineSession(sys.argv[1], "watched") as session:
    runner = session.run_dir / "sleeper.sh"
    runner.write_text("#!/bin/sh\nexec sleep 600\n")
    runner.chmod(0o755)
    tar = session.prefix / "drive_c" / "windows" / "system32" / "tar.exe"
    session.start([tar, "-xf", "C:\\none.zip", "-C", "C:\\"], env_extra={"NIMBREL_TAR_RUNNER": runner})
    print(json.dumps({"prefix": str(session.prefix), "run_dir": str(session.run_dir),
                      "xvfb": session._xvfb.pid}), flush=True)
    time.sleep(600)
"""


class Watchdog(unittest.TestCase):
    def test_a_killed_driver_leaves_no_process_of_its_session(self):
        opened = None
        driver = subprocess.Popen([sys.executable, "-c", _DRIVER, str(BUILD)], stdout=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL)
        try:
            ready = select.select([driver.stdout], [], [], 120)[0]
            self.assertTrue(ready, "the driver did not open its session within 120 s")
            opened = json.loads(driver.stdout.readline())
            prefix = Path(opened["prefix"])
            self.assertTrue(wait_until(lambda: "sleep" in prefix_processes(prefix).values(), 60),
                            f"the runner did not start: {prefix_processes(prefix)}")
            self.assertTrue(alive(opened["xvfb"]))
            self.assertTrue(servers(prefix))
            kill_tree(driver.pid)
            driver.wait(10)
            self.assertTrue(wait_until(lambda: not prefix_processes(prefix) and not alive(opened["xvfb"]),
                                       60),
                            f"left running: {prefix_processes(prefix)}, Xvfb {alive(opened['xvfb'])}")
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.wait(10)
            driver.stdout.close()
            if opened:
                shutil.rmtree(opened["run_dir"], ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
