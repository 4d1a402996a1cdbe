"""The installation end to end: the real setup under Wine and Xvfb, downloading
from the shared HTTPS test server on its compiled-in origin
(the build's NIMBREL_SERVER), unpacking with the prefix's tar, registering and
starting the stand-in application (fake_app.cpp), which records how it was
started.

One prefix serves every case that can share it; each case sets up the state
it needs (a fresh install folder, planted files, the server's answer). The
missing tar needs a prefix of its own.
"""

import contextlib
import errno
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from collections import namedtuple
from contextlib import ExitStack
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import testbed  # noqa: E402
from test_server import TestServer, compiled_in_port  # noqa: E402

BUILD = Path(os.environ["NIMBREL_BUILD"])
SETUP = BUILD / "setup" / "nimbrel-setup.exe"
HERE = BUILD / "tests" / "install"
FAKE_APP = HERE / "fake_app.exe"
DIALOG_READER = HERE / "dialog_reader.exe"
INSPECT = HERE / "inspect_install.exe"
WORKER_TEST = HERE / "install_worker_wine_test.exe"
GOOD_ZIP = HERE / "app-good.zip"
NOEXE_ZIP = HERE / "app-noexe.zip"
EXEDIR_ZIP = HERE / "app-exedir.zip"
LAUNCH_ENV = BUILD / "tests" / "support" / "launch-env.exe"
GOOD_STAGE = HERE / "archive-stage" / "good" / "nimbrel-1.0"
PORT = compiled_in_port()  # CTest holds nimbrel_server_port while it is served

DOWNLOAD_FAILURE = ("Nimbrel Desktop could not be downloaded. Check the internet connection and "
                    "run the setup again.")
UNPACKING_FAILURE = "Nimbrel Desktop could not be installed (unpacking failed)."
CODE = "ABCDEFGHIJKLMNOP"

Run = namedtuple("Run", "code box launches")
Launch = namedtuple("Launch", "pid image cwd command_line")


def serve(certs):
    """The test server on the setup's port. Other suites (and other build folders)
    use the same port; the server waits for a busy one, within a bound."""
    return TestServer(cert_dir=certs, host="localhost", port=PORT, port_wait=300)


def stalled_archive(**extra):
    """The server's answer: the first half of the archive, then 40 s of silence,
    past the setup's 30 s receive time-out and short of the dialog reader's 60 s."""
    return dict(file=GOOD_ZIP, chunk_size=GOOD_ZIP.stat().st_size // 2 + 1, delay_per_chunk=40,
                **extra)


def make_corrupt_zip(path):
    """The good archive with the middle of nimbrel.exe's compressed data overwritten:
    the archive opens, but inflating nimbrel.exe fails half way."""
    data = bytearray(GOOD_ZIP.read_bytes())
    with zipfile.ZipFile(GOOD_ZIP) as archive:
        entry = archive.getinfo("nimbrel-1.0/nimbrel.exe")
    start = entry.header_offset + 30 + len(entry.filename.encode()) + 64
    length = entry.compress_size // 2
    data[start:start + length] = b"\x55" * length
    path.write_bytes(bytes(data))


def make_hostile_zip(path, outside):
    """An archive whose entries try to leave the install folder, packed by bsdtar -P:
    nimbrel-1.0/nimbrel.exe, nimbrel-1.0/../../dotdot-escape.txt, the absolute path
    `outside`, and nimbrel-1.0/link (a symbolic link to ../..) followed by
    nimbrel-1.0/link/symlink-escape.txt."""
    with tempfile.TemporaryDirectory(dir=path.parent) as stage:
        top = Path(stage) / "nimbrel-1.0"
        top.mkdir()
        shutil.copy(FAKE_APP, top / "nimbrel.exe")
        for name in ("dotdot.txt", "absolute.txt", "via-link.txt"):
            (top / name).write_text(f"{name}: must stay inside the install folder\n")
        (top / "link").symlink_to("../..")
        subprocess.run(
            ["bsdtar", "-P", "--format", "zip", "-cf", str(path), "-C", stage,
             "-s", "|^nimbrel-1.0/dotdot.txt$|nimbrel-1.0/../../dotdot-escape.txt|",
             "-s", f"|^nimbrel-1.0/absolute.txt$|{outside}|",
             "-s", "|^nimbrel-1.0/via-link.txt$|nimbrel-1.0/link/symlink-escape.txt|",
             "nimbrel-1.0/nimbrel.exe", "nimbrel-1.0/dotdot.txt", "nimbrel-1.0/absolute.txt",
             "nimbrel-1.0/link", "nimbrel-1.0/via-link.txt"],
            check=True, timeout=60, capture_output=True)


