// Geometry of the progress window: rows, track, proportional fill and the
// sliding segment, at the DPIs the window meets.
#include <gtest/gtest.h>

#include <limits.h>

#include <ostream>

#include "display/progress_layout.h"

bool operator==(const PixelRect& a, const PixelRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::ostream& operator<<(std::ostream& out, const PixelRect& r) {
  return out << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

PixelRect Rect(int left, int top, int right, int bottom) { return {left, top, right, bottom}; }

// The whole layout of one window size, written out by hand.
struct LayoutCase {
  const char* name;
  int width, height;
  unsigned dpi;
  int bannerWidth, bannerHeight;
  int bandHeight;
  PixelRect titleRow, buildLabel, statusLine, track;
};

TEST(ComputeProgressLayout, MatchesTheWindowAtEachDpi) {
  const LayoutCase cases[] = {
      {"96 DPI, 1040x400 banner", 520, 316, 96, 1040, 400, 200, Rect(28, 224, 492, 254),
       Rect(28, 233, 492, 254), Rect(28, 258, 492, 278), Rect(28, 290, 492, 294)},
      // 9 -> 13.5 -> 14, 22 -> 33, 34 -> 51, 20 -> 30, 32 -> 48, 4 -> 6.
      {"144 DPI, 1040x400 banner", 780, 474, 144, 1040, 400, 300, Rect(42, 336, 738, 381),
       Rect(42, 350, 738, 381), Rect(42, 387, 738, 417), Rect(42, 435, 738, 441)},
      // 28 -> 35, 24 -> 30, 30 -> 37.5 -> 38, 9 -> 11.25 -> 11, 34 -> 42.5 -> 43,
      // 20 -> 25, 32 -> 40, 4 -> 5.
      {"120 DPI, 1040x400 banner", 650, 395, 120, 1040, 400, 250, Rect(35, 280, 615, 318),
       Rect(35, 291, 615, 318), Rect(35, 323, 615, 348), Rect(35, 363, 615, 368)},
      // Without a banner size the band falls back to 200, scaled.
      {"96 DPI, no banner", 520, 316, 96, 0, 0, 200, Rect(28, 224, 492, 254),
       Rect(28, 233, 492, 254), Rect(28, 258, 492, 278), Rect(28, 290, 492, 294)},
      {"144 DPI, no banner", 780, 474, 144, 0, 0, 300, Rect(42, 336, 738, 381),
       Rect(42, 350, 738, 381), Rect(42, 387, 738, 417), Rect(42, 435, 738, 441)},
      {"120 DPI, no banner", 650, 395, 120, 0, 0, 250, Rect(35, 280, 615, 318),
       Rect(35, 291, 615, 318), Rect(35, 323, 615, 348), Rect(35, 363, 615, 368)},
      // Another picture keeps its own aspect at the full client width.
      {"96 DPI, 800x400 banner", 520, 316, 96, 800, 400, 260, Rect(28, 284, 492, 314),
       Rect(28, 293, 492, 314), Rect(28, 318, 492, 338), Rect(28, 350, 492, 354)},
      // 520 x 401 / 1040 = 200.5: rounded half away from zero.
      {"96 DPI, 1040x401 banner", 520, 316, 96, 1040, 401, 201, Rect(28, 225, 492, 255),
       Rect(28, 234, 492, 255), Rect(28, 259, 492, 279), Rect(28, 291, 492, 295)},
      // The band follows the client width, not the DPI, when the banner is known.
      {"144 DPI in a 96 DPI sized client", 520, 316, 144, 1040, 400, 200,
       Rect(42, 236, 478, 281), Rect(42, 250, 478, 281), Rect(42, 287, 478, 317),
       Rect(42, 335, 478, 341)},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgressLayout layout =
        ComputeProgressLayout(c.width, c.height, c.dpi, c.bannerWidth, c.bannerHeight);
    EXPECT_EQ(layout.bandHeight, c.bandHeight);
    EXPECT_EQ(layout.background, Rect(0, 0, c.width, c.height));
    EXPECT_EQ(layout.band, Rect(0, 0, c.width, c.bandHeight));
    EXPECT_EQ(layout.separator, Rect(0, c.bandHeight, c.width, c.bandHeight + 1));
    EXPECT_EQ(layout.titleRow, c.titleRow);
    EXPECT_EQ(layout.buildLabel, c.buildLabel);
    EXPECT_EQ(layout.statusLine, c.statusLine);
    EXPECT_EQ(layout.track, c.track);
  }
}

TEST(ComputeProgressLayout, TrackIsNeverThinnerThanThreePixels) {
  struct {
    unsigned dpi;
    int height;
  } const cases[] = {
      {96, 4}, {144, 6}, {120, 5}, {192, 8},
      {84, 4},  // 3.5 rounds up: the last DPI above the floor
      {83, 3}, {72, 3}, {48, 3}, {24, 3}, {1, 3},
  };
  for (const auto& c : cases) {
    const ProgressLayout layout = ComputeProgressLayout(520, 316, c.dpi, 0, 0);
    EXPECT_EQ(layout.track.bottom - layout.track.top, c.height) << "at " << c.dpi << " DPI";
  }
}

TEST(ComputeProportionalFill, TruncatesThePercentOfTheTrack) {
  const PixelRect track96 = Rect(28, 290, 492, 294);
  const PixelRect track144 = Rect(42, 435, 738, 441);
  struct {
    PixelRect track;
    int percent;
    int right;
  } const cases[] = {
      {track96, 0, 28},     // the track alone
      {track96, 1, 32},     // 4.64 -> 4
      {track96, 33, 181},   // 15312 / 100 = 153: truncated, not rounded
      {track96, 50, 260},   {track96, 99, 487}, {track96, 100, 492},
      {track144, 33, 271},  // 22968 / 100 = 229
      {track144, 100, 738},
      {track96, 150, 724},  // not clamped: callers keep the percent in range
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComputeProportionalFill(c.track, c.percent),
              Rect(c.track.left, c.track.top, c.right, c.track.bottom))
        << c.percent << " %";
  }
}

TEST(ComputeProportionalFill, HugePercentDoesNotOverflow) {
  // Out of range for the window, but must not be undefined (the sanitized
  // twin of this suite traps signed overflow).
  const PixelRect fill = ComputeProportionalFill(Rect(28, 290, 492, 294), INT_MAX);
  EXPECT_GE(fill.right, 492);
}

struct SegmentCase {
  int offset;
  bool drawn;
  int left, right;
};

void ExpectSegments(const PixelRect& track, const SegmentCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const SegmentCase& c = cases[i];
    PixelRect segment = Rect(-1, -1, -1, -1);
    const bool drawn = ComputeSlidingSegment(track, c.offset, &segment);
    EXPECT_EQ(drawn, c.drawn) << "offset " << c.offset;
    if (drawn && c.drawn) {
      EXPECT_EQ(segment, Rect(c.left, track.top, c.right, track.bottom)) << "offset " << c.offset;
    }
  }
}

