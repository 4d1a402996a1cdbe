"""The built setup started with a temporary folder whose name is outside the
ANSI code page: it comes up and paints its banner.

Wine's JPEG decoder buffers a progressive picture of the banner's size in a
temporary file that the C runtime names from the ANSI environment (getenv("TMP"),
_tempnam); with TEMP and TMP at such a folder the name comes out with "?" in it,
the file cannot be made and the process ends with 0xc0000417 before its window
appears. The carried banner must decode without it.

NIMBREL_SETUP_EXE names another build of the setup to start (for instance one
carrying a different picture); the default is the build's own."""

import os
import subprocess
import time
import unittest
from pathlib import Path

import testbed

BUILD = Path(os.environ["NIMBREL_BUILD"])
SOURCE = Path(os.environ["NIMBREL_SOURCE"])
SETUP = Path(os.environ.get("NIMBREL_SETUP_EXE") or BUILD / "setup" / "nimbrel-setup.exe")
BANNER = SOURCE / "setup" / "res" / "banner.jpg"
LAUNCH_ENV = BUILD / "tests" / "support" / "launch-env.exe"
CONVERT = "/usr/bin/convert"

TITLE = "Installing Nimbrel Desktop"
WIDTH, HEIGHT, BAND = 520, 316, 200  # 96 DPI: the banner is 1040 x 400, stretched to 520 x 200
# Two ideographs, which code page 1252 cannot hold.
TEMP = "C:\\temp \u65e5\u672c\\"


def rgb_pixels(picture_args):
    """A picture's pixels as bytes r, g, b row by row, through ImageMagick."""
    raw = subprocess.run([CONVERT, *picture_args, "-depth", "8", "rgb:-"], capture_output=True,
                         check=True, timeout=60).stdout
    return raw


def mean_difference(actual, expected, width, rows, masked):
    """Mean absolute channel difference over rows [0, rows) of two RGB buffers
    `width` wide, leaving out pixels for which masked(x, y) is true."""
    total = count = 0
    for y in range(rows):
        for x in range(width):
            if masked(x, y):
                continue
            i = (y * width + x) * 3
            total += sum(abs(actual[i + c] - expected[i + c]) for c in range(3))
            count += 3
    return total / count if count else float("inf"), count // 3


class StartWithUnicodeTemp(unittest.TestCase):
    def test_window_comes_up_with_the_banner_painted(self):
        # What the band should show: the picture at half size (box filter; the
        # window's HALFTONE stretch averages the same pixels).
        expected = rgb_pixels([str(BANNER), "-filter", "box", "-resize", f"{WIDTH}x{BAND}!"])
        self.assertEqual(len(expected), WIDTH * BAND * 3)

        with testbed.WineSession(BUILD, "banner-unicode-temp") as session:
            temp = session.unix_path(TEMP.rstrip("\\"))
            temp.mkdir(parents=True)
            setup = session.start([LAUNCH_ENV, "--set", "TEMP=" + TEMP, "--set", "TMP=" + TEMP,
                                   "--", session.win_path(SETUP)])
            try:
                window = session.wait_for_window(name=TITLE, timeout=30)
            except testbed.TestbedError:
                session.failed = True
                crashed = [w.title for w in session.find_windows(cls="winedbg.exe")]
                ended = setup.poll()
                self.fail(f"no setup window within 30 s; exit code {ended}, "
                          f"debugger windows {crashed}")
            self.assertEqual((window.w, window.h), (WIDTH, HEIGHT))

            # Other windows of the prefix (the error box once the download
            # has failed) may lie over the band; their pixels are not compared.
            def covering():
                return [w for w in session.find_windows()
                        if w.id != window.id and w.w > 1 and w.h > 1]

            shot = session.run_dir / "window.png"
            deadline = time.monotonic() + 20
            while True:
                others = covering()
                session.screenshot(shot, window.id)
                actual = rgb_pixels([str(shot)])

                def masked(x, y):
                    sx, sy = window.x + x, window.y + y
                    return any(o.x <= sx < o.x + o.w and o.y <= sy < o.y + o.h for o in others)

                difference, compared = mean_difference(actual, expected, WIDTH, BAND, masked)
                if difference < 6 or time.monotonic() > deadline:
                    break
                time.sleep(0.5)  # the first paint may still be on its way
            self.assertGreater(compared, WIDTH * BAND // 2, "too much of the band is covered")
            self.assertLess(difference, 6, f"the band is not the banner (mean difference "
                                           f"{difference:.1f} over {compared} pixels)")
            self.assertEqual(session.find_windows(cls="winedbg.exe"), [])
            self.assertIsNone(setup.poll(), "the setup ended")
            session.kill_all()


if __name__ == "__main__":
    unittest.main()
