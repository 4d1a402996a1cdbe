// The real progress window, painted through WM_PAINT and read back pixel by
// pixel, with the setup's own banner picture. CTest runs this suite at 96,
// 120 and 144 DPI; the suite picks the geometry of the DPI it finds.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "display/banner.h"
#include "display/progress_paint.h"
#include "shell/progress_window.h"
#include "window_pixels.h"

namespace {

// Start-up as the entry does it: an apartment, then the banner from this
// executable's own resource 2 (the setup's picture).
class StartUp : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LoadBanner(GetModuleHandleW(nullptr));
  }
};
::testing::Environment* const startUp = ::testing::AddGlobalTestEnvironment(new StartUp);

const wchar_t kDownloading[] = L"Downloading\u2026";

class PaintedWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    geometry = StandardGeometry(SystemDpi());
    ASSERT_NE(geometry, nullptr) << "no geometry for " << SystemDpi() << " DPI";
    ASSERT_NE(progressState.bannerBitmap, nullptr) << "the banner did not decode";
    window = ProgressWindowForTest(kDownloading);
    ASSERT_NE(window, nullptr);
  }

  BandContent Banner(const WindowGeometry& g) const {
    return {BandContent::kPicture,
            StretchedBanner(progressState.bannerBitmap, progressState.bannerWidth,
                            progressState.bannerHeight, g.width, g.band)};
  }

  const WindowGeometry* geometry = nullptr;
  HWND window = nullptr;
};

TEST_F(PaintedWindow, BannerFillsTheBandAtFullWidth) {
  EXPECT_EQ(progressState.bannerWidth, 1040);
  EXPECT_EQ(progressState.bannerHeight, 400);
  const WindowGeometry& g = *geometry;
  const Pixels actual = PaintAndCapture(window);
  ExpectWindowMatches(actual, ExpectedWindow(g, Banner(g), L"", kDownloading, {true, g.left, g.left}),
                      g);
  // The band is the picture, not the white background: its top rows (sky)
  // hold no white at all, and white (the word, the front wave) is a small
  // part of the whole.
  int white = 0, whiteOnTop = 0;
  for (int y = 0; y < g.band; ++y) {
    for (int x = 0; x < g.width; ++x) {
      if (actual.At(x, y) != kWhite) continue;
      ++white;
      if (y < g.band / 8) ++whiteOnTop;
    }
  }
  EXPECT_EQ(whiteOnTop, 0);
  EXPECT_LT(white, g.width * g.band / 4);
}

// The drawing needs no window: into a plain memory surface it gives the
// picture the window shows, sliding segment, label and all.
TEST_F(PaintedWindow, DrawsTheSamePictureIntoAMemorySurface) {
  const WindowGeometry& g = *geometry;
  StoreBuildLabel(L"Build 1.2.3");
  progressState.progressPercent = -1;
  progressState.animationOffset = 200;
  const Pixels live = PaintAndCapture(window);
  const Pixels drawn = DrawWithoutWindow(g.width, g.height);
  ExpectWindowMatches(drawn, live, g);
}

TEST_F(PaintedWindow, FontsFollowTheDpi) {
  const WindowGeometry& g = *geometry;
  struct {
    HFONT font;
    int height, weight;
  } const fonts[] = {{progressState.titleFont, g.titleFontHeight, FW_SEMIBOLD},
                     {progressState.bodyFont, g.bodyFontHeight, FW_NORMAL}};
  for (const auto& f : fonts) {
    LOGFONTW logFont = {};
    ASSERT_EQ(GetObjectW(f.font, sizeof logFont, &logFont), static_cast<int>(sizeof logFont));
    EXPECT_EQ(logFont.lfHeight, -f.height);
    EXPECT_EQ(logFont.lfWeight, f.weight);
    EXPECT_EQ(logFont.lfQuality, CLEARTYPE_QUALITY);
    EXPECT_EQ(logFont.lfCharSet, DEFAULT_CHARSET);
    EXPECT_FALSE(logFont.lfItalic || logFont.lfUnderline || logFont.lfStrikeOut);
    EXPECT_STREQ(logFont.lfFaceName, L"Segoe UI");
  }
}