TEST(ComputeSlidingSegment, SlidesAlongTheTrackAt96Dpi) {
  // q = 116, p = 580.
  const int m = INT_MAX % 580;  // 2147483647 = 3702558 * 580 + 7
  ASSERT_EQ(m, 7);
  const SegmentCase cases[] = {
      {0, false, 0, 0},    {5, true, 28, 33},      {116, true, 28, 144},
      {117, true, 29, 145},  // first step at full length
      {300, true, 212, 328}, {464, true, 376, 492},  // reaches the right end
      {500, true, 412, 492},                          // clipped at the right end
      {579, true, 491, 492}, {580, false, 0, 0},     {585, true, 28, 33},
      {1000, true, 332, 448},
      {-5, false, 0, 0},  // negative remainder: the track alone
      {-580, false, 0, 0}, {-1000, false, 0, 0},
      {INT_MAX, true, 28, 35},  // r = 7
      {INT_MAX - 7, false, 0, 0},
      {INT_MIN, false, 0, 0},   {INT_MIN + 1, false, 0, 0},
  };
  ExpectSegments(Rect(28, 290, 492, 294), cases, sizeof cases / sizeof cases[0]);
}

TEST(ComputeSlidingSegment, SlidesAlongTheTrackAt144Dpi) {
  // tw = 696, q = 174, p = 870.
  const SegmentCase cases[] = {
      {0, false, 0, 0},     {8, true, 42, 50},      {174, true, 42, 216},
      {500, true, 368, 542}, {800, true, 668, 738}, {869, true, 737, 738},
      {870, false, 0, 0},   {878, true, 42, 50},    {-8, false, 0, 0},
  };
  ExpectSegments(Rect(42, 435, 738, 441), cases, sizeof cases / sizeof cases[0]);
}

