"""Makes a Nimbrel Desktop release, or checks one, so that the setup can
install from it. A release is the two files the setup fetches from the
download server, laid out as they are served:

    OUT/desktop/nimbrel.zip     the application archive
    OUT/desktop/version.json    {"version":"<VERSION>"}, the build label's source

    release.py --app DIR --version VERSION --out OUT [--sign-key PRIVATE.pem]
        packs the application folder DIR (which must hold nimbrel.exe) and
        writes the release into OUT, a folder that does not exist yet or is
        empty; prints the two files' sizes and SHA-256 digests. With
        --sign-key the archive carries a signature by that P-256 key (its
        password, if any, from $NIMBREL_ARCHIVE_KEY_PASSWORD), the format of
        docs/archive-signature.md.
    release.py --check OUT [--public-key PUBLIC.pem]... [--list]
        says whether the setup will install from OUT/desktop: exit code 0 when
        it will, else 1 and one line per problem. With --public-key the
        archive must be signed by that key (or one of several); without, the
        line says whether a signature block is present. --list adds one JSON
        line for each entry as tar unpacks it.

Why the rules: the setup unpacks the archive with the system's tar,
--strip-components=1, into %LOCALAPPDATA%\\Programs\\nimbrel and then needs
nimbrel.exe right there; it reads the version document with a plain byte scan
(the first 511 bytes, the first "version" key, at most 79 value bytes) and shows
"Build <value>". An archive without exactly one top-level folder, with
nimbrel.exe elsewhere, with an entry that leaves the install folder or that
Windows cannot hold, or a version the scan would cut or show differently
breaks every installation at once, so the tool refuses to make one and --check
refuses one made by another tool. Nothing is written unless everything passes.

--check judges the archive by the bytes tar reads (see docs/release-archives.md):
the local headers as well as the central directory, which must agree, stored
and deflate entries only, and nothing that tar could recognise as another
format first.

The archive's top-level folder is always "nimbrel": the setup strips it, so
its name never reaches a user's disk, and a fixed name keeps the archive's
entry names independent of the version (which may hold characters that a
folder name may not). The same folder and version give the same bytes: entries
sorted by name, every timestamp 1980-01-01 00:00, fixed permissions, no extra
fields (with the same Python and zlib).

Standard library and the openssl command (for signatures) only.
"""

import argparse
import hashlib
import json
import mmap
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unicodedata
import zipfile
import zlib
from pathlib import Path

TOP_FOLDER = "nimbrel"
APP_EXE = "nimbrel.exe"
ARCHIVE = Path("desktop") / "nimbrel.zip"
VERSION_DOCUMENT = Path("desktop") / "version.json"

# The setup's version scan: what it stores of the body, the key it looks for,
# and the longest value it shows.
SCAN_STORED_BYTES = 511
SCAN_KEY = b'"version"'
VERSION_MAX_BYTES = 79

# A path below the install folder may hold at most this many UTF-16 units, so
# that the full path stays within MAX_PATH (259 characters) for install folders
# up to 108 characters: C:\Users\<a name of up to 67 characters>\AppData\Local\
# Programs\nimbrel. Longer paths unpack (tar) but then break whatever opens
# them with a MAX_PATH buffer, the application included.
RELATIVE_PATH_MAX_UNITS = 150

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
FILE_MODE = 0o100644
FOLDER_MODE = 0o040755
MSDOS_DIRECTORY = 0x10
UTF8_NAME_FLAG = 0x800
ENCRYPTED_FLAG = 0x1
MAX_SHOWN_PROBLEMS = 50

WINDOWS_FORBIDDEN = set('<>:"|?*')
RESERVED_DEVICE_NAMES = (
    {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}
    | {f"{port}{digit}" for port in ("COM", "LPT") for digit in "0123456789\u00b9\u00b2\u00b3"})
# Characters that would not show as themselves in the label: controls,
# invisible format characters (bidirectional overrides reorder the text) and
# line or paragraph separators.
INVISIBLE_CATEGORIES = {"Cc", "Cf", "Zl", "Zp"}
# A version of only these shows as nothing: spaces and marks that combine with
# a character before them.
BLANK_CATEGORIES = INVISIBLE_CATEGORIES | {"Zs", "Mn", "Mc", "Me"}


def shown(name):
    """A name as it can be printed on one line: control characters and bytes
    that are not UTF-8 (kept by the file system layer as lone surrogates) as
    escapes, everything else as it is, in single quotes."""
    out = []
    for char in name:
        code = ord(char)
        if 0xDC80 <= code <= 0xDCFF:
            out.append(f"\\x{code - 0xDC00:02x}")
        elif 0xD800 <= code <= 0xDFFF or unicodedata.category(char) in INVISIBLE_CATEGORIES:
            out.append(f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}")
        else:
            out.append(char)
    return "'" + "".join(out) + "'"


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def case_key(text):
    """How Windows compares names: one character's simple upper case at a time
    (a character whose upper case is longer, like sharp s, stays itself)."""
    out = []
    for char in text:
        upper = char.upper()
        out.append(upper if len(upper) == 1 else char)
    return "".join(out)


# --------------------------------------------------------------------- names

def component_problem(component):
    """Why one path component cannot be written safely on Windows, or None."""
    if component == "":
        return "has an empty path component (two slashes in a row)"
    if component == "..":
        return "leaves the folder (a '..' component)"
    if component == ".":
        return "has a '.' component"
    if any(0xD800 <= ord(char) <= 0xDFFF for char in component):
        return "is not valid UTF-8"
    if "\\" in component:
        return "holds a backslash, which Windows reads as a folder separator"
    for char in component:
        if char in WINDOWS_FORBIDDEN:
            return f"holds {char!r}, which Windows forbids in file names"
        if ord(char) < 0x20:
            return f"holds the control character U+{ord(char):04X}, which Windows forbids in file names"
    if component[-1] in ". ":
        return "ends in a dot or a space, which Windows drops"
    stem = case_key(component.split(".", 1)[0].rstrip(" "))
    if stem in RESERVED_DEVICE_NAMES:
        return f"is the reserved device name {stem} on Windows"
    return None