TEST_F(PaintedWindow, ProportionalFillEndsAtTheTruncatedPercent) {
  const WindowGeometry& g = *geometry;
  struct {
    unsigned dpi;
    int percent, right;
  } const cases[] = {
      {96, 0, 28},   {96, 33, 181},  {96, 50, 260},  {96, 100, 492},
      {120, 0, 35},  {120, 33, 226}, {120, 50, 325}, {120, 100, 615},
      {144, 0, 42},  {144, 33, 271}, {144, 50, 390}, {144, 100, 738},
  };
  const BandContent band = Banner(g);
  for (const auto& c : cases) {
    if (c.dpi != g.dpi) continue;
    SCOPED_TRACE(testing::Message() << c.percent << " %");
    progressState.progressPercent = c.percent;
    ExpectWindowMatches(PaintAndCapture(window),
                        ExpectedWindow(g, band, L"", kDownloading, {true, g.left, c.right}), g);
  }
}

TEST_F(PaintedWindow, SlidingSegmentFollowsTheOffset) {
  const WindowGeometry& g = *geometry;
  struct {
    unsigned dpi;
    int offset;
    bool drawn;
    int left, right;
  } const cases[] = {
      // q = 116, p = 580
      {96, 0, false, 0, 0},      {96, 5, true, 28, 33},       {96, 116, true, 28, 144},
      {96, 300, true, 212, 328}, {96, 500, true, 412, 492},   {96, 579, true, 491, 492},
      {96, 580, false, 0, 0},    {96, 1000, true, 332, 448},  {96, -5, false, 0, 0},
      // q = 145, p = 725
      {120, 0, false, 0, 0},     {120, 6, true, 35, 41},      {120, 145, true, 35, 180},
      {120, 400, true, 290, 435}, {120, 700, true, 590, 615}, {120, 724, true, 614, 615},
      {120, 725, false, 0, 0},   {120, 1000, true, 165, 310}, {120, -6, false, 0, 0},
      // q = 174, p = 870
      {144, 0, false, 0, 0},     {144, 8, true, 42, 50},      {144, 174, true, 42, 216},
      {144, 500, true, 368, 542}, {144, 800, true, 668, 738}, {144, 869, true, 737, 738},
      {144, 870, false, 0, 0},   {144, 1000, true, 42, 172},  {144, -8, false, 0, 0},
  };
  const BandContent band = Banner(g);
  progressState.progressPercent = -1;
  for (const auto& c : cases) {
    if (c.dpi != g.dpi) continue;
    SCOPED_TRACE(testing::Message() << "offset " << c.offset);
    progressState.animationOffset = c.offset;
    ExpectWindowMatches(PaintAndCapture(window),
                        ExpectedWindow(g, band, L"", kDownloading, {c.drawn, c.left, c.right}), g);
  }
}