TEST(ComputeSlidingSegment, DrawsNothingWithoutRoomToSlide) {
  // A client exactly twice the margin wide: track width 0, period 0. Also
  // tracks narrower than four pixels (segment length 0) and inverted ones.
  const ProgressLayout layout = ComputeProgressLayout(56, 316, 96, 1040, 400);
  ASSERT_EQ(layout.track.right - layout.track.left, 0);
  ASSERT_EQ(SlidingPeriodForClient(56, 96), 0);
  const PixelRect tracks[] = {layout.track, Rect(28, 290, 29, 294), Rect(28, 290, 31, 294),
                              Rect(28, 290, 20, 294)};
  const int offsets[] = {0, 1, 2, 5, 580, -1, INT_MAX, INT_MIN};
  for (const PixelRect& track : tracks) {
    for (int offset : offsets) {
      PixelRect segment = Rect(-1, -1, -1, -1);
      EXPECT_FALSE(ComputeSlidingSegment(track, offset, &segment))
          << "track " << track << ", offset " << offset;
    }
  }
  // The proportional fill of an empty track is empty too.
  const PixelRect fill = ComputeProportionalFill(layout.track, 100);
  EXPECT_EQ(fill.right, fill.left);
}

TEST(SlidingPeriodForClient, IsTheTrackAndAQuarter) {
  EXPECT_EQ(SlidingPeriodForClient(520, 96), 580);
  EXPECT_EQ(SlidingPeriodForClient(780, 144), 870);
  EXPECT_EQ(SlidingPeriodForClient(650, 120), 725);  // 580 + 145
  EXPECT_EQ(SlidingPeriodForClient(56, 96), 0);
}

TEST(AdvanceAnimationOffset, AddsTheStepFarFromTheLimit) {
  EXPECT_EQ(AdvanceAnimationOffset(0, 5, 580), 5);
  EXPECT_EQ(AdvanceAnimationOffset(575, 5, 580), 580);  // no early fold
  EXPECT_EQ(AdvanceAnimationOffset(1000000, 8, 870), 1000008);
  EXPECT_EQ(AdvanceAnimationOffset(INT_MAX - 5, 5, 580), INT_MAX);  // still fits
}

TEST(AdvanceAnimationOffset, FoldsBackByWholePeriodsBeforeOverflow) {
  struct {
    int step, period;
  } const cases[] = {{5, 580}, {8, 870}, {6, 725}, {10, 1160}, {5, 1}, {5, 3}};
  for (const auto& c : cases) {
    for (int offset = INT_MAX - 2 * c.step; offset != INT_MAX; ++offset) {
      const int next = AdvanceAnimationOffset(offset, c.step, c.period);
      const long long expected = (static_cast<long long>(offset) + c.step) % c.period;
      EXPECT_GE(next, 0) << offset;
      EXPECT_EQ(next % c.period, expected) << "offset " << offset << ", period " << c.period;
    }
    const int next = AdvanceAnimationOffset(INT_MAX, c.step, c.period);
    EXPECT_EQ(next % c.period, (static_cast<long long>(INT_MAX) + c.step) % c.period);
  }
}

TEST(AdvanceAnimationOffset, KeepsTheSegmentInPlaceOverALongRun) {
  // Ticks from just below the limit: the drawn segment is the one that an
  // unbounded offset would give.
  const PixelRect track = Rect(28, 290, 492, 294);
  const int step = 5, period = 580;
  int offset = INT_MAX - 50 * step;
  long long unbounded = offset;
  for (int tick = 0; tick < 2 * period; ++tick) {
    offset = AdvanceAnimationOffset(offset, step, period);
    unbounded += step;
    ASSERT_GE(offset, 0) << "tick " << tick;
    PixelRect actual = Rect(0, 0, 0, 0), expected = Rect(0, 0, 0, 0);
    const bool drawn = ComputeSlidingSegment(track, offset, &actual);
    ASSERT_EQ(drawn, ComputeSlidingSegment(track, static_cast<int>(unbounded % period), &expected));
    if (drawn) ASSERT_EQ(actual, expected) << "tick " << tick;
  }
}

TEST(AdvanceAnimationOffset, ZeroPeriodStillNeverOverflows) {
  EXPECT_GE(AdvanceAnimationOffset(INT_MAX, 5, 0), 0);
  EXPECT_GE(AdvanceAnimationOffset(INT_MAX - 1, 5, -3), 0);
}

}  // namespace