def entry_problems(entries, where, prefix=""):
    """The problems of a set of archive entries, by the rules that the setup's
    unpacking relies on. `entries` holds (name, kind) pairs: the entry's name
    without a trailing slash, and "file", "folder", "link" or "special".
    Names are shown with `prefix` removed; `where` names the top-level folder
    in the messages about nimbrel.exe."""
    problems = []

    def inside(name):
        return shown(name[len(prefix):] if name.startswith(prefix) else name)

    def say(name, text):
        problems.append(f"{inside(name)}: {text}")

    if not entries:
        return ["the archive has no entries"]
    usable = []
    refused = {}
    for name, kind in entries:
        parts = name.split("/")
        if name.startswith("/"):
            refused[name] = "is an absolute path"
        elif any(map(component_problem, parts)):
            refused[name] = next(p for p in map(component_problem, parts) if p)
        elif len(parts) > 1 and utf16_units(name.split("/", 1)[1]) > RELATIVE_PATH_MAX_UNITS:
            refused[name] = (f"is longer than {RELATIVE_PATH_MAX_UNITS} UTF-16 units below the top "
                             "folder, so that its full path on Windows may exceed 259 characters")
        elif kind == "link":
            refused[name] = "is a symbolic link"
        elif kind == "special":
            refused[name] = "is neither a regular file nor a folder"
        else:
            usable.append((parts, kind))
    for name, problem in refused.items():
        # A bad folder is said once, not again for each entry below it.
        parts = name.split("/")
        if not any("/".join(parts[:depth]) in refused for depth in range(1, len(parts))):
            say(name, problem)

    # What the entries put on the disk: each path with its kind (the folders
    # above an entry are implied) and its spelling, by Windows' comparison.
    seen = {}
    for parts, kind in usable:
        for depth in range(1, len(parts) + 1):
            path = "/".join(parts[:depth])
            here = kind if depth == len(parts) else "folder"
            key = case_key(path)
            if key not in seen:
                seen[key] = (path, here)
                continue
            first, first_kind = seen[key]
            if first_kind == "clash":
                continue  # said already
            if first != path:
                say(path, f"differs from {inside(first)} only in case")
                seen[key] = (path, here)  # further entries in this spelling are not said again
            elif here == "file" and first_kind == "file" and depth == len(parts):
                say(path, "appears twice")
            elif here != first_kind:
                say(path, "is both a file and a folder")
                seen[key] = (path, "clash")

    if not usable:
        return problems
    tops = sorted({parts[0] for parts, _ in usable})
    if len(tops) != 1:
        problems.append(f"{len(tops)} top-level entries ({', '.join(map(shown, tops[:5]))}"
                        f"{', ...' if len(tops) > 5 else ''}); the setup needs exactly one top-level "
                        "folder")
        return problems
    top = tops[0]
    if seen.get(case_key(top), (None, "folder"))[1] == "file":
        problems.append(f"the only top-level entry {shown(top)} is a file, not a folder")
        return problems
    exe = f"{top}/{APP_EXE}"
    kinds = dict(entries)
    if exe in kinds:
        if kinds[exe] == "folder":
            say(exe, "is a folder, not a file")
        return problems  # a link or a special file was reported above
    elsewhere = sorted(name for name, kind in entries
                       if kind == "file" and case_key(name.rsplit("/", 1)[-1]) == case_key(APP_EXE))
    hint = f" (there is {inside(elsewhere[0])})" if elsewhere else ""
    if elsewhere and case_key(elsewhere[0]) == case_key(exe):
        hint = (f" (there is {inside(elsewhere[0])}: the name must be exactly {APP_EXE}, which "
                "a case-sensitive folder would not find otherwise)")
    problems.append(f"no {APP_EXE} directly inside {where}{hint}")
    return problems


# ------------------------------------------------------------------ versions

def version_problems(value):
    """Why the setup's label would not show `value` (UTF-8 bytes) whole and as
    it is, or an empty list."""
    try:
        text = value.decode("utf-8")
    except UnicodeDecodeError:
        return ["is not valid UTF-8"]
    problems = []
    if not value:
        problems.append('is empty: the label would read only "Build "')
    elif all(unicodedata.category(char) in BLANK_CATEGORIES for char in text):
        problems.append('has no visible character (only blanks or combining marks): the label '
                        'would read as "Build "')
    if len(value) > VERSION_MAX_BYTES:
        problems.append(f"is {len(value)} bytes in UTF-8; the label shows at most {VERSION_MAX_BYTES}")
    if '"' in text:
        problems.append("holds a double quote, where the label would end")
    if "\\" in text:
        problems.append("holds a backslash, which version.json would have to escape and the label "
                        "shows as written")
    invisible = sorted({char for char in text if unicodedata.category(char) in INVISIBLE_CATEGORIES})
    if invisible:
        problems.append("holds the control or invisible character" +
                        ("s " if len(invisible) > 1 else " ") +
                        ", ".join(f"U+{ord(char):04X}" for char in invisible))
    return problems


def scan_version(document):
    """The setup's scan of the version document: (value bytes, None) or
    (None, why it finds none)."""
    text = document[:SCAN_STORED_BYTES]
    cut = text.find(b"\0")
    if cut >= 0:
        text = text[:cut]
    where = (f"before the NUL byte at {cut}" if cut >= 0
             else f"in the first {SCAN_STORED_BYTES} bytes")
    key = text.find(SCAN_KEY)
    if key < 0:
        return None, f'has no "version" key {where}'
    colon = text.find(b":", key + len(SCAN_KEY))
    if colon < 0:
        return None, f'has no colon after the "version" key {where}'
    opening = text.find(b'"', colon + 1)
    if opening < 0:
        return None, f"has no opening quote after the colon {where}"
    closing = text.find(b'"', opening + 1)
    if closing < 0:
        return None, f"has no closing quote after the value's opening quote {where}"
    if closing - opening - 1 > VERSION_MAX_BYTES:
        return None, (f"has a value of {closing - opening - 1} bytes; the label shows at most "
                      f"{VERSION_MAX_BYTES}, and none when there are more")
    return text[opening + 1:closing], None


