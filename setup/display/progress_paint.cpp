#include "display/progress_paint.h"

#include "display/progress_layout.h"
#include "shell/dpi_scale.h"
#include "shell/progress_window.h"

namespace {

const COLORREF kBackgroundColour = 0x00FFFFFF;
const COLORREF kSeparatorColour = 0x00ECE8E5;
const COLORREF kTitleColour = 0x0016110C;
const COLORREF kBuildLabelColour = 0x009E968C;
const COLORREF kStatusColour = 0x0070665B;
const COLORREF kTrackColour = 0x00EEEBE8;
const COLORREF kFillColour = 0x00D4D873;

HFONT MakeFont(int height96, int weight) {
  return CreateFontW(-ScaleByDpi(height96), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
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

void DrawBanner(HDC paintSurface, HDC surface, int width, int bandHeight) {
  HDC bannerSurface = CreateCompatibleDC(paintSurface);
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

void FillSolid(HDC surface, const RECT& rect, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(surface, &rect, brush);
  DeleteObject(brush);
}

void CreateFonts() {
  if (progressState.titleFont) DeleteObject(progressState.titleFont);
  if (progressState.bodyFont) DeleteObject(progressState.bodyFont);
  progressState.titleFont = MakeFont(22, FW_SEMIBOLD);
  progressState.bodyFont = MakeFont(14, FW_NORMAL);
}

void PaintProgressWindow(HWND window) {
  PAINTSTRUCT paint;
  HDC paintSurface = BeginPaint(window, &paint);
  RECT client = {};
  GetClientRect(window, &client);
  const int W = client.right;
  const int H = client.bottom;
  const ProgressLayout layout = ComputeProgressLayout(W, H, progressState.currentDpi,
                                                      progressState.bannerWidth,
                                                      progressState.bannerHeight);

  HDC surface = CreateCompatibleDC(paintSurface);
  HBITMAP offscreen = CreateCompatibleBitmap(paintSurface, W, H);
  HGDIOBJ keptBitmap = SelectObject(surface, offscreen);

  FillSolid(surface, ToRect(layout.background), kBackgroundColour);
  if (progressState.bannerBitmap) DrawBanner(paintSurface, surface, W, layout.bandHeight);
  FillSolid(surface, ToRect(layout.separator), kSeparatorColour);

  SetBkMode(surface, TRANSPARENT);
  DrawRowText(surface, progressState.titleFont, kTitleColour, L"Nimbrel Desktop", layout.titleRow,
              0);
  wchar_t buildLabel[kBuildLabelCapacity];
  ReadBuildLabel(buildLabel);
  if (buildLabel[0] != 0) {
    DrawRowText(surface, progressState.bodyFont, kBuildLabelColour, buildLabel, layout.buildLabel,
                DT_RIGHT);
  }
  DrawRowText(surface, progressState.bodyFont, kStatusColour, progressState.statusText,
              layout.statusLine, DT_END_ELLIPSIS);
  DrawProgressBar(surface, layout.track);

  BitBlt(paintSurface, 0, 0, W, H, surface, 0, 0, SRCCOPY);

  SelectObject(surface, keptBitmap);
  DeleteObject(offscreen);
  DeleteDC(surface);
  EndPaint(window, &paint);
}
