"""The setup's bytes from the release engineer's side: two clean builds of the
same sources in different folders, at different times, give identical bytes;
a build configured with a PKCS#12 file signs the setup with Authenticode
(SHA-256), with the osslsigncode named by NIMBREL_OSSLSIGNCODE (default: the
one on PATH) and with Debian 12's own 2.5 (fetched with apt-get download and
unpacked, never installed; skipped, saying why, where the mirror does not
answer); the signature verifies against its root, also under the per-download
file names, and removing it gives back the unsigned build's bytes. A wrong
password or an interrupted signing leaves no setup, the password is never in
a file, and the next build signs again.

Builds the setup with the MinGW-w64 toolchain below
NIMBREL_BUILD/tests/release; no Wine is needed.
"""

import os
import shutil
import signal
import socket
import subprocess
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ["NIMBREL_SOURCE"])
WORK = Path(os.environ["NIMBREL_BUILD"]) / "tests" / "release" / "setup-bytes"
SERVER = "https://localhost:47443"
PASSWORD = "correct horse"
# Verifies and removes signatures whichever tool signed.
VERIFIER = os.environ.get("NIMBREL_OSSLSIGNCODE") or "osslsigncode"


def build_setup(folder, *options, env=None, target="nimbrel-setup", clean=True):
    """A Release build of `target` in `folder` (clean unless told otherwise);
    the path of the deliverable, setup/nimbrel-setup.exe."""
    if clean:
        shutil.rmtree(folder, ignore_errors=True)
    environment = dict(os.environ, **(env or {}))
    for command in (
            ["cmake", "-S", str(SOURCE), "-B", str(folder),
             "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake", "-DCMAKE_BUILD_TYPE=Release",
             f"-DNIMBREL_SERVER={SERVER}", "-DNIMBREL_TEST_SUBSYSTEMS=", *options],
            ["cmake", "--build", str(folder), "--target", target, "-j2"]):
        done = subprocess.run(command, env=environment, capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise AssertionError(f"{command[:3]} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return folder / "setup" / "nimbrel-setup.exe"


def tool_version(tool):
    """'osslsigncode 2.9' from the tool's own first line."""
    done = subprocess.run([str(tool), "--version"], capture_output=True, text=True, timeout=60)
    return done.stdout.split(",")[0].strip()


def debian_12_osslsigncode(folder):
    """Debian 12's own osslsigncode (2.5), fetched with apt-get download and
    unpacked below `folder` with dpkg-deb, not installed. (path, None), or
    (None, why not) where the package lists or the mirror cannot give it."""
    tool = folder / "root" / "usr" / "bin" / "osslsigncode"
    if tool.exists():
        return tool, None
    try:
        madison = subprocess.run(["apt-cache", "madison", "osslsigncode"], capture_output=True,
                                 text=True, timeout=60)
        versions = [fields[1].strip() for fields in
                    (line.split("|") for line in madison.stdout.splitlines()) if len(fields) > 2]
        versions = [version for version in versions if version.startswith("2.5")]
        if not versions:
            return None, "the package lists name no osslsigncode 2.5"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        fetched = subprocess.run(["apt-get", "download", f"osslsigncode={versions[0]}"],
                                 cwd=folder, capture_output=True, text=True, timeout=120)
        packages = sorted(folder.glob("osslsigncode_*.deb"))
        if fetched.returncode != 0 or not packages:
            last_line = (fetched.stderr.strip().splitlines() or [""])[-1]
            return None, f"apt-get download osslsigncode={versions[0]} failed: {last_line}"
        subprocess.run(["dpkg-deb", "-x", str(packages[0]), str(folder / "root")], check=True,
                       capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as error:
        return None, f"Debian's osslsigncode 2.5 could not be fetched: {error}"
    return tool, None


def signing_tools():
    """[(label, tool or None, why none)]: the osslsigncode named by
    NIMBREL_OSSLSIGNCODE or found on PATH, and Debian 12's own 2.5 unless that
    is the same version."""
    given = os.environ.get("NIMBREL_OSSLSIGNCODE") or shutil.which("osslsigncode")
    tools = [(tool_version(given), given, None)]
    debian, why = debian_12_osslsigncode(WORK / "osslsigncode-2.5")
    if debian is None or tool_version(debian) != tools[0][0]:
        tools.append((tool_version(debian) if debian else "Debian 12's osslsigncode 2.5", debian, why))
    return tools


def files_holding(folders, secret):
    """The files below `folders` whose bytes contain `secret`."""
    return [path for folder in folders for path in Path(folder).rglob("*")
            if path.is_file() and not path.is_symlink() and secret in path.read_bytes()]


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=120)


def make_code_signing_certificate(folder):
    """A throwaway root and a code-signing certificate below it, the signer's key
    and chain in signer.p12 (password PASSWORD). Returns (root.pem, signer.p12)."""
    folder.mkdir(parents=True, exist_ok=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out",
            "root.pem", "-days", "2", "-subj", "/CN=Nimbrel Test Root",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign", cwd=folder)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out",
            "signer.csr", "-subj", "/CN=Nimbrel Test Signer", cwd=folder)
    (folder / "signer.ext").write_text("basicConstraints=CA:FALSE\n"
                                       "keyUsage=critical,digitalSignature\n"
                                       "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "root.pem", "-CAkey", "root.key",
            "-CAcreateserial", "-out", "signer.pem", "-days", "2", "-extfile", "signer.ext",
            cwd=folder)
    openssl("pkcs12", "-export", "-out", "signer.p12", "-inkey", "signer.key", "-in",
            "signer.pem", "-certfile", "root.pem", "-passout", f"pass:{PASSWORD}", cwd=folder)
    return folder / "root.pem", folder / "signer.p12"


def verify(path, root):
    return subprocess.run([VERIFIER, "verify", "-CAfile", str(root), "-in", str(path)],
                          capture_output=True, text=True, timeout=120)


class SetupBytes(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        WORK.mkdir(parents=True, exist_ok=True)
        cls.first = build_setup(WORK / "first")
        time.sleep(2)  # a time stamp in the bytes would now differ
        cls.second = build_setup(WORK / "second-folder")
        cls.root, cls.pkcs12 = make_code_signing_certificate(WORK / "certificate")
        cls.signed_folder = WORK / "signed"
        cls.signed = build_setup(cls.signed_folder, f"-DNIMBREL_SIGN_PKCS12={cls.pkcs12}",
                                 env={"NIMBREL_SIGN_PASSWORD": PASSWORD},
                                 target="nimbrel-setup-signed")

    def sign_again(self, *options, tool=None, password=PASSWORD):
        """Signs the linked setup of the signed build once more (the PKCS#12
        file touched, so the signed setup is out of date); the deliverable."""
        self.pkcs12.touch()
        tool = tool or VERIFIER
        return build_setup(self.signed_folder, f"-DNIMBREL_OSSLSIGNCODE={shutil.which(tool)}",
                           "-DNIMBREL_SIGN_TIMESTAMP_URL=", *options, clean=False,
                           env={"NIMBREL_SIGN_PASSWORD": password}, target="nimbrel-setup-signed")

    def test_two_clean_builds_give_identical_bytes(self):
        first, second = self.first.read_bytes(), self.second.read_bytes()
        self.assertEqual(len(first), len(second))
        differing = [offset for offset, (a, b) in enumerate(zip(first, second)) if a != b]
        self.assertEqual(differing[:16], [], "bytes that differ between the two builds")
        for folder in (WORK / "first", WORK / "second-folder", SOURCE):
            self.assertNotIn(str(folder).encode(), first)
            self.assertNotIn(str(folder).encode("utf-16-le"), first)

    def test_each_signing_tool_signs_a_setup_that_verifies_under_every_download_name(self):
        for label, tool, why_none in signing_tools():
            with self.subTest(label):
                if tool is None:
                    print(f"\nskipped signing with Debian 12's osslsigncode 2.5: {why_none}", flush=True)
                    self.skipTest(why_none)
                print(f"\nsigning with {label} ({tool})", flush=True)
                signed = self.sign_again(tool=tool)
                result = verify(signed, self.root)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn("Signature verification: ok", result.stdout)
                self.assertIn("sha256", result.stdout.lower())
                # The name carries the space and the code; the signature does not
                # cover it, so every per-download name keeps it valid.
                for name in ("setup-team_1.ABCDEFGHIJKLMNOP.exe",
                             "setup-team_1.ABCDEFGHIJKLMNOP (1).exe"):
                    renamed = self.signed_folder / name
                    shutil.copy(signed, renamed)
                    result = verify(renamed, self.root)
                    self.assertEqual(result.returncode, 0, f"{name}: {result.stdout}{result.stderr}")
                # A published, signed setup is checked against a local build by
                # removing the signature and comparing what is left.
                unsigned = self.signed_folder / "signature-removed.exe"
                unsigned.unlink(missing_ok=True)
                subprocess.run([VERIFIER, "remove-signature", "-in", str(signed), "-out",
                                str(unsigned)], check=True, capture_output=True, timeout=120)
                self.assertEqual(unsigned.read_bytes(), self.first.read_bytes())
                linked = self.signed_folder / "setup" / "unsigned" / "nimbrel-setup.exe"
                self.assertEqual(linked.read_bytes(), self.first.read_bytes())

    def test_a_wrong_password_fails_the_build_and_leaves_no_setup(self):
        self.assertTrue(self.sign_again().exists())
        with self.assertRaises(AssertionError) as failure:
            self.sign_again(password="not it")
        self.assertIn("Signing", str(failure.exception))
        self.assertFalse(self.signed.exists(), "the setup signed before is still there")
        # Nothing counts as done: the next build signs again.
        self.assertEqual(verify(self.sign_again(), self.root).returncode, 0)

    def test_an_interrupted_signing_leaves_no_setup_nor_password_and_the_next_build_signs(self):
        # A time-stamp server that takes the request and never answers holds
        # the tool in the middle of its signing, as a slow server would.
        temporary = WORK / "tmp"
        temporary.mkdir(parents=True, exist_ok=True)
        with socket.create_server(("127.0.0.1", 0)) as stalled_server:
            stalled_server.settimeout(120)
            port = stalled_server.getsockname()[1]
            build_setup(self.signed_folder, f"-DNIMBREL_SIGN_TIMESTAMP_URL=http://127.0.0.1:{port}",
                        f"-DNIMBREL_OSSLSIGNCODE={shutil.which(VERIFIER)}", clean=False,
                        target="nimbrel-setup")  # configures; the link is up to date
            for interruption in (signal.SIGINT, signal.SIGKILL):
                with self.subTest(signal.Signals(interruption).name):
                    self.pkcs12.touch()
                    build = subprocess.Popen(
                        ["cmake", "--build", str(self.signed_folder), "--target",
                         "nimbrel-setup-signed"], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, start_new_session=True,
                        env=dict(os.environ, NIMBREL_SIGN_PASSWORD=PASSWORD, TMPDIR=str(temporary)))
                    try:
                        request, _ = stalled_server.accept()
                        with request:
                            self.assertFalse(self.signed.exists(), "a setup while signing")
                            self.assertEqual(
                                files_holding([self.signed_folder, temporary], PASSWORD.encode()), [])
                            os.killpg(build.pid, interruption)
                            build.wait(timeout=60)
                    finally:
                        if build.poll() is None:
                            os.killpg(build.pid, signal.SIGKILL)
                            build.wait(timeout=60)
                    self.assertFalse(self.signed.exists(), "a setup after the interrupted signing")
                    self.assertEqual(
                        files_holding([self.signed_folder, temporary], PASSWORD.encode()), [])
        # The server is gone: the next build signs again and fails on the time
        # stamp, leaving no setup; without one it signs.
        with self.assertRaises(AssertionError) as failure:
            build_setup(self.signed_folder, clean=False, target="nimbrel-setup-signed",
                        env={"NIMBREL_SIGN_PASSWORD": PASSWORD})
        self.assertIn("Signing", str(failure.exception))
        self.assertFalse(self.signed.exists())
        self.assertEqual(verify(self.sign_again(), self.root).returncode, 0)


if __name__ == "__main__":
    unittest.main()