def version_document(version):
    """The version document for a version that passed version_problems: the
    value is written as it is (UTF-8, no escapes), which is valid JSON then."""
    return b'{"version":"' + version + b'"}\n'


def version_document_problems(document):
    problems = []
    member = None
    try:
        # "utf-8-sig": a byte-order mark before the object is read over by the
        # setup's scan as by most JSON readers.
        pairs = json.loads(document.decode("utf-8-sig"), object_pairs_hook=lambda pairs: pairs)
        if not isinstance(pairs, list):
            problems.append("is not a JSON object")
        else:
            member = next((value for key, value in pairs if key == "version"), None)
    except UnicodeDecodeError:
        problems.append("is not valid UTF-8")
    except ValueError as error:
        problems.append(f"is not valid JSON ({error})")

    value, why = scan_version(document)
    if why:
        return problems + [why]
    label = version_problems(value)
    if label == ["is not valid UTF-8"] and problems == ["is not valid UTF-8"]:
        problems = []  # bad UTF-8 is said once, of the version
    if label:
        return problems + [f"the version {shown(value.decode('utf-8', 'backslashreplace'))} {p}"
                           for p in label]
    if problems:
        return problems
    if not isinstance(member, str) or member.encode("utf-8") != value:
        return [f"the label would show {shown(value.decode('utf-8'))}, not the document's version "
                f"{json.dumps(member, ensure_ascii=False)}"]
    return []


# ------------------------------------------------------------------ archives
#
# The archive is judged by the bytes tar uses, not by what a ZIP library makes
# of them: libarchive (Windows' tar.exe, Debian's bsdtar) recognises formats by
# their first bytes, takes each entry's name and flags from its local header
# and applies the extra fields found there. So an archive passes only when
# every reading of it is the same one: it begins with a local header, the
# local records tile the file from offset 0 up to the central directory in its
# order, each local header agrees with its central record, and nothing in the
# file can be recognised as another format.

LOCAL_HEADER = b"PK\x03\x04"
CENTRAL_HEADER = b"PK\x01\x02"
END_RECORD = b"PK\x05\x06"
ZIP64_END_RECORD = b"PK\x06\x06"
ZIP64_END_LOCATOR = b"PK\x06\x07"
DATA_DESCRIPTOR = b"PK\x07\x08"
END_RECORD_SIZE = 22
LENGTH_AT_END_FLAG = 0x8
# General purpose bits that change nothing about what is unpacked: the deflate
# level (1, 2), sizes in a data descriptor (3) and UTF-8 names (11).
HARMLESS_FLAGS = 0x2 | 0x4 | LENGTH_AT_END_FLAG | UTF8_NAME_FLAG
ENCRYPTION_FLAGS = ENCRYPTED_FLAG | 0x40 | 0x2000  # traditional, strong, central directory
STORED, DEFLATED = 0, 8  # what the zlib-only tar.exe of Windows unpacks
ZIP64_EXTRA = 0x0001
EXTRA_ATTRIBUTES = 0x6C78  # "xl": file type and attributes in the local header
# Extra fields that only carry times or owners: tar applies nothing else from them.
TIME_AND_OWNER_EXTRAS = {0x000A, 0x5455, 0x7875}
UNIX_SYSTEM, MSDOS_SYSTEM = 3, 0
TAR_BLOCK = 512
CHUNK = 1 << 20
ISO9660_IDENTIFIER_AT = 16 * 2048 + 1

SIGNATURE_MARKER = b"NIMBREL-SIG-1 "
SIGNATURE_DIGITS = 128
SIGNATURE_BLOCK_SIZE = len(SIGNATURE_MARKER) + SIGNATURE_DIGITS
LOWER_HEX = frozenset(b"0123456789abcdef")


def looks_like_tar(data):
    """Whether the first block checks out as a tar header, which libarchive
    prefers over a ZIP that begins at the same byte."""
    if len(data) < TAR_BLOCK:
        return False
    block = bytes(data[:TAR_BLOCK])
    field = block[148:156]
    if field[0] & 0x80:  # base-256
        stated = int.from_bytes(field[1:], "big")
    else:
        digits = field.lstrip(b" \t")
        end = 0
        while end < len(digits) and digits[end:end + 1] in b"01234567":
            end += 1
        stated = int(digits[:end], 8) if end else 0
    spaces = 8 * 0x20
    unsigned = sum(block[:148]) + spaces + sum(block[156:])
    signed = sum(b - 256 if b > 127 else b for b in block[:148] + block[156:]) + spaces
    return stated in (unsigned, signed)


def extra_fields(extra):
    """{type: data} of an extra block, or None when it does not split into
    fields exactly or holds a type twice."""
    fields = {}
    at = 0
    while at < len(extra):
        if at + 4 > len(extra):
            return None
        kind, size = struct.unpack_from("<HH", extra, at)
        if at + 4 + size > len(extra) or kind in fields:
            return None
        fields[kind] = extra[at + 4:at + 4 + size]
        at += 4 + size
    return fields


def zip64_values(fields, values):
    """`values` (a list of 32-bit fields, in the order the ZIP64 extra field
    stores them) with each 0xFFFFFFFF replaced from that field; None when the
    field is missing or too short."""
    wanted = [value == 0xFFFFFFFF for value in values]
    if not any(wanted):
        return values
    data = fields.get(ZIP64_EXTRA)
    if data is None or len(data) < 8 * sum(wanted):
        return None
    out, at = [], 0
    for value, replace in zip(values, wanted):
        if replace:
            value = struct.unpack_from("<Q", data, at)[0]
            at += 8
        out.append(value)
    return out


def entry_kind(system, attributes, name):
    """What tar makes of an entry: "file", "folder", "link" or "special". A
    Unix entry has its mode in the high attribute bits, an MS-DOS entry only
    its folder bit, any other system nothing; a name ending in "/" is a folder
    unless the mode says so already."""
    if system == UNIX_SYSTEM:
        mode = attributes >> 16
    elif system == MSDOS_SYSTEM:
        mode = stat.S_IFDIR if attributes & MSDOS_DIRECTORY else stat.S_IFREG
    else:
        mode = 0
    kind = stat.S_IFMT(mode)
    if kind != stat.S_IFDIR and name.endswith(b"/"):
        kind = stat.S_IFDIR
    elif kind == 0:
        kind = stat.S_IFREG
    return {stat.S_IFREG: "file", stat.S_IFDIR: "folder", stat.S_IFLNK: "link"}.get(kind, "special")


