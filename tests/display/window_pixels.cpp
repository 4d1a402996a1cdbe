#include "window_pixels.h"

#include <stdio.h>

#include "display/progress_paint.h"
#include "shell/progress_window.h"

namespace {

const WindowGeometry kGeometries[] = {
    // name       dpi  W    H    Hb   L   R    T    T+30 T+9  U    U+20 K    K+h  fonts   step
    {"96 DPI", 96, 520, 316, 200, 28, 492, 224, 254, 233, 258, 278, 290, 294, 22, 14, 5},
    {"120 DPI", 120, 650, 395, 250, 35, 615, 280, 318, 291, 323, 348, 363, 368, 28, 18, 6},
    {"144 DPI", 144, 780, 474, 300, 42, 738, 336, 381, 350, 387, 417, 435, 441, 33, 21, 8},
};

// A top-down 32-bit DIB section with a memory DC holding it.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ kept = nullptr;
  uint32_t* bits = nullptr;
  int width = 0;
  int height = 0;
};

Canvas MakeCanvas(int width, int height) {
  Canvas canvas;
  canvas.width = width;
  canvas.height = height;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  canvas.bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  canvas.bits = static_cast<uint32_t*>(bits);
  canvas.dc = CreateCompatibleDC(nullptr);
  canvas.kept = SelectObject(canvas.dc, canvas.bitmap);
  return canvas;
}

Pixels TakePixels(const Canvas& canvas) {
  GdiFlush();
  Pixels pixels;
  pixels.width = canvas.width;
  pixels.height = canvas.height;
  pixels.rgb.resize(static_cast<size_t>(canvas.width) * canvas.height);
  for (size_t i = 0; i < pixels.rgb.size(); ++i) pixels.rgb[i] = canvas.bits[i] & 0xFFFFFF;
  return pixels;
}

void FreeCanvas(Canvas* canvas) {
  SelectObject(canvas->dc, canvas->kept);
  DeleteDC(canvas->dc);
  DeleteObject(canvas->bitmap);
  *canvas = Canvas();
}

void FillCanvasWhite(Canvas* canvas) {
  for (int i = 0; i < canvas->width * canvas->height; ++i) canvas->bits[i] = 0xFFFFFF;
}

COLORREF ToColorref(uint32_t rgb) {
  return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

}  // namespace

const WindowGeometry* StandardGeometry(unsigned dpi) {
  for (const WindowGeometry& g : kGeometries) {
    if (g.dpi == dpi) return &g;
  }
  return nullptr;
}

const WindowGeometry& Geometry96() { return kGeometries[0]; }
const WindowGeometry& Geometry144() { return kGeometries[2]; }

unsigned SystemDpi() { return GetDpiForSystem(); }

void PumpMessages(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) continue;  // a closed window's quit message
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

HWND ProgressWindowForTest(const wchar_t* statusText) {
  progressState.statusText = statusText;
  progressState.progressPercent = 0;
  progressState.animationOffset = 0;
  StoreBuildLabel(L"");
  const unsigned dpi = SystemDpi();
  if (!progressWindow) {
    progressState.currentDpi = dpi;
    CreateFonts();
    CreateProgressWindow(GetModuleHandleW(nullptr), false);
    if (!progressWindow) return nullptr;
    ShowWindow(progressWindow, SW_SHOWNOACTIVATE);
    UpdateWindow(progressWindow);
    PumpMessages(100);
    return progressWindow;
  }
  // Back to the system DPI and the standard size after a test that changed
  // them, the way the window itself would be told.
  const int width = MulDiv(520, static_cast<int>(dpi), 96);
  const int height = MulDiv(316, static_cast<int>(dpi), 96);
  RECT client = {};
  GetClientRect(progressWindow, &client);
  if (progressState.currentDpi != dpi || client.right != width || client.bottom != height) {
    RECT now = {};
    GetWindowRect(progressWindow, &now);
    RECT standard = {now.left, now.top, now.left + width, now.top + height};
    SendMessageW(progressWindow, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&standard));
  }
  PumpMessages(0);
  return progressWindow;
}

Pixels CaptureClient(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  Canvas canvas = MakeCanvas(client.right, client.bottom);
  HDC windowDc = GetDC(window);
  BitBlt(canvas.dc, 0, 0, client.right, client.bottom, windowDc, 0, 0, SRCCOPY);
  ReleaseDC(window, windowDc);
  Pixels pixels = TakePixels(canvas);
  FreeCanvas(&canvas);
  return pixels;
}

Pixels DrawWithoutWindow(int width, int height) {
  Canvas canvas = MakeCanvas(width, height);
  DrawProgressContent(canvas.dc, canvas.dc, width, height);
  Pixels pixels = TakePixels(canvas);
  FreeCanvas(&canvas);
  return pixels;
}

Pixels PaintAndCapture(HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  PumpMessages(0);
  return CaptureClient(window);
}

