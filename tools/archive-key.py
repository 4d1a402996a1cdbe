#!/usr/bin/env python3
"""Turns the publisher's archive keys into a header of the setup's build.

    archive-key.py OUT.h PUBLIC.pem [PUBLIC.pem ...]     (at most four keys)

Each file must be a P-256 public key as PEM (what `openssl ec -pubout`
writes). The header holds each key's public point, X then Y (32 bytes each,
big-endian), which the setup imports into CNG to check the archive's
signature. The keys are read with the openssl command, so nothing beyond
Python's standard library is needed. OUT.h is rewritten only when its text
changes, so that a reconfigure alone rebuilds nothing.

On any problem: one line per file on standard error, exit code 1, and OUT.h
is left as it was.
"""

import hashlib
import subprocess
import sys
from pathlib import Path

MAX_KEYS = 4
# DER of a SubjectPublicKeyInfo for id-ecPublicKey on prime256v1, up to the
# uncompressed point's 0x04: 26 bytes of header, then 0x04 || X || Y.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
POINT_LENGTH = 64
EC_PUBLIC_KEY_OID = bytes.fromhex("06072a8648ce3d0201")  # id-ecPublicKey, as DER


def public_point(pem):
    """(X || Y, None) for a P-256 public key file, else (None, why)."""
    if not pem.is_file():
        return None, "no such file"
    try:
        # -conv_form: a key stored with a compressed point comes out uncompressed.
        done = subprocess.run(["openssl", "ec", "-pubin", "-in", str(pem), "-pubout",
                               "-outform", "DER", "-conv_form", "uncompressed"],
                              capture_output=True, timeout=60)
    except OSError as error:
        return None, f"cannot run openssl ({error.strerror})"
    if done.returncode != 0:
        text = pem.read_bytes()
        if b"PRIVATE KEY" in text:
            return None, ("a private key, not a public one (its public half: "
                          "openssl ec -in PRIVATE.pem -pubout -out public.pem)")
        return None, "not an EC public key in PEM (openssl ec -pubin cannot read it)"
    der = done.stdout
    prefix_length = len(P256_SPKI_PREFIX)
    if (len(der) != prefix_length + 1 + POINT_LENGTH or not der.startswith(P256_SPKI_PREFIX)
            or der[prefix_length] != 0x04):
        if EC_PUBLIC_KEY_OID in der[:32]:
            return None, "an EC public key, but not on the curve P-256 (prime256v1)"
        return None, "a public key, but not an EC key (RSA or another kind)"
    return der[prefix_length + 1:], None


def header_text(points):
    lines = [
        "// Generated at configure time by tools/archive-key.py from NIMBREL_ARCHIVE_KEY.",
        "// The publisher's keys for the archive's signature: P-256 public points,",
        "// X then Y, 32 bytes each, big-endian. An archive is accepted when its",
        "// signature verifies with any one of them.",
        "#pragma once",
        "",
        f"enum {{ kArchiveKeyCount = {len(points)}, kArchiveKeyLength = {POINT_LENGTH} }};",
        "",
        "static const unsigned char kArchiveKeys[kArchiveKeyCount][kArchiveKeyLength] = {",
    ]
    for name, point in points:
        fingerprint = hashlib.sha256(P256_SPKI_PREFIX + b"\x04" + point).hexdigest()
        lines.append(f"    // {name}: SHA-256 of the public key's DER {fingerprint}")
        lines.append("    {")
        for start in range(0, POINT_LENGTH, 16):
            row = ", ".join(f"0x{byte:02x}" for byte in point[start:start + 16])
            lines.append(f"        {row},")
        lines.append("    },")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) < 2:
        print("usage: archive-key.py OUT.h PUBLIC.pem [PUBLIC.pem ...]", file=sys.stderr)
        return 2
    out, pems = Path(argv[0]), [Path(name) for name in argv[1:]]
    problems = []
    if len(pems) > MAX_KEYS:
        problems.append(f"{len(pems)} keys given; at most {MAX_KEYS} can be built in")
    points = []
    for pem in pems:
        point, why = public_point(pem)
        if why:
            problems.append(f"{pem}: {why}")
        elif any(point == known for _, known in points):
            problems.append(f"{pem}: the same key as an earlier file")
        else:
            points.append((pem.name, point))
    if problems:
        for problem in problems:
            print(f"NIMBREL_ARCHIVE_KEY: {problem}", file=sys.stderr)
        return 1
    text = header_text(points)
    if not out.is_file() or out.read_text() != text:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