def zip_of(path, entries):
    """A ZIP made by Python's zipfile: (name, bytes) pairs, a name ending in "/" a folder."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            archive.writestr(name, data)


def make_encrypted_zip(path, stage):
    """The good archive's files packed by bsdtar with ZipCrypto: tar would ask for a
    passphrase."""
    subprocess.run(["bsdtar", "--format", "zip", "--options", "zip:encryption=zipcrypt",
                    "--passphrase", "secret", "-cf", str(path), "-C", str(stage.parent),
                    stage.name], check=True, timeout=60, capture_output=True,
                   stdin=subprocess.DEVNULL)


def make_locally_encrypted_zip(path):
    """The good archive with the encryption flag set in the application's local header
    only; its central record says plain."""
    data = bytearray(GOOD_ZIP.read_bytes())
    with zipfile.ZipFile(GOOD_ZIP) as archive:
        entry = archive.getinfo("nimbrel-1.0/nimbrel.exe")
    data[entry.header_offset + 6] |= 1
    path.write_bytes(bytes(data))


def end_of_application_entry():
    """The offset right after nimbrel.exe's data in the good archive: a body cut there
    holds the application whole, but no data files and no central directory."""
    with zipfile.ZipFile(GOOD_ZIP) as archive:
        entry = archive.getinfo("nimbrel-1.0/nimbrel.exe")
    header = GOOD_ZIP.read_bytes()[entry.header_offset:entry.header_offset + 30]
    name_length = int.from_bytes(header[26:28], "little")
    extra_length = int.from_bytes(header[28:30], "little")
    return entry.header_offset + 30 + name_length + extra_length + entry.compress_size


class Prefix:
    """The install paths and records of one Wine session."""

    def __init__(self, session):
        self.session = session
        self.local = session.localappdata
        self.install = self.local / "Programs" / "nimbrel"
        self.install_win = session.win_path(self.install)
        self.app_win = self.install_win + "\\nimbrel.exe"
        # Wine 8 points TEMP at C:\users\<user>\Temp, not below AppData.
        self.temp = session.user_dir / "Temp"
        self.records = self.local / "nimbrel-launches.txt"
        self.downloads = session.user_dir / "Downloads"
        self.downloads.mkdir(exist_ok=True)

    def launches(self):
        if not self.records.exists():
            return []
        lines = self.records.read_text(encoding="utf-8").splitlines()
        return [Launch(*line.split("\t", 3)) for line in lines if line.count("\t") >= 3]

    def fresh(self):
        """No installation and no launch record."""
        shutil.rmtree(self.install, ignore_errors=True)
        self.records.unlink(missing_ok=True)

    def archive_left(self):
        return (self.temp / "nimbrel-runtime.zip").exists()

    def setup_copy(self, name):
        """The Windows path of a copy of the setup called `name` in the Downloads folder."""
        copy = self.downloads / name
        if not copy.exists():
            shutil.copy(SETUP, copy)
        return self.session.win_path(copy)

    def run_setup(self, name="nimbrel-setup.exe", args=(), box=False, timeout=90):
        """Runs a copy of the setup called `name` from the Downloads folder. With box,
        reads and closes the message box it must show. Returns its exit code, the box
        text (None: no box) and the launches recorded during the run."""
        before = len(self.launches())
        setup = self.session.start([self.setup_copy(name), *args])
        text = None
        if box:
            reader = self.session.run([DIALOG_READER, "60"], timeout=90)
            if reader.returncode == 0:
                text = reader.stdout.strip()
        try:
            code = setup.wait(timeout)
        except subprocess.TimeoutExpired:
            # A box nobody expected keeps the setup waiting: say what it reads.
            reader = self.session.run([DIALOG_READER, "2"], timeout=30)
            self.session.kill_all()
            raise AssertionError(f"the setup did not end within {timeout} s; "
                                 f"box: {reader.stdout.strip() or None}")
        # The application is started, not waited for; its record follows shortly.
        deadline = time.monotonic() + (10 if not box else 0)
        while len(self.launches()) == before and time.monotonic() < deadline:
            time.sleep(0.1)
        return Run(code, text, self.launches()[before:])

    def inspect(self, mode):
        result = self.session.run([INSPECT, mode], timeout=60)
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)


class SharedPrefix(unittest.TestCase):
    """Cases that share one prefix and the test server."""

    @classmethod
    def setUpClass(cls):
        cls.stack = ExitStack()
        try:
            certs = testbed.make_certs(BUILD)
            cls.session = cls.stack.enter_context(testbed.WineSession(BUILD, "install"))
            cls.server = cls.stack.enter_context(serve(certs))
            cls.server.route("/desktop/version.json", body=b'{"version":"4.5.6"}')
            cls.prefix = Prefix(cls.session)
            cls.work = cls.session.run_dir / "install-test"
            cls.work.mkdir()
        except BaseException:
            cls.stack.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def setUp(self):
        self.server.route("/desktop/nimbrel.zip", file=GOOD_ZIP)

    def archive_requests(self):
        return [r for r in self.server.requests if r["path"] == "/desktop/nimbrel.zip"]

    def assert_launched(self, run, command_tail):
        self.assertEqual(run.code, 0)
        self.assertIsNone(run.box)
        self.assertEqual(len(run.launches), 1, run.launches)
        launch = run.launches[0]
        self.assertEqual(launch.command_line, f'"{self.prefix.app_win}"{command_tail}')
        self.assertEqual(launch.cwd, self.prefix.install_win)
        self.assertEqual(launch.image, self.prefix.app_win)

    # ------------------------------------------------------------- launch forms

    def test_installs_and_starts_the_application_in_each_launch_form(self):
        p = self.prefix
        p.fresh()
        # keeps_user_files: plant a file the archive lacks and an old copy of one
        # it has, then check that the first stays and the second is replaced.
        cases = [
            ("first install, space and code", f"setup-team_1.{CODE}.exe", [],
             f' --updated "nimbrel://open?space=team_1&code={CODE}"', False),
            ("space only", "setup-team_1.exe", [], ' --updated "nimbrel://open?space=team_1"',
             False),
            ("neither", "nimbrel-setup.exe", [], " --updated", False),
            # The rest of the command line goes on unchanged, quotes included.
            ("update with an argument", f"setup-team_1.{CODE}.exe",
             ["--update", "nimbrel://open?space=x", "b c"],
             ' --updated nimbrel://open?space=x "b c"', True),
            # "--update" alone: the launch command ends in one blank.
            ("update without an argument", f"setup-team_1.{CODE}.exe", ["--update"],
             " --updated ", False),
        ]
        for label, name, args, tail, keeps_user_files in cases:
            with self.subTest(label):
                if keeps_user_files:
                    # Files the archive lacks stay; files it has are replaced.
                    (p.install / "user-notes.txt").write_text("mine\n")
                    (p.install / "resources.dat").write_text("old release\n")
                requests_before = len(self.archive_requests())
                run = p.run_setup(name, args)
                self.assert_launched(run, tail)
                self.assertFalse(p.archive_left())
                for part in ("resources.dat", "lib/sub/notes.txt", "lib/payload.bin"):
                    self.assertEqual((p.install / part).read_bytes(),
                                     (GOOD_STAGE / part).read_bytes(), part)
                self.assertFalse((p.install / "nimbrel-1.0").exists())  # top folder stripped
                if keeps_user_files:
                    self.assertEqual((p.install / "user-notes.txt").read_text(), "mine\n")
                fetched = self.archive_requests()[requests_before:]
                self.assertEqual([(r["method"], r["user_agent"], r["complete"]) for r in fetched],
                                 [("GET", "Nimbrel", True)])

    # ------------------------------------------------------------- registration

    def test_registers_scheme_uninstall_entry_and_shortcuts_without_duplicates(self):
        p = self.prefix
        p.fresh()
        folders = p.inspect("shortcuts")
        planted = [self.session.unix_path(folders[f]["path"]) / "Nimbrel.lnk"
                   for f in ("programs", "desktop")]

        def sz(name, text):
            return {"name": name, "type": "REG_SZ", "size": 2 * (len(text) + 1), "data": text,
                    "terminated": True}

        def dword(name, number):
            return {"name": name, "type": "REG_DWORD", "size": 4, "data": number}

        expected_registry = {
            "classes": {"exists": True, "subkeys": ["shell"],
                        "values": [sz("", "URL:Nimbrel"), sz("URL Protocol", "")]},
            "command": {"exists": True, "subkeys": [],
                        "values": [sz("", f'"{p.app_win}" "%1"')]},
            "uninstall": {"exists": True, "subkeys": [], "values": sorted([
                sz("DisplayName", "Nimbrel Desktop"),
                sz("Publisher", "Nimbrel"),
                sz("InstallLocation", p.install_win),
                sz("DisplayIcon", f'"{p.app_win}",0'),
                sz("UninstallString", f'"{p.app_win}" --uninstall'),
                dword("NoModify", 1),
                dword("NoRepair", 1),
                dword("EstimatedSize", 220000),
            ], key=lambda v: v["name"])},
        }
        seen = []
        for attempt in ("first run", "second run"):
            with self.subTest(attempt):
                for link in planted:
                    link.write_bytes(b"a shortcut of an earlier release")
                self.assert_launched(p.run_setup(), " --updated")
                registry = p.inspect("registry")
                for key in registry.values():
                    key["values"].sort(key=lambda v: v["name"])
                self.assertEqual(registry, expected_registry)
                shortcuts = p.inspect("shortcuts")
                for folder in ("programs", "desktop"):
                    entry = shortcuts[folder]
                    self.assertEqual(entry["links"], ["Nimbrel Desktop.lnk"], folder)
                    link = entry["shortcut"]
                    self.assertTrue(link["loaded"], folder)
                    self.assertEqual(
                        (link["target"], link["arguments"], link["working_directory"],
                         link["icon"], link["icon_index"], link["description"]),
                        (p.app_win, "", p.install_win, p.app_win, 0, "Nimbrel Desktop"), folder)
                    self.check_app_user_model_id(folder, link)
                seen.append((registry, shortcuts))
        if len(seen) == 2:
            self.assertEqual(seen[0], seen[1])

    def check_app_user_model_id(self, folder, link):
        """The ID is either read back as set, or (Wine 8) not stored at all: the
        shell link keeps no property and its bytes hold no "Nimbrel.app"."""
        if link.get("app_id") is not None or link["raw_has_utf16_id"]:
            self.assertEqual(link.get("app_id"), "Nimbrel.app", folder)
            return
        self.assertEqual((link.get("property_count"), link["raw_has_ascii_id"]), (0, False), folder)
        if folder == "programs":
            print(f"\nnote: the shell link in this Wine stores no application user model ID "
                  f"(GetValue 0x{link.get('app_id_hresult', 0):08x}, {link['file_bytes']} bytes, "
                  f"no UTF-16 \"Nimbrel.app\" in them)", flush=True)

    # ------------------------------------------------------------- running copies

    def test_stops_copies_inside_the_install_folder_and_leaves_a_sibling_running(self):
        p = self.prefix
        p.fresh()
        self.assert_launched(p.run_setup(), " --updated")
        sibling = p.local / "Programs" / "nimbrel-old"
        sibling.mkdir(exist_ok=True)
        shutil.copy(FAKE_APP, sibling / "nimbrel.exe")
        shutil.copy(FAKE_APP, p.install / "lib" / "sub" / "helper.exe")
        copies = {
            "the application": p.app_win,
            # Only A-Z differ in case: still the install folder.
            "a subfolder copy, upper case": (p.install_win + "\\lib\\sub\\helper.exe").upper(),
            "a sibling folder": p.session.win_path(sibling / "nimbrel.exe"),
        }
        before = len(p.launches())
        running = {label: self.session.start([path, "--keep-running"])
                   for label, path in copies.items()}
        deadline = time.monotonic() + 30
        while len(p.launches()) < before + len(copies) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(sorted(l.image for l in p.launches()[before:]), sorted(copies.values()))
        try:
            self.assert_launched(p.run_setup(), " --updated")
            for label in ("the application", "a subfolder copy, upper case"):
                with self.subTest(label):
                    # Stopped from outside with exit code 0 (ending by itself gives 3).
                    self.assertEqual(running[label].wait(15), 0)
            with self.subTest("a sibling folder"):
                self.assertIsNone(running["a sibling folder"].poll())
                images = [process["image"] for process in p.inspect("processes")]
                self.assertIn(copies["a sibling folder"], images)
        finally:
            (sibling / "stop-running").write_text("")
            (p.install / "lib" / "sub" / "stop-running").write_text("")
            (p.install / "stop-running").write_text("")
            codes = {label: process.wait(20) for label, process in running.items()}
            for name in (sibling, p.install / "lib" / "sub", p.install):
                (name / "stop-running").unlink(missing_ok=True)
        self.assertEqual(codes["a sibling folder"], 3)

    # ------------------------------------------------------------- failures

    def test_an_archive_that_tar_cannot_unpack_shows_the_unpacking_message(self):
        """Records that are whole and bring the application, data that is not: only
        tar can tell, and its exit code decides."""
        p = self.prefix
        corrupt = self.work / "corrupt.zip"
        make_corrupt_zip(corrupt)
        p.fresh()
        self.server.route("/desktop/nimbrel.zip", file=corrupt)
        run = p.run_setup(box=True)
        self.assertEqual((run.code, run.box, run.launches), (0, UNPACKING_FAILURE, []))
        self.assertFalse(p.archive_left())
        # tar left part of nimbrel.exe behind: its exit code alone decides.
        self.assertTrue((p.install / "nimbrel.exe").exists())
        # tar was given the NUL device, never a console to wait on.
        record = self.tar_log().split("command line: ")[-1]
        self.assertIn("stdin: NUL device", record)

    def tar_log(self):
        log = self.session.prefix / "drive_c" / "windows" / "temp" / "nimbrel-tar.log"
        return log.read_text() if log.exists() else ""

    def test_archives_that_cannot_install_are_refused_before_anything_changes(self):
        """Over an installation with a running copy: each archive ends in its message
        while the copy keeps running, tar never starts and the installation stays
        byte for byte; the good archive then still installs over it."""
        p = self.prefix
        made = self.work / "refused"
        made.mkdir(exist_ok=True)
        app = FAKE_APP.read_bytes()
        zip_of(made / "empty.zip", [])
        zip_of(made / "top-level.zip", [("nimbrel.exe", app), ("nimbrel-1.0/resources.dat", b"x")])
        zip_of(made / "two-down.zip", [("nimbrel-1.0/bin/nimbrel.exe", app)])
        make_encrypted_zip(made / "encrypted.zip", GOOD_STAGE)
        make_locally_encrypted_zip(made / "local-encrypted.zip")
        outside = self.session.run_dir / "outside" / "absolute-escape.txt"
        make_hostile_zip(made / "hostile.zip", outside)
        cases = [
            ("an empty ZIP", dict(file=made / "empty.zip"), UNPACKING_FAILURE),
            ("only data files", dict(file=NOEXE_ZIP), UNPACKING_FAILURE),
            ("the application at the top level", dict(file=made / "top-level.zip"),
             UNPACKING_FAILURE),
            ("the application two folders down", dict(file=made / "two-down.zip"),
             UNPACKING_FAILURE),
            ("the application as a folder", dict(file=EXEDIR_ZIP), UNPACKING_FAILURE),
            ("encrypted entries", dict(file=made / "encrypted.zip"), UNPACKING_FAILURE),
            ("encrypted in a local header only", dict(file=made / "local-encrypted.zip"),
             UNPACKING_FAILURE),
            ("entries that leave the install folder", dict(file=made / "hostile.zip"),
             UNPACKING_FAILURE),
            # Wine's WinHTTP takes a chunked body ended by the server's close as complete.
            ("a chunked body closed after the application's entry",
             dict(file=GOOD_ZIP, chunked=True, break_after=end_of_application_entry(),
                  abort="close"), DOWNLOAD_FAILURE),
        ]
        with self.installed_with_a_running_copy() as (running, files, installed):
            tar_calls = self.tar_log().count("command line: ")
            for label, answer, message in cases:
                with self.subTest(label):
                    self.server.route("/desktop/nimbrel.zip", **answer)
                    started = time.monotonic()
                    run = p.run_setup(box=True)
                    self.assertEqual((run.code, run.box, run.launches), (0, message, []))
                    self.assertLess(time.monotonic() - started, 60)
                    self.assertFalse(p.archive_left())
                    self.assertIsNone(running.poll(), "the running copy was stopped")
                    self.assertEqual(files(), installed)
                    self.assertEqual(self.tar_log().count("command line: "), tar_calls)
            self.assertFalse(outside.exists())
        with self.subTest("the good archive over the same installation"):
            self.server.route("/desktop/nimbrel.zip", file=GOOD_ZIP)
            self.assert_launched(p.run_setup(), " --updated")
            self.assertEqual((p.install / "lib" / "payload.bin").read_bytes(),
                             (GOOD_STAGE / "lib" / "payload.bin").read_bytes())

    @contextlib.contextmanager
    def installed_with_a_running_copy(self):
        """A fresh installation and a copy of it running. Yields the copy, a function
        that reads the install folder's files and what they were; stops the copy
        afterwards and checks that it ended by itself, never stopped from outside."""
        p = self.prefix
        p.fresh()
        self.assert_launched(p.run_setup(), " --updated")

        def files():
            return {path.relative_to(p.install): path.read_bytes()
                    for path in p.install.rglob("*") if path.is_file()}

        installed = files()
        before = len(p.launches())
        running = self.session.start([p.app_win, "--keep-running"])
        deadline = time.monotonic() + 30
        while len(p.launches()) == before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(p.launches()), before + 1)
        try:
            yield running, files, installed
        finally:
            (p.install / "stop-running").write_text("")
            code = running.wait(20)
            (p.install / "stop-running").unlink(missing_ok=True)
        self.assertEqual(code, 3)

    def test_failed_download_shows_the_download_message_and_leaves_no_archive(self):
        p = self.prefix
        # Redirected to plain HTTP on another loopback port: refused, never fetched.
        plain = TestServer(host="127.0.0.1")
        self.addCleanup(plain.stop)
        plain.route("/desktop/nimbrel.zip", file=GOOD_ZIP)
        cases = [
            ("404", dict(status=404, body=b"not here\n")),
            ("cut short after 1 MB", dict(file=GOOD_ZIP, break_after=1_000_000)),
            ("a stall past the time-out", stalled_archive()),
            # Status 200 and nothing else: no archive, though tar would take the
            # empty file and an installation already there would pass for new.
            ("an empty body without a length", dict(body=b"", length=None)),
            ("a redirect from HTTPS to HTTP",
             dict(status=302, headers={"Location": plain.url("/desktop/nimbrel.zip")})),
        ]
        for label, answer in cases:
            with self.subTest(label):
                p.fresh()
                self.server.route("/desktop/nimbrel.zip", **answer)
                before = len(self.archive_requests())
                run = p.run_setup(box=True)
                self.assertEqual((run.code, run.box, run.launches), (0, DOWNLOAD_FAILURE, []))
                self.assertEqual(len(self.archive_requests()), before + 1)
                self.assertFalse(p.archive_left())
                self.assertFalse(p.install.exists())
        self.assertEqual((plain.connections, plain.requests), (0, []))

    def test_a_redirect_on_the_same_server_is_followed(self):
        p = self.prefix
        p.fresh()
        self.server.route("/desktop/nimbrel.zip", status=302,
                          headers={"Location": "/desktop/moved/nimbrel.zip"})
        self.server.route("/desktop/moved/nimbrel.zip", file=GOOD_ZIP)
        before = len(self.server.requests)
        self.assert_launched(p.run_setup(), " --updated")
        self.assertFalse(p.archive_left())
        fetched = [(r["path"], r["complete"]) for r in self.server.requests[before:]
                   if r["path"] != "/desktop/version.json"]
        self.assertEqual(fetched, [("/desktop/nimbrel.zip", True),
                                   ("/desktop/moved/nimbrel.zip", True)])

    def test_a_failed_read_without_a_length_leaves_the_installation_and_its_running_copy(self):
        """A broken transfer whose server announced no length is still a failed
        download: nothing is stopped, nothing unpacked over the installation."""
        p = self.prefix
        with self.installed_with_a_running_copy() as (running, files, installed):
            # Half the archive, then the receive time-out. (A reset would do on
            # Windows; under Wine a reset that meets a waiting read may end the
            # body like the server's close, which no client can tell apart.)
            self.server.route("/desktop/nimbrel.zip", **stalled_archive(length=None))
            run = p.run_setup(box=True)
            self.assertEqual((run.code, run.box, run.launches), (0, DOWNLOAD_FAILURE, []))
            self.assertFalse(p.archive_left())
            self.assertIsNone(running.poll(), "the running copy was stopped")
            self.assertEqual(files(), installed)

    def test_second_setup_during_a_download_cannot_open_the_archive(self):
        p = self.prefix
        p.fresh()
        # About 9 s for the first download; the second setup fails within 2 or 3.
        self.server.route("/desktop/nimbrel.zip", file=GOOD_ZIP, rate=350_000)
        before = len(self.archive_requests())
        first = self.session.start([p.setup_copy("nimbrel-setup.exe")])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            fetched = self.archive_requests()[before:]
            if fetched and fetched[0]["sent"] > 0:
                break
            time.sleep(0.1)
        else:
            self.fail("the first setup's download did not start")
        second = p.run_setup("setup-team_2.exe", box=True)
        self.assertEqual((second.code, second.box, second.launches), (0, DOWNLOAD_FAILURE, []))
        # The second setup neither fetched nor deleted anything: the first goes on.
        self.assertEqual(first.wait(60), 0)
        self.assertEqual(len(self.archive_requests()), before + 1)
        self.assertEqual([l.command_line for l in p.launches()], [f'"{p.app_win}" --updated'])
        self.assertFalse(p.archive_left())

    # ------------------------------------------------------------- long paths

    def test_installs_under_the_longest_local_app_data_that_fits(self):
        """LOCALAPPDATA of 230 characters: the application path is exactly 259, the
        longest that fits, and the installation runs as under the usual folder."""
        local_win = "C:\\" + "L" * 227
        local = self.session.unix_path(local_win)
        local.mkdir(exist_ok=True)
        install_win = local_win + "\\Programs\\nimbrel"
        app_win = install_win + "\\nimbrel.exe"
        self.assertEqual((len(local_win), len(app_win)), (230, 259))
        records = local / "nimbrel-launches.txt"  # the application inherits LOCALAPPDATA
        setup = self.session.start([LAUNCH_ENV, "--set", f"LOCALAPPDATA={local_win}", "--",
                                    self.prefix.setup_copy("nimbrel-setup.exe")])
        try:
            code = setup.wait(90)
        except subprocess.TimeoutExpired:
            reader = self.session.run([DIALOG_READER, "2"], timeout=30)
            self.session.kill_all()
            self.fail(f"the setup did not end within 90 s; box: {reader.stdout.strip() or None}")
        deadline = time.monotonic() + 10
        while not records.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(code, 0)
        self.assertTrue(records.exists(), "the application was not started")
        launches = [Launch(*line.split("\t", 3))
                    for line in records.read_text(encoding="utf-8").splitlines()]
        self.assertEqual([(l.image, l.cwd, l.command_line) for l in launches],
                         [(app_win, install_win, f'"{app_win}" --updated')])
        install = local / "Programs" / "nimbrel"
        self.assertEqual((install / "lib" / "payload.bin").read_bytes(),
                         (GOOD_STAGE / "lib" / "payload.bin").read_bytes())
        registry = self.prefix.inspect("registry")
        values = {v["name"]: v["data"] for v in registry["uninstall"]["values"]}
        self.assertEqual(values["InstallLocation"], install_win)
        self.assertEqual(values["UninstallString"], f'"{app_win}" --uninstall')
        self.assertEqual(self.prefix.inspect("shortcuts")["programs"]["shortcut"]["target"], app_win)

    # ------------------------------------------------------------- in process

    def test_posted_messages_in_process(self):
        """install_worker_wine_test.exe: ArchiveSink chunk by chunk, and whole worker
        runs with the messages they post, for a good archive, a 404 and an archive
        without nimbrel.exe."""
        p = self.prefix
        scenarios = [("good", dict(file=GOOD_ZIP)), ("missing", dict(status=404)),
                     ("noexe", dict(file=NOEXE_ZIP))]
        for served, answer in scenarios:
            with self.subTest(served):
                p.fresh()
                self.server.route("/desktop/nimbrel.zip", **answer)
                only = [] if served == "good" else ["--gtest_filter=InstallWorkerRun.*"]
                result = self.session.run(
                    [WORKER_TEST, *only], timeout=120,
                    env_extra={"NIMBREL_SERVED": served,
                               "NIMBREL_ARCHIVE_BYTES": GOOD_ZIP.stat().st_size})
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class LongDesktopFolder(unittest.TestCase):
    """A desktop folder of 251 characters (User Shell Folders), where
    "<desktop>\\Nimbrel Desktop.lnk" and "<desktop>\\Nimbrel.lnk" do not fit in 259
    and would both be cut to "<desktop>\\Nimbrel"."""

    def test_a_desktop_too_long_for_the_shortcut_is_left_alone(self):
        certs = testbed.make_certs(BUILD)
        with testbed.WineSession(BUILD, "install-long-desktop") as session, \
                serve(certs) as server:
            server.route("/desktop/nimbrel.zip", file=GOOD_ZIP)
            desktop_win = "C:\\" + "D" * 248
            desktop = session.unix_path(desktop_win)
            desktop.mkdir()
            planted = {"Nimbrel": b"the user's own file\n",
                       "Nimbrel.lnk": b"a shortcut of an earlier release"}
            for name, data in planted.items():
                (desktop / name).write_bytes(data)
            moved = session.run(
                ["reg", "add",
                 r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders",
                 "/v", "Desktop", "/t", "REG_EXPAND_SZ", "/d", desktop_win, "/f"], timeout=60)
            self.assertEqual(moved.returncode, 0, moved.stdout + moved.stderr)
            p = Prefix(session)
            self.assertEqual(p.inspect("shortcuts")["desktop"]["path"], desktop_win)

            run = p.run_setup()
            self.assertEqual((run.code, run.box, len(run.launches)), (0, None, 1))
            # Nothing deleted, replaced or added on the desktop.
            self.assertEqual({f.name: f.read_bytes() for f in desktop.iterdir()}, planted)
            # The Start menu shortcut and the registry entries are still written.
            programs = p.inspect("shortcuts")["programs"]
            self.assertEqual(programs["links"], ["Nimbrel Desktop.lnk"])
            self.assertEqual(programs["shortcut"]["target"], p.app_win)
            registry = p.inspect("registry")
            self.assertEqual([registry[k]["exists"] for k in ("classes", "command", "uninstall")],
                             [True, True, True])
            command = f'"{p.app_win}" "%1"'
            self.assertIn({"name": "", "type": "REG_SZ", "size": 2 * (len(command) + 1),
                           "data": command, "terminated": True}, registry["command"]["values"])


class NoServer(unittest.TestCase):
    """Nothing listens on the setup's port: the port is held, bound but never
    listened on, so no other suite's server can take it meanwhile."""

    @staticmethod
    def hold_port(family, host, wait_s=300):
        deadline = time.monotonic() + wait_s
        while True:
            holder = socket.socket(family, socket.SOCK_STREAM)
            try:
                # No SO_REUSEADDR: a server that wants the port must wait for it.
                holder.bind((host, PORT))
                return holder
            except OSError as error:
                holder.close()
                if error.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
                    return None  # the machine has no such loopback
                if error.errno != errno.EADDRINUSE or time.monotonic() > deadline:
                    raise
                time.sleep(0.5)

    def test_no_server_shows_the_download_message(self):
        with ExitStack() as stack:
            for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                holder = self.hold_port(family, host)
                if holder:
                    stack.callback(holder.close)
            session = stack.enter_context(testbed.WineSession(BUILD, "install-no-server"))
            p = Prefix(session)
            run = p.run_setup(box=True)
            self.assertEqual((run.code, run.box, run.launches), (0, DOWNLOAD_FAILURE, []))
            self.assertFalse(p.archive_left())
            self.assertFalse(p.install.exists())


class MissingTar(unittest.TestCase):
    """A prefix without C:\\windows\\system32\\tar.exe."""

    def test_missing_tar_shows_the_unpacking_message(self):
        def remove_tar(session):
            (session.prefix / "drive_c" / "windows" / "system32" / "tar.exe").unlink()

        certs = testbed.make_certs(BUILD)
        with testbed.WineSession(BUILD, "install-no-tar", hook=remove_tar) as session, \
                serve(certs) as server:
            server.route("/desktop/nimbrel.zip", file=GOOD_ZIP)
            p = Prefix(session)
            run = p.run_setup(box=True)
            self.assertEqual((run.code, run.box, run.launches), (0, UNPACKING_FAILURE, []))
            self.assertTrue([r for r in server.requests if r["path"] == "/desktop/nimbrel.zip"
                             and r["complete"]])
            self.assertFalse(p.archive_left())
            self.assertFalse((p.install / "nimbrel.exe").exists())


if __name__ == "__main__":
    unittest.main()
