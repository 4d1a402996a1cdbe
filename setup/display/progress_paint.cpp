#include "display/progress_paint.h"

#include "base/product.h"
#include "base/progress_state.h"
#include "display/progress_layout.h"

namespace {

const COLORREF kBackgroundColour = 0x00FFFFFF;
const COLORREF kSeparatorColour = 0x00ECE8E5;
const COLORREF kTitleColour = 0x0016110C;
const COLORREF kBuildLabelColour = 0x009E968C;
const COLORREF kStatusColour = 0x0070665B;
const COLORREF kTrackColour = 0x00EEEBE8;
const COLORREF kFillColour = 0x00D4D873;

// The label is drawn from the top of its rectangle, against its right side.
const UINT kBuildLabelFormat = DT_SINGLELINE | DT_NOPREFIX | DT_RIGHT;

// Font heights in pixels at 96 DPI.
const int kTitleFontHeight = 22;
const int kBodyFontHeight = 14;

HFONT MakeFont(int height96, int weight) {
  return CreateFontW(-ScaleByDpi(height96), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
}

// Fills a rectangle with a colour through a brush made and deleted here.
void FillSolid(HDC surface, const RECT& rect, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(surface, &rect, brush);
  DeleteObject(brush);
}

RECT ToRect(const PixelRect& rect) {
  RECT result = {rect.left, rect.top, rect.right, rect.bottom};
  return result;
}

void DrawRowText(HDC surface, HFONT font, COLORREF colour, const wchar_t* text,
                 const PixelRect& row, UINT format) {
  SelectObject(surface, font);
  SetTextColor(surface, colour);
  RECT rect = ToRect(row);
  DrawTextW(surface, text, -1, &rect, DT_SINGLELINE | DT_NOPREFIX | format);
}

void DrawBanner(HDC screenSurface, HDC surface, int width, int bandHeight) {
  HDC bannerSurface = CreateCompatibleDC(screenSurface);
  HGDIOBJ keptBitmap = SelectObject(bannerSurface, progressState.bannerBitmap);
  SetStretchBltMode(surface, HALFTONE);
  SetBrushOrgEx(surface, 0, 0, nullptr);  // HALFTONE needs the brush origin reset
  StretchBlt(surface, 0, 0, width, bandHeight, bannerSurface, 0, 0, progressState.bannerWidth,
             progressState.bannerHeight, SRCCOPY);
  SelectObject(bannerSurface, keptBitmap);
  DeleteDC(bannerSurface);
}

void DrawProgressBar(HDC surface, const PixelRect& track) {
  FillSolid(surface, ToRect(track), kTrackColour);
  if (progressState.progressPercent >= 0) {
    FillSolid(surface, ToRect(ComputeProportionalFill(track, progressState.progressPercent)),
              kFillColour);
    return;
  }
  PixelRect segment;
  if (ComputeSlidingSegment(track, progressState.animationOffset, &segment)) {
    FillSolid(surface, ToRect(segment), kFillColour);
  }
}

}  // namespace

void CreateFonts() {
  if (progressState.titleFont) DeleteObject(progressState.titleFont);
  if (progressState.bodyFont) DeleteObject(progressState.bodyFont);
  progressState.titleFont = MakeFont(kTitleFontHeight, FW_SEMIBOLD);
  progressState.bodyFont = MakeFont(kBodyFontHeight, FW_NORMAL);
}

void DrawProgressContent(HDC surface, HDC screenSurface, int clientWidth, int clientHeight) {
  const ProgressLayout layout = ComputeProgressLayout(clientWidth, clientHeight,
                                                      progressState.currentDpi,
                                                      progressState.bannerWidth,
                                                      progressState.bannerHeight);
  FillSolid(surface, ToRect(layout.background), kBackgroundColour);
  if (progressState.bannerBitmap)
    DrawBanner(screenSurface, surface, clientWidth, layout.bandHeight);
  FillSolid(surface, ToRect(layout.separator), kSeparatorColour);

  SetBkMode(surface, TRANSPARENT);
  DrawRowText(surface, progressState.titleFont, kTitleColour, NIMBREL_PRODUCT_NAME,
              layout.titleRow, 0);
  // Read in place: the lock keeps the version probe from storing the label
  // while it is drawn.
  BeginPictureRead();
  if (progressState.buildLabel[0] != 0) {
    DrawRowText(surface, progressState.bodyFont, kBuildLabelColour, progressState.buildLabel,
                layout.buildLabel, kBuildLabelFormat);
  }
  EndPictureRead();
  DrawRowText(surface, progressState.bodyFont, kStatusColour, progressState.statusText,
              layout.statusLine, DT_END_ELLIPSIS);
  DrawProgressBar(surface, layout.track);
}

SIZE MeasureBuildLabel(const wchar_t* label) {
  SIZE size = {0, 0};
  if (label[0] == 0) return size;
  HDC surface = CreateCompatibleDC(nullptr);
  if (!surface) return size;
  HGDIOBJ keptFont = SelectObject(surface, progressState.bodyFont);
  RECT extent = {0, 0, 0, 0};
  DrawTextW(surface, label, -1, &extent, kBuildLabelFormat | DT_CALCRECT);
  size.cx = extent.right - extent.left;
  size.cy = extent.bottom - extent.top;
  SelectObject(surface, keptFont);
  DeleteDC(surface);
  return size;
}
