// The progress window and its message protocol, on a real window.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "display/progress_paint.h"
#include "base/dpi_scale.h"
#include "shell/progress_window.h"

namespace {

// Pumps the thread's messages for about `milliseconds`.
void PumpFor(DWORD milliseconds) {
  const DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < milliseconds) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
}

// One window serves the suite while it lives (destroying a window costs Wine
// about two seconds without a window manager); a test that ends it makes the
// next test create a new one.
class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    progressState.statusText = L"Downloading\u2026";
    progressState.progressPercent = 0;
    progressState.animationOffset = 0;
    progressState.errorMessage = nullptr;
    if (progressWindow && IsWindow(progressWindow)) {
      KillTimer(progressWindow, 1);
      if (progressState.currentDpi != GetDpiForSystem()) {
        progressState.currentDpi = GetDpiForSystem();
        CreateFonts();
      }
      return;
    }
    progressState.currentDpi = GetDpiForSystem();
    CreateFonts();
    CreateProgressWindow(GetModuleHandleW(nullptr), false);
    ASSERT_NE(progressWindow, nullptr);
    ShowWindow(progressWindow, SW_SHOWNORMAL);
    PumpFor(50);
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }
  static LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(progressWindow, message, wParam, lParam);
  }
};

TEST_F(ProgressWindowTest, CreationGeometryFollowsTheSystemDpi) {
  const unsigned dpi = GetDpiForSystem();
  RECT rect;
  GetWindowRect(progressWindow, &rect);
  const int width = MulDiv(520, dpi, 96);
  const int height = MulDiv(316, dpi, 96);
  EXPECT_EQ(rect.right - rect.left, width);
  EXPECT_EQ(rect.bottom - rect.top, height);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
  if (dpi == 96 && GetSystemMetrics(SM_CXSCREEN) == 1920 && GetSystemMetrics(SM_CYSCREEN) == 1080) {
    EXPECT_EQ(rect.left, 700);
    EXPECT_EQ(rect.top, 382);
  }
  if (dpi == 144) {
    EXPECT_EQ(width, 780);
    EXPECT_EQ(height, 474);
  }
  wchar_t className[64];
  GetClassNameW(progressWindow, className, 64);
  EXPECT_EQ(std::wstring(className), L"NimbrelSetup");
  wchar_t title[64];
  GetWindowTextW(progressWindow, title, 64);
  EXPECT_EQ(std::wstring(title), L"Installing Nimbrel Desktop");
  const LONG style = GetWindowLongW(progressWindow, GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CAPTION | WS_THICKFRAME),
            WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX);
  EXPECT_EQ(GetWindowLongW(progressWindow, GWL_EXSTYLE) & WS_EX_APPWINDOW, WS_EX_APPWINDOW);
  EXPECT_EQ(GetClassLongW(progressWindow, GCL_STYLE), static_cast<DWORD>(CS_DROPSHADOW));
  EXPECT_EQ(GetClassLongPtrW(progressWindow, GCLP_HBRBACKGROUND), 0);
}

TEST_F(ProgressWindowTest, NegativePercentAnimatesUntilADeterminateOne) {
  Send(WM_SETUP_PROGRESS, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(L"Installing\u2026"));
  EXPECT_EQ(progressState.progressPercent, -1);
  EXPECT_EQ(std::wstring(progressState.statusText), L"Installing\u2026");
  PumpFor(300);
  const int step = ScaleByDpi(5);
  const int offset = progressState.animationOffset;
  EXPECT_GT(offset, 0) << "the 16 ms timer never ticked";
  EXPECT_EQ(offset % step, 0);

  Send(WM_SETUP_PROGRESS, 100, reinterpret_cast<LPARAM>(L"Starting\u2026"));
  EXPECT_EQ(progressState.progressPercent, 100);
  const int stopped = progressState.animationOffset;
  PumpFor(200);
  EXPECT_EQ(progressState.animationOffset, stopped) << "the timer still runs";
  EXPECT_FALSE(KillTimer(progressWindow, 1)) << "timer 1 was left running";

  // A new animated phase continues from where the last one stopped.
  Send(WM_SETUP_PROGRESS, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(L"Installing\u2026"));
  PumpFor(100);
  EXPECT_GE(progressState.animationOffset, stopped);
}

