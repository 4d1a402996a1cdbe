// Runs the real VersionProbe against the compiled-in server while the real
// progress window is up, and records what reaches the window:
//
//   label-probe.exe OUTPUT
//
// writes one JSON line: the build label afterwards, the number of WM_PAINT
// the window received after the probe started, the label as the last of
// those paints read it, and whether the probe thread ended. The window is
// shown and left to settle before the probe starts, so that every later
// paint comes from the probe's own repaint request.
#include <windows.h>
#include <stdio.h>

#include "display/progress_paint.h"
#include "net/version_probe.h"
#include "shell/progress_window.h"

namespace {

WNDPROC originalProc = nullptr;
int paintCount = 0;
wchar_t paintedLabel[kBuildLabelCapacity] = L"(no paint)";

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    ++paintCount;
    ReadBuildLabel(paintedLabel);
  }
  return CallWindowProcW(originalProc, window, message, wParam, lParam);
}

void Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Pumps until `handle` is signalled (or, without one, for the whole time).
bool PumpFor(DWORD milliseconds, HANDLE handle) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    Pump();
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    const DWORD wait = MsgWaitForMultipleObjects(handle ? 1 : 0, &handle, FALSE,
                                                 static_cast<DWORD>(end - now), QS_ALLINPUT);
    if (handle && wait == WAIT_OBJECT_0) {
      Pump();
      return true;
    }
  }
}

void WriteJsonText(FILE* out, const wchar_t* text) {
  fputc('"', out);
  for (; *text; ++text) {
    const unsigned unit = static_cast<unsigned>(*text);
    if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
      fputc(static_cast<int>(unit), out);
    } else {
      fprintf(out, "\\u%04x", unit);
    }
  }
  fputc('"', out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: label-probe.exe OUTPUT\n");
    return 2;
  }
  FILE* out = _wfopen(argv[1], L"wb");
  if (!out) return 2;

  // As the entry does it, less the banner and the install worker.
  progressState.currentDpi = GetDpiForSystem();
  CreateFonts();
  progressState.statusText = L"Downloading\u2026";
  CreateProgressWindow(GetModuleHandleW(nullptr), false);
  if (!progressWindow) return 3;
  originalProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      progressWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
  ShowWindow(progressWindow, SW_SHOWNOACTIVATE);
  UpdateWindow(progressWindow);
  PumpFor(800, nullptr);
  const int paintsBefore = paintCount;
  paintCount = 0;
  lstrcpyW(paintedLabel, L"(no paint)");

  HANDLE probe = CreateThread(nullptr, 0, VersionProbe, nullptr, 0, nullptr);
  if (!probe) return 4;
  // The probe's own time-out is 10 s; it ends well within 30.
  const bool ended = PumpFor(30000, probe);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeThread(probe, &exitCode);
  // Time for the repaint that the probe asked for to arrive, and for no other.
  PumpFor(800, nullptr);

  wchar_t label[kBuildLabelCapacity];
  ReadBuildLabel(label);
  fprintf(out, "{\"label\":");
  WriteJsonText(out, label);
  fprintf(out, ",\"paints\":%d,\"paintedLabel\":", paintCount);
  WriteJsonText(out, paintedLabel);
  fprintf(out, ",\"paintsBeforeProbe\":%d,\"probeEnded\":%s,\"probeExitCode\":%lu,"
          "\"visible\":%s}\n",
          paintsBefore, ended ? "true" : "false", exitCode,
          IsWindowVisible(progressWindow) ? "true" : "false");
  fclose(out);
  DestroyWindow(progressWindow);
  return 0;
}
