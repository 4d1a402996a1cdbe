"""What `tools/release.py --check` accepts, tar unpacks to exactly what the
check listed. One generator writes ZIPs byte by byte, with local headers and
central records that may disagree; each archive of the table is judged by
--check and unpacked by Debian's bsdtar as the setup's tar does
(-xf A --strip-components=1 -C D). Whenever --check passes, the folder must
hold exactly the listed files and bytes, nimbrel.exe a regular file; each
row also states the verdict it must get, and the table is printed with what
bsdtar made of every archive."""

import binascii
import hashlib
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
import zlib
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
SOURCE = Path(os.environ.get("NIMBREL_SOURCE", Path(__file__).resolve().parents[2]))
TOOL = SOURCE / "tools" / "release.py"

EXE = b"MZ stand-in for nimbrel.exe\n"
TEXT = b"a text file, not a program\n"
UNIX, MSDOS = 3, 0
FILE_MODE, FOLDER_MODE, LINK_MODE = 0o100644, 0o040755, 0o120777


def entry(name, data=b"", **fields):
    """One archive entry; `data` None makes a folder. Fields that the
    generator writes as given: method, flags, system, attributes, and the
    local header's own name, flags, method, crc and extra field, the central
    record's extra field, `compressed` (the bytes as stored) and `hidden`
    (bytes after the entry's data that no record covers)."""
    folder = data is None
    made = {"name": name, "data": b"" if folder else data, "method": 0 if folder else 8,
            "flags": 0x800, "system": UNIX,
            "attributes": ((FOLDER_MODE << 16) | 0x10) if folder else FILE_MODE << 16,
            "local_extra": b"", "central_extra": b"", "hidden": b""}
    made.update(fields)
    return made


def extra(kind, data):
    return struct.pack("<HH", kind, len(data)) + data


def unicode_path(shown_name, new_name):
    """The 0x7075 field that renames an entry whose header name is `shown_name`."""
    return extra(0x7075, b"\x01" + struct.pack("<I", zlib.crc32(shown_name)) + new_name)


def attributes_field(mode):
    """The 0x6c78 field with "version made by" (Unix) and external attributes."""
    return extra(0x6C78, b"\x05" + struct.pack("<HI", (UNIX << 8) | 20, mode << 16))


def zip_bytes(entries, prefix=b"", comment=b"", zip64_end=False):
    """A ZIP of `entries` after `prefix`, written record by record; with
    `zip64_end` its counts and offsets in ZIP64 end records."""
    out = bytearray(prefix)
    central = bytearray()
    for item in entries:
        name, data = item["name"].encode(), item["data"]
        if "compressed" in item:
            stored = item["compressed"]
        elif item["method"] == 8:
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            stored = packer.compress(data) + packer.flush()
        else:
            stored = data
        crc = zlib.crc32(data)
        offset = len(out)
        local_name = item.get("local_name", item["name"]).encode()
        out += b"PK\x03\x04" + struct.pack(
            "<HHHHHIIIHH", 20, item.get("local_flags", item["flags"]),
            item.get("local_method", item["method"]), 0, 0x21, item.get("local_crc", crc),
            len(stored), len(data), len(local_name), len(item["local_extra"]))
        out += local_name + item["local_extra"] + stored + item["hidden"]
        central += b"PK\x01\x02" + struct.pack(
            "<HHHHHHIIIHHHHHII", (item["system"] << 8) | 20, 20, item["flags"], item["method"],
            0, 0x21, crc, len(stored), len(data), len(name), len(item["central_extra"]), 0, 0, 0,
            item["attributes"], offset)
        central += name + item["central_extra"]
    directory = len(out)
    out += central
    count, size, offset = len(entries), len(central), directory
    if zip64_end:
        record = len(out)
        out += b"PK\x06\x06" + struct.pack("<QHHIIQQQQ", 44, 45, 45, 0, 0, count, count, size,
                                            offset)
        out += b"PK\x06\x07" + struct.pack("<IQI", 0, record, 1)
        count, size, offset = 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF
    out += b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, count, count, size, offset,
                                        len(comment)) + comment
    return bytes(out)


def local_records(entries):
    """The local headers and data of `entries`, without a central directory."""
    whole = zip_bytes(entries)
    return whole[:whole.index(b"PK\x01\x02")]


def tar_bytes(files):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        for name, data in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return buffer.getvalue()


PLANTED_TAR = {"nimbrel/nimbrel.exe": EXE, "nimbrel/planted.dll": b"MZ planted\n"}
GOOD = [entry("nimbrel/", None), entry("nimbrel/nimbrel.exe", EXE)]


def uuencoded(data):
    lines = [binascii.b2a_uu(data[at:at + 45]) for at in range(0, len(data), 45)]
    return b"\nbegin 644 release.tar\n" + b"".join(lines) + b"`\nend\n"


