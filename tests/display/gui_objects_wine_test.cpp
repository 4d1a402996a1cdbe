// The real progress window, painted 10,000 times with a DPI change before
// every paint (96, 120, 144 in turn, through WM_DPICHANGED as the window
// handles it), leaves the process's GDI and USER object counts where they
// stood after a warm-up.
//
// Wine 8 answers GetGuiResources with 0 and ERROR_CALL_NOT_IMPLEMENTED, so
// the counts come from what Wine does keep: GDI objects from the GDI handle
// table that it maps into every process (the PEB's GdiSharedHandleTable, one
// entry per handle index, a non-zero type byte for a live object), USER
// objects by asking every user handle index whether it is a window of this
// process, a menu or an icon (Wine takes a handle without its generation
// bits). Both counters are first shown to move with objects made and
// destroyed here. Where GetGuiResources does count, it is used instead.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <stdint.h>

#include "display/banner.h"
#include "shell/progress_window.h"
#include "window_pixels.h"

namespace {

class StartUp : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LoadBanner(GetModuleHandleW(nullptr));
  }
};
::testing::Environment* const startUp = ::testing::AddGlobalTestEnvironment(new StartUp);

// --- Counting

// One entry of Wine's GDI handle table (x64): the kernel-side object, the
// owner, then the handle's upper word and the object's type.
struct GdiTableEntry {
  uint64_t object;
  uint32_t owner;
  uint16_t unique;
  uint8_t type;
  uint8_t flags;
  uint64_t user;
};
static_assert(sizeof(GdiTableEntry) == 24, "GDI table entry layout");
const unsigned kGdiTableEntries = 0x10000;  // indexed by the handle's low word

const GdiTableEntry* GdiTable() {
  // x64: TEB + 0x60 is the PEB; PEB + 0xF8 is GdiSharedHandleTable.
  const BYTE* teb = reinterpret_cast<const BYTE*>(NtCurrentTeb());
  const BYTE* peb = *reinterpret_cast<const BYTE* const*>(teb + 0x60);
  return *reinterpret_cast<const GdiTableEntry* const*>(peb + 0xF8);
}

long GdiTableCount() {
  const GdiTableEntry* table = GdiTable();
  long live = 0;
  for (unsigned i = 0; i < kGdiTableEntries; ++i) {
    if (table[i].type != 0) ++live;
  }
  return live;
}

// Windows of this process, menus and icons (cursors included), probed by
// index. User handles are even low words from 0x20 on.
long UserProbeCount() {
  const DWORD self = GetCurrentProcessId();
  long live = 0;
  for (UINT_PTR index = 0x20; index < 0xFFF0; index += 2) {
    const HANDLE handle = reinterpret_cast<HANDLE>(index);
    DWORD owner = 0;
    if (IsWindow(static_cast<HWND>(handle))) {
      GetWindowThreadProcessId(static_cast<HWND>(handle), &owner);
      if (owner == self) ++live;
      continue;
    }
    if (IsMenu(static_cast<HMENU>(handle))) {
      ++live;
      continue;
    }
    ICONINFO icon = {};
    if (GetIconInfo(static_cast<HICON>(handle), &icon)) {
      ++live;
      if (icon.hbmMask) DeleteObject(icon.hbmMask);
      if (icon.hbmColor) DeleteObject(icon.hbmColor);
    }
  }
  return live;
}

struct GuiCounts {
  long gdi;
  long user;
};

bool GuiResourcesCount() {
  const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  HBRUSH brush = CreateSolidBrush(0x00123456);
  const DWORD during = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  DeleteObject(brush);
  return during == before + 1;
}

GuiCounts CountGuiObjects() {
  static const bool platformCounts = GuiResourcesCount();
  if (platformCounts) {
    return {static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)),
            static_cast<long>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS))};
  }
  return {GdiTableCount(), UserProbeCount()};
}