def readings_differ(system, attributes, kind):
    """Whether the attributes say something else than tar's reading `kind`:
    a mode in the high bits of an entry not made on Unix (which tar ignores)
    or the MS-DOS folder bit on an entry that tar makes a file. Other readers,
    and the setup's own check of the application, take them as written."""
    mode_kind = {0: None, stat.S_IFREG: "file", stat.S_IFDIR: "folder",
                 stat.S_IFLNK: "link"}.get(stat.S_IFMT(attributes >> 16), "special")
    if system != UNIX_SYSTEM and mode_kind not in (None, kind):
        return True
    return bool(attributes & MSDOS_DIRECTORY) and kind != "folder"


def extra_attributes(fields, version):
    """What the "xl" field gives an entry, which tar applies over the central
    record's attributes: (system, attributes), with the system from the field
    or else from the high byte of `version` (the record's own); () when there
    is none or it holds no attributes; None when it is cut short."""
    data = fields.get(EXTRA_ATTRIBUTES)
    if data is None:
        return ()
    if not data:
        return None
    bitmap = last = data[0]
    at = 1
    while last & 0x80:  # further bitmap bytes, of fields nothing here reads
        if at >= len(data):
            return None
        last = data[at]
        at += 1
    system = version >> 8
    needed = at + (2 if bitmap & 1 else 0) + (2 if bitmap & 2 else 0) + (4 if bitmap & 4 else 0)
    if needed > len(data):
        return None
    if bitmap & 1:
        system = struct.unpack_from("<H", data, at)[0] >> 8
        at += 2
    if bitmap & 2:
        at += 2
    return (system, struct.unpack_from("<I", data, at)[0]) if bitmap & 4 else ()


def block_digits(block):
    """The 128 digits of a signature block (the file's last 142 bytes) as the
    setup reads it: the marker, then lowercase hex digits; or None."""
    digits = bytes(block[SIGNATURE_BLOCK_SIZE - SIGNATURE_DIGITS:])
    if len(block) != SIGNATURE_BLOCK_SIZE or not set(digits) <= LOWER_HEX or \
            block[:len(SIGNATURE_MARKER)] != SIGNATURE_MARKER:
        return None
    return digits


def signature_digits(data):
    """The digits of the signature block that ends `data`, or None."""
    if len(data) < END_RECORD_SIZE + SIGNATURE_BLOCK_SIZE:
        return None
    return block_digits(data[-SIGNATURE_BLOCK_SIZE:])


def find_end_record(data):
    """(offset of the end record, problem): the end record must be the last
    record of the file, its comment reaching the last byte."""
    lowest = max(0, len(data) - END_RECORD_SIZE - 0xFFFF)
    at = len(data) - END_RECORD_SIZE
    while at >= lowest:
        at = data.rfind(END_RECORD, lowest, at + 4)
        if at < 0:
            break
        comment = struct.unpack_from("<H", data, at + 20)[0]
        if at + END_RECORD_SIZE + comment == len(data):
            return at, None
        at -= 1
    return None, "has no end-of-central-directory record as its last record"


def read_directory(data):
    """((central records, central directory offset, end-record comment),
    problem) of a ZIP in `data`: one dict for each central record, the sizes
    and offset resolved from ZIP64."""
    end, problem = find_end_record(data)
    if problem:
        return None, problem
    (disk, cd_disk, disk_entries, entries, cd_size, cd_offset,
     comment_size) = struct.unpack_from("<HHHHIIH", data, end + 4)
    comment = bytes(data[end + END_RECORD_SIZE:])
    if END_RECORD in comment or ZIP64_END_LOCATOR in comment:
        return None, "has an end-record comment that holds another end record"
    directory_end = end
    locator = end - 20
    if locator >= 0 and data[locator:locator + 4] == ZIP64_END_LOCATOR:
        cd_disk64, record, disks = struct.unpack_from("<IQI", data, locator + 4)
        if (cd_disk64, disks) != (0, 1) or record + 56 != locator or \
                data[record:record + 4] != ZIP64_END_RECORD:
            return None, "has a ZIP64 end record that is not where its locator says"
        (size, _, _, disk, cd_disk, disk_entries, entries, cd_size,
         cd_offset) = struct.unpack_from("<QHHIIQQQQ", data, record + 4)
        if size != 44:
            return None, "has a ZIP64 end record with extensible data"
        directory_end = record
    if disk or cd_disk or disk_entries != entries:
        return None, "spans several disks"
    if cd_offset + cd_size != directory_end:
        return None, "has bytes between its central directory and its end record"

    records = []
    at = cd_offset
    while at < directory_end:
        if data[at:at + 4] != CENTRAL_HEADER or at + 46 > directory_end:
            return None, f"has a malformed central directory at offset {at}"
        (made_by, _, flags, method, _, _, crc, compressed, size, name_size, extra_size,
         comment_size, disk_start, _, attributes, offset) = struct.unpack_from(
            "<HHHHHHIIIHHHHHII", data, at + 4)
        name = bytes(data[at + 46:at + 46 + name_size])
        extra = bytes(data[at + 46 + name_size:at + 46 + name_size + extra_size])
        at += 46 + name_size + extra_size + comment_size
        if at > directory_end:
            return None, "has a malformed central directory (a record runs past its end)"
        fields = extra_fields(extra)
        values = fields is not None and zip64_values(fields, [size, compressed, offset])
        if not values:
            return None, f"{shown(name.decode('utf-8', 'surrogateescape'))}: has a malformed " \
                         "extra field in the central directory"
        size, compressed, offset = values
        if disk_start != 0:
            return None, "spans several disks"
        records.append({"made_by": made_by, "flags": flags, "method": method, "crc": crc,
                        "compressed": compressed, "size": size, "name": name, "fields": fields,
                        "attributes": attributes, "offset": offset})
    if len(records) != entries:
        return None, (f"has {len(records)} central records where its end record says {entries}")
    return (records, cd_offset, comment), None


