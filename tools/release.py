#!/usr/bin/env python3
"""Makes a Nimbrel Desktop release, or checks one, so that the setup can
install from it. A release is the two files the setup fetches from the
download server, laid out as they are served:

    OUT/desktop/nimbrel.zip     the application archive
    OUT/desktop/version.json    {"version":"<VERSION>"}, the build label's source

    release.py --app DIR --version VERSION --out OUT
        packs the application folder DIR (which must hold nimbrel.exe) and
        writes the release into OUT, a folder that does not exist yet or is
        empty; prints the two files' sizes and SHA-256 digests.
    release.py --check OUT
        says whether the setup will install from OUT/desktop: exit code 0 when
        it will, else 1 and one line per problem.

Why the rules: the setup unpacks the archive with the system's tar,
--strip-components=1, into %LOCALAPPDATA%\\Programs\\nimbrel and then needs
nimbrel.exe right there; it reads the version document with a plain byte scan
(the first 511 bytes, the first "version" key, at most 79 value bytes) and shows
"Build <value>". An archive without exactly one top-level folder, with
nimbrel.exe elsewhere, with an entry that leaves the install folder or that
Windows cannot hold, or a version the scan would cut or show differently
breaks every installation at once, so the tool refuses to make one and --check
refuses one made by another tool. Nothing is written unless everything passes.

The archive's top-level folder is always "nimbrel": the setup strips it, so
its name never reaches a user's disk, and a fixed name keeps the archive's
entry names independent of the version (which may hold characters that a
folder name may not). The same folder and version give the same bytes: entries
sorted by name, every timestamp 1980-01-01 00:00, fixed permissions, no extra
fields (with the same Python and zlib).

Standard library only.
"""

import argparse
import hashlib
import json
import os
import shutil
import stat
import sys
import tempfile
import unicodedata
import zipfile
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
        pairs = json.loads(document.decode("utf-8"), object_pairs_hook=lambda pairs: pairs)
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

def archive_problems(path):
    """(problems, entry count) of an application archive."""
    try:
        archive = zipfile.ZipFile(path)
    except UnicodeDecodeError as error:
        return [f"a name marked as UTF-8 is not valid UTF-8: {error.object!r}"], 0
    except (OSError, zipfile.BadZipFile, EOFError, ValueError) as error:
        return [f"is not a readable ZIP archive ({error})"], 0
    problems = []
    entries = []
    with archive:
        for info in archive.infolist():
            name = info.orig_filename
            if not info.flag_bits & UTF8_NAME_FLAG and not name.isascii():
                raw = name.encode("cp437")
                problems.append(f"{raw!r}: a name with bytes beyond ASCII that is not marked as "
                                "UTF-8, which Windows would read in the user's code page")
                continue
            mode = info.external_attr >> 16
            kind = "file"
            if stat.S_ISLNK(mode):
                kind = "link"
            elif stat.S_IFMT(mode) not in (0, stat.S_IFREG, stat.S_IFDIR):
                kind = "special"
            elif name.endswith("/") or stat.S_ISDIR(mode) or info.external_attr & MSDOS_DIRECTORY:
                kind = "folder"
            if info.flag_bits & ENCRYPTED_FLAG:
                problems.append(f"{shown(name)}: is encrypted")
            elif kind == "file":
                try:
                    with archive.open(info) as member:
                        while member.read(1 << 20):
                            pass
                except Exception as error:  # zlib, CRC, header and method errors alike
                    problems.append(f"{shown(name)}: cannot be unpacked ({error})")
            entries.append((name[:-1] if name.endswith("/") else name, kind))
    problems += entry_problems(entries, "the top-level folder")
    return problems, len(entries)


def check(folder):
    """The problems of the release in `folder`, each with its file's name."""
    problems = []
    archive = folder / ARCHIVE
    document = folder / VERSION_DOCUMENT
    if not archive.is_file():
        problems.append(f"{ARCHIVE}: missing")
        count = 0
    else:
        found, count = archive_problems(archive)
        problems += [f"{ARCHIVE}: {p}" for p in found]
    if not document.is_file():
        problems.append(f"{VERSION_DOCUMENT}: missing")
        value = None
    else:
        data = document.read_bytes()
        problems += [f"{VERSION_DOCUMENT}: {p}" for p in version_document_problems(data)]
        value, _ = scan_version(data)
    return problems, count, value


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


def write_archive(path, entries, sources):
    with zipfile.ZipFile(path, "w", allowZip64=True) as archive:
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


def make(app, version_text, out):
    """Refusals (a list of lines) or None after writing the release."""
    refusals = []
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
        write_archive(staging / ARCHIVE, entries, sources)
        (staging / VERSION_DOCUMENT).write_bytes(version_document(version))
        problems, _, _ = check(staging)
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
    args = parser.parse_args(argv)
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")  # paths may hold bytes that are not UTF-8

    if args.check is not None:
        if args.version is not None or args.out is not None:
            parser.error("--check takes no --version or --out")
        folder = Path(args.check)
        problems, count, value = check(folder)
        if problems:
            print_lines(problems, sys.stdout)
            return 1
        print(f"{folder}: the setup will install from this release "
              f"(Build {value.decode('utf-8')}, {count} archive entries)")
        return 0

    if args.version is None or args.out is None:
        parser.error("--app needs --version and --out")
    refusals = make(args.app, args.version, args.out)
    if refusals:
        print_lines([f"release.py: refused: {line}" for line in refusals], sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