TEST_F(ProgressWindowTest, PercentIsTheSignedLow32BitsStoredUnclamped) {
  const WPARAM minusOneWithHighBits = static_cast<WPARAM>(0x12345678FFFFFFFFull);
  Send(WM_SETUP_PROGRESS, minusOneWithHighBits, reinterpret_cast<LPARAM>(L"x"));
  EXPECT_EQ(progressState.progressPercent, -1);
  Send(WM_SETUP_PROGRESS, 250, reinterpret_cast<LPARAM>(L"x"));
  EXPECT_EQ(progressState.progressPercent, 250);
  Send(WM_SETUP_PROGRESS, static_cast<WPARAM>(0xABCD000000000007ull), reinterpret_cast<LPARAM>(L"x"));
  EXPECT_EQ(progressState.progressPercent, 7);
}

TEST_F(ProgressWindowTest, TimerStepFollowsTheDpi) {
  struct StepCase {
    unsigned dpi;
    int step;
  } cases[] = {{96, 5}, {120, 6}, {144, 8}, {192, 10}};
  for (const StepCase& c : cases) {
    progressState.currentDpi = c.dpi;
    progressState.animationOffset = 1000;
    // Any timer id advances the animation.
    Send(WM_TIMER, 7, 0);
    EXPECT_EQ(progressState.animationOffset, 1000 + c.step) << c.dpi;
  }
}

TEST_F(ProgressWindowTest, AnimationOffsetNeverOverflows) {
  RECT client;
  GetClientRect(progressWindow, &client);
  const int tw = client.right - 2 * ScaleByDpi(28);
  const int period = tw + tw / 4;
  progressState.animationOffset = 2147483647 - 2;
  const long long place = (static_cast<long long>(progressState.animationOffset) + ScaleByDpi(5)) % period;
  Send(WM_TIMER, 1, 0);
  EXPECT_GE(progressState.animationOffset, 0);
  EXPECT_EQ(progressState.animationOffset % period, place);
}

TEST_F(ProgressWindowTest, CloseIsSwallowed) {
  EXPECT_EQ(Send(WM_CLOSE, 0, 0), 0);
  PumpFor(50);
  EXPECT_TRUE(IsWindow(progressWindow));
  // The system menu's Close arrives as WM_CLOSE too.
  Send(WM_SYSCOMMAND, SC_CLOSE, 0);
  PumpFor(50);
  EXPECT_TRUE(IsWindow(progressWindow));
}

TEST_F(ProgressWindowTest, ClientAreaHitsAsCaption) {
  RECT rect;
  GetWindowRect(progressWindow, &rect);
  const LPARAM inside = MAKELPARAM(rect.left + 40, rect.top + 250);
  EXPECT_EQ(Send(WM_NCHITTEST, 0, inside), HTCAPTION);
  const LPARAM outside = MAKELPARAM(rect.right + 50, rect.bottom + 50);
  EXPECT_EQ(Send(WM_NCHITTEST, 0, outside), DefWindowProcW(progressWindow, WM_NCHITTEST, 0, outside));
  EXPECT_NE(Send(WM_NCHITTEST, 0, outside), HTCAPTION);
}

TEST_F(ProgressWindowTest, EraseIsAnsweredWithoutErasing) {
  EXPECT_EQ(Send(WM_ERASEBKGND, 0, 0), 1);
}

TEST_F(ProgressWindowTest, DpiChangeRemakesFontsAndTakesTheSuggestedRectangle) {
  const HFONT oldTitle = progressState.titleFont;
  const HFONT oldBody = progressState.bodyFont;
  RECT suggested = {100, 120, 100 + 780, 120 + 474};
  EXPECT_EQ(Send(WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested)), 0);
  EXPECT_EQ(progressState.currentDpi, 144u);
  EXPECT_NE(progressState.titleFont, nullptr);
  EXPECT_NE(progressState.bodyFont, nullptr);
  EXPECT_NE(progressState.titleFont, oldTitle);
  EXPECT_NE(progressState.bodyFont, oldBody);
  LOGFONTW font = {};
  GetObjectW(progressState.titleFont, sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -33);
  GetObjectW(progressState.bodyFont, sizeof font, &font);
  EXPECT_EQ(font.lfHeight, -21);
  RECT rect;
  GetWindowRect(progressWindow, &rect);
  EXPECT_EQ(rect.left, 100);
  EXPECT_EQ(rect.top, 120);
  EXPECT_EQ(rect.right, 880);
  EXPECT_EQ(rect.bottom, 594);
  DestroyWindow(progressWindow);  // the next test starts from a fresh window
}