def data_problem(data, start, method, compressed, size, crc, sha):
    """Why the entry's data does not unpack to `size` bytes with `crc`, or
    None; the unpacked bytes go into `sha` as well."""
    if method == STORED:
        if compressed != size:
            return f"is stored with {compressed} bytes of data for a size of {size}"
        actual = 0
        for at in range(start, start + size, CHUNK):
            piece = data[at:min(at + CHUNK, start + size)]
            actual = zlib.crc32(piece, actual)
            sha.update(piece)
        return None if actual == crc else "cannot be unpacked (Bad CRC-32)"
    inflater = zlib.decompressobj(-15)
    actual = produced = 0
    at, stop, pending = start, start + compressed, b""
    try:
        while True:
            if not pending:
                if at >= stop:
                    break
                pending = data[at:min(at + CHUNK, stop)]
                at += len(pending)
            piece = inflater.decompress(pending, CHUNK)
            pending = inflater.unconsumed_tail
            produced += len(piece)
            actual = zlib.crc32(piece, actual)
            sha.update(piece)
            if produced > size or inflater.eof:
                break
    except zlib.error as error:
        return f"cannot be unpacked ({error})"
    if not inflater.eof or inflater.unused_data or pending or at != stop:
        return "cannot be unpacked (its deflate data does not end where its size says)"
    if produced != size:
        return f"cannot be unpacked (it inflates to another size than {size})"
    return None if actual == crc else "cannot be unpacked (Bad CRC-32)"


def record_problem(data, record, next_at, sha):
    """(problem, kind) of one entry whose records must end at `next_at`, where
    the next entry's local header or the central directory begins: the local
    header must agree with the central record, and its data must unpack."""
    made_by, flags, method = record["made_by"], record["flags"], record["method"]
    crc, compressed, size = record["crc"], record["compressed"], record["size"]
    name, fields, at = record["name"], record["fields"], record["offset"]
    central_kind = entry_kind(made_by >> 8, record["attributes"], name)
    if data[at:at + 4] != LOCAL_HEADER or at + 30 > next_at:
        return "has no local header where its central record points", central_kind
    (version, local_flags, local_method, _, _, local_crc, local_compressed, local_size,
     name_size, extra_size) = struct.unpack_from("<HHHHHIIIHH", data, at + 4)
    local_name = bytes(data[at + 30:at + 30 + name_size])
    local_fields = extra_fields(bytes(data[at + 30 + name_size:at + 30 + name_size + extra_size]))
    start = at + 30 + name_size + extra_size
    if (flags | local_flags) & ENCRYPTION_FLAGS:
        return "is encrypted", central_kind
    unsupported = sorted({method, local_method} - {STORED, DEFLATED})
    if unsupported:
        return (f"is compressed with method {unsupported[0]}; Windows' tar unpacks only stored "
                "(0) and deflate (8) entries"), central_kind
    if local_method != method:
        return (f"its local header has the method {local_method}, its central record "
                f"{method}"), central_kind
    if local_name != name:
        return (f"its local header names it "
                f"{shown(local_name.decode('utf-8', 'surrogateescape'))}"), central_kind
    if local_flags != flags:
        return (f"its local header has the flags 0x{local_flags:04x}, its central record "
                f"0x{flags:04x}"), central_kind
    if flags & ~HARMLESS_FLAGS:
        return f"has the general purpose flags 0x{flags & ~HARMLESS_FLAGS:04x}", central_kind
    for where, found in (("local header", local_fields), ("central record", fields)):
        if found is None:
            return f"has a malformed extra field in its {where}", central_kind
        odd = sorted(set(found) - TIME_AND_OWNER_EXTRAS - {ZIP64_EXTRA, EXTRA_ATTRIBUTES})
        if odd:
            return (f"has an extra field of type 0x{odd[0]:04x} in its {where}, which tar may "
                    "read as another name or type"), central_kind
    readings = [("central record", made_by >> 8, record["attributes"])]
    for where, found, version_field in (("local header", local_fields, version),
                                        ("central record", fields, made_by)):
        given = extra_attributes(found, version_field)
        if given is None:
            return f"has a cut attribute extra field (0x6c78) in its {where}", central_kind
        if given:
            readings.append((f"{where}'s attribute extra field", *given))
    for where, system, attributes in readings:
        kind = entry_kind(system, attributes, name)
        if kind != central_kind:
            return f"its {where} makes it a {kind}, its central record a {central_kind}", \
                central_kind
        if readings_differ(system, attributes, kind):
            return (f"the attributes of its {where} read as another type than the {kind} tar "
                    "makes of it (a mode in the high bits of an entry not made on Unix, or the "
                    "MS-DOS folder bit on a file)"), central_kind
    local = zip64_values(local_fields, [local_size, local_compressed])
    if local is None:
        return "has a malformed ZIP64 extra field in its local header", central_kind
    local_size, local_compressed = local
    stated = (local_crc, local_compressed, local_size)
    if any(value != wanted and not (flags & LENGTH_AT_END_FLAG and value == 0)
           for value, wanted in zip(stated, (crc, compressed, size))):
        return "its local header and its central record disagree on its CRC or sizes", central_kind
    end = start + compressed
    if flags & LENGTH_AT_END_FLAG:
        wide = ZIP64_EXTRA in local_fields
        layouts = [(DATA_DESCRIPTOR, "<IQQ" if wide else "<III"), (b"", "<IQQ" if wide else "<III")]
        for signature, layout in layouts:
            size_of = len(signature) + struct.calcsize(layout)
            if end + size_of == next_at and data[end:end + len(signature)] == signature and \
                    struct.unpack_from(layout, data, end + len(signature)) == (crc, compressed, size):
                break
        else:
            return "its data descriptor does not agree with its central record", central_kind
    elif end != next_at:
        return (f"its data ends at offset {end}, not at {next_at} where the next record "
                "begins (hidden or overlapping data)"), central_kind
    if central_kind == "folder" and size:
        return "is a folder with data", central_kind
    if central_kind in ("file", "folder"):
        return data_problem(data, start, method, compressed, size, crc, sha), central_kind
    return None, central_kind


