// Pixels of the real progress window, read back from the screen surface, and
// the picture the window is expected to show, built from hand-written
// geometry, the colours of the design and plain text output.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

// Colours as 0xRRGGBB.
enum : uint32_t {
  kWhite = 0xFFFFFF,
  kSeparatorRgb = 0xE5E8EC,
  kTitleRgb = 0x0C1116,
  kBuildLabelRgb = 0x8C969E,
  kStatusRgb = 0x5B6670,
  kTrackRgb = 0xE8EBEE,
  kFillRgb = 0x73D8D4,
};

// A 32-bit picture; each value is 0xRRGGBB.
struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> rgb;

  uint32_t At(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
  uint32_t& At(int x, int y) { return rgb[static_cast<size_t>(y) * width + x]; }
};

// Where the window's elements are, for one client size and DPI. Every value
// is written out by hand from the layout rules; nothing is computed by the
// code under test.
struct WindowGeometry {
  const char* name;
  unsigned dpi;
  int width, height;
  int band;  // band height; the separator is the row below it
  int left, right;
  int titleTop, titleBottom, labelTop;
  int statusTop, statusBottom;
  int trackTop, trackBottom;
  int titleFontHeight, bodyFontHeight;  // as given to CreateFontW
  int animationStep;
};

// The geometry of the standard window at the system DPI of this run (96, 120
// or 144), or null.
const WindowGeometry* StandardGeometry(unsigned dpi);
const WindowGeometry& Geometry96();
const WindowGeometry& Geometry144();

// --- The real window

// The progress window of this process, made on first use the way start-up
// makes it (system DPI, fonts, CreateProgressWindow, shown without
// activation), and on later uses brought back to the system DPI and size.
// The fields that tests set (status, percent, offset, build label) start
// over each time. The window is kept for the life of the process: hiding or
// destroying a shown window costs two seconds under Wine without a window
// manager.
HWND ProgressWindowForTest(const wchar_t* statusText);

// Dispatches messages for at least `milliseconds` and until none is pending.
void PumpMessages(DWORD milliseconds);

// Forces a full paint through WM_PAINT and reads the client area back from
// the window's own surface.
Pixels PaintAndCapture(HWND window);
Pixels CaptureClient(HWND window);
// The client area drawn from the same state into a 32-bit memory surface,
// with no window involved.
Pixels DrawWithoutWindow(int width, int height);

// --- The expected picture

// A white picture of the client size.
Pixels WhitePicture(int width, int height);
void FillPixels(Pixels* picture, const RECT& rect, uint32_t rgb);
// Copies `part` into `picture` with its top-left corner at (x, y).
void PastePixels(Pixels* picture, const Pixels& part, int x, int y);

// Text drawn on white with ExtTextOutW (which knows nothing of prefixes or
// ellipses) into a picture of the given size: the top-left of the first
// glyph cell at (x, y), anything outside the picture clipped.
Pixels TextOnWhite(int width, int height, HFONT font, uint32_t rgb, const wchar_t* text, int x,
                   int y);
// Adds text to an existing picture the same way.
void DrawTextOnto(Pixels* picture, HFONT font, uint32_t rgb, const wchar_t* text, int x, int y);
SIZE TextExtent(HFONT font, const wchar_t* text);
// The same text through DrawTextW with `format`, in a rectangle the size of
// the picture: the control that shows what prefix processing would draw.
Pixels DrawTextPicture(int width, int height, HFONT font, uint32_t rgb, const wchar_t* text,
                       UINT format);

// The banner bitmap stretched to width x height the way the window stretches
// it (HALFTONE).
Pixels StretchedBanner(HBITMAP banner, int bannerWidth, int bannerHeight, int width, int height);
Pixels SolidPicture(int width, int height, uint32_t rgb);

// What the band shows.
struct BandContent {
  enum Kind { kWhiteBand, kPicture } kind;
  Pixels picture;  // kPicture: exactly the band's pixels
};

// Whether the bar shows a fill, and its span.
struct BarContent {
  bool filled;
  int fillLeft, fillRight;
};

// The whole expected picture of the window: band, separator, title row (with
// the build label when not empty), status line (when given), track and fill.
// Without a status text the status rectangle stays white here; compare with
// skipStatus then.
Pixels ExpectedWindow(const WindowGeometry& g, const BandContent& band, const wchar_t* buildLabel,
                      const wchar_t* statusText, const BarContent& bar);

// --- Comparisons, named by region so a failure says where it is.

::testing::AssertionResult RegionMatches(const char* region, const Pixels& actual,
                                         const Pixels& expected, const RECT& rect);
// Every region of the window: band, separator, title row, status line
// (unless skipStatus), track, and all the rest (white background).
void ExpectWindowMatches(const Pixels& actual, const Pixels& expected, const WindowGeometry& g,
                         bool skipStatus = false);

// Columns [first, last] of `rect` that hold any pixel other than white; false
// when the rectangle is all white.
bool InkColumns(const Pixels& picture, const RECT& rect, int* first, int* last);
bool InkRows(const Pixels& picture, const RECT& rect, int* first, int* last);

std::string DescribeRgb(uint32_t rgb);

// The system DPI of this run; each CTest entry runs the same suite at its own.
unsigned SystemDpi();
