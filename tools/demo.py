#!/usr/bin/env python3
"""The demo's driver (tools/demo.sh runs it after building): serves the archive
and the version document over HTTPS on loopback, runs the setup under Wine,
photographs its window during the download and while tar unpacks, and says
where the application went and how it was started.

    NIMBREL_SERVER=ORIGIN demo.py --build B --docroot D --output O [--rate BYTES_PER_S]
                                  [--archive-key PUBLIC.pem]

ORIGIN is the server origin compiled into B's setup; the demo serves on its port.
--archive-key names the key built into B's setup (NIMBREL_ARCHIVE_KEY), so
that the report can say the archive's signature was checked before anything
was installed.

Everything runs in a fresh prefix below B/wine/runs (kept afterwards, so that
the installation can be looked at); the setup shows in the X display of
$DISPLAY when it answers, else in an Xvfb of its own. Every wait is bounded.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
import testbed  # noqa: E402
from test_server import TestServer, compiled_in_port  # noqa: E402

PORT = compiled_in_port()
SETUP_NAME = "setup-demo_team.DEMOACCESSCODE0001.exe"
SETUP_TITLE = "Installing Nimbrel Desktop"
APP_TITLE = "Nimbrel Desktop (demo application)"
DEADLINE_S = 240


def say(text=""):
    print(text, flush=True)


def user_display():
    """$DISPLAY and its XAUTHORITY when that display answers, else None."""
    display = os.environ.get("DISPLAY")
    if not display:
        return None
    env = dict(os.environ)
    try:
        answer = subprocess.run(["xwininfo", "-root"], env=env, timeout=5, capture_output=True)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if answer.returncode != 0:
        return None
    extra = {"DISPLAY": display}
    authority = os.environ.get("XAUTHORITY") or str(Path.home() / ".Xauthority")
    if Path(authority).exists():
        extra["XAUTHORITY"] = authority
    return extra


def visible_window(x_env, title):
    """The id of a window with exactly this title shown on the display, or None."""
    try:
        found = testbed.find_windows(x_env, name=title)
    except testbed.TestbedError:
        return None
    return found[0].id if found else None


def photograph(x_env, window_id, path):
    """True when a PNG of the window's rectangle was written to `path`."""
    try:
        testbed.screenshot(x_env, path, window_id=window_id)
    except testbed.TestbedError:
        return False
    return Path(path).exists()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--docroot", required=True, type=Path)
    parser.add_argument("--output", required=True, type=Path)
    parser.add_argument("--rate", type=int, default=2_000_000)
    parser.add_argument("--archive-key", type=Path)
    args = parser.parse_args()
    started = time.monotonic()
    build = args.build.resolve()
    setup_exe = build / "setup" / "nimbrel-setup.exe"
    archive = args.docroot / "desktop" / "nimbrel.zip"
    size = archive.stat().st_size

    output = args.output.resolve()
    shutil.rmtree(output, ignore_errors=True)
    output.mkdir(parents=True)
    # Earlier demo prefixes are kept for looking at; only the newest one stays.
    for old in (build / "wine" / "runs").glob("demo-*"):
        shutil.rmtree(old, ignore_errors=True)

    say("==> Preparing a Wine prefix that trusts the demo's test certificate authority")
    certs = testbed.make_certs(build)
    testbed.ensure_template(build)

    x_extra = user_display()
    say("==> The setup will show in " +
        (f"your display {x_extra['DISPLAY']}" if x_extra else "an Xvfb of its own (no usable $DISPLAY)"))

    server = None
    waited = False
    deadline = time.monotonic() + 120
    while server is None:
        try:
            server = TestServer(cert_dir=certs, host="localhost", port=PORT, docroot=args.docroot,
                                rate=args.rate)
        except OSError as error:
            if time.monotonic() > deadline:
                say(f"!! port {PORT} stayed busy ({error}); is a test run using it?")
                return 1
            if not waited:
                say(f"    port {PORT} is busy (a test run?): waiting for it, at most 2 minutes")
                waited = True
            time.sleep(0.5)
    started = time.monotonic()  # the bound below counts from here

    with server, testbed.WineSession(build, "demo", display=x_extra is None, keep=True) as session:
        x_env = session.env(x_extra)
        say(f"==> Serving {server.url('/desktop/nimbrel.zip')} ({size / 1e6:.1f} MB at "
            f"{args.rate / 1e6:.1f} MB/s) and {server.url('/desktop/version.json')}")

        downloads = session.user_dir / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copy(setup_exe, downloads / SETUP_NAME)
        records = session.localappdata / "nimbrel-launches.txt"
        tar_jobs = session.prefix / "drive_c" / "windows" / "temp"
        say(f"==> Starting {session.win_path(downloads / SETUP_NAME)} under Wine")
        setup = session.start([session.win_path(downloads / SETUP_NAME)], env_extra=x_extra)

        def overdue():
            return time.monotonic() - started > DEADLINE_S

        def archive_request():
            for request in server.requests:
                if request["path"] == "/desktop/nimbrel.zip":
                    return request
            return None

        window = None
        while window is None and setup.poll() is None and not overdue():
            window = visible_window(x_env, SETUP_TITLE)
            time.sleep(0.1)
        shots = {}
        if window:
            # During the download: once about half of the archive has come in.
            while setup.poll() is None and not overdue():
                request = archive_request()
                if request and (request["complete"] or request["sent"] >= size // 2):
                    break
                time.sleep(0.05)
            if photograph(x_env, window, output / "1-downloading.png"):
                shots["downloading"] = output / "1-downloading.png"
                say("    photographed the download")
            # While unpacking: the tar shim keeps a job folder while bsdtar runs.
            while setup.poll() is None and not overdue():
                if list(tar_jobs.glob("nimbrel-tar-*")):
                    break
                time.sleep(0.01)
            if setup.poll() is None and photograph(x_env, window, output / "2-unpacking.png"):
                shots["unpacking"] = output / "2-unpacking.png"
                say("    photographed the unpacking")
        try:
            code = setup.wait(max(5, DEADLINE_S - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            session.kill_all()
            say("!! the setup did not finish in time")
            return 1
        say(f"==> The setup ended with exit code {code}")

        app = None
        for _ in range(100):
            app = visible_window(x_env, APP_TITLE)
            if app:
                break
            time.sleep(0.1)
        if app and photograph(x_env, app, output / "3-application.png"):
            shots["application"] = output / "3-application.png"

        launches = records.read_text(encoding="utf-8").splitlines() if records.exists() else []
        install = session.localappdata / "Programs" / "nimbrel"
        say()
        if not launches:
            say("!! The application was not started; see the message box text above, if any.")
            return 1
        pid, image, cwd, command = launches[-1].split("\t", 3)
        say("Nimbrel Desktop (the demo application) was installed:")
        if args.archive_key:
            say(f"  after the setup verified the archive's signature with the key built into it "
                f"({args.archive_key})")
        say(f"  Windows path: {session.win_path(install)}")
        say(f"  Unix path:    {install}")
        say("  Files:        " + ", ".join(sorted(str(p.relative_to(install))
                                                   for p in install.rglob("*") if p.is_file())))
        say("It was started with the command line:")
        say(f"  {command}")
        say(f"  in the working folder {cwd}")
        say("Screenshots of the progress window:")
        for label, path in shots.items():
            say(f"  {label:12s} {path}")
        if len(shots) < 2:
            say("  (a phase passed too quickly to be photographed)")
        say(f"The prefix stays for a look around: {session.prefix}")
        say(f"(remove it with: rm -rf {session.run_dir})")
        served = [r["path"] for r in server.requests]
        say("The server answered: " + json.dumps(served))
        if app:
            say("(the demo application's window closes by itself within 10 s)")
            try:
                session.wait_idle(timeout=20)
            except testbed.TestbedError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
