"""The command line: run one program in a fresh session, build the template,
make the certificates; and the watchdog that each session leaves behind."""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
from pathlib import Path

from .certs import make_certs
from .common import TestbedError, _end_prefix, _log, _start_time
from .prefix import ensure_template
from .session import WineSession

def _watchdog_main():
    """Waits for its session to say "closed" on its stdin; cleans up if the session went
    without a word. The session tells it, a line each, "prefix <path>" as soon as the run
    folder exists and "xvfb <pid>" once the X server runs.

    It first forks and leaves its parent to end at once: CTest, at a test's time-out,
    SIGKILLs the test's process and every descendant it finds by parent pid, and a
    watchdog that is no longer the session's child is not among them."""
    if os.fork() > 0:
        os._exit(0)
    prefix, xvfb_pids = None, []
    for line in sys.stdin.buffer:
        word, _, value = line.rstrip(b"\n").partition(b" ")
        if word == b"closed":
            return 0
        if word == b"prefix":
            prefix = os.fsdecode(value)
        elif word == b"xvfb":
            xvfb_pids.append((int(value), _start_time(int(value))))
    if prefix:
        _end_prefix(dict(os.environ, WINEPREFIX=prefix), Path(prefix))
    for pid, started in xvfb_pids:
        if started is not None and _start_time(pid) == started:  # not a reused pid
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGTERM)
    return 0


def _on_signal(signum, frame):
    raise SystemExit(128 + signum)


def _cli_run(args):
    exe = Path(args.command[0])
    if not exe.exists():
        _log(f"{exe} does not exist")
        return 2
    with WineSession(args.build, exe.stem, dpi=args.dpi, display=not args.no_display,
                     keep=args.keep) as session:
        sys.stdout.flush()
        process = session.start([exe.resolve(), *args.command[1:]], stdout=None, stderr=None)
        try:
            code = process.wait(args.timeout)
        except subprocess.TimeoutExpired:
            _log(f"{exe.name} still running after {args.timeout} s: ending it")
            session.kill_all()
            session.failed = True
            return 124
        if code < 0:
            code = 128 - code
        if code != 0:
            session.failed = True
        return code


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_watchdog"]:
        return _watchdog_main()
    parser = argparse.ArgumentParser(description="Runs Windows programs under Wine, hermetically.")
    sub = parser.add_subparsers(dest="action", required=True)
    run = sub.add_parser("run", help="run one program in a fresh session")
    run.add_argument("--build", required=True, help="the build folder")
    run.add_argument("--dpi", type=int, help="system DPI, e.g. 144")
    run.add_argument("--no-display", action="store_true", help="no X server")
    run.add_argument("--timeout", type=float, default=float(os.environ.get("NIMBREL_TEST_TIMEOUT", 300)),
                     help="seconds until everything is ended and 124 returned (default 300)")
    run.add_argument("--keep", action="store_true", help="keep the run folder")
    run.add_argument("command", nargs=argparse.REMAINDER, help="-- EXE [ARGS...]")
    for action in ("template", "certs"):
        sub.add_parser(action).add_argument("--build", required=True)
    args = parser.parse_args(argv)

    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, _on_signal)
    try:
        if args.action == "certs":
            print(make_certs(args.build))
            return 0
        if args.action == "template":
            print(ensure_template(args.build))
            return 0
        if args.command[:1] == ["--"]:
            args.command = args.command[1:]
        if not args.command:
            parser.error("run needs -- EXE [ARGS...]")
        return _cli_run(args)
    except TestbedError as error:
        _log(str(error))
        return 125
