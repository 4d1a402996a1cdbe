// The setup's entry: launch context, then the window and the two workers.
#include <windows.h>
#include <objbase.h>

#include "base/launch_context.h"
#include "base/system_library.h"
#include "display/banner.h"
#include "display/progress_paint.h"
#include "install/install_worker.h"
#include "net/version_probe.h"
#include "shell/progress_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
  RestrictLibrarySearch();
  setupContext.updateArgument = ParseUpdateArgument(commandLine ? commandLine : L"");

  wchar_t localAppData[kPathCapacity];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, kPathCapacity);
  // 0: missing or empty. kPathCapacity or more: too long for any install
  // path, and the buffer was left unset; never install into a cut path.
  if (length == 0 || length >= kPathCapacity) return 1;
  // A value too long for any one of the install paths counts as missing too.
  if (!FormatInstallPaths(localAppData, &setupContext)) return 1;
  if (!setupContext.updateArgument) ParseSetupFileName();

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  LoadBanner(instance);
  progressState.currentDpi = GetDpiForSystem();
  CreateFonts();
  progressState.statusText = setupContext.updateArgument ? L"Updating\u2026" : L"Downloading\u2026";
  CreateProgressWindow(instance, setupContext.updateArgument != nullptr);
  if (!progressWindow) return 1;  // nothing could ever end the message loop
  ShowWindow(progressWindow, showCommand);

  HANDLE probe = CreateThread(nullptr, 0, VersionProbe, nullptr, 0, nullptr);
  if (probe) CloseHandle(probe);  // the probe is never waited for
  HANDLE worker = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
  if (!worker) {
    // Without the worker the window would never close.
    DestroyWindow(progressWindow);
    return 1;
  }
  CloseHandle(worker);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
