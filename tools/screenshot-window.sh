#!/usr/bin/env bash
# screenshot-window.sh - photographs the real progress window for the README.
#
#   tools/screenshot-window.sh [BUILD_DIR] [OUTPUT_PNG] [DPI]
#
# Shows the window (window-demo.exe: banner, "Downloading…  52 of 215 MB",
# 24 %, "Build 1.2.3") in a hermetic Wine + Xvfb session and takes the
# window's rectangle from the X screen. Defaults: build/win, docs/window.png,
# 96 DPI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build/win}")
output=$(readlink -f "${2:-$root/docs/window.png}")
dpi=${3:-96}

if ! log=$(cmake --build "$build" --target window-demo trust-ca tar 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
mkdir -p "$(dirname "$output")"
PYTHONPATH="$root/tools${PYTHONPATH:+:$PYTHONPATH}" python3 - "$build" "$output" "$dpi" <<'PY'
import sys, time
import testbed

build, output, dpi = sys.argv[1], sys.argv[2], int(sys.argv[3])
demo = f"{build}/bench/window-demo.exe"
with testbed.WineSession(build, "screenshot", dpi=dpi) as session:
    process = session.start([demo, "--seconds", "60"])
    window = session.wait_for_window(name="Installing Nimbrel Desktop", timeout=60)
    time.sleep(1.0)  # let the first paints reach the X server
    session.screenshot(output, window_id=window.id)
    print(f"{output}: {window.w}x{window.h} at +{window.x}+{window.y}")
    session.kill_all()
PY
