"""The publisher's signature on the archive, end to end under Wine: the real
setup built with archive keys (NIMBREL_ARCHIVE_KEY) installs a signed archive
and refuses every other one like a failed download, leaving the previous
installation, its running copy, registry entries and shortcuts exactly as
they were; the build's own setup (no key) still installs unsigned and signed
archives alike.

The keyed setup is built by this test, with its own MinGW build of the
nimbrel-setup target below NIMBREL_BUILD/tests/install/archive-key (kept and
rebuilt incrementally); its keys are made there with openssl at the first
run and never leave the build folder. Archives are signed here with openssl,
straight from the format: the end record's comment is "NIMBREL-SIG-1 " and
r || s as 128 lowercase hex digits, over SHA-256 of everything before them.
The stand-in application, the dialog reader and the test archives come from
the build (tests/install/CMakeLists.txt); the helpers from test_install.py.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import ExitStack
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))
import testbed  # noqa: E402
from test_install import (BUILD, DOWNLOAD_FAILURE, GOOD_STAGE, GOOD_ZIP, SETUP,  # noqa: E402
                          Prefix, serve)

SOURCE = Path(os.environ["NIMBREL_SOURCE"])
SERVER = os.environ["NIMBREL_SERVER"]
WORK = BUILD / "tests" / "install" / "archive-key"
KEYED_BUILD = WORK / "build"
MARKER = b"NIMBREL-SIG-1 "


def openssl(*args, **kwargs):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=120,
                          **kwargs)


def make_key(folder, name):
    """A P-256 key pair: (private.pem, public.pem), made once."""
    private, public = folder / f"{name}-private.pem", folder / f"{name}-public.pem"
    if not public.exists():
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", str(private))
        openssl("ec", "-in", str(private), "-pubout", "-out", str(public))
    return private, public


def build_keyed_setup(keys):
    """nimbrel-setup.exe built with the given public keys; its path."""
    options = ["-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake", "-DCMAKE_BUILD_TYPE=Release",
               f"-DNIMBREL_SERVER={SERVER}", "-DNIMBREL_TEST_SUBSYSTEMS=",
               "-DNIMBREL_ARCHIVE_KEY=" + ";".join(str(key) for key in keys)]
    for command in (["cmake", "-S", str(SOURCE), "-B", str(KEYED_BUILD), *options],
                    ["cmake", "--build", str(KEYED_BUILD), "--target", "nimbrel-setup", "-j2"]):
        done = subprocess.run(command, capture_output=True, text=True, timeout=900)
        if done.returncode != 0:
            raise AssertionError(f"{command[:3]} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return KEYED_BUILD / "setup" / "nimbrel-setup.exe"


def der_integers(der):
    """r || s, 32 bytes each, from an ECDSA signature in DER."""
    assert der[0] == 0x30, der.hex()
    position, values = 2, []
    for _ in range(2):
        assert der[position] == 0x02
        length = der[position + 1]
        values.append(int.from_bytes(der[position + 2:position + 2 + length], "big"))
        position += 2 + length
    return b"".join(value.to_bytes(32, "big") for value in values)


def sign(archive, private_key):
    """The archive with the signature block as its end record's comment."""
    end = archive.rindex(b"PK\x05\x06")
    assert end == len(archive) - 22, "the unsigned archive ends in a bare end record"
    signed = archive[:end + 20] + struct.pack("<H", len(MARKER) + 128) + MARKER
    with tempfile.NamedTemporaryFile(dir=WORK) as prefix:
        prefix.write(signed)
        prefix.flush()
        der = openssl("dgst", "-sha256", "-sign", str(private_key), prefix.name).stdout
    return signed + der_integers(der).hex().encode()


def flipped(data, offset, mask=0x01):
    changed = bytearray(data)
    changed[offset] ^= mask
    return bytes(changed)


def newer_release(folder):
    """The test application with another resources.dat, packed as the build packs
    app-good.zip: what an update would bring."""
    stage = folder / "newer-stage"
    shutil.rmtree(stage, ignore_errors=True)
    shutil.copytree(GOOD_STAGE, stage / "nimbrel-1.0")
    (stage / "nimbrel-1.0" / "resources.dat").write_text("a newer release\n")
    archive = folder / "newer.zip"
    archive.unlink(missing_ok=True)
    subprocess.run(["bsdtar", "--format", "zip", "-cf", str(archive), "-C", str(stage),
                    "nimbrel-1.0"], check=True, capture_output=True, timeout=120)
    return archive.read_bytes()


class KeyedPrefix(Prefix):
    """A prefix whose Downloads folder holds copies of chosen setups by name."""

    setups = {}

    def setup_copy(self, name):
        copy = self.downloads / name
        if not copy.exists():
            shutil.copy(self.setups[name], copy)
        return self.session.win_path(copy)


