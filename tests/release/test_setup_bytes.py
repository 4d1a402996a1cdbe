"""The setup's bytes from the release engineer's side: two clean builds of the
same sources in different folders, at different times, give identical bytes;
a build configured with a PKCS#12 file leaves a setup signed with Authenticode
(SHA-256) that verifies against its root, also under the per-download file
names; removing that signature gives back the unsigned build's bytes.

Builds only the nimbrel-setup target, with the MinGW-w64 toolchain, below
NIMBREL_BUILD/tests/release; no Wine is needed.
"""

import os
import shutil
import subprocess
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ["NIMBREL_SOURCE"])
WORK = Path(os.environ["NIMBREL_BUILD"]) / "tests" / "release" / "setup-bytes"
SERVER = "https://localhost:47443"
PASSWORD = "correct horse"


def build_setup(folder, *options, env=None):
    """A clean Release build of nimbrel-setup.exe in `folder`; its path."""
    shutil.rmtree(folder, ignore_errors=True)
    environment = dict(os.environ, **(env or {}))
    for command in (
            ["cmake", "-S", str(SOURCE), "-B", str(folder),
             "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake", "-DCMAKE_BUILD_TYPE=Release",
             f"-DNIMBREL_SERVER={SERVER}", "-DNIMBREL_TEST_SUBSYSTEMS=", *options],
            ["cmake", "--build", str(folder), "--target", "nimbrel-setup", "-j2"]):
        done = subprocess.run(command, env=environment, capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise AssertionError(f"{command[:3]} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return folder / "setup" / "nimbrel-setup.exe"


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
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(root), "-in", str(path)],
                          capture_output=True, text=True, timeout=120)


class SetupBytes(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        WORK.mkdir(parents=True, exist_ok=True)
        cls.first = build_setup(WORK / "first")
        time.sleep(2)  # a time stamp in the bytes would now differ
        cls.second = build_setup(WORK / "second-folder")

    def test_two_clean_builds_give_identical_bytes(self):
        first, second = self.first.read_bytes(), self.second.read_bytes()
        self.assertEqual(len(first), len(second))
        differing = [offset for offset, (a, b) in enumerate(zip(first, second)) if a != b]
        self.assertEqual(differing[:16], [], "bytes that differ between the two builds")
        for folder in (WORK / "first", WORK / "second-folder", SOURCE):
            self.assertNotIn(str(folder).encode(), first)
            self.assertNotIn(str(folder).encode("utf-16-le"), first)

    def test_signed_build_verifies_under_every_download_name(self):
        root, pkcs12 = make_code_signing_certificate(WORK / "certificate")
        signed = build_setup(WORK / "signed", f"-DNIMBREL_SIGN_PKCS12={pkcs12}",
                             env={"NIMBREL_SIGN_PASSWORD": PASSWORD})
        result = verify(signed, root)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Signature verification: ok", result.stdout)
        self.assertIn("sha256", result.stdout.lower())
        # The name carries the space and the code; the signature does not cover
        # it, so every per-download name keeps it valid.
        for name in ("setup-team_1.ABCDEFGHIJKLMNOP.exe", "setup-team_1.ABCDEFGHIJKLMNOP (1).exe"):
            with self.subTest(name):
                renamed = WORK / "signed" / name
                shutil.copy(signed, renamed)
                result = verify(renamed, root)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # A published, signed setup is checked against a local build by removing
        # the signature and comparing what is left.
        unsigned = WORK / "signed" / "signature-removed.exe"
        unsigned.unlink(missing_ok=True)
        subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed), "-out",
                        str(unsigned)], check=True, capture_output=True, timeout=120)
        self.assertEqual(unsigned.read_bytes(), self.first.read_bytes())

    def test_a_wrong_password_fails_the_build_and_leaves_no_setup(self):
        _, pkcs12 = make_code_signing_certificate(WORK / "certificate-2")
        with self.assertRaises(AssertionError) as failure:
            build_setup(WORK / "wrong-password", f"-DNIMBREL_SIGN_PKCS12={pkcs12}",
                        env={"NIMBREL_SIGN_PASSWORD": "not it"})
        self.assertIn("Signing", str(failure.exception))
        self.assertFalse((WORK / "wrong-password" / "setup" / "nimbrel-setup.exe").exists())


if __name__ == "__main__":
    unittest.main()
