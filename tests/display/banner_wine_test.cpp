// LoadBanner over pictures of several kinds, and the band that each leaves
// in the real window. This executable has no resource 2 of its own; each
// picture comes as resource 2 of a small fixture module next to it.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "display/banner.h"
#include "shell/progress_window.h"
#include "window_pixels.h"

namespace {

class Apartment : public ::testing::Environment {
 public:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
};
::testing::Environment* const apartment = ::testing::AddGlobalTestEnvironment(new Apartment);

// A fixture module beside this executable, mapped as data: its resources
// are there, none of its code runs.
HMODULE LoadFixture(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring full(path, length);
  full.resize(full.find_last_of(L"\\/") + 1);
  full += name;
  return LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

void ForgetBanner() {
  if (progressState.bannerBitmap) DeleteObject(progressState.bannerBitmap);
  progressState.bannerBitmap = nullptr;
  progressState.bannerWidth = 0;
  progressState.bannerHeight = 0;
}

bool ImagingLoaded() { return GetModuleHandleW(L"windowscodecs.dll") != nullptr; }

// Runs first, in a process that has not touched the imaging component yet.
TEST(LoadBannerWithoutPicture, MakesNoComObjectAndLeavesTheFieldsEmpty) {
  ASSERT_FALSE(ImagingLoaded()) << "run this test first, in a fresh process";
  ASSERT_EQ(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(2), RT_RCDATA), nullptr);
  ForgetBanner();
  LoadBanner(GetModuleHandleW(nullptr));
  EXPECT_FALSE(ImagingLoaded()) << "the imaging component was loaded without a picture";
  EXPECT_EQ(progressState.bannerBitmap, nullptr);
  EXPECT_EQ(progressState.bannerWidth, 0);
  EXPECT_EQ(progressState.bannerHeight, 0);

  // The control: with a resource present the same check sees the component
  // come in, even when the bytes turn out not to be a picture.
  HMODULE garbage = LoadFixture(L"banner-undecodable.dll");
  ASSERT_NE(garbage, nullptr);
  LoadBanner(garbage);
  EXPECT_TRUE(ImagingLoaded());
  FreeLibrary(garbage);
}

TEST(LoadBanner, UndecodableBytesLeaveTheBannerOut) {
  HMODULE garbage = LoadFixture(L"banner-undecodable.dll");
  ASSERT_NE(garbage, nullptr);
  ASSERT_NE(FindResourceW(garbage, MAKEINTRESOURCEW(2), RT_RCDATA), nullptr);
  ForgetBanner();
  LoadBanner(garbage);
  EXPECT_EQ(progressState.bannerBitmap, nullptr);
  EXPECT_EQ(progressState.bannerWidth, 0);
  EXPECT_EQ(progressState.bannerHeight, 0);
  FreeLibrary(garbage);
}

struct KnownPixel {
  int x, y;
  BYTE blue, green, red;
};

struct DecodeCase {
  const wchar_t* module;
  const char* what;
  int width, height;
  KnownPixel pixels[3];
};

TEST(LoadBanner, ConvertsEveryKindToTopDown32BitBgr) {
  // The pictures are made at build time (see CMakeLists.txt) with these
  // colours; the GIF's second frame is all #1450C8, which must not show.
  const DecodeCase cases[] = {
      {L"banner-alpha.dll", "PNG with alpha", 4, 2,
       {{0, 0, 0x1E, 0xC8, 0x0A}, {1, 0, 0x32, 0x64, 0xC8}, {3, 1, 0x40, 0x30, 0x20}}},
      {L"banner-palette.dll", "palette PNG", 4, 2,
       {{0, 0, 0x80, 0x40, 0x20}, {1, 0, 0x10, 0xC0, 0xF0}, {2, 1, 0x10, 0xC0, 0xF0}}},
      {L"banner-frames.dll", "two-frame GIF", 4, 2,
       {{0, 0, 0x14, 0x32, 0xC8}, {3, 0, 0x14, 0x32, 0xC8}, {1, 1, 0x00, 0xFF, 0x00}}},
      {L"banner-800x400.dll", "800x400 PNG", 800, 400,
       {{0, 0, 0xA0, 0x60, 0x30}, {799, 399, 0xA0, 0x60, 0x30}, {400, 200, 0xA0, 0x60, 0x30}}},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.what);
    HMODULE module = LoadFixture(c.module);
    ASSERT_NE(module, nullptr);
    ForgetBanner();
    LoadBanner(module);
    FreeLibrary(module);
    ASSERT_NE(progressState.bannerBitmap, nullptr);
    EXPECT_EQ(progressState.bannerWidth, c.width);
    EXPECT_EQ(progressState.bannerHeight, c.height);

    DIBSECTION dib = {};
    ASSERT_EQ(GetObjectW(progressState.bannerBitmap, sizeof dib, &dib),
              static_cast<int>(sizeof dib));
    EXPECT_EQ(dib.dsBm.bmBitsPixel, 32);
    EXPECT_EQ(dib.dsBmih.biWidth, c.width);
    // GetObject reports the height as positive either way; the known pixels
    // below, read from memory row by row, show that the rows run top-down.
    EXPECT_EQ(dib.dsBm.bmHeight, c.height);
    EXPECT_EQ(dib.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    ASSERT_NE(dib.dsBm.bmBits, nullptr);
    EXPECT_EQ(dib.dsBm.bmWidthBytes, c.width * 4);  // no padding
    const BYTE* bits = static_cast<const BYTE*>(dib.dsBm.bmBits);
    for (const KnownPixel& p : c.pixels) {
      const BYTE* pixel = bits + (static_cast<size_t>(p.y) * c.width + p.x) * 4;
      EXPECT_EQ(pixel[0], p.blue) << "blue at (" << p.x << ", " << p.y << ")";
      EXPECT_EQ(pixel[1], p.green) << "green at (" << p.x << ", " << p.y << ")";
      EXPECT_EQ(pixel[2], p.red) << "red at (" << p.x << ", " << p.y << ")";
    }
  }
}

// --- The band each banner leaves in the real window, at the run's DPI.

class BannerBand : public ::testing::Test {
 protected:
  void SetUp() override {
    geometry = StandardGeometry(SystemDpi());
    ASSERT_NE(geometry, nullptr) << "no geometry for " << SystemDpi() << " DPI";
  }
  void TearDown() override { ForgetBanner(); }
  const WindowGeometry* geometry = nullptr;
  HWND window = nullptr;
};

TEST_F(BannerBand, IsWhiteAtTheFallbackHeightWithoutAPicture) {
  const WindowGeometry& g = *geometry;
  // A bitmap of 0 x 0 is what a failed pixel copy leaves: the bitmap is there
  // (red here, so any stretch of it would show) but has no size.
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP red = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(red, nullptr);
  for (int i = 0; i < 16 * 16; ++i) static_cast<DWORD*>(bits)[i] = 0x00FF0000;

  struct {
    const char* what;
    HBITMAP bitmap;
  } const cases[] = {{"no banner", nullptr}, {"0x0 banner", red}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    progressState.bannerBitmap = c.bitmap;
    progressState.bannerWidth = 0;
    progressState.bannerHeight = 0;
    window = ProgressWindowForTest(L"Downloading\u2026");
    ASSERT_NE(window, nullptr);
    progressState.progressPercent = 50;
    const int half = g.left + (g.right - g.left) / 2;
    ExpectWindowMatches(PaintAndCapture(window),
                        ExpectedWindow(g, {BandContent::kWhiteBand, {}}, L"",
                                       L"Downloading\u2026", {true, g.left, half}),
                        g);
  }
  progressState.bannerBitmap = nullptr;  // ForgetBanner must not delete it twice
  DeleteObject(red);
}

TEST_F(BannerBand, FollowsThePicturesOwnAspect) {
  const WindowGeometry& s = *geometry;
  HMODULE module = LoadFixture(L"banner-800x400.dll");
  ASSERT_NE(module, nullptr);
  ForgetBanner();
  LoadBanner(module);
  FreeLibrary(module);
  ASSERT_EQ(progressState.bannerWidth, 800);
  // Band = client width x 400 / 800; every row below keeps its distance.
  const WindowGeometry wide96 = {"96 DPI, 800x400", 96,  520, 316, 260, 28, 492, 284, 314,
                                 293,               318, 338, 350, 354, 22, 14,  5};
  const WindowGeometry wide144 = {"144 DPI, 800x400", 144, 780, 474, 390, 42, 738, 426, 471,
                                  440,                477, 507, 525, 531, 33, 21,  8};
  const WindowGeometry* g = s.dpi == 144 ? &wide144 : s.dpi == 96 ? &wide96 : nullptr;
  if (!g) GTEST_SKIP() << "written out for 96 and 144 DPI";
  window = ProgressWindowForTest(L"Downloading\u2026");
  ASSERT_NE(window, nullptr);
  ExpectWindowMatches(PaintAndCapture(window),
                      ExpectedWindow(*g, {BandContent::kPicture,
                                          SolidPicture(g->width, g->band, 0x3060A0)},
                                     L"", L"Downloading\u2026", {true, g->left, g->left}),
                      *g);
}

}  // namespace
