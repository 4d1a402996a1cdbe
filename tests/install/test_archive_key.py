"""The build option NIMBREL_ARCHIVE_KEY: tools/archive-key.py turns P-256
public keys into the header of public points and refuses, one line per file,
anything else; a configuration with such a file fails and says why.

Keys are made here with openssl, below NIMBREL_BUILD/tests/install/archive-key-tool.
"""

import base64
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

SOURCE = Path(os.environ["NIMBREL_SOURCE"])
WORK = Path(os.environ["NIMBREL_BUILD"]) / "tests" / "install" / "archive-key-tool"
TOOL = SOURCE / "tools" / "archive-key.py"


def openssl(*args):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60,
                          cwd=WORK).stdout


def header_points(text):
    """The 64-byte points of a generated header, in order."""
    rows = re.findall(r"\{\n((?:\s+(?:0x[0-9a-f]{2}, )*0x[0-9a-f]{2},\n)+)\s+\}", text)
    return [bytes(int(byte, 16) for byte in re.findall(r"0x([0-9a-f]{2})", row)) for row in rows]


class ArchiveKeyTool(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        WORK.mkdir(parents=True)
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "p256.pem")
        openssl("ec", "-in", "p256.pem", "-pubout", "-out", "p256-public.pem")
        openssl("ec", "-in", "p256.pem", "-pubout", "-conv_form", "compressed",
                "-out", "p256-compressed.pem")
        openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "other.pem")
        openssl("ec", "-in", "other.pem", "-pubout", "-out", "other-public.pem")
        openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", "p384.pem")
        openssl("ec", "-in", "p384.pem", "-pubout", "-out", "p384-public.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                "-out", "rsa.pem")
        openssl("pkey", "-in", "rsa.pem", "-pubout", "-out", "rsa-public.pem")
        der = bytearray(openssl("ec", "-pubin", "-in", "p256-public.pem", "-outform", "DER"))
        cls.point = bytes(der[-64:])
        der[-1] ^= 1  # Y changed: no longer on the curve
        (WORK / "off-curve.pem").write_text("-----BEGIN PUBLIC KEY-----\n" +
                                            base64.encodebytes(bytes(der)).decode() +
                                            "-----END PUBLIC KEY-----\n")
        (WORK / "text.pem").write_text("not a key\n")

    def run_tool(self, *names):
        out = WORK / "archive_keys.h"
        out.unlink(missing_ok=True)
        done = subprocess.run([sys.executable, str(TOOL), str(out), *names], cwd=WORK,
                              capture_output=True, text=True, timeout=120)
        return done, out

    def test_writes_the_public_points_of_p256_keys(self):
        other = openssl("ec", "-pubin", "-in", "other-public.pem", "-outform", "DER")[-64:]
        # A compressed point comes out as the same X and Y.
        for names, points in ((["p256-public.pem"], [self.point]),
                              (["p256-compressed.pem", "other-public.pem"], [self.point, other])):
            with self.subTest(names):
                done, out = self.run_tool(*names)
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                text = out.read_text()
                self.assertIn(f"kArchiveKeyCount = {len(points)}", text)
                self.assertEqual(header_points(text), points)

    def test_refuses_anything_else_with_one_line_per_file(self):
        cases = [
            (["p256.pem"], "p256.pem: a private key, not a public one"),
            (["p384-public.pem"], "p384-public.pem: an EC public key, but not on the curve P-256"),
            (["rsa-public.pem"], "rsa-public.pem: a public key, but not an EC key"),
            (["off-curve.pem"], "off-curve.pem: not an EC public key in PEM"),
            (["text.pem"], "text.pem: not an EC public key in PEM"),
            (["missing.pem"], "missing.pem: no such file"),
            (["p256-public.pem", "p256-compressed.pem"],
             "p256-compressed.pem: the same key as an earlier file"),
            (["p256-public.pem", "other-public.pem", "p256-compressed.pem", "rsa-public.pem",
              "text.pem"], "5 keys given; at most 4 can be built in"),
        ]
        for names, line in cases:
            with self.subTest(line):
                done, out = self.run_tool(*names)
                self.assertEqual(done.returncode, 1)
                self.assertIn(f"NIMBREL_ARCHIVE_KEY: {line}", done.stderr)
                self.assertTrue(all(problem.startswith("NIMBREL_ARCHIVE_KEY: ")
                                    for problem in done.stderr.splitlines()), done.stderr)
                self.assertFalse(out.exists())

    def test_a_configuration_with_such_a_file_fails_and_names_it(self):
        folder = WORK / "configure"
        done = subprocess.run(
            ["cmake", "-S", str(SOURCE), "-B", str(folder),
             "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake", "-DNIMBREL_TEST_SUBSYSTEMS=",
             f"-DNIMBREL_ARCHIVE_KEY={WORK / 'p256-public.pem'};{WORK / 'p384-public.pem'}"],
            capture_output=True, text=True, timeout=300)
        self.assertNotEqual(done.returncode, 0)
        message = " ".join(done.stderr.split())
        self.assertIn("NIMBREL_ARCHIVE_KEY must name P-256 public keys", message)
        self.assertIn("p384-public.pem: an EC public key, but not on the curve P-256", message)
        self.assertFalse((folder / "setup" / "generated").exists())


if __name__ == "__main__":
    unittest.main()
