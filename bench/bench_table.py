#!/usr/bin/env python3
"""Runs every benchmark once, side by side, and prints one table (tools/bench.sh).

    bench_table.py --build DIR [--out DIR] [--size-mb N] [--runs N]
                   [--startup-runs N] [--frames N] [--cpu-seconds S]
                   [--keyed-build DIR --archive-key PRIVATE.pem]

Rows, each measured in this one run:
  - the size of nimbrel-setup.exe, with and without its resources, and its
    largest sections (read from the PE section table);
  - start to the first painted frame, the setup against empty-window.exe,
    alternating one run of each (bench-startup.exe), median of each;
  - peak private memory while the setup's HttpDownload streams N MB through
    ArchiveSink into a file with the progress window up (bench-download.exe
    --archive), sampled from outside every 5 ms (memory-peak.exe), against
    the empty window; the same for a 16 MB download shows that it does not
    grow with the size;
  - download throughput of N MB from nginx over HTTPS on loopback: HttpDownload
    against the plainest WinHTTP loop under Wine (the best of a few buffer
    sizes) and against curl natively;
  - paint time per frame and CPU while the segment slides, 96 and 144 DPI;
  - with --keyed-build (a build with NIMBREL_ARCHIVE_KEY) and --archive-key
    (its private key): the setup-like download of an N MB archive signed with
    that key, by this build and by the keyed one (which checks the signature
    as the body streams in), alternating, best of each; the keyed setup's
    size; and SHA-256 through CNG in memory against openssl natively.

Wine sessions go through tools/testbed.py; nginx listens on 127.0.0.1 only
and is stopped on every path. Figures only: nothing passes or fails on them.
The table goes to standard output as aligned text and, as Markdown, to
OUT/table.md (and OUT/table.txt).
"""

import argparse
import datetime
import os
import platform
import re
import signal
import socket
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tools"))
import testbed  # noqa: E402

SMALL_MB = 16
READ_LOOP_BUFFERS = (65536, 1 << 20, 8 << 20)
SIZE_BUDGET = 128 * 1024
SIZE_BUDGET_WITHOUT_PICTURES = 48 * 1024
FRAME_BUDGET_MS = 16.0


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


# ----------------------------------------------------------------- sizes

def pe_sections(path):
    """[(name, raw size)] from the section table of a PE file."""
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path} is not a PE file")
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = []
    for index in range(count):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        raw_size = struct.unpack_from("<I", data, entry + 16)[0]
        sections.append((name, raw_size))
    return sections


# ----------------------------------------------------------------- server

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_file(path, megabytes):
    size = megabytes * 1024 * 1024
    if path.is_file() and path.stat().st_size == size:
        return
    with open(path.with_suffix(".tmp"), "wb") as out:
        for _ in range(megabytes):
            out.write(os.urandom(1024 * 1024))
    path.with_suffix(".tmp").rename(path)


