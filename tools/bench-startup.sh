#!/usr/bin/env bash
# Prints how fast the setup paints its first frame beside an empty Win32
# window, both under Wine and Xvfb (a benchmark: figures, no verdict).
#   tools/bench-startup.sh [build dir] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/win}" && pwd)
runs=${2:-15}
cmake --build "$build" --target nimbrel-setup bench-startup empty-window > /dev/null
PYTHONPATH="$root/tools" python3 - "$build" "$runs" <<'PY'
import sys
from pathlib import Path
import testbed
build, runs = Path(sys.argv[1]), sys.argv[2]
bench = build / "bench"
with testbed.WineSession(build, "bench-startup") as session:
    # An unreachable server: the setup comes up and stays up behind its error box.
    for window_class, program in (("EmptyWindow", bench / "empty-window.exe"),
                                  ("NimbrelSetup", build / "setup" / "nimbrel-setup.exe")):
        result = session.run([bench / "bench-startup.exe", runs, window_class,
                              session.win_path(program)], timeout=600)
        print(result.stdout.strip() or result.stderr.strip())
PY