// The counters see objects come and go: a brush, a font, a memory DC with a
// bitmap; a window, a menu and an icon.
TEST(GuiObjectCounters, FollowObjectsMadeAndDestroyed) {
  // Warm-up: the first memory DC brings the display driver's own objects.
  // A thread's input method window lives while the thread has any window,
  // so one stays for the whole check.
  DeleteDC(CreateCompatibleDC(nullptr));
  HWND anchor = CreateWindowExW(0, L"STATIC", L"anchor", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr,
                                nullptr, nullptr);
  const GuiCounts start = CountGuiObjects();

  HBRUSH brush = CreateSolidBrush(0x00123456);
  HFONT font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                           0, L"Segoe UI");
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 8, 8);
  ASSERT_TRUE(brush && font && dc && bitmap);
  if (!GuiResourcesCount()) {
    // The table entry of a live handle carries its type and upper word.
    const GdiTableEntry& entry = GdiTable()[LOWORD(reinterpret_cast<UINT_PTR>(brush))];
    EXPECT_NE(entry.type, 0);
    EXPECT_EQ(entry.unique, HIWORD(reinterpret_cast<UINT_PTR>(brush)));
  }
  EXPECT_EQ(CountGuiObjects().gdi, start.gdi + 4);
  DeleteObject(bitmap);
  DeleteDC(dc);
  DeleteObject(font);
  DeleteObject(brush);
  EXPECT_EQ(CountGuiObjects().gdi, start.gdi);

  HWND window = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr,
                                nullptr, nullptr);
  HMENU menu = CreateMenu();
  const BYTE andMask[4] = {0xFF, 0xFF, 0xFF, 0xFF}, xorMask[4] = {};
  HICON icon = CreateIcon(nullptr, 1, 1, 1, 1, andMask, xorMask);
  ASSERT_TRUE(window && menu && icon);
  EXPECT_EQ(CountGuiObjects().user, start.user + 3);
  DestroyIcon(icon);
  DestroyMenu(menu);
  DestroyWindow(window);
  EXPECT_EQ(CountGuiObjects().user, start.user);
  EXPECT_EQ(CountGuiObjects().gdi, start.gdi);
  DestroyWindow(anchor);
}

// --- The window

void ChangeDpi(HWND window, unsigned dpi) {
  RECT now = {};
  GetWindowRect(window, &now);
  RECT suggested = {now.left, now.top, now.left + MulDiv(kWindowWidth, static_cast<int>(dpi), 96),
                    now.top + MulDiv(kWindowHeight, static_cast<int>(dpi), 96)};
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

// Paint i: the DPI after i changes, a build label, and both kinds of bar so
// that every element and every brush is drawn.
void PaintOnce(HWND window, int i) {
  static const unsigned kDpis[] = {96, 120, 144};
  ChangeDpi(window, kDpis[i % 3]);
  progressState.progressPercent = i % 2 ? -1 : i % 101;
  progressState.animationOffset = i * 7;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  PumpMessages(0);
}

TEST(GuiObjects, TenThousandPaintsWithDpiChangesLeaveNothingBehind) {
  ASSERT_NE(progressState.bannerBitmap, nullptr) << "the banner did not decode";
  HWND window = ProgressWindowForTest(L"Downloading\u2026");
  ASSERT_NE(window, nullptr);
  StoreBuildLabel(L"Build 1.2.3");

  for (int i = 0; i < 30; ++i) PaintOnce(window, i);
  const GuiCounts warm = CountGuiObjects();

  const int kPaints = 10000;
  for (int i = 0; i < kPaints; ++i) PaintOnce(window, i);

  EXPECT_EQ(progressState.currentDpi, 96u + 24u * static_cast<unsigned>((kPaints - 1) % 3));
  const GuiCounts after = CountGuiObjects();
  EXPECT_EQ(after.gdi, warm.gdi) << "GDI objects after " << kPaints << " paints";
  EXPECT_EQ(after.user, warm.user) << "USER objects after " << kPaints << " paints";
  StoreBuildLabel(L"");
}

}  // namespace
