#include "install/stop_copies.h"

#include <tlhelp32.h>

#include "base/launch_context.h"
#include "install/install_dir_match.h"

namespace {

const DWORD kStopAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
// Long enough for a copy to let go of its files, short enough that one
// stuck copy cannot hold the setup for long.
const DWORD kStopWaitMs = 10000;

// True when the process's image path lies inside `installDir`.
bool IsInsideInstallDir(HANDLE process, const wchar_t* installDir) {
  wchar_t imagePath[kPathCapacity];
  DWORD size = kPathCapacity;
  if (!QueryFullProcessImageNameW(process, 0, imagePath, &size)) return false;
  return ImagePathIsInsideDir(imagePath, size, installDir);
}

}  // namespace

void StopRunningCopies(const wchar_t* installDir) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  const DWORD ownId = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ownId) continue;
    HANDLE process = OpenProcess(kStopAccess, FALSE, entry.th32ProcessID);
    if (!process) continue;
    if (IsInsideInstallDir(process, installDir)) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, kStopWaitMs);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}