class Nginx:
    """nginx serving DOCROOT over HTTPS on 127.0.0.1 with the test bed's certificates."""

    def __init__(self, work, certs):
        self.work, self.certs, self.process = work, certs, None
        self.port = free_port()

    def __enter__(self):
        work = self.work
        for folder in ("logs", "temp"):
            (work / folder).mkdir(parents=True, exist_ok=True)
        user_line = "user root root;" if os.geteuid() == 0 else ""
        (work / "nginx.conf").write_text(f"""{user_line}
worker_processes 1;
daemon off;
pid {work}/nginx.pid;
error_log {work}/logs/error.log warn;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {work}/temp/body;
  proxy_temp_path {work}/temp/proxy;
  fastcgi_temp_path {work}/temp/fastcgi;
  uwsgi_temp_path {work}/temp/uwsgi;
  scgi_temp_path {work}/temp/scgi;
  types {{ application/octet-stream bin; }}
  sendfile on;
  server {{
    listen 127.0.0.1:{self.port} ssl;
    server_name localhost;
    ssl_certificate {self.certs}/server.pem;
    ssl_certificate_key {self.certs}/server.key;
    root {work}/docroot;
  }}
}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-p", str(work), "-e", str(work / "logs/error.log"), "-c", str(work / "nginx.conf")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"nginx did not start; see {work / 'logs/error.log'}")
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self
            time.sleep(0.1)
        raise RuntimeError("nginx did not listen within 10 s")

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()  # SIGTERM: nginx's fast shutdown
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        return False

    def url(self, name):
        return f"https://localhost:{self.port}/{name}"


def make_signed_file(source, target, private_key):
    """`source` followed by an end record whose comment is the signature block,
    signed with openssl: the bytes a keyed setup accepts (it parses nothing else)."""
    if target.is_file() and target.stat().st_size == source.stat().st_size + 22 + 142:
        return
    partial = target.with_suffix(".tmp")
    with open(source, "rb") as inp, open(partial, "wb") as out:
        while True:
            block = inp.read(1 << 20)
            if not block:
                break
            out.write(block)
        out.write(b"PK\x05\x06" + bytes(16) + struct.pack("<H", 142) + b"NIMBREL-SIG-1 ")
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(private_key), str(partial)],
                         capture_output=True, check=True, timeout=300).stdout
    values, position = [], 2  # SEQUENCE { INTEGER r, INTEGER s }
    for _ in range(2):
        length = der[position + 1]
        values.append(int.from_bytes(der[position + 2:position + 2 + length], "big"))
        position += 2 + length
    with open(partial, "ab") as out:
        out.write(b"".join(value.to_bytes(32, "big") for value in values).hex().encode())
    partial.rename(target)


# ----------------------------------------------------------------- runs

def fields(text):
    """{"bytes": "123", ...} from a "bytes=123 seconds=..." line."""
    return dict(re.findall(r"(\w+)=([0-9.]+)", text))


def run_windows(session, argv, timeout=600):
    result = session.run([str(a) for a in argv], timeout=timeout)
    output = result.stdout.replace("\r", "")
    if result.returncode != 0:
        raise RuntimeError(f"{Path(str(argv[0])).name} failed ({result.returncode}): "
                           f"{output.strip()} {result.stderr.strip()[-400:]}")
    return output


def startup(session, bench, setup, runs):
    """Median and fastest ms to the first painted frame, alternating the two programs."""
    programs = (("EmptyWindow", bench / "empty-window.exe"), ("NimbrelSetup", setup))
    times = {name: [] for name, _ in programs}
    for _ in range(runs):
        for window_class, program in programs:
            output = run_windows(session, [bench / "bench-startup.exe", 1, window_class,
                                           session.win_path(program)], timeout=120)
            times[window_class].append(float(re.search(r"median\s+([0-9.]+)", output).group(1)))
    return {name: (statistics.median(values), min(values)) for name, values in times.items()}


def memory(session, bench, server, big_mb):
    """Peak private bytes: the empty window, and the setup-like download of each size."""
    peaks = {}
    output = run_windows(session, [bench / "memory-peak.exe", "--window", "EmptyWindow", "--hold", 2000,
                                   session.win_path(bench / "empty-window.exe")])
    peaks["empty"] = int(fields(output.splitlines()[-1])["peak_private"])
    archive = session.win_path(session.temp_dir / "nimbrel.zip")
    for megabytes, name in ((SMALL_MB, "small.bin"), (big_mb, "nimbrel.bin")):
        output = run_windows(session, [bench / "memory-peak.exe", session.win_path(bench / "bench-download.exe"),
                                       "--archive", archive, server.url(name)])
        download = fields(next(line for line in output.splitlines() if line.startswith("bytes=")))
        if int(download["bytes"]) != megabytes << 20 or download["result"] != "1":
            raise RuntimeError(f"the setup-like download of {megabytes} MB failed: {output.strip()}")
        peaks[megabytes] = int(fields(output.splitlines()[-1])["peak_private"])
    return peaks


def throughput(session, bench, server, certs, big_mb, runs):
    """Best MB/s of each client over `runs` rounds."""
    size = big_mb << 20
    url = server.url("nimbrel.bin")
    clients = [("HttpDownload", [bench / "bench-download.exe", url])]
    clients += [(f"loop {buffer // 1024} KiB", [bench / "winhttp-read-loop.exe", buffer, url])
                for buffer in READ_LOOP_BUFFERS]
    best = {}
    for round_number in range(1, runs + 1):
        for name, argv in clients:
            got = fields(run_windows(session, argv))
            if int(got["bytes"]) != size:
                raise RuntimeError(f"{name} took {got['bytes']} of {size} bytes")
            best[name] = max(best.get(name, 0.0), size / 1048576 / float(got["seconds"]))
        curl = subprocess.run(["curl", "-s", "--cacert", str(certs / "ca.pem"), "-o", "/dev/null",
                               "-w", "%{size_download} %{time_total}", url],
                              capture_output=True, text=True, timeout=300, check=True)
        curl_bytes, curl_seconds = curl.stdout.split()
        if int(curl_bytes) != size:
            raise RuntimeError(f"curl took {curl_bytes} of {size} bytes")
        best["curl"] = max(best.get("curl", 0.0), size / 1048576 / float(curl_seconds))
        say(f"throughput round {round_number}: " +
            ", ".join(f"{name} {rate:.0f}" for name, rate in best.items()) + " MB/s (best so far)")
    return best


def keyed_throughput(session, bench, keyed_bench, server, size, runs):
    """Best MB/s of the setup-like download of the signed file, without and with
    the key built in, alternating one run of each."""
    archive = session.win_path(session.temp_dir / "nimbrel.zip")
    best = {}
    for round_number in range(1, runs + 1):
        for name, folder in (("without", bench), ("with", keyed_bench)):
            output = run_windows(session, [folder / "bench-download.exe", "--archive", archive,
                                           server.url("signed.bin")])
            got = fields(next(line for line in output.splitlines() if line.startswith("bytes=")))
            if int(got["bytes"]) != size or got["result"] != "1" or got.get("signed", "1") != "1":
                raise RuntimeError(f"the download {name} the key failed: {output.strip()}")
            best[name] = max(best.get(name, 0.0), size / 1048576 / float(got["seconds"]))
        say(f"key round {round_number}: without {best['without']:.0f}, "
            f"with {best['with']:.0f} MB/s (best so far)")
    return best


def hash_rates(session, keyed_bench, megabytes):
    """MB/s of SHA-256 in 64 KiB chunks: CNG under Wine through the signature
    check, and openssl natively."""
    got = fields(run_windows(session, [keyed_bench / "bench-download.exe", "--hash", megabytes]))
    speed = subprocess.run(["openssl", "speed", "-evp", "sha256", "-bytes", "65536", "-seconds", "2"],
                           capture_output=True, text=True, timeout=120, check=True).stdout
    native = float(re.search(r"^sha256\s+([0-9.]+)k", speed, re.M).group(1)) * 1000 / 1048576
    return int(got["bytes"]) / 1048576 / float(got["seconds"]), native


def paint(session, bench, frames, cpu_seconds):
    output = run_windows(session, [bench / "paint-bench.exe", "--frames", frames,
                                   "--cpu-seconds", cpu_seconds], timeout=cpu_seconds + 600)
    first = output.split("without the banner")[0]
    return {
        "median": float(re.search(r"median ([0-9.]+) ms", first).group(1)),
        "p99": float(re.search(r"99th percentile ([0-9.]+) ms", first).group(1)),
        "cpu": float(re.search(r"= ([0-9.]+) % of one core", output).group(1)),
        "ticks": float(re.search(r"\(([0-9.]+) per second", output).group(1)),
    }


# ----------------------------------------------------------------- table

def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run([testbed.WINE64, "--version"], capture_output=True, text=True).stdout.strip()
    return (f"{os.cpu_count()} cores, {cpu}, {wine}, Xvfb, {platform.system()} "
            f"{platform.release()}, {datetime.date.today().isoformat()}")


def kib(value):
    return f"{value:,} B ({value / 1024:.1f} KiB)"


def mib(value):
    return f"{value / 1048576:.1f} MB"


def keyed_rows(sizes, keyed_sizes, keyed_rates, hashes, args):
    """The archive key's rows: throughput with and without it, and its bytes."""
    total, sections = sizes
    keyed_total, keyed_sections = keyed_sizes
    without_resources = total - sum(size for name, size in sections if name == ".rsrc")
    keyed_without = keyed_total - sum(size for name, size in keyed_sections if name == ".rsrc")
    plain, keyed = keyed_rates["without"], keyed_rates["with"]
    return [
        (f"download {args.size_mb} MB to a file, archive key built in (best of {args.runs})",
         f"{keyed:.0f} MB/s, signature checked", f"without the key {plain:.0f} MB/s",
         f"{keyed / plain:.2f} x ({100 * (plain - keyed) / plain:.0f} % slower)",
         "at most 5 % slower"),
        ("  SHA-256 in 64 KiB chunks, in memory", f"CNG under Wine {hashes[0]:.0f} MB/s",
         f"openssl natively {hashes[1]:.0f} MB/s", f"{hashes[0] / hashes[1]:.2f} x", ""),
        ("nimbrel-setup.exe with the archive key", kib(keyed_total), f"without {kib(total)}",
         f"+{keyed_total - total:,} B", ""),
        ("  the same without .rsrc", kib(keyed_without), f"without {kib(without_resources)}",
         f"{100 * keyed_without / SIZE_BUDGET_WITHOUT_PICTURES:.0f} % of the budget",
         f"under {SIZE_BUDGET_WITHOUT_PICTURES // 1024} KiB"),
    ]


def build_rows(sizes, starts, peaks, rates, paints, args):
    total, sections = sizes
    resources = sum(size for name, size in sections if name == ".rsrc")
    largest = sorted(sections, key=lambda item: -item[1])[:4]
    setup_ms, setup_fast = starts["NimbrelSetup"]
    empty_ms, empty_fast = starts["EmptyWindow"]
    loops = {name: rate for name, rate in rates.items() if name.startswith("loop")}
    best_loop = max(loops, key=loops.get)
    rows = [
        ("nimbrel-setup.exe, whole", kib(total), "", f"{100 * total / SIZE_BUDGET:.0f} % of the budget",
         f"under {SIZE_BUDGET // 1024} KiB"),
        ("nimbrel-setup.exe without .rsrc", kib(total - resources), f".rsrc {kib(resources)}",
         f"{100 * (total - resources) / SIZE_BUDGET_WITHOUT_PICTURES:.0f} % of the budget",
         f"under {SIZE_BUDGET_WITHOUT_PICTURES // 1024} KiB"),
        ("largest sections", ", ".join(f"{name} {size:,}" for name, size in largest), "", "", ""),
        (f"start to first painted frame (median of {args.startup_runs})",
         f"{setup_ms:.0f} ms (fastest {setup_fast:.0f})",
         f"empty window {empty_ms:.0f} ms (fastest {empty_fast:.0f})",
         f"{setup_ms / empty_ms:.2f} x", ""),
        (f"peak private memory, downloading {args.size_mb} MB to a file",
         mib(peaks[args.size_mb]), f"empty window {mib(peaks['empty'])}",
         f"+{mib(peaks[args.size_mb] - peaks['empty'])}",
         "no growth with the size"),
        (f"  the same, downloading {SMALL_MB} MB", mib(peaks[SMALL_MB]), "",
         f"+{mib(peaks[SMALL_MB] - peaks['empty'])}", ""),
        (f"download {args.size_mb} MB, HTTPS loopback (best of {args.runs})",
         f"HttpDownload {rates['HttpDownload']:.0f} MB/s",
         f"WinHTTP {best_loop} {loops[best_loop]:.0f} MB/s",
         f"{rates['HttpDownload'] / loops[best_loop]:.2f} x", ""),
        ("  the same against native curl", "", f"curl {rates['curl']:.0f} MB/s",
         f"{rates['HttpDownload'] / rates['curl']:.2f} x", ""),
    ]
    for dpi, figures in paints.items():
        rows.append((f"paint per frame, sliding, {dpi} DPI (median, 99th pct)",
                     f"{figures['median']:.2f} ms, {figures['p99']:.2f} ms", "",
                     f"{100 * figures['median'] / FRAME_BUDGET_MS:.0f} % of the frame",
                     f"frame {FRAME_BUDGET_MS:.0f} ms"))
        rows.append((f"CPU while the segment slides, {dpi} DPI", f"{figures['cpu']:.1f} % of one core",
                     "", f"{figures['ticks']:.1f} ticks/s", ""))
    return rows


HEADER = ("Measure", "Nimbrel Setup", "Held against", "Comparison", "Budget")


def plain_table(rows):
    widths = [max(len(row[i]) for row in (HEADER, *rows)) for i in range(len(HEADER))]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in (HEADER, *rows)]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines) + "\n"