class ArchiveSignature(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.stack = ExitStack()
        try:
            WORK.mkdir(parents=True, exist_ok=True)
            first, first_public = make_key(WORK, "first")
            second, second_public = make_key(WORK, "second")
            cls.foreign, _ = make_key(WORK, "foreign")
            # Two keys built in: either one's signature is accepted.
            KeyedPrefix.setups = {"keyed.exe": build_keyed_setup([first_public, second_public]),
                                  "plain.exe": SETUP}
            cls.first, cls.second = first, second
            certs = testbed.make_certs(BUILD)
            cls.session = cls.stack.enter_context(testbed.WineSession(BUILD, "archive-signature"))
            cls.server = cls.stack.enter_context(serve(certs))
            cls.server.route("/desktop/version.json", body=b'{"version":"4.5.6"}')
            cls.prefix = KeyedPrefix(cls.session)
            cls.served = cls.session.run_dir / "served"
            cls.served.mkdir()
        except BaseException:
            cls.stack.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def serve_bytes(self, name, data):
        path = self.served / name
        path.write_bytes(data)
        self.server.route("/desktop/nimbrel.zip", file=path)

    def installed_state(self):
        """Every file of the installation with its bytes, the registry entries and
        the shortcuts."""
        p = self.prefix
        files = {path.relative_to(p.install): path.read_bytes()
                 for path in p.install.rglob("*") if path.is_file()}
        return files, p.inspect("registry"), p.inspect("shortcuts")

    def start_running_copy(self):
        p = self.prefix
        before = len(p.launches())
        running = self.session.start([p.app_win, "--keep-running"])
        deadline = time.monotonic() + 30
        while len(p.launches()) == before and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(len(p.launches()), before + 1, "the running copy did not start")
        return running

    def stop_running_copy(self, running):
        """Lets the copy end by itself; its exit code (3 unless it was stopped)."""
        stop = self.prefix.install / "stop-running"
        stop.write_text("")
        try:
            return running.wait(20)
        finally:
            stop.unlink(missing_ok=True)

    def test_the_keyed_setup_installs_only_what_a_built_in_key_signed(self):
        p = self.prefix
        p.fresh()
        # The earlier release, signed with the first key, installs.
        self.serve_bytes("installed.zip", sign(GOOD_ZIP.read_bytes(), self.first))
        run = p.run_setup("keyed.exe")
        self.assertEqual((run.code, run.box, len(run.launches)), (0, None, 1))
        self.assertEqual(run.launches[0].command_line, f'"{p.app_win}" --updated')
        self.assertFalse(p.archive_left())
        installed = self.installed_state()
        self.assertEqual(installed[0][Path("resources.dat")],
                         (GOOD_STAGE / "resources.dat").read_bytes())

        # The newer release, signed with the second key, and what can go wrong with it.
        newer = newer_release(self.session.run_dir)
        signed = sign(newer, self.second)
        end_record = len(signed) - 22 - 142
        central = struct.unpack_from("<I", signed, end_record + 16)[0]
        digits = len(signed) - 128
        # A digit of r that stays a lowercase digit: only the signature can tell.
        other_digit = b"0" if signed[digits + 40:digits + 41] != b"0" else b"1"
        refused = [
            # The local header's modification time: tar would unpack it all the same.
            ("a flipped byte in the first local header", flipped(signed, 10)),
            ("a flipped byte in the middle of the data", flipped(signed, len(signed) // 2)),
            ("a flipped byte in the central directory", flipped(signed, central + 12)),
            ("a flipped byte in the marker", flipped(signed, digits - 14)),
            ("a changed digit of the signature",
             signed[:digits + 40] + other_digit + signed[digits + 41:]),
            ("an unsigned archive", newer),
            ("signed with a key not built in", sign(newer, self.foreign)),
            ("the signed archive cut by one byte", signed[:-1]),
            ("the signed archive with bytes appended", signed + b"\r\n"),
            ("the signature in uppercase hex digits", signed[:digits] + signed[digits:].upper()),
            ("an archive shorter than the block", signed[-141:]),
        ]
        for label, archive in refused:
            with self.subTest(label):
                self.assertNotEqual(archive, signed)
                self.serve_bytes("refused.zip", archive)
                running = self.start_running_copy()
                try:
                    run = p.run_setup("keyed.exe", box=True)
                    self.assertEqual((run.code, run.box, run.launches), (0, DOWNLOAD_FAILURE, []))
                    self.assertFalse(p.archive_left())
                    self.assertIsNone(running.poll(), "the running copy was stopped")
                    self.assertEqual(self.installed_state(), installed)
                finally:
                    code = self.stop_running_copy(running)
                self.assertEqual(code, 3)  # it ended by itself, never stopped from outside

        with self.subTest("the newer release, signed"):
            self.serve_bytes("newer.zip", signed)
            run = p.run_setup("keyed.exe")
            self.assertEqual((run.code, run.box, len(run.launches)), (0, None, 1))
            self.assertEqual((p.install / "resources.dat").read_text(), "a newer release\n")
            self.assertFalse(p.archive_left())

        with self.subTest("a release made by tools/release.py --sign-key"):
            out = self.session.run_dir / "release"
            made = subprocess.run([sys.executable, str(SOURCE / "tools" / "release.py"),
                                   "--app", str(GOOD_STAGE), "--version", "4.5.6", "--out", str(out),
                                   "--sign-key", str(self.second)],
                                  capture_output=True, text=True, timeout=300)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
            self.server.route("/desktop/nimbrel.zip", file=out / "desktop" / "nimbrel.zip")
            run = p.run_setup("keyed.exe")
            self.assertEqual((run.code, run.box, len(run.launches)), (0, None, 1))
            self.assertEqual((p.install / "resources.dat").read_bytes(),
                             (GOOD_STAGE / "resources.dat").read_bytes())

    def test_the_setup_without_a_key_installs_signed_and_unsigned_archives(self):
        p = self.prefix
        for label, archive in (("unsigned", GOOD_ZIP.read_bytes()),
                               ("signed", sign(GOOD_ZIP.read_bytes(), self.first))):
            with self.subTest(label):
                p.fresh()
                self.serve_bytes(f"{label}.zip", archive)
                run = p.run_setup("plain.exe")
                self.assertEqual((run.code, run.box, len(run.launches)), (0, None, 1))
                self.assertEqual((p.install / "lib" / "payload.bin").read_bytes(),
                                 (GOOD_STAGE / "lib" / "payload.bin").read_bytes())
                self.assertFalse(p.archive_left())


if __name__ == "__main__":
    unittest.main()