def archive_problems(path):
    """(problems, listing) of an application archive: the listing holds one
    {path, kind, size, sha256} for each entry, as tar would unpack it."""
    try:
        with open(path, "rb") as opened:
            if os.fstat(opened.fileno()).st_size == 0:
                return ["is empty"], []
            data = mmap.mmap(opened.fileno(), 0, access=mmap.ACCESS_READ)
    except OSError as error:
        return [f"cannot be read ({error.strerror})"], []
    with data:
        return read_archive(data)


def read_archive(data):
    if data[:4] != LOCAL_HEADER:
        if data[:4] == END_RECORD:
            return ["the archive has no entries"], []
        return [("does not begin with a ZIP local header, so tar may read it as another format "
                 "or not at all")], []
    if looks_like_tar(data):
        return ["its first 512 bytes check out as a tar header, so tar would read it as tar"], []
    if data[ISO9660_IDENTIFIER_AT:ISO9660_IDENTIFIER_AT + 5] == b"CD001":
        return ["holds a CD-ROM volume identifier where tar looks for one"], []
    found, problem = read_directory(data)
    if problem:
        return [f"is not a ZIP archive that tar reads as this tool does: {problem}"], []
    records, directory, comment = found
    problems = []
    if signature_digits(data) is not None:
        if len(comment) != SIGNATURE_BLOCK_SIZE:
            problems.append("its signature block is not the whole comment of its end record")
    elif comment.startswith(b"NIMBREL-SIG"):
        problems.append(f"its end-record comment begins like a signature block but is not one "
                        f"({SIGNATURE_MARKER.decode()!r} and {SIGNATURE_DIGITS} lowercase hex "
                        "digits)")
    if not records:
        return problems + (["the archive has no entries"] if directory == 0 else
                           ["has data before its central directory that no entry covers"]), []
    if records[0]["offset"] != 0:
        problems.append("its first entry does not begin at offset 0")
    entries, listing = [], []
    for index, record in enumerate(records):
        raw = record["name"]
        if not record["flags"] & UTF8_NAME_FLAG and not raw.isascii():
            problems.append(f"{raw!r}: a name with bytes beyond ASCII that is not marked as "
                            "UTF-8, which Windows would read in the user's code page")
            continue
        try:
            name = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            problems.append(f"a name marked as UTF-8 is not valid UTF-8: {error.object!r}")
            continue
        next_at = records[index + 1]["offset"] if index + 1 < len(records) else directory
        sha = hashlib.sha256()
        problem, kind = record_problem(data, record, next_at, sha)
        if problem:
            problems.append(f"{shown(name)}: {problem}")
        entries.append((name[:-1] if name.endswith("/") else name, kind))
        listing.append({"path": entries[-1][0], "kind": kind, "size": record["size"],
                        "sha256": sha.hexdigest() if kind == "file" else None})
    problems += entry_problems(entries, "the top-level folder")
    return problems, listing


# ---------------------------------------------------------------- signatures
#
# ECDSA on P-256 over SHA-256, by the openssl command: Python's standard
# library has no elliptic curves, and openssl reads encrypted keys everywhere
# the tool runs. The signature block is the end record's comment; what is
# signed is every byte before its 128 digits.

PASSWORD_VARIABLE = "NIMBREL_ARCHIVE_KEY_PASSWORD"
P256_NAME = "ASN1 OID: prime256v1"
OPENSSL_SECONDS = 120


def openssl(arguments, data=b""):
    """(stdout, None) or (None, why) of one openssl command. A key's password
    reaches openssl through the environment only (an empty one when unset, so
    that openssl never asks on the terminal)."""
    environment = {**os.environ}
    environment.setdefault(PASSWORD_VARIABLE, "")
    try:
        # A session of its own has no terminal to ask for a password on.
        done = subprocess.run(["openssl", *arguments], input=data, capture_output=True,
                              timeout=OPENSSL_SECONDS, env=environment, start_new_session=True)
    except FileNotFoundError:
        return None, "the openssl command is not installed"
    except subprocess.TimeoutExpired:
        return None, f"openssl did not finish within {OPENSSL_SECONDS} s"
    if done.returncode:
        said = done.stderr.decode("utf-8", "replace").strip().splitlines()
        return None, f"openssl: {said[0] if said else f'exit code {done.returncode}'}"
    return done.stdout, None


def p256_public_key(arguments, data=b""):
    """(PEM, None) or (None, why) of the public key that `openssl pkey
    <arguments> -pubout` writes, when it is a P-256 key."""
    pem, why = openssl(["pkey", *arguments, "-pubout"], data)
    if why:
        return None, why
    text, why = openssl(["pkey", "-pubin", "-passin", "pass:", "-noout", "-text"], pem)
    if why:
        return None, why
    if P256_NAME not in text.decode("ascii", "replace"):
        return None, "a key of another kind or curve"
    return pem, None