TEST_F(PaintedWindow, BuildLabelIsRightAlignedInItsColourOnlyWhenKnown) {
  const WindowGeometry& g = *geometry;
  const BandContent band = Banner(g);
  const RECT rightHalf = {(g.left + g.right) / 2, g.titleTop, g.right, g.titleBottom};
  int first = 0, last = 0;

  // Empty: the title alone; the right half of the row is white.
  Pixels actual = PaintAndCapture(window);
  ExpectWindowMatches(actual, ExpectedWindow(g, band, L"", kDownloading, {true, g.left, g.left}), g);
  EXPECT_FALSE(InkColumns(actual, rightHalf, &first, &last));

  StoreBuildLabel(L"Build 1.2.3");
  actual = PaintAndCapture(window);
  ExpectWindowMatches(actual,
                      ExpectedWindow(g, band, L"Build 1.2.3", kDownloading, {true, g.left, g.left}),
                      g);
  // Ink ends at the right margin (a glyph's side bearing away from it) and
  // starts no higher than the label's own top.
  ASSERT_TRUE(InkColumns(actual, rightHalf, &first, &last));
  EXPECT_LE(last, g.right - 1);
  EXPECT_GE(last, g.right - 1 - static_cast<int>((3 * g.dpi + 95) / 96));
  int top = 0, bottom = 0;
  ASSERT_TRUE(InkRows(actual, rightHalf, &top, &bottom));
  EXPECT_GE(top, g.labelTop);
  EXPECT_LT(bottom, g.titleBottom);
  // Its pixels are the label colour blended with white: the darkest one lies
  // close to #8C969E, and every inked one on the way from white to it.
  int darkest = 255 * 3 + 1;
  uint32_t darkestRgb = kWhite;
  for (int y = top; y <= bottom; ++y) {
    for (int x = first; x <= last; ++x) {
      const uint32_t p = actual.At(x, y);
      const int r = p >> 16, gr = (p >> 8) & 0xFF, b = p & 0xFF;
      if (r + gr + b < darkest) {
        darkest = r + gr + b;
        darkestRgb = p;
      }
      // Blends of #8C969E with white keep red <= green <= blue.
      EXPECT_TRUE(r <= gr + 2 && gr <= b + 2) << DescribeRgb(p) << " at (" << x << ", " << y << ")";
    }
  }
  const int r = darkestRgb >> 16, gr = (darkestRgb >> 8) & 0xFF, b = darkestRgb & 0xFF;
  EXPECT_NEAR(r, 0x8C, 24) << DescribeRgb(darkestRgb);
  EXPECT_NEAR(gr, 0x96, 24) << DescribeRgb(darkestRgb);
  EXPECT_NEAR(b, 0x9E, 24) << DescribeRgb(darkestRgb);
  EXPECT_GE(b - r, 8) << DescribeRgb(darkestRgb) << " is not the label's blue-grey";
  StoreBuildLabel(L"");
}

TEST_F(PaintedWindow, LongStatusStaysOnOneLineAndEndsInAnEllipsis) {
  const WindowGeometry& g = *geometry;
  const wchar_t* text =
      L"Downloading the Nimbrel Desktop archive from the download server, then unpacking it "
      L"into the programs folder and starting it";
  const int rowWidth = g.right - g.left, rowHeight = g.statusBottom - g.statusTop;
  ASSERT_GT(TextExtent(progressState.bodyFont, text).cx, rowWidth + rowWidth / 4);
  progressState.statusText = text;
  const Pixels actual = PaintAndCapture(window);
  // Everything but the status line as usual; in particular the rows between
  // it and the track stay white, so the text did not wrap.
  ExpectWindowMatches(actual, ExpectedWindow(g, Banner(g), L"", nullptr, {true, g.left, g.left}), g,
                      true);

  const RECT status = {g.left, g.statusTop, g.right, g.statusBottom};
  // The text starts as itself, left-aligned at the margin.
  const Pixels plain =
      TextOnWhite(rowWidth, rowHeight, progressState.bodyFont, kStatusRgb, text, 0, 0);
  Pixels expectedStart = WhitePicture(g.width, g.height);
  PastePixels(&expectedStart, plain, g.left, g.statusTop);
  EXPECT_TRUE(RegionMatches("start of the status", actual, expectedStart,
                            {g.left, g.statusTop, g.left + rowWidth / 3, g.statusBottom}));

  // It ends in the ellipsis (three full stops, as the platform draws it),
  // close to the right margin, where the plain clipped text would run on to
  // the edge.
  const SIZE ellipsis = TextExtent(progressState.bodyFont, L"...");
  const Pixels dots = TextOnWhite(ellipsis.cx + 8, rowHeight, progressState.bodyFont, kStatusRgb,
                                  L"...", 0, 0);
  int dotsFirst = 0, dotsLast = 0, inkFirst = 0, inkLast = 0;
  ASSERT_TRUE(InkColumns(dots, {0, 0, dots.width, dots.height}, &dotsFirst, &dotsLast));
  ASSERT_TRUE(InkColumns(actual, status, &inkFirst, &inkLast));
  TEXTMETRICW metrics = {};
  {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ kept = SelectObject(dc, progressState.bodyFont);
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, kept);
    DeleteDC(dc);
  }
  EXPECT_GE(inkLast, g.right - 1 - ellipsis.cx - metrics.tmMaxCharWidth);
  const int shift = inkLast - dotsLast;  // where the ellipsis was drawn
  Pixels expectedEnd = WhitePicture(g.width, g.height);
  PastePixels(&expectedEnd, dots, shift, g.statusTop);
  EXPECT_TRUE(RegionMatches("end of the status", actual, expectedEnd,
                            {shift + dotsFirst, g.statusTop, inkLast + 1, g.statusBottom}));
  Pixels clipped = WhitePicture(g.width, g.height);
  PastePixels(&clipped, plain, g.left, g.statusTop);
  EXPECT_FALSE(RegionMatches("plain clipped text", actual, clipped,
                             {g.right - ellipsis.cx - metrics.tmMaxCharWidth, g.statusTop, g.right,
                              g.statusBottom}));
}

