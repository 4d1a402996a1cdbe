"""One real installation under Wine and Xvfb from a release that the release
tool (tools/release.py) made: the shared HTTPS test server serves the tool's
output folder as it lies, on the setup's compiled-in origin
(the build's NIMBREL_SERVER); the setup downloads, unpacks with the prefix's tar,
starts the stand-in application (tests/install/fake_app.cpp, which records how
it was started) and ends with exit code 0 and no message box. The label that
the real version probe makes of the tool's version document is read with
label-probe.exe from the net tests, when that is built."""

import json
import os
import shutil
import subprocess
import sys
import time
import unittest
from contextlib import ExitStack
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import testbed  # noqa: E402
from test_server import TestServer, compiled_in_port  # noqa: E402

BUILD = Path(os.environ["NIMBREL_BUILD"])
SOURCE = Path(os.environ["NIMBREL_SOURCE"])
TOOL = SOURCE / "tools" / "release.py"
SETUP = BUILD / "setup" / "nimbrel-setup.exe"
FAKE_APP = BUILD / "tests" / "install" / "fake_app.exe"
DIALOG_READER = BUILD / "tests" / "install" / "dialog_reader.exe"
LABEL_PROBE = BUILD / "tests" / "net" / "label-probe.exe"
PORT = compiled_in_port()  # CTest holds nimbrel_server_port while it is served

# Non-ASCII in a file name and in the version: both must arrive as UTF-8.
VERSION = "3.1.4-rc.1 \u00e9t\u00e9"
CODE = "ABCDEFGHIJKLMNOP"
SETUP_NAME = f"setup-team_1.{CODE}.exe"


def files_below(root):
    return {str(path.relative_to(root)): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


class ReleaseUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = ExitStack()
        try:
            certs = testbed.make_certs(BUILD)
            cls.session = cls.stack.enter_context(testbed.WineSession(BUILD, "release"))
            cls.app = cls.session.run_dir / "app"
            (cls.app / "resources").mkdir(parents=True)
            (cls.app / "lib" / "sub").mkdir(parents=True)
            shutil.copy(FAKE_APP, cls.app / "nimbrel.exe")
            (cls.app / "resources" / "notes \u00e9t\u00e9.txt").write_text("notes\n", encoding="utf-8")
            (cls.app / "lib" / "sub" / "data.bin").write_bytes(os.urandom(300_000))
            cls.release = cls.session.run_dir / "release"
            made = subprocess.run([sys.executable, str(TOOL), "--app", str(cls.app),
                                   "--version", VERSION, "--out", str(cls.release)],
                                  capture_output=True, text=True, timeout=120)
            assert made.returncode == 0, made.stderr
            print(made.stdout, end="", flush=True)
            # The server waits for the fixed port while another suite holds it.
            cls.server = cls.stack.enter_context(
                TestServer(cert_dir=certs, host="localhost", port=PORT, docroot=cls.release))
        except BaseException:
            cls.stack.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def box_text(self):
        if not DIALOG_READER.exists():
            return "(dialog_reader.exe not built)"
        return self.session.run([DIALOG_READER, "2"], timeout=30).stdout.strip() or None

    def test_the_setup_installs_and_starts_the_application_from_the_release(self):
        session = self.session
        downloads = session.user_dir / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copy(SETUP, downloads / SETUP_NAME)
        records = session.localappdata / "nimbrel-launches.txt"
        install = session.localappdata / "Programs" / "nimbrel"
        before = len(self.server.requests)
        setup = session.start([session.win_path(downloads / SETUP_NAME)])
        try:
            code = setup.wait(120)
        except subprocess.TimeoutExpired:
            box = self.box_text()  # a message box keeps the setup waiting
            session.kill_all()
            session.failed = True
            self.fail(f"the setup did not end within 120 s; box: {box}")
        deadline = time.monotonic() + 10  # the application is started, not waited for
        while not records.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(code, 0)

        app_win = session.win_path(install) + "\\nimbrel.exe"
        launches = records.read_text(encoding="utf-8").splitlines() if records.exists() else []
        self.assertEqual(len(launches), 1, launches)
        _, image, cwd, command_line = launches[0].split("\t", 3)
        self.assertEqual((image, cwd), (app_win, session.win_path(install)))
        self.assertEqual(command_line,
                         f'"{app_win}" --updated "nimbrel://open?space=team_1&code={CODE}"')
        # The top-level folder is stripped: the install folder is the application folder.
        self.assertEqual(files_below(install), files_below(self.app))
        self.assertFalse((session.user_dir / "Temp" / "nimbrel-runtime.zip").exists())
        served = {(r["path"], r["user_agent"], r["complete"]) for r in self.server.requests[before:]}
        self.assertLessEqual({("/desktop/nimbrel.zip", "Nimbrel", True),
                              ("/desktop/version.json", "Nimbrel", True)}, served)

    def test_the_build_label_shows_the_version_whole(self):
        if not LABEL_PROBE.exists():
            self.skipTest("label-probe.exe is built with the net tests")
        output = self.session.run_dir / "label.json"
        result = self.session.run([LABEL_PROBE, self.session.win_path(output)], timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report = json.loads(output.read_text(encoding="utf-8"))
        self.assertEqual((report["label"], report["paintedLabel"]),
                         ("Build " + VERSION, "Build " + VERSION))


if __name__ == "__main__":
    unittest.main()
