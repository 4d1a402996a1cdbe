"""The release tool (tools/release.py), natively: what it makes from good and
bad application folders and versions, and what --check says of good and bad
archives and version documents, made here with zipfile and bsdtar; signed
releases, made by the tool and by the openssl commands of
docs/archive-signature.md, and what --check --public-key refuses. What tar
makes of crafted archives is in test_release_tar.py."""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import warnings
import zipfile
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
SOURCE = Path(os.environ.get("NIMBREL_SOURCE", Path(__file__).resolve().parents[2]))
TOOL = SOURCE / "tools" / "release.py"

EXE = b"MZ stand-in for nimbrel.exe\n"
FOLDER = object()  # an (empty) folder in a tree
FIFO = object()  # a named pipe in a tree


def link(target):
    return ("link", target)


def run_tool(*args):
    done = subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, timeout=120)
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"))


def make_tree(root, tree):
    """Writes `tree` (relative name, str or bytes -> bytes, FOLDER, FIFO or
    link(target)) below `root`."""
    root = os.fsencode(root)
    for name, what in tree.items():
        path = os.path.join(root, os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if what is FOLDER:
            os.makedirs(path, exist_ok=True)
        elif what is FIFO:
            os.mkfifo(path)
        elif isinstance(what, tuple):
            os.symlink(what[1], path)
        else:
            with open(path, "wb") as out:
                out.write(what)


def tree_of(root):
    """Every file (-> its bytes) and folder (-> FOLDER) below `root`."""
    found = {}
    for folder, folders, files in os.walk(root):
        for name in folders:
            found[os.path.relpath(os.path.join(folder, name), root)] = FOLDER
        for name in files:
            found[os.path.relpath(os.path.join(folder, name), root)] = \
                Path(folder, name).read_bytes()
    return found


def zip_of(path, entries, **options):
    """A ZIP written by zipfile: entries are (name, bytes), (name, None) for a
    folder, or (name, bytes, unix mode)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are wanted here
        with zipfile.ZipFile(path, "w", **options) as archive:
            for name, data, *mode in entries:
                info = zipfile.ZipInfo(name)
                info.create_system = 3
                if mode:
                    info.external_attr = mode[0] << 16
                elif data is None:
                    info.external_attr = (0o40755 << 16) | 0x10
                else:
                    info.external_attr = 0o100644 << 16
                info.compress_type = options.get("compression", zipfile.ZIP_DEFLATED)
                archive.writestr(info, b"" if data is None else data)


def bsdtar_zip(path, stage, top, env=None):
    subprocess.run(["bsdtar", "--format", "zip", "-cf", str(path), "-C", str(stage), top],
                   check=True, timeout=60, capture_output=True, env=env)


class Work(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="release-test-"))
        self.addCleanup(shutil.rmtree, self.work, True)

    def fresh(self, name):
        folder = self.work / name
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        return folder


class MakingARelease(Work):
    def make(self, tree, version, out=None):
        case = self.fresh("case")
        app = case / "app"
        app.mkdir()
        make_tree(app, tree)
        out = out or case / "out"
        return (app, out, *run_tool("--app", str(app), "--version", version, "--out", str(out)))

    def test_good_folders_make_a_release_that_unpacks_to_the_folder_and_passes_check(self):
        nested = {
            "nimbrel.exe": EXE,
            "lib/sub/data.bin": os.urandom(70_000),
            "empty": FOLDER,
            "résumé ä.txt": b"non-ASCII names are UTF-8\n",
            ".config/settings.ini": b"[a]\n",
            # Near misses of the Windows rules: fine as they are.
            "CONSOLE.txt": b"", "COM10.log": b"", "nul-but-longer.txt": b"", "a.b.c": b"",
            " leading space.txt": b"", "Straße.txt": b"1", "STRASSE.TXT": b"2",
        }
        longest = "a" * 49 + "/" + "b" * 49 + "/" + "c" * 50  # 150 UTF-16 units
        table = [
            ("only nimbrel.exe", {"nimbrel.exe": EXE}, "2.4.0"),
            ("nested, empty folder, non-ASCII and near-miss names", nested, "3.0.0-beta.2"),
            ("the longest path, a 79-byte version", {"nimbrel.exe": EXE, longest: b"x"}, "7" * 79),
            ("a non-ASCII version of 79 bytes", {"nimbrel.exe": EXE}, "é" * 39 + "x"),
        ]
        for label, tree, version in table:
            with self.subTest(label):
                app, out, code, stdout, stderr = self.make(tree, version)
                self.assertEqual((code, stderr), (0, ""))
                archive, document = out / "desktop" / "nimbrel.zip", out / "desktop" / "version.json"
                self.assertEqual(sorted(p.name for p in out.iterdir()), ["desktop"])
                self.assertEqual(sorted(p.name for p in (out / "desktop").iterdir()),
                                 ["nimbrel.zip", "version.json"])
                self.assertEqual(document.read_bytes(),
                                 b'{"version":"' + version.encode() + b'"}\n')
                self.assertEqual(json.loads(document.read_bytes())["version"], version)
                for path in (archive, document):
                    digest = hashlib.sha256(path.read_bytes()).hexdigest()
                    self.assertRegex(stdout, rf"desktop/{path.name}\s+{path.stat().st_size} bytes"
                                             rf"\s+sha256 {digest}")
                with zipfile.ZipFile(archive) as opened:
                    names = [info.filename for info in opened.infolist()]
                    self.assertEqual(names, sorted(names, key=str.encode))
                    self.assertTrue(all(name == "nimbrel/" or name.startswith("nimbrel/")
                                        for name in names))
                    self.assertEqual({info.date_time for info in opened.infolist()},
                                     {(1980, 1, 1, 0, 0, 0)})
                # What the setup's tar makes of it is the application folder.
                unpacked = self.fresh("unpacked")
                subprocess.run(["bsdtar", "-xf", str(archive), "--strip-components=1",
                                "-C", str(unpacked)], check=True, timeout=60)
                self.assertEqual(tree_of(unpacked), tree_of(app))
                code, stdout, _ = run_tool("--check", str(out))
                self.assertEqual(code, 0, stdout)
                self.assertIn(f"Build {version}", stdout)

    def test_the_same_folder_and_version_give_the_same_bytes(self):
        app = self.fresh("app")
        make_tree(app, {"nimbrel.exe": EXE, "b/two.txt": b"2", "a/one.txt": b"1", "c": FOLDER})
        outputs = []
        for attempt in range(2):
            if attempt:  # other timestamps and permissions change nothing
                for path in app.rglob("*"):
                    os.utime(path, (1_700_000_000, 1_700_000_000))
                (app / "nimbrel.exe").chmod(0o755)
            out = self.work / f"out{attempt}"
            self.assertEqual(run_tool("--app", str(app), "--version", "1.0", "--out", str(out))[0], 0)
            outputs.append([(out / "desktop" / name).read_bytes()
                            for name in ("nimbrel.zip", "version.json")])
        self.assertEqual(outputs[0], outputs[1])

    def test_an_existing_empty_output_folder_is_used(self):
        out = self.fresh("empty-out")
        _, _, code, _, stderr = self.make({"nimbrel.exe": EXE}, "1.0", out=out)
        self.assertEqual((code, stderr), (0, ""))
        self.assertTrue((out / "desktop" / "nimbrel.zip").is_file())

    def assert_refused(self, result, fragment, out):
        app, expected_out, code, stdout, stderr = result
        lines = stderr.splitlines()
        self.assertEqual(code, 1, stdout + stderr)
        self.assertEqual(len(lines), 1, stderr)
        self.assertIn(fragment, lines[0])
        self.assertTrue(lines[0].startswith("release.py: refused: "), lines[0])
        # Nothing written: no output folder, no staging folder beside it.
        if out is None:
            self.assertFalse(expected_out.exists())
        self.assertEqual(sorted(p.name for p in expected_out.parent.iterdir()),
                         sorted(["app", *([expected_out.name] if out is not None else [])]))

    def test_bad_folders_are_refused_with_one_line_and_nothing_written(self):
        good = {"nimbrel.exe": EXE}
        table = [
            ("no nimbrel.exe", {"readme.txt": b""}, "no nimbrel.exe directly inside the application"),
            ("nimbrel.exe one level too deep", {"bin/nimbrel.exe": EXE},
             "(there is 'bin/nimbrel.exe')"),
            # Found on a case-insensitive folder only: refused.
            ("nimbrel.exe in other case only", {"Nimbrel.exe": EXE},
             "(there is 'Nimbrel.exe': the name must be exactly nimbrel.exe"),
            ("nimbrel.exe a folder", {"nimbrel.exe/x": b""}, "'nimbrel.exe': is a folder, not a file"),
            ("nimbrel.exe a link", {"real.exe": EXE, "nimbrel.exe": link("real.exe")},
             "'nimbrel.exe': is a symbolic link"),
            ("a link out of the folder", {**good, "lib/up": link("../..")},
             "'lib/up': is a symbolic link"),
            ("a named pipe", {**good, "pipe": FIFO}, "'pipe': is neither a regular file nor a folder"),
            ("a backslash", {**good, "a\\b.txt": b""}, "holds a backslash"),
            *[(f"the forbidden {char!r}", {**good, f"lib/x{char}y": b""}, f"holds {char!r}")
              for char in '<>:"|?*'],
            ("a tab", {**good, "a\tb": b""}, "control character U+0009"),
            *[(f"reserved {name!r}", {**good, f"lib/{name}": b""}, "reserved device name")
              for name in ("CON", "nul.txt", "Com1.tar.gz", "LPT9", "aux .txt", "COM\u00b9",
                           "conout$")],
            ("a trailing dot", {**good, "notes.": b""}, "ends in a dot or a space"),
            ("a trailing space", {**good, "lib /a": b""}, "ends in a dot or a space"),
            ("names that differ only in case", {**good, "Readme.txt": b"", "README.TXT": b""},
             "only in case"),
            ("folders that differ only in case", {**good, "lib/a": b"", "LIB/b": b""},
             "only in case"),
            ("a name that is not UTF-8", {**good, b"caf\xe9.txt": b""},
             "'caf\\xe9.txt': is not valid UTF-8"),
            ("a path of 151 units", {**good, "d/" + "e" * 149: b""}, "longer than 150 UTF-16 units"),
            # Characters beyond the BMP count two units each.
            ("75 emoji and a slash, 151 units",
             {**good, "\U0001F600" * 40 + "/" + "\U0001F600" * 35: b""}, "longer than 150"),
        ]
        for label, tree, fragment in table:
            with self.subTest(label):
                self.assert_refused(self.make(tree, "1.0"), fragment, None)

    def test_versions_the_label_cannot_show_whole_are_refused(self):
        table = [
            ("empty", "", "is empty"),
            ("80 bytes", "7" * 80, "is 80 bytes in UTF-8"),
            ("40 two-byte characters", "é" * 40, "is 80 bytes in UTF-8"),
            ("a double quote", '1.0"beta', "double quote"),
            ("a backslash", "1.0\\beta", "backslash"),
            ("a line break", "1.0\n", "U+000A"),
            ("a right-to-left override", "1.0\u202e", "U+202E"),
            ("only blanks", " \u00a0\u3000", "has no visible character"),
            ("only combining marks", "\u0301\u0308", "has no visible character"),
            ("not UTF-8", os.fsdecode(b"1.0\xff"), "is not valid UTF-8"),
        ]
        for label, version, fragment in table:
            with self.subTest(label):
                self.assert_refused(self.make({"nimbrel.exe": EXE}, version), fragment, None)

    def test_output_folders_that_would_mix_releases_are_refused(self):
        with self.subTest("not empty"):
            case = self.fresh("case")
            out = case / "out"
            (out / "desktop").mkdir(parents=True)
            (out / "desktop" / "nimbrel.zip").write_bytes(b"the last release")
            (case / "app").mkdir()
            make_tree(case / "app", {"nimbrel.exe": EXE})
            result = (case / "app", out,
                      *run_tool("--app", str(case / "app"), "--version", "1.0", "--out", str(out)))
            self.assert_refused(result, "exists and is not an empty folder", out)
            self.assertEqual((out / "desktop" / "nimbrel.zip").read_bytes(), b"the last release")
        with self.subTest("inside the application folder"):
            app, _, code, _, stderr = self.make({"nimbrel.exe": EXE}, "1.0",
                                                out=self.work / "case" / "app" / "release")
            self.assertEqual((code, len(stderr.splitlines())), (1, 1), stderr)
            self.assertIn("lies inside the application folder", stderr)
            self.assertEqual(sorted(p.name for p in app.iterdir()), ["nimbrel.exe"])


GOOD_DOCUMENT = b'{"version":"1.2.3"}\n'


class CheckingARelease(Work):
    def release(self, archive_maker=None, document=GOOD_DOCUMENT):
        """A release folder whose archive archive_maker(path) writes (None: no
        archive) and whose version.json is `document` (None: none)."""
        out = self.fresh("release")
        (out / "desktop").mkdir()
        if archive_maker:
            archive_maker(out / "desktop" / "nimbrel.zip")
        if document is not None:
            (out / "desktop" / "version.json").write_bytes(document)
        return out

    def check(self, out):
        code, stdout, stderr = run_tool("--check", str(out))
        self.assertEqual(stderr, "")
        return code, stdout.splitlines()

    def staged(self, tree, top="nimbrel-1.0"):
        stage = Path(tempfile.mkdtemp(prefix="stage-", dir=self.work))
        make_tree(stage / top, tree)
        return stage

    def by_bsdtar(self, tree, top="nimbrel-1.0", env=None):
        stage = self.staged(tree, top)
        return lambda path: bsdtar_zip(path, stage, top, env)

    @staticmethod
    def by_zipfile(*entries, **options):
        return lambda path: zip_of(path, entries, **options)

    @staticmethod
    def patched(maker, old, new):
        """maker's archive with the bytes `old` replaced by `new` everywhere
        (in the local header and the central directory alike)."""
        def make(path):
            maker(path)
            data = path.read_bytes()
            assert data.count(old) == 2, data.count(old)
            path.write_bytes(data.replace(old, new))
        return make

    def test_good_archives_of_other_tools_pass(self):
        table = [
            ("bsdtar, with folder entries and a UTF-8 name",
             self.by_bsdtar({"nimbrel.exe": EXE, "lib/sub/é.txt": b"x", "empty": FOLDER})),
            ("zipfile, without folder entries",
             self.by_zipfile(("app/nimbrel.exe", EXE), ("app/lib/a.txt", b"a"))),
            ("zipfile, stored", self.by_zipfile(("app/nimbrel.exe", EXE),
                                                compression=zipfile.ZIP_STORED)),
        ]
        for label, maker in table:
            with self.subTest(label):
                code, lines = self.check(self.release(maker))
                self.assertEqual(code, 0, lines)
                self.assertEqual(len(lines), 1)
                self.assertIn("the setup will install from this release (Build 1.2.3", lines[0])

    def test_bad_archives_fail_with_one_line(self):
        exe = ("nimbrel/nimbrel.exe", EXE)

        def corrupt(path):
            zip_of(path, [exe, ("nimbrel/data.bin", b"D" * 4000)], compression=zipfile.ZIP_STORED)
            data = bytearray(path.read_bytes())
            data[data.index(b"D" * 4000) + 2000] ^= 0xFF
            path.write_bytes(bytes(data))

        table = [
            ("no top folder", self.by_zipfile(("nimbrel.exe", EXE), ("readme.txt", b"")),
             "2 top-level entries ('nimbrel.exe', 'readme.txt')"),
            ("a lone file", self.by_zipfile(("nimbrel.exe", EXE)),
             "the only top-level entry 'nimbrel.exe' is a file, not a folder"),
            ("two top folders", self.by_zipfile(exe, ("other/readme.txt", b"")),
             "2 top-level entries"),
            ("nimbrel.exe one level too deep", self.by_zipfile(("nimbrel/bin/nimbrel.exe", EXE)),
             "no nimbrel.exe directly inside the top-level folder (there is "
             "'nimbrel/bin/nimbrel.exe')"),
            ("nimbrel.exe a folder",
             self.by_zipfile(("nimbrel/nimbrel.exe/", None), ("nimbrel/nimbrel.exe/a", b"")),
             "'nimbrel/nimbrel.exe': is a folder, not a file"),
            ("nimbrel.exe a symlink", self.by_zipfile(("nimbrel/nimbrel.exe", b"../x", 0o120777)),
             "'nimbrel/nimbrel.exe': is a symbolic link"),
            ("a symlink by bsdtar", self.by_bsdtar({"nimbrel.exe": EXE, "up": link("../..")}),
             "'nimbrel-1.0/up': is a symbolic link"),
            ("a named pipe", self.by_zipfile(exe, ("nimbrel/pipe", b"", 0o010644)),
             "'nimbrel/pipe': is neither a regular file nor a folder"),
            ("a '..' entry", self.by_zipfile(exe, ("nimbrel/../../evil.txt", b"")),
             "'nimbrel/../../evil.txt': leaves the folder"),
            ("an absolute entry", self.by_zipfile(exe, ("/tmp/evil.txt", b"")),
             "'/tmp/evil.txt': is an absolute path"),
            ("a backslash name", self.by_zipfile(exe, ("nimbrel\\..\\evil.txt", b"")),
             "holds a backslash"),
            ("a reserved device name", self.by_zipfile(exe, ("nimbrel/lib/aux.dll", b"")),
             "reserved device name AUX"),
            ("names that differ only in case",
             self.by_zipfile(exe, ("nimbrel/a.txt", b""), ("nimbrel/A.TXT", b"")), "only in case"),
            ("a file and a folder of one name",
             self.by_zipfile(exe, ("nimbrel/lib", b""), ("nimbrel/lib/a", b""), ("nimbrel/lib/b", b"")),
             "'nimbrel/lib': is both a file and a folder"),
            ("the same name twice", self.by_zipfile(exe, ("nimbrel/a.txt", b"1"), ("nimbrel/a.txt", b"2")),
             "'nimbrel/a.txt': appears twice"),
            ("a corrupt member", corrupt, "'nimbrel/data.bin': cannot be unpacked (Bad CRC-32"),
            ("a name not marked as UTF-8",
             self.by_bsdtar({"nimbrel.exe": EXE, "é.txt": b""}, env={**os.environ, "LC_ALL": "C"}),
             "not marked as UTF-8"),
            ("a name marked as UTF-8 that is not",
             self.patched(self.by_zipfile(exe, ("nimbrel/caf\u00e9.txt", b"")),
                          "caf\u00e9".encode(), b"caf\xe9\xff"),
             "a name marked as UTF-8 is not valid UTF-8"),
            ("not a ZIP", lambda path: path.write_bytes(b"<html>404</html>\n"),
             "does not begin with a ZIP local header"),
            ("no archive", None, "desktop/nimbrel.zip: missing"),
        ]
        for label, maker, fragment in table:
            with self.subTest(label):
                code, lines = self.check(self.release(maker))
                self.assertEqual(code, 1)
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(fragment, lines[0])
                if maker is not None:
                    self.assertTrue(lines[0].startswith("desktop/nimbrel.zip: "), lines[0])

    def test_version_documents_pass_exactly_when_the_label_shows_the_version(self):
        good_zip = self.by_zipfile(("nimbrel/nimbrel.exe", EXE))
        good = [
            ("plain", GOOD_DOCUMENT, "Build 1.2.3"),
            ("79 bytes", b'{"version":"' + b"7" * 79 + b'"}', "Build " + "7" * 79),
            ("a UTF-8 byte-order mark, which the scan reads over",
             b"\xef\xbb\xbf" + GOOD_DOCUMENT, "Build 1.2.3"),
            ("white space and other members first",
             '{\n  "channel": "stable",\n  "version" :\n "2.0-é"\n}\n'.encode(), "Build 2.0-é"),
        ]
        for label, document, shown in good:
            with self.subTest(label):
                code, lines = self.check(self.release(good_zip, document))
                self.assertEqual(code, 0, lines)
                self.assertIn(f"({shown},", lines[0])
        bad = [
            ("80 bytes", b'{"version":"' + b"7" * 80 + b'"}', ["has a value of 80 bytes"]),
            ("an escaped quote", b'{"version":"1.0\\"beta"}', ["'1.0\\' holds a backslash"]),
            ("empty", b'{"version":""}', ["is empty"]),
            ("no key", b'{"Version":"1.0"}', ['has no "version" key in the first 511 bytes']),
            ("the key beyond byte 511", b'{"notes":"' + b"x" * 500 + b'","version":"1.0"}',
             ['has no "version" key in the first 511 bytes']),
            ("a NUL byte before the key", b'\0{"version":"1.0"}',
             ["is not valid JSON", 'has no "version" key before the NUL byte at 0']),
            ("a number, then a member", b'{"version":1.2,"channel":"beta"}',
             ["the label would show 'channel', not the document's version 1.2"]),
            ("no closing quote", b'{"version":"1.0', ["is not valid JSON", "no closing quote"]),
            ("not JSON, though the scan finds it", b'{"version":"1.0",}', ["is not valid JSON"]),
            ("not UTF-8", b'{"version":"1.0\xff"}', ["'1.0\\xff' is not valid UTF-8"]),
            ("no version document", None, ["desktop/version.json: missing"]),
        ]
        for label, document, fragments in bad:
            with self.subTest(label):
                code, lines = self.check(self.release(good_zip, document))
                self.assertEqual(code, 1)
                self.assertEqual(len(lines), len(fragments), lines)
                for line, fragment in zip(lines, fragments):
                    self.assertTrue(line.startswith("desktop/version.json: "), line)
                    self.assertIn(fragment, line)

    def test_every_problem_gets_its_own_line(self):
        maker = self.by_zipfile(("nimbrel/nimbrel.exe", EXE), ("nimbrel/../x", b""),
                                ("nimbrel/prn", b""))
        code, lines = self.check(self.release(maker, document=None))
        self.assertEqual(code, 1)
        self.assertEqual(len(lines), 3, lines)
        for fragment, line in zip(["leaves the folder", "reserved device name PRN",
                                   "version.json: missing"], lines):
            self.assertIn(fragment, line)


PASSWORD = "correct horse"
MARKER = b"NIMBREL-SIG-1 "


def openssl(*args, env=None):
    subprocess.run(["openssl", *args], check=True, timeout=60, capture_output=True,
                   env=env, stdin=subprocess.DEVNULL)


def doc_block(tag):
    """A shell block of docs/archive-signature.md, as a publisher would paste it."""
    doc = (SOURCE / "docs" / "archive-signature.md").read_text(encoding="utf-8")
    return re.search(rf"<!-- {tag} -->\n```sh\n(.*?)```", doc, re.S).group(1)


class SigningARelease(Work):
    """Keys made here at run time: an encrypted one (the password in the
    environment), a plain one and one of another curve."""

    def setUp(self):
        super().setUp()
        self.keys = self.fresh("keys")
        self.env = {**os.environ, "NIMBREL_ARCHIVE_KEY_PASSWORD": PASSWORD}
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-aes-256-cbc", "-pass", "env:NIMBREL_ARCHIVE_KEY_PASSWORD",
                "-out", str(self.keys / "private.pem"), env=self.env)
        openssl("ec", "-in", str(self.keys / "private.pem"), "-passin",
                "env:NIMBREL_ARCHIVE_KEY_PASSWORD", "-pubout", "-out",
                str(self.keys / "public.pem"), env=self.env)
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout",
                "-out", str(self.keys / "other.pem"))
        openssl("ec", "-in", str(self.keys / "other.pem"), "-pubout",
                "-out", str(self.keys / "other-public.pem"))
        openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout",
                "-out", str(self.keys / "p384.pem"))
        openssl("ec", "-in", str(self.keys / "p384.pem"), "-pubout",
                "-out", str(self.keys / "p384-public.pem"))
        self.app = self.fresh("app")
        make_tree(self.app, {"nimbrel.exe": EXE, "lib/data.bin": os.urandom(100_000)})

    def release(self, name, *sign, env=None):
        out = self.work / name
        done = subprocess.run([sys.executable, str(TOOL), "--app", str(self.app), "--version",
                               "1.0", "--out", str(out), *sign], capture_output=True, text=True,
                              timeout=120, env=env or self.env)
        return out, done

    def check(self, out, *keys):
        return run_tool("--check", str(out), *[arg for key in keys
                                                for arg in ("--public-key", str(self.keys / key))])

    def test_a_signed_release_verifies_and_stays_an_ordinary_zip(self):
        unsigned, done = self.release("unsigned")
        self.assertEqual(done.returncode, 0, done.stderr)
        signed, done = self.release("signed", "--sign-key", str(self.keys / "private.pem"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("the signature verifies with its public key", done.stdout)
        archive = signed / "desktop" / "nimbrel.zip"
        data = archive.read_bytes()
        # The end record is last, its comment the block; before the comment
        # the archive is the unsigned one's byte for byte.
        self.assertEqual(data[-164:-160], b"PK\x05\x06")
        self.assertEqual(data[-144:-142], struct.pack("<H", 142))
        self.assertEqual(data[-142:-128], MARKER)
        self.assertRegex(data[-128:].decode("ascii"), r"^[0-9a-f]{128}$")
        self.assertEqual(data[:-144], (unsigned / "desktop" / "nimbrel.zip").read_bytes()[:-2])
        # The publisher's own tools verify it: the page's commands, by openssl.
        shutil.copy(archive, self.keys / "nimbrel.zip")
        verified = subprocess.run(["bash", "-e", "-c", doc_block("verify by hand")],
                                  cwd=self.keys, capture_output=True, text=True, timeout=60)
        self.assertEqual(verified.stdout.strip(), "Verified OK", verified.stderr)
        # Ordinary ZIP readers take the block as a comment.
        with zipfile.ZipFile(archive) as opened:
            self.assertIsNone(opened.testzip())
            self.assertEqual(opened.comment, data[-142:])
        for command in (["unzip", "-t", str(archive)], ["bsdtar", "-tf", str(archive)]):
            self.assertEqual(subprocess.run(command, capture_output=True, timeout=60,
                                            stdin=subprocess.DEVNULL).returncode, 0, command)
        code, stdout, _ = self.check(signed, "public.pem")
        self.assertEqual(code, 0, stdout)
        self.assertIn("signature verified with", stdout)
        # Any one of several keys will do, as in a setup with several keys built in.
        self.assertEqual(self.check(signed, "other-public.pem", "public.pem")[0], 0)
        self.assertIn("signature block present, unverified", self.check(signed)[1])
        self.assertIn("unsigned)", self.check(unsigned)[1])

    def test_an_archive_signed_by_hand_passes_the_tools_check(self):
        unsigned, done = self.release("by-hand")
        self.assertEqual(done.returncode, 0, done.stderr)
        shutil.copy(unsigned / "desktop" / "nimbrel.zip", self.keys / "unsigned.zip")
        signed = subprocess.run(["bash", "-e", "-c", doc_block("sign by hand")], cwd=self.keys,
                                capture_output=True, text=True, timeout=60, env=self.env)
        self.assertEqual(signed.returncode, 0, signed.stderr)
        shutil.copy(self.keys / "nimbrel.zip", unsigned / "desktop" / "nimbrel.zip")
        code, stdout, _ = self.check(unsigned, "public.pem")
        self.assertEqual(code, 0, stdout)
        self.assertIn("signature verified with", stdout)

    def test_check_refuses_what_the_key_did_not_sign_with_one_line(self):
        signed, done = self.release("signed", "--sign-key", str(self.keys / "private.pem"))
        self.assertEqual(done.returncode, 0, done.stderr)
        foreign, done = self.release("foreign", "--sign-key", str(self.keys / "other.pem"))
        self.assertEqual(done.returncode, 0, done.stderr)
        unsigned, _ = self.release("unsigned")
        good = (signed / "desktop" / "nimbrel.zip").read_bytes()
        central = good.index(b"PK\x01\x02")

        def flipped(at):
            data = bytearray(good)
            data[at] ^= 0x01
            return bytes(data)

        upper = good[:-128] + good[-128:].upper()
        if upper == good:  # digits only: make one a letter
            upper = good[:-1] + b"A"
        no_signature = "has no signature block"
        not_verified = f"its signature does not verify with '{self.keys / 'public.pem'}'"
        table = [
            ("a byte of the first local header", flipped(10), not_verified),
            ("a byte in the middle of the data", flipped(central // 2), not_verified),
            ("a byte of the central directory", flipped(central + 20), not_verified),
            ("a byte of the marker", flipped(len(good) - 130), no_signature),
            ("a digit of the signature", good[:-1] + (b"1" if good[-1:] == b"0" else b"0"),
             not_verified),
            ("unsigned", (unsigned / "desktop" / "nimbrel.zip").read_bytes(), no_signature),
            ("signed with another key", (foreign / "desktop" / "nimbrel.zip").read_bytes(),
             not_verified),
            ("cut by one byte", good[:-1], no_signature),
            ("a byte appended", good + b"0", no_signature),
            ("uppercase hex digits", upper, no_signature),
            ("shorter than the block", good[-100:], no_signature),
        ]
        case = self.fresh("case")
        shutil.copytree(signed, case, dirs_exist_ok=True)
        for label, data, fragment in table:
            with self.subTest(label):
                (case / "desktop" / "nimbrel.zip").write_bytes(data)
                code, stdout, _ = self.check(case, "public.pem")
                self.assertEqual(code, 1)
                self.assertEqual(len(stdout.splitlines()), 1, stdout)
                self.assertTrue(stdout.startswith(f"desktop/nimbrel.zip: {fragment}"), stdout)

    def test_keys_that_cannot_sign_or_verify_are_refused_with_one_line(self):
        private = str(self.keys / "private.pem")
        for label, sign, env, fragment in [
            ("a wrong password", private, {**self.env, "NIMBREL_ARCHIVE_KEY_PASSWORD": "wrong"},
             "that opens with the password in NIMBREL_ARCHIVE_KEY_PASSWORD"),
            ("no password", private,
             {k: v for k, v in self.env.items() if k != "NIMBREL_ARCHIVE_KEY_PASSWORD"},
             "that opens with the password"),
            ("a P-384 key", str(self.keys / "p384.pem"), self.env, "another kind or curve"),
            ("a public key", str(self.keys / "public.pem"), self.env, "is not a P-256 private key"),
            ("no file", str(self.keys / "missing.pem"), self.env, "is not a file"),
        ]:
            with self.subTest(label):
                out, done = self.release(f"out-{label}", "--sign-key", sign, env=env)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(fragment, done.stderr)
                self.assertFalse(out.exists())
        signed, _ = self.release("signed", "--sign-key", private)
        for key, fragment in [("p384-public.pem", "another kind or curve"),
                              ("private.pem", "holds a private key"),
                              ("missing.pem", "cannot be read")]:
            with self.subTest(key):
                code, stdout, _ = self.check(signed, key)
                self.assertEqual(code, 1)
                self.assertEqual(len(stdout.splitlines()), 1, stdout)
                self.assertIn(fragment, stdout)


if __name__ == "__main__":
    unittest.main()
