"""The carried banner picture stays a baseline JPEG of 1040 x 400 (three 8-bit
components, 4:2:0). A progressive one would make Wine's decoder reach for a
temporary file (see test_banner_start.py); tools/make-banner.sh writes baseline."""

import os
import struct
import unittest
from pathlib import Path

BANNER = Path(os.environ.get("NIMBREL_BANNER") or
              Path(__file__).resolve().parents[2] / "setup" / "res" / "banner.jpg")

# Start-of-frame markers: C0 baseline, C1 extended, C2 progressive, C3
# lossless, C5..C7 and C9..CB, CD..CF their hierarchical and arithmetic kinds.
FRAME_MARKERS = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}
START_OF_SCAN = 0xDA


def header_segments(data):
    """(marker, payload) of every segment from SOI up to and including the
    first SOS; entropy-coded data is not walked."""
    if data[:2] != b"\xff\xd8":
        raise ValueError("no SOI")
    segments, at = [], 2
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            raise ValueError(f"no marker at {at}")
        marker = data[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        segments.append((marker, data[at + 4:at + 2 + length]))
        if marker == START_OF_SCAN:
            return segments
        at += 2 + length
    raise ValueError("no SOS")


class CarriedBanner(unittest.TestCase):
    def test_is_a_single_baseline_frame_of_1040_by_400_in_4_2_0(self):
        segments = header_segments(BANNER.read_bytes())
        frames = [(m, p) for m, p in segments if m in FRAME_MARKERS]
        self.assertEqual([hex(m) for m, _ in frames], ["0xc0"], "one SOF0, no SOF2 or other kind")
        precision, height, width, components = struct.unpack(">BHHB", frames[0][1][:6])
        self.assertEqual((precision, width, height, components), (8, 1040, 400, 3))
        # Sampling factors (horizontal, vertical) per component: 2x2, 1x1, 1x1.
        factors = [frames[0][1][6 + 3 * i + 1] for i in range(3)]
        self.assertEqual([(f >> 4, f & 15) for f in factors], [(2, 2), (1, 1), (1, 1)])
        # The first scan holds all three components: a baseline picture in
        # several scans would need the same whole-picture buffer as a
        # progressive one.
        scan = [p for m, p in segments if m == START_OF_SCAN][0]
        self.assertEqual(scan[0], 3)


if __name__ == "__main__":
    unittest.main()