Pixels WhitePicture(int width, int height) { return SolidPicture(width, height, kWhite); }

Pixels SolidPicture(int width, int height, uint32_t rgb) {
  Pixels pixels;
  pixels.width = width;
  pixels.height = height;
  pixels.rgb.assign(static_cast<size_t>(width) * height, rgb);
  return pixels;
}

void FillPixels(Pixels* picture, const RECT& rect, uint32_t rgb) {
  for (int y = rect.top; y < rect.bottom; ++y) {
    for (int x = rect.left; x < rect.right; ++x) {
      if (x >= 0 && y >= 0 && x < picture->width && y < picture->height) picture->At(x, y) = rgb;
    }
  }
}

void PastePixels(Pixels* picture, const Pixels& part, int x0, int y0) {
  for (int y = 0; y < part.height; ++y) {
    for (int x = 0; x < part.width; ++x) {
      const int px = x0 + x, py = y0 + y;
      if (px >= 0 && py >= 0 && px < picture->width && py < picture->height)
        picture->At(px, py) = part.At(x, y);
    }
  }
}

void DrawTextOnto(Pixels* picture, HFONT font, uint32_t rgb, const wchar_t* text, int x, int y) {
  Canvas canvas = MakeCanvas(picture->width, picture->height);
  for (size_t i = 0; i < picture->rgb.size(); ++i) canvas.bits[i] = picture->rgb[i];
  SetBkMode(canvas.dc, TRANSPARENT);
  SelectObject(canvas.dc, font);
  SetTextColor(canvas.dc, ToColorref(rgb));
  SetTextAlign(canvas.dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  ExtTextOutW(canvas.dc, x, y, 0, nullptr, text, static_cast<UINT>(wcslen(text)), nullptr);
  *picture = TakePixels(canvas);
  SelectObject(canvas.dc, GetStockObject(SYSTEM_FONT));
  FreeCanvas(&canvas);
}

Pixels TextOnWhite(int width, int height, HFONT font, uint32_t rgb, const wchar_t* text, int x,
                   int y) {
  Pixels picture = WhitePicture(width, height);
  DrawTextOnto(&picture, font, rgb, text, x, y);
  return picture;
}

Pixels DrawTextPicture(int width, int height, HFONT font, uint32_t rgb, const wchar_t* text,
                       UINT format) {
  Canvas canvas = MakeCanvas(width, height);
  FillCanvasWhite(&canvas);
  SetBkMode(canvas.dc, TRANSPARENT);
  SelectObject(canvas.dc, font);
  SetTextColor(canvas.dc, ToColorref(rgb));
  RECT rect = {0, 0, width, height};
  DrawTextW(canvas.dc, text, -1, &rect, format);
  Pixels picture = TakePixels(canvas);
  SelectObject(canvas.dc, GetStockObject(SYSTEM_FONT));
  FreeCanvas(&canvas);
  return picture;
}

SIZE TextExtent(HFONT font, const wchar_t* text) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ kept = SelectObject(dc, font);
  SIZE size = {};
  GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
  SelectObject(dc, kept);
  DeleteDC(dc);
  return size;
}

Pixels StretchedBanner(HBITMAP banner, int bannerWidth, int bannerHeight, int width, int height) {
  Canvas canvas = MakeCanvas(width, height);
  FillCanvasWhite(&canvas);
  HDC source = CreateCompatibleDC(nullptr);
  HGDIOBJ kept = SelectObject(source, banner);
  SetStretchBltMode(canvas.dc, HALFTONE);
  SetBrushOrgEx(canvas.dc, 0, 0, nullptr);
  StretchBlt(canvas.dc, 0, 0, width, height, source, 0, 0, bannerWidth, bannerHeight, SRCCOPY);
  SelectObject(source, kept);
  DeleteDC(source);
  Pixels pixels = TakePixels(canvas);
  FreeCanvas(&canvas);
  return pixels;
}

Pixels ExpectedWindow(const WindowGeometry& g, const BandContent& band, const wchar_t* buildLabel,
                      const wchar_t* statusText, const BarContent& bar) {
  Pixels picture = WhitePicture(g.width, g.height);
  if (band.kind == BandContent::kPicture) PastePixels(&picture, band.picture, 0, 0);
  FillPixels(&picture, {0, g.band, g.width, g.band + 1}, kSeparatorRgb);

  const int rowWidth = g.right - g.left;
  Pixels titleRow = TextOnWhite(rowWidth, g.titleBottom - g.titleTop, progressState.titleFont,
                                kTitleRgb, L"Nimbrel Desktop", 0, 0);
  if (buildLabel && buildLabel[0]) {
    const SIZE extent = TextExtent(progressState.bodyFont, buildLabel);
    DrawTextOnto(&titleRow, progressState.bodyFont, kBuildLabelRgb, buildLabel,
                 rowWidth - extent.cx, g.labelTop - g.titleTop);
  }
  PastePixels(&picture, titleRow, g.left, g.titleTop);

  if (statusText) {
    PastePixels(&picture,
                TextOnWhite(rowWidth, g.statusBottom - g.statusTop, progressState.bodyFont,
                            kStatusRgb, statusText, 0, 0),
                g.left, g.statusTop);
  }

  FillPixels(&picture, {g.left, g.trackTop, g.right, g.trackBottom}, kTrackRgb);
  if (bar.filled) FillPixels(&picture, {bar.fillLeft, g.trackTop, bar.fillRight, g.trackBottom}, kFillRgb);
  return picture;
}