def tar_header_polyglot():
    """A ZIP whose first 512 bytes are also a valid tar header (the numeric
    fields lie in the first entry's name) and whose first entry's stored data
    holds the rest of a tar archive."""
    fields = b"0000644 " + b"0000000 " * 2 + b"00000000000 " * 2
    name = "nimbrel/" + "a" * (100 - 30 - 8) + fields.decode() + "CHKSUM " + "0x.txt"
    head = 30 + len(name)  # where the first entry's data begins
    planted = tar_bytes({"x/planted.dll": b"MZ planted\n"})
    data = b"\0" * (512 - head) + planted

    def build(checksum):
        first = entry(name.replace("CHKSUM ", checksum), data, method=0)
        return zip_bytes([first, entry("nimbrel/nimbrel.exe", EXE)])

    block = bytearray(build(" " * 7)[:512])
    block[148:156] = b" " * 8
    return build(f"{sum(block):06o} ")


def by_zipfile(method, force_zip64=False):
    def build():
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            for name, data in (("nimbrel/nimbrel.exe", EXE), ("nimbrel/lib/a.txt", TEXT * 50)):
                info = zipfile.ZipInfo(name)
                info.compress_type = method
                with archive.open(info, "w", force_zip64=force_zip64) as member:
                    member.write(data)
        return buffer.getvalue()
    return build


def by_bsdtar(work):
    stage = work / "stage"
    (stage / "nimbrel" / "lib").mkdir(parents=True)
    (stage / "nimbrel" / "nimbrel.exe").write_bytes(EXE)
    (stage / "nimbrel" / "lib" / "\u00e9.bin").write_bytes(os.urandom(5000))
    archive = work / "bsdtar.zip"
    subprocess.run(["bsdtar", "--format", "zip", "-cf", str(archive), "-C", str(stage), "nimbrel"],
                   check=True, timeout=60, capture_output=True, stdin=subprocess.DEVNULL)
    return archive.read_bytes()


def by_the_tool(work):
    app = work / "app"
    (app / "data").mkdir(parents=True)
    (app / "nimbrel.exe").write_bytes(EXE)
    (app / "data" / "big.bin").write_bytes(os.urandom(200_000))
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                    "-out", str(work / "key.pem")], check=True, timeout=60, capture_output=True)
    subprocess.run([sys.executable, str(TOOL), "--app", str(app), "--version", "1.0",
                    "--out", str(work / "made"), "--sign-key", str(work / "key.pem")],
                   check=True, timeout=120, capture_output=True)
    return (work / "made" / "desktop" / "nimbrel.zip").read_bytes()


def table(work):
    """(what, archive bytes, --check's exit code)."""
    exe = "nimbrel/nimbrel.exe"
    return [
        ("stored and deflate, folder entries", zip_bytes(
            [*GOOD, entry("nimbrel/lib/", None), entry("nimbrel/lib/a.txt", TEXT, method=0)]), 0),
        ("zipfile, deflate, no folder entries", by_zipfile(zipfile.ZIP_DEFLATED)(), 0),
        ("zipfile, ZIP64 records", by_zipfile(zipfile.ZIP_DEFLATED, force_zip64=True)(), 0),
        ("bsdtar, data descriptors and time extras", by_bsdtar(work), 0),
        ("the tool's own, signed", by_the_tool(work), 0),
        ("ZIP64 end records", zip_bytes(GOOD, zip64_end=True), 0),
        ("MS-DOS entry with the high attribute bits of a Unix file",
         zip_bytes([GOOD[0], entry(exe, EXE, system=MSDOS, attributes=(FILE_MODE << 16) | 0x20)]),
         0),
        ("NTFS entries, a folder by its slash",
         zip_bytes([entry("nimbrel/", None, system=10, attributes=0x10),
                    entry(exe, EXE, system=10, attributes=0x20)]), 0),
        # tar makes files of these, other readers (the setup's own check of
        # the application among them) links or folders: refused.
        ("MS-DOS entry with Unix-link high attribute bits",
         zip_bytes([GOOD[0], entry(exe, EXE, system=MSDOS, attributes=(LINK_MODE << 16) | 0x20)]), 1),
        ("Unix file with the MS-DOS folder bit",
         zip_bytes([GOOD[0], entry(exe, EXE, attributes=(FILE_MODE << 16) | 0x10)]), 1),
        # Found on a case-insensitive folder only, so refused.
        ("nimbrel.exe spelled Nimbrel.exe", zip_bytes([GOOD[0], entry("nimbrel/Nimbrel.exe", EXE)]),
         1),
        ("0x7075 renames nimbrel.exe", zip_bytes([GOOD[0], entry(
            exe, EXE, local_extra=unicode_path(exe.encode(), b"nimbrel/other.exe"))]), 1),
        ("0x7075 renames readme.txt onto nimbrel.exe", zip_bytes([*GOOD, entry(
            "nimbrel/readme.txt", TEXT,
            local_extra=unicode_path(b"nimbrel/readme.txt", exe.encode()))]), 1),
        ("folder whose local name is nimbrel.exe/",
         zip_bytes([*GOOD, entry("nimbrel/docs/", None, local_name=exe + "/")]), 1),
        ("0x6c78 that agrees with the central record", zip_bytes([GOOD[0], entry(
            exe, EXE, local_extra=attributes_field(FILE_MODE))]), 0),
        ("0x6c78 makes nimbrel.exe a link", zip_bytes([GOOD[0], entry(
            exe, b"../outside", local_extra=attributes_field(LINK_MODE))]), 1),
        ("0x6c78 makes nimbrel.exe a folder", zip_bytes([GOOD[0], entry(
            exe, b"", local_extra=attributes_field(FOLDER_MODE))]), 1),
        ("encryption flag in the local header only",
         zip_bytes([GOOD[0], entry(exe, EXE, local_flags=0x801)]), 1),
        ("tar with a ZIP appended", tar_bytes(PLANTED_TAR) + zip_bytes(GOOD), 1),
        ("bzip2 (method 12)", by_zipfile(zipfile.ZIP_BZIP2)(), 1),
        ("LZMA (method 14)", by_zipfile(zipfile.ZIP_LZMA)(), 1),
        # libarchive's uudecode filter looks for a "begin" line before any
        # format; it does not take one inside a ZIP's entry.
        ("stored entry holding a uuencoded tar",
         zip_bytes([entry("nimbrel/notes.txt", uuencoded(tar_bytes(PLANTED_TAR)), method=0),
                    *GOOD]), 0),
        ("first 512 bytes also a tar header", tar_header_polyglot(), 1),
        ("local header says stored, central deflate",
         zip_bytes([GOOD[0], entry(exe, EXE, local_method=0)]), 1),
        ("local CRC differs", zip_bytes([GOOD[0], entry(exe, EXE, local_crc=1)]), 1),
        ("a local record that no central record names", zip_bytes([GOOD[0], entry(
            exe, EXE, hidden=local_records([entry("nimbrel/planted.dll", b"MZ planted\n")]))]), 1),
    ]