def public_key(path):
    """(PEM, None) or (None, why) of a P-256 public key file."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        return None, f"cannot be read ({error.strerror})"
    if b"PRIVATE KEY" in data:
        return None, "holds a private key, not the public key (openssl ec -pubout writes that)"
    pem, why = p256_public_key(["-pubin", "-passin", "pass:"], data)
    return (pem, None) if pem else (None, f"is not a P-256 public key as PEM ({why})")


def private_key_public_half(path):
    """(PEM of its public key, None) or (None, why) of a P-256 private key,
    encrypted or not."""
    if not Path(path).is_file():
        return None, "is not a file"
    pem, why = p256_public_key(["-in", str(path), "-passin", f"env:{PASSWORD_VARIABLE}"])
    if pem:
        return pem, None
    return None, (f"is not a P-256 private key that opens with the password in "
                  f"{PASSWORD_VARIABLE} ({why})")


def der_integer(value):
    body = value.to_bytes(32, "big").lstrip(b"\0") or b"\0"
    if body[0] & 0x80:
        body = b"\0" + body
    return b"\x02" + bytes([len(body)]) + body


def der_signature(raw):
    """The DER form (SEQUENCE of two INTEGERs) of r || s."""
    body = der_integer(int.from_bytes(raw[:32], "big")) + der_integer(int.from_bytes(raw[32:], "big"))
    return b"\x30" + bytes([len(body)]) + body


def raw_signature(der):
    """r || s, 32 bytes each, of a DER signature, or None."""
    if len(der) < 8 or der[0] != 0x30 or der[1] != len(der) - 2:
        return None
    values, at = [], 2
    for _ in range(2):
        if der[at] != 0x02 or at + 2 + der[at + 1] > len(der):
            return None
        value = int.from_bytes(der[at + 2:at + 2 + der[at + 1]], "big")
        if value >= 1 << 256:
            return None
        values.append(value.to_bytes(32, "big"))
        at += 2 + der[at + 1]
    return b"".join(values) if at == len(der) else None


def signed_digest(path):
    """SHA-256 of every byte of the file but its last 128 (the digits)."""
    sha = hashlib.sha256()
    with open(path, "rb") as data:
        left = os.fstat(data.fileno()).st_size - SIGNATURE_DIGITS
        while left > 0:
            block = data.read(min(CHUNK, left))
            if not block:
                break
            sha.update(block)
            left -= len(block)
    return sha.digest()


def file_signature_digits(path):
    with open(path, "rb") as data:
        size = os.fstat(data.fileno()).st_size
        if size < END_RECORD_SIZE + SIGNATURE_BLOCK_SIZE:
            return None
        data.seek(size - SIGNATURE_BLOCK_SIZE)
        return block_digits(data.read())


def sign_archive(path, key):
    """Writes the signature digits over the last 128 bytes of `path`, whose
    end record's comment is the marker and 128 placeholder digits. None or why not."""
    der, why = openssl(["pkeyutl", "-sign", "-inkey", str(key),
                        "-passin", f"env:{PASSWORD_VARIABLE}"], signed_digest(path))
    if why:
        return f"cannot sign with {shown(str(key))} ({why})"
    raw = raw_signature(der)
    if raw is None:
        return "openssl wrote a signature that is not an ECDSA P-256 signature"
    with open(path, "r+b") as data:
        data.seek(-SIGNATURE_DIGITS, os.SEEK_END)
        data.write(raw.hex().encode("ascii"))
    return None


def verifies(path, digits, public_pem):
    """Whether the digits are a signature over the archive by the key."""
    with tempfile.TemporaryDirectory(prefix="nimbrel-verify-") as folder:
        key, signature = Path(folder) / "public.pem", Path(folder) / "signature.der"
        key.write_bytes(public_pem)
        signature.write_bytes(der_signature(bytes.fromhex(digits.decode("ascii"))))
        done, _ = openssl(["pkeyutl", "-verify", "-pubin", "-inkey", str(key),
                           "-sigfile", str(signature)], signed_digest(path))
        return done is not None


# ------------------------------------------------------------------ checking

def check(folder, public_keys=()):
    """(problems, entries, version, what is known of the signature) of the
    release in `folder`, each problem with its file's name. With public keys
    (a list of (name, PEM)) the archive must carry a signature by one of
    them, and is judged no further when it does not: an archive that is not
    the publisher's is refused for that alone."""
    problems = []
    archive = folder / ARCHIVE
    document = folder / VERSION_DOCUMENT
    listing, signature = [], None
    if not archive.is_file():
        problems.append(f"{ARCHIVE}: missing")
    else:
        digits = file_signature_digits(archive)
        signer = None
        if digits is not None:
            signer = next((name for name, pem in public_keys if verifies(archive, digits, pem)),
                          None)
        if public_keys and digits is None:
            problems.append(f"{ARCHIVE}: has no signature block (its last {SIGNATURE_BLOCK_SIZE} "
                            f"bytes are not {SIGNATURE_MARKER.decode()!r} and "
                            f"{SIGNATURE_DIGITS} lowercase hex digits)")
        elif public_keys and signer is None:
            keys = ", ".join(shown(name) for name, _ in public_keys)
            problems.append(f"{ARCHIVE}: its signature does not verify with {keys}: the archive "
                            "was altered or signed with another key")
        else:
            found, listing = archive_problems(archive)
            problems += [f"{ARCHIVE}: {p}" for p in found]
            signature = (f"signature verified with {shown(signer)}" if signer else
                         "signature block present, unverified without --public-key" if digits else
                         "unsigned")
    if not document.is_file():
        problems.append(f"{VERSION_DOCUMENT}: missing")
        value = None
    else:
        data = document.read_bytes()
        problems += [f"{VERSION_DOCUMENT}: {p}" for p in version_document_problems(data)]
        value, _ = scan_version(data)
    return problems, listing, value, signature


# ---------------------------------------------------------------- making one

def application_entries(app):
    """(entries, sources, problems) for the application folder: entries as
    entry_problems takes them, below the top-level folder, and for each file
    entry the path to read."""
    entries = [(TOP_FOLDER, "folder")]
    sources = {}
    problems = []

    def walk(folder, relative):
        try:
            with os.scandir(folder) as listing:
                children = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            problems.append(f"{shown(relative or '.')}: cannot be listed ({error.strerror})")
            return
        for child in children:
            name = f"{relative}/{child.name}" if relative else child.name
            entry = f"{TOP_FOLDER}/{name}"
            if child.is_symlink():
                entries.append((entry, "link"))
            elif child.is_dir(follow_symlinks=False):
                entries.append((entry, "folder"))
                walk(child.path, name)
            elif child.is_file(follow_symlinks=False):
                entries.append((entry, "file"))
                sources[entry] = child.path
            else:
                entries.append((entry, "special"))

    walk(app, "")
    return entries, sources, problems


def write_archive(path, entries, sources, comment=b""):
    with zipfile.ZipFile(path, "w", allowZip64=True) as archive:
        archive.comment = comment
        for name, kind in sorted(entries, key=lambda entry: (entry[0] + "/" if entry[1] == "folder"
                                                              else entry[0]).encode("utf-8")):
            info = zipfile.ZipInfo(name + "/" if kind == "folder" else name, date_time=FIXED_TIME)
            info.create_system = 3
            if kind == "folder":
                info.external_attr = (FOLDER_MODE << 16) | MSDOS_DIRECTORY
                info.compress_type = zipfile.ZIP_STORED
                archive.writestr(info, b"")
                continue
            info.external_attr = FILE_MODE << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            source = sources[name]
            large = os.path.getsize(source) >= zipfile.ZIP64_LIMIT
            with open(source, "rb") as data, archive.open(info, "w", force_zip64=large) as member:
                shutil.copyfileobj(data, member, 1 << 20)


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