TEST_F(PaintedWindow, AmpersandIsDrawnAsItself) {
  const WindowGeometry& g = *geometry;
  const wchar_t* text = L"Copying A&B && C&D";
  const int rowWidth = g.right - g.left, rowHeight = g.statusBottom - g.statusTop;
  // The control: with prefix processing the same text looks different.
  const Pixels plain =
      TextOnWhite(rowWidth, rowHeight, progressState.bodyFont, kStatusRgb, text, 0, 0);
  const Pixels prefixed = DrawTextPicture(rowWidth, rowHeight, progressState.bodyFont, kStatusRgb,
                                          text, DT_SINGLELINE);
  ASSERT_FALSE(RegionMatches("prefix processing", prefixed, plain, {0, 0, rowWidth, rowHeight}));

  progressState.statusText = text;
  ExpectWindowMatches(PaintAndCapture(window),
                      ExpectedWindow(g, Banner(g), L"", text, {true, g.left, g.left}), g);
}

TEST_F(PaintedWindow, DpiChangeRecreatesFontsAndMovesEverything) {
  const unsigned target = SystemDpi() == 144 ? 96 : 144;
  const WindowGeometry& g = target == 144 ? Geometry144() : Geometry96();
  const HFONT oldTitle = progressState.titleFont, oldBody = progressState.bodyFont;
  RECT before = {};
  GetWindowRect(window, &before);
  RECT suggested = {before.left + 10, before.top + 20, before.left + 10 + g.width,
                    before.top + 20 + g.height};
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(target, target),
               reinterpret_cast<LPARAM>(&suggested));

  EXPECT_EQ(progressState.currentDpi, target);
  EXPECT_NE(progressState.titleFont, oldTitle);
  EXPECT_NE(progressState.bodyFont, oldBody);
  LOGFONTW title = {}, body = {};
  GetObjectW(progressState.titleFont, sizeof title, &title);
  GetObjectW(progressState.bodyFont, sizeof body, &body);
  EXPECT_EQ(title.lfHeight, -g.titleFontHeight);
  EXPECT_EQ(body.lfHeight, -g.bodyFontHeight);
  RECT after = {};
  GetWindowRect(window, &after);
  EXPECT_TRUE(EqualRect(&after, &suggested))
      << after.left << "," << after.top << "," << after.right << "," << after.bottom;

  StoreBuildLabel(L"Build 1.2.3");
  progressState.progressPercent = 50;
  const int half = g.left + (g.right - g.left) / 2;
  ExpectWindowMatches(PaintAndCapture(window),
                      ExpectedWindow(g, Banner(g), L"Build 1.2.3", kDownloading,
                                     {true, g.left, half}),
                      g);

  // A suggested size out of proportion: the band follows the client width
  // (624 x 400 / 1040 = 240), every other length the DPI.
  const WindowGeometry narrow = {"144 DPI, 624 wide", 144, 624, 474, 240, 42, 582, 276, 321,
                                 290, 327, 357, 375, 381, 33, 21, 8};
  suggested = {after.left, after.top, after.left + narrow.width, after.top + narrow.height};
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  ExpectWindowMatches(PaintAndCapture(window),
                      ExpectedWindow(narrow, Banner(narrow), L"Build 1.2.3", kDownloading,
                                     {true, 42, 42 + 540 / 2}),
                      narrow);
  StoreBuildLabel(L"");
}

}  // namespace