std::string DescribeRgb(uint32_t rgb) {
  char text[16];
  snprintf(text, sizeof text, "#%06X", rgb & 0xFFFFFF);
  return text;
}

::testing::AssertionResult RegionMatches(const char* region, const Pixels& actual,
                                         const Pixels& expected, const RECT& rect) {
  if (actual.width != expected.width || actual.height != expected.height) {
    return ::testing::AssertionFailure()
           << "client is " << actual.width << "x" << actual.height << ", expected "
           << expected.width << "x" << expected.height;
  }
  // Parts of a rectangle beyond the client area are not shown; skip them.
  const int top = rect.top < 0 ? 0 : rect.top;
  const int left = rect.left < 0 ? 0 : rect.left;
  const int bottom = rect.bottom > actual.height ? actual.height : rect.bottom;
  const int right = rect.right > actual.width ? actual.width : rect.right;
  int wrong = 0;
  int firstX = 0, firstY = 0;
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      if (actual.At(x, y) != expected.At(x, y)) {
        if (wrong++ == 0) {
          firstX = x;
          firstY = y;
        }
      }
    }
  }
  if (wrong == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << region << " (" << rect.left << ", " << rect.top << ", " << rect.right << ", "
         << rect.bottom << "): " << wrong << " pixels differ; first at (" << firstX << ", "
         << firstY << "): " << DescribeRgb(actual.At(firstX, firstY)) << " instead of "
         << DescribeRgb(expected.At(firstX, firstY));
}

void ExpectWindowMatches(const Pixels& actual, const Pixels& expected, const WindowGeometry& g,
                         bool skipStatus) {
  ASSERT_EQ(actual.width, g.width);
  ASSERT_EQ(actual.height, g.height);
  const RECT band = {0, 0, g.width, g.band};
  const RECT separator = {0, g.band, g.width, g.band + 1};
  const RECT title = {g.left, g.titleTop, g.right, g.titleBottom};
  const RECT status = {g.left, g.statusTop, g.right, g.statusBottom};
  const RECT track = {g.left, g.trackTop, g.right, g.trackBottom};
  EXPECT_TRUE(RegionMatches("band", actual, expected, band));
  EXPECT_TRUE(RegionMatches("separator", actual, expected, separator));
  EXPECT_TRUE(RegionMatches("title row", actual, expected, title));
  if (!skipStatus) EXPECT_TRUE(RegionMatches("status line", actual, expected, status));
  EXPECT_TRUE(RegionMatches("track", actual, expected, track));

  // The background: everything outside those rectangles.
  const RECT named[] = {band, separator, title, status, track};
  int wrong = 0, firstX = 0, firstY = 0;
  for (int y = 0; y < g.height; ++y) {
    for (int x = 0; x < g.width; ++x) {
      bool inside = false;
      for (const RECT& r : named) {
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) inside = true;
      }
      if (!inside && actual.At(x, y) != kWhite && wrong++ == 0) {
        firstX = x;
        firstY = y;
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "background pixels that are not white; first at (" << firstX << ", "
                      << firstY << "): " << DescribeRgb(actual.At(firstX, firstY));
}

RECT Clipped(const Pixels& picture, const RECT& rect) {
  RECT r = rect;
  if (r.left < 0) r.left = 0;
  if (r.top < 0) r.top = 0;
  if (r.right > picture.width) r.right = picture.width;
  if (r.bottom > picture.height) r.bottom = picture.height;
  return r;
}

bool InkColumns(const Pixels& picture, const RECT& area, int* first, int* last) {
  const RECT rect = Clipped(picture, area);
  bool found = false;
  for (int x = rect.left; x < rect.right; ++x) {
    for (int y = rect.top; y < rect.bottom; ++y) {
      if (picture.At(x, y) != kWhite) {
        if (!found) *first = x;
        *last = x;
        found = true;
        break;
      }
    }
  }
  return found;
}

bool InkRows(const Pixels& picture, const RECT& area, int* first, int* last) {
  const RECT rect = Clipped(picture, area);
  bool found = false;
  for (int y = rect.top; y < rect.bottom; ++y) {
    for (int x = rect.left; x < rect.right; ++x) {
      if (picture.At(x, y) != kWhite) {
        if (!found) *first = y;
        *last = y;
        found = true;
        break;
      }
    }
  }
  return found;
}