def make(app, version_text, out, sign_key=None):
    """Refusals (a list of lines) or None after writing the release, signed
    with the private key file `sign_key` when one is given."""
    refusals = []
    key_pem = None
    if sign_key is not None:
        key_pem, why = private_key_public_half(sign_key)
        if why:
            refusals.append(f"--sign-key {shown(str(sign_key))}: {why}")
    version = os.fsencode(version_text)
    refusals += [f"version {shown(version_text)}: {p}" for p in version_problems(version)]

    app = Path(app)
    if not app.is_dir():
        return refusals + [f"{shown(str(app))}: is not a folder"]
    out = Path(os.path.abspath(out))
    app_real = app.resolve()
    if out == app_real or app_real in out.parents or app_real in out.resolve().parents:
        refusals.append(f"{shown(str(out))}: lies inside the application folder")
    if out.exists() and not (out.is_dir() and not any(out.iterdir())):
        refusals.append(f"{shown(str(out))}: exists and is not an empty folder")
    elif not out.parent.is_dir():
        refusals.append(f"{shown(str(out.parent))}: does not exist, so it cannot hold the release")

    entries, sources, walk_problems = application_entries(app)
    refusals += walk_problems
    refusals += entry_problems(entries, "the application folder", prefix=TOP_FOLDER + "/")
    if refusals:
        return refusals

    # Everything goes into a hidden folder beside `out` first, and is checked
    # there by --check's rules; only a whole, passing release is moved into place.
    staging = Path(tempfile.mkdtemp(prefix=f".{out.name}.partial-", dir=out.parent))
    try:
        (staging / "desktop").mkdir()
        # A signed archive ends in the marker and placeholder digits, which
        # the signature then replaces: the comment's length is part of what is signed.
        write_archive(staging / ARCHIVE, entries, sources,
                      SIGNATURE_MARKER + b"0" * SIGNATURE_DIGITS if key_pem else b"")
        if key_pem:
            why = sign_archive(staging / ARCHIVE, sign_key)
            if why:
                return [why]
        (staging / VERSION_DOCUMENT).write_bytes(version_document(version))
        keys = [(str(sign_key), key_pem)] if key_pem else []
        problems, _, _, _ = check(staging, keys)
        if problems:
            return [f"the written release fails its own check: {p}" for p in problems]
        for folder in (staging, staging / "desktop"):
            folder.chmod(0o755)
        for name in (ARCHIVE, VERSION_DOCUMENT):
            (staging / name).chmod(0o644)
        os.rename(staging, out)  # replaces an empty `out`
        staging = None
    except OSError as error:
        return [f"cannot make the release: {error}"]
    finally:
        if staging is not None:
            shutil.rmtree(staging, ignore_errors=True)

    print(f"release {version_text} in {out} (top-level folder {TOP_FOLDER}/, {len(entries)} entries):")
    for name in (ARCHIVE, VERSION_DOCUMENT):
        path = out / name
        print(f"  {str(name):22} {path.stat().st_size:>12} bytes  sha256 {digest(path)}")
    if key_pem:
        print(f"  signed with {shown(str(sign_key))}; the signature verifies with its public key")
    return None


def print_lines(lines, stream):
    for line in lines[:MAX_SHOWN_PROBLEMS]:
        print(line, file=stream)
    if len(lines) > MAX_SHOWN_PROBLEMS:
        print(f"... and {len(lines) - MAX_SHOWN_PROBLEMS} more", file=stream)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--app", metavar="DIR", help="the application folder, with nimbrel.exe")
    mode.add_argument("--check", metavar="OUT", help="check the release in OUT/desktop")
    parser.add_argument("--version", help="the version shown as \"Build <VERSION>\"")
    parser.add_argument("--out", metavar="OUT", help="where the release goes (new or empty)")
    parser.add_argument("--sign-key", metavar="PEM",
                        help="sign the archive with this P-256 private key (its password, if "
                             f"any, from ${PASSWORD_VARIABLE})")
    parser.add_argument("--public-key", metavar="PEM", action="append",
                        help="with --check: the archive must be signed by this P-256 public key "
                             "(or by one of several, when given more than once)")
    parser.add_argument("--list", action="store_true",
                        help="with --check: after a passing check, one JSON line for each entry "
                             "below the top-level folder (path, kind, size, sha256)")
    args = parser.parse_args(argv)
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")  # paths may hold bytes that are not UTF-8

    if args.check is not None:
        if args.version is not None or args.out is not None:
            parser.error("--check takes no --version or --out")
        if args.sign_key is not None:
            parser.error("--check takes no --sign-key (--public-key verifies)")
        keys = []
        for name in args.public_key or ():
            pem, why = public_key(name)
            if why:
                print(f"--public-key {shown(name)}: {why}")
                return 1
            keys.append((name, pem))
        folder = Path(args.check)
        problems, listing, value, signature = check(folder, keys)
        if problems:
            print_lines(problems, sys.stdout)
            return 1
        print(f"{folder}: the setup will install from this release "
              f"(Build {value.decode('utf-8')}, {len(listing)} archive entries, {signature})")
        if args.list:
            # What lands in the install folder, the top-level folder stripped.
            for entry in listing:
                if "/" in entry["path"]:
                    print(json.dumps({**entry, "path": entry["path"].split("/", 1)[1]},
                                     ensure_ascii=False))
        return 0

    if args.version is None or args.out is None:
        parser.error("--app needs --version and --out")
    if args.public_key is not None:
        parser.error("--public-key goes with --check")
    if args.list:
        parser.error("--list goes with --check")
    refusals = make(args.app, args.version, args.out, args.sign_key)
    if refusals:
        print_lines([f"release.py: refused: {line}" for line in refusals], sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
