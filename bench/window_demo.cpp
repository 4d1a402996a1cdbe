// Shows the real progress window with the setup's banner in a chosen state
// and keeps it on screen, for screenshots (tools/screenshot-window.sh).
//
//   window-demo.exe [--status TEXT] [--percent N] [--label TEXT] [--seconds S]
//
// Defaults: mid-download, "Downloading…  52 of 215 MB" at 24 % with the
// label "Build 1.2.3". A negative percent slides the segment with the real
// timer. It prints "shown" once the window has painted and ends after S
// seconds (default 60).
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <wchar.h>

#include "base/progress_state.h"
#include "display/banner.h"
#include "display/progress_paint.h"
#include "shell/progress_window.h"

int wmain(int argc, wchar_t** argv) {
  const wchar_t* status = L"Downloading\u2026  52 of 215 MB";
  int percent = 24;
  const wchar_t* label = L"Build 1.2.3";
  int seconds = 60;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!wcscmp(argv[i], L"--status")) status = argv[i + 1];
    if (!wcscmp(argv[i], L"--percent")) percent = _wtoi(argv[i + 1]);
    if (!wcscmp(argv[i], L"--label")) label = argv[i + 1];
    if (!wcscmp(argv[i], L"--seconds")) seconds = _wtoi(argv[i + 1]);
  }

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  LoadBanner(GetModuleHandleW(nullptr));
  progressState.currentDpi = GetDpiForSystem();
  CreateFonts();
  progressState.statusText = L"Downloading\u2026";
  CreateProgressWindow(GetModuleHandleW(nullptr), false);
  if (!progressWindow) return 1;
  StoreBuildLabel(label);
  // The window takes its state the way the install worker gives it.
  SendMessageW(progressWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(percent),
               reinterpret_cast<LPARAM>(status));
  ShowWindow(progressWindow, SW_SHOWNORMAL);
  UpdateWindow(progressWindow);
  printf("shown\n");
  fflush(stdout);

  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return 0;
}