def markdown_table(rows):
    def line(cells):
        return "| " + " | ".join(cell.strip() for cell in cells) + " |"
    return "\n".join([line(HEADER), "|" + "---|" * len(HEADER), *map(line, rows)]) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--out", type=Path, default=SOURCE / "build" / "bench")
    parser.add_argument("--size-mb", type=int, default=256)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--startup-runs", type=int, default=15)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--cpu-seconds", type=int, default=5)
    parser.add_argument("--keyed-build", type=Path, help="a build with NIMBREL_ARCHIVE_KEY")
    parser.add_argument("--archive-key", type=Path, help="the keyed build's private key")
    args = parser.parse_args()
    if (args.keyed_build is None) != (args.archive_key is None):
        parser.error("--keyed-build and --archive-key go together")
    # A TERM ends the run like an interrupt: nginx and the sessions are closed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    build = args.build.resolve()
    bench = build / "bench"
    setup = build / "setup" / "nimbrel-setup.exe"
    started = time.monotonic()

    setup_bytes = setup.stat().st_size
    sizes = (setup_bytes, pe_sections(setup))

    certs = testbed.make_certs(build)
    work = build / "bench-table"
    (work / "docroot").mkdir(parents=True, exist_ok=True)
    make_file(work / "docroot" / "nimbrel.bin", args.size_mb)
    make_file(work / "docroot" / "small.bin", SMALL_MB)
    keyed_bench = None
    if args.keyed_build:
        keyed_bench = args.keyed_build.resolve() / "bench"
        keyed_setup = args.keyed_build.resolve() / "setup" / "nimbrel-setup.exe"
        keyed_sizes = (keyed_setup.stat().st_size, pe_sections(keyed_setup))
        make_signed_file(work / "docroot" / "nimbrel.bin", work / "docroot" / "signed.bin",
                         args.archive_key)

    paints = {}
    with Nginx(work, certs) as server, testbed.WineSession(build, "bench", dpi=96) as session:
        say("start-up")
        starts = startup(session, bench, setup, args.startup_runs)
        say("memory while downloading")
        peaks = memory(session, bench, server, args.size_mb)
        say("download throughput")
        rates = throughput(session, bench, server, certs, args.size_mb, args.runs)
        if keyed_bench:
            say("download throughput with the archive key built in, and without")
            keyed_rates = keyed_throughput(session, bench, keyed_bench, server,
                                           (args.size_mb << 20) + 22 + 142, args.runs)
            hashes = hash_rates(session, keyed_bench, args.size_mb)
        say("paint at 96 DPI")
        paints[96] = paint(session, bench, args.frames, args.cpu_seconds)
    with testbed.WineSession(build, "bench-144", dpi=144) as session:
        say("paint at 144 DPI")
        paints[144] = paint(session, bench, args.frames, args.cpu_seconds)

    rows = build_rows(sizes, starts, peaks, rates, paints, args)
    if keyed_bench:
        rows += keyed_rows(sizes, keyed_sizes, keyed_rates, hashes, args)
    where = machine()
    text = plain_table(rows)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "table.txt").write_text(f"{where}\n\n{text}")
    (args.out / "table.md").write_text(f"{where}\n\n{markdown_table(rows)}")
    print(where)
    print()
    print(text, end="")
    say(f"done in {time.monotonic() - started:.0f} s; Markdown in {args.out / 'table.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