def unpacked(archive, folder):
    """(exit code, {path: bytes | "folder" | "link"}) of bsdtar's unpacking."""
    done = subprocess.run(["bsdtar", "-xf", str(archive), "--strip-components=1", "-C",
                           str(folder)], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    found = {}
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            path = Path(root, name)
            relative = path.relative_to(folder).as_posix()
            found[relative] = ("link" if path.is_symlink() else "folder" if path.is_dir()
                               else path.read_bytes())
    return done.returncode, found


def listed(lines):
    """{path: sha256 | "folder"} of --check --list's lines, folders above the
    files included."""
    out = {}
    for line in lines:
        item = json.loads(line)
        parts = item["path"].split("/")
        for depth in range(1, len(parts)):
            out["/".join(parts[:depth])] = "folder"
        out[item["path"]] = item["sha256"] if item["kind"] == "file" else "folder"
    return out


def summary(tree):
    if not tree:
        return "nothing"
    return ", ".join(f"{path}{'/' if what == 'folder' else ' (link)' if what == 'link' else ''}"
                     for path, what in sorted(tree.items()) if what != "folder" or
                     not any(other.startswith(path + "/") for other in tree))


class CheckAgreesWithTar(unittest.TestCase):
    def test_what_check_accepts_tar_unpacks_to_exactly_the_listed_files(self):
        work = Path(tempfile.mkdtemp(prefix="release-tar-"))
        self.addCleanup(shutil.rmtree, work, True)
        rows = []
        for index, (what, data, verdict) in enumerate(table(work)):
            with self.subTest(what):
                release = work / f"case{index}"
                (release / "desktop").mkdir(parents=True)
                archive = release / "desktop" / "nimbrel.zip"
                archive.write_bytes(data)
                (release / "desktop" / "version.json").write_bytes(b'{"version":"1.0"}\n')
                done = subprocess.run([sys.executable, str(TOOL), "--check", str(release), "--list"],
                                      capture_output=True, text=True, timeout=120)
                lines = done.stdout.splitlines()
                target = work / f"unpacked{index}"
                target.mkdir()
                code, tree = unpacked(archive, target)
                rows.append((what, done.returncode, lines[0] if lines else done.stderr,
                             code, summary(tree)))
                self.assertEqual(done.returncode, verdict, done.stdout + done.stderr)
                if done.returncode == 0:
                    self.assertEqual(code, 0)
                    on_disk = {path: what if isinstance(what, str) else
                               hashlib.sha256(what).hexdigest() for path, what in tree.items()}
                    self.assertEqual(on_disk, listed(lines[1:]))
                    self.assertTrue((target / "nimbrel.exe").is_file())
                    self.assertFalse((target / "nimbrel.exe").is_symlink())
        print("\n| archive | --check | bsdtar exit | bsdtar unpacked |\n|---|---|---|---|")
        for what, verdict, line, code, tree in rows:
            said = "0" if verdict == 0 else f"1: {line.removeprefix('desktop/nimbrel.zip: ')}"
            print(f"| {what} | {said} | {code} | {tree} |")


if __name__ == "__main__":
    unittest.main()
