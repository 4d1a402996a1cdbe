// Paint benchmark of the progress window: figures, never a pass or a fail.
//
//   paint-bench.exe [--frames N] [--cpu-seconds S]
//
// 1. N paints of the sliding segment with the setup's banner, each forced
//    through WM_PAINT (RedrawWindow with RDW_INVALIDATE | RDW_UPDATENOW) and
//    timed with QueryPerformanceCounter: mean, median, 99th percentile and
//    maximum, beside the 16 ms frame budget of the animation timer; then the
//    same without the banner, for comparison.
// 2. S seconds of the real animation (WM_SETUP_PROGRESS with -1 starts the
//    16 ms timer; a message loop serves it): the ticks served and the CPU
//    time (user + kernel) the process used, as a share of one core.
//
// tools/bench-paint.sh and tools/bench.sh run it under Wine + Xvfb at 96 and
// 144 DPI.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "base/dpi_scale.h"
#include "base/progress_state.h"
#include "display/banner.h"
#include "display/progress_layout.h"
#include "display/progress_paint.h"
#include "shell/progress_window.h"

namespace {

const double kFrameBudgetMs = 16.0;

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

double Seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

void TimePaints(HWND window, int frames, const char* what) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  RECT client = {};
  GetClientRect(window, &client);
  const int step = ScaleByDpi(kAnimationStep);
  const int period = SlidingPeriodForClient(client.right, progressState.currentDpi);
  progressState.progressPercent = -1;

  const int warmUp = 50;
  std::vector<double> ms;
  ms.reserve(frames);
  for (int i = 0; i < warmUp + frames; ++i) {
    progressState.animationOffset =
        AdvanceAnimationOffset(progressState.animationOffset, step, period);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    QueryPerformanceCounter(&end);
    if (i >= warmUp) {
      ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                   static_cast<double>(frequency.QuadPart));
    }
    Pump();
  }
  double sum = 0;
  for (double value : ms) sum += value;
  std::sort(ms.begin(), ms.end());
  const double mean = sum / ms.size();
  const double median = ms[ms.size() / 2];
  const double p99 = ms[(ms.size() * 99) / 100];
  printf("paint (WM_PAINT via RedrawWindow), %d frames of the sliding segment, %s:\n", frames,
         what);
  printf("  mean %.3f ms   median %.3f ms   99th percentile %.3f ms   max %.3f ms\n", mean,
         median, p99, ms.back());
  printf("  frame budget %.0f ms: mean uses %.1f %%, 99th percentile %.1f %%\n", kFrameBudgetMs,
         100.0 * mean / kFrameBudgetMs, 100.0 * p99 / kFrameBudgetMs);
}

void MeasureAnimation(HWND window, double seconds) {
  const int step = ScaleByDpi(kAnimationStep);
  const int startOffset = progressState.animationOffset;
  long long ticks = 0;
  int lastOffset = startOffset;

  const double cpuBefore = ProcessCpuSeconds();
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG end = start + static_cast<ULONGLONG>(seconds * 1000);
  PostMessageW(window, WM_SETUP_PROGRESS, static_cast<WPARAM>(-1),
               reinterpret_cast<LPARAM>(L"Installing\u2026"));
  for (ULONGLONG now = start; now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    // The offset folds back by whole periods; count the steps it took.
    const int offset = progressState.animationOffset;
    if (offset != lastOffset) {
      const long long moved = static_cast<long long>(offset) - lastOffset;
      ticks += moved > 0 ? moved / step : 1;
      lastOffset = offset;
    }
  }
  const double wall = static_cast<double>(GetTickCount64() - start) / 1000.0;
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  PostMessageW(window, WM_SETUP_PROGRESS, 100, reinterpret_cast<LPARAM>(L"Starting\u2026"));
  Pump();
  printf("animation with the real 16 ms timer for %.1f s:\n", wall);
  printf("  %lld ticks (%.1f per second; the timer asks for %.1f)\n", ticks, ticks / wall,
         1000.0 / kAnimationIntervalMs);
  printf("  process CPU %.3f s (user + kernel) = %.1f %% of one core, %.3f ms per tick\n", cpu,
         100.0 * cpu / wall, ticks ? 1000.0 * cpu / ticks : 0.0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int frames = 2000;
  double cpuSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!wcscmp(argv[i], L"--frames")) frames = _wtoi(argv[i + 1]);
    if (!wcscmp(argv[i], L"--cpu-seconds")) cpuSeconds = _wtof(argv[i + 1]);
  }
  if (frames < 100) frames = 100;

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  LoadBanner(GetModuleHandleW(nullptr));
  progressState.currentDpi = GetDpiForSystem();
  CreateFonts();
  progressState.statusText = L"Installing\u2026";
  StoreBuildLabel(L"Build 1.2.3");
  CreateProgressWindow(GetModuleHandleW(nullptr), false);
  if (!progressWindow) {
    printf("the progress window could not be created\n");
    return 1;
  }
  ShowWindow(progressWindow, SW_SHOWNOACTIVATE);
  UpdateWindow(progressWindow);
  Pump();

  RECT client = {};
  GetClientRect(progressWindow, &client);
  printf("system DPI %u, client %ldx%ld, banner %dx%d%s\n", progressState.currentDpi, client.right,
         client.bottom, progressState.bannerWidth, progressState.bannerHeight,
         progressState.bannerBitmap ? "" : " (none)");
  fflush(stdout);
  TimePaints(progressWindow, frames, "with the banner");
  fflush(stdout);
  // The same without the banner's stretch, to show what the stretch costs.
  const HBITMAP banner = progressState.bannerBitmap;
  const int bannerWidth = progressState.bannerWidth, bannerHeight = progressState.bannerHeight;
  progressState.bannerBitmap = nullptr;
  progressState.bannerWidth = progressState.bannerHeight = 0;
  TimePaints(progressWindow, frames, "without the banner (for comparison)");
  progressState.bannerBitmap = banner;
  progressState.bannerWidth = bannerWidth;
  progressState.bannerHeight = bannerHeight;
  fflush(stdout);
  MeasureAnimation(progressWindow, cpuSeconds);
  fflush(stdout);
  // Ends without hiding or destroying the window; the process takes it along.
  return 0;
}