TEST_F(ProgressWindowTest, DownloadStatusIsPaintedFromTheWindowsOwnCopy) {
  StoreProgressText(L"Downloading\u2026  1 of 9 MB");
  Send(WM_SETUP_PROGRESS, 11, reinterpret_cast<LPARAM>(progressText));
  ASSERT_NE(progressState.statusText, progressText);
  EXPECT_EQ(std::wstring(progressState.statusText), L"Downloading\u2026  1 of 9 MB");
  // The worker may rewrite its buffer at once; the shown text stays whole.
  StoreProgressText(L"Downloading\u2026  2 of 9 MB");
  EXPECT_EQ(std::wstring(progressState.statusText), L"Downloading\u2026  1 of 9 MB");
  Send(WM_SETUP_PROGRESS, 22, reinterpret_cast<LPARAM>(progressText));
  EXPECT_EQ(std::wstring(progressState.statusText), L"Downloading\u2026  2 of 9 MB");
  // Constant texts are kept by reference.
  static const wchar_t kInstalling[] = L"Installing\u2026";
  Send(WM_SETUP_PROGRESS, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(kInstalling));
  EXPECT_EQ(progressState.statusText, kInstalling);
}

TEST_F(ProgressWindowTest, BuildLabelIsHandedOverWhole) {
  wchar_t label[kBuildLabelCapacity];
  ReadBuildLabel(label);
  EXPECT_EQ(label[0], 0);
  StoreBuildLabel(L"Build 1.2.3");
  ReadBuildLabel(label);
  EXPECT_EQ(std::wstring(label), L"Build 1.2.3");
  StoreBuildLabel(L"");
}

TEST_F(ProgressWindowTest, DoneWithoutErrorDestroysAtOnceAndQuits) {
  EXPECT_EQ(Send(WM_SETUP_DONE, 0, 0), 0);
  EXPECT_FALSE(IsWindow(progressWindow));
  MSG message;
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 0u);
}

// Reads the error box from another thread, as a user would, and presses OK.
struct BoxReading {
  HWND owner;
  std::wstring caption;
  std::wstring text;
  bool iconError;
  bool found;
};

DWORD WINAPI ReadAndDismissBox(LPVOID parameter) {
  BoxReading* reading = static_cast<BoxReading*>(parameter);
  for (int attempt = 0; attempt < 500 && !reading->found; ++attempt) {
    Sleep(20);
    HWND box = FindWindowW(L"#32770", nullptr);
    if (!box || GetWindow(box, GW_OWNER) != reading->owner) continue;
    wchar_t text[256] = {};
    GetWindowTextW(box, text, 256);
    reading->caption = text;
    GetDlgItemTextW(box, 0xFFFF, text, 256);
    reading->text = text;
    reading->iconError = GetDlgItem(box, 20) != nullptr;  // the icon's static control
    reading->found = true;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  }
  return 0;
}

TEST_F(ProgressWindowTest, DoneWithErrorShowsTheBoxThenDestroys) {
  static const wchar_t kError[] = L"Nimbrel Desktop could not be installed (unpacking failed).";
  progressState.errorMessage = kError;
  BoxReading reading = {progressWindow, L"", L"", false, false};
  HANDLE reader = CreateThread(nullptr, 0, ReadAndDismissBox, &reading, 0, nullptr);
  Send(WM_SETUP_DONE, 0, 0);
  WaitForSingleObject(reader, 15000);
  CloseHandle(reader);
  ASSERT_TRUE(reading.found);
  EXPECT_EQ(reading.caption, L"Nimbrel Desktop");
  EXPECT_EQ(reading.text, kError);
  EXPECT_FALSE(IsWindow(progressWindow));
  progressState.errorMessage = nullptr;
}

TEST(ScaleByDpi, MatchesThePlatformMulDiv) {
  const int values[] = {0, 1, 4, 5, 9, 14, 22, 28, 200, 316, 520, -1, -9, -22, 2147483647, -2147483647};
  const int dpis[] = {72, 84, 96, 120, 144, 168, 192, 288, 0, -96};
  for (int value : values) {
    for (int dpi : dpis) {
      EXPECT_EQ(MulDivRounded(value, dpi, 96), MulDiv(value, dpi, 96)) << value << " " << dpi;
      EXPECT_EQ(MulDivRounded(value, 96, dpi), MulDiv(value, 96, dpi)) << value << " " << dpi;
    }
  }
  EXPECT_EQ(MulDivRounded(7, 1, 2), MulDiv(7, 1, 2));
  EXPECT_EQ(MulDivRounded(-7, 1, 2), MulDiv(-7, 1, 2));
  EXPECT_EQ(MulDivRounded(7, 1, -2), MulDiv(7, 1, -2));
}

}  // namespace
