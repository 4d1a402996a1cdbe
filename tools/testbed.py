#!/usr/bin/env python3
"""The test bed's command line; the bed itself is the package tests/support/testbed.

  testbed.py run --build B [--dpi N] [--no-display] [--timeout S] [--keep] -- EXE [ARGS...]
  testbed.py template --build B
  testbed.py certs --build B

Imported as "testbed" with tools/ on the path (as older scripts do), it hands
over to the package, so both ways of importing give the same module.
"""

import sys
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
_SUPPORT = str(Path(__file__).resolve().parent.parent / "tests" / "support")
if _SUPPORT not in sys.path:
    sys.path.insert(0, _SUPPORT)

if __name__ == "__main__":
    from testbed import main

    sys.exit(main())
else:
    del sys.modules[__name__]
    import testbed as _package  # noqa: E402  (the package, now that tests/support comes first)

    sys.modules[__name__] = _package
