// Samples another program's private memory while it runs:
//
//   memory-peak.exe [--window CLASS --hold MS] PROGRAM [ARGS...]
//
// Starts PROGRAM (its output goes to ours) and reads its memory counters
// (GetProcessMemoryInfo) every 5 ms until it ends. With --window it ends the
// program MS milliseconds after a visible window of CLASS has appeared, for
// programs that never end by themselves. Prints one line:
//   peak_private=N peak_working_set=N samples=N exit=N
// The private figure is the commit charge, PagefileUsage (equal to
// PrivateUsage on Windows). Wine gives 0 in PrivateUsage and the current
// figure in PeakPagefileUsage, so the peak is found by sampling.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

namespace {

struct Peaks {
  SIZE_T privateBytes;
  SIZE_T workingSet;
  long samples;
};

void Sample(HANDLE process, Peaks* peaks) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters))
    return;
  ++peaks->samples;
  const SIZE_T privateBytes = counters.PrivateUsage > counters.PagefileUsage
                                  ? counters.PrivateUsage
                                  : counters.PagefileUsage;
  if (privateBytes > peaks->privateBytes) peaks->privateBytes = privateBytes;
  if (counters.PeakWorkingSetSize > peaks->workingSet)
    peaks->workingSet = counters.PeakWorkingSetSize;
}

bool HasVisibleWindow(DWORD processId, const wchar_t* windowClass) {
  HWND window = FindWindowW(windowClass, nullptr);
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  return window && owner == processId && IsWindowVisible(window);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* windowClass = nullptr;
  DWORD holdMs = 0;
  int first = 1;
  if (argc > 4 && !wcscmp(argv[1], L"--window") && !wcscmp(argv[3], L"--hold")) {
    windowClass = argv[2];
    holdMs = static_cast<DWORD>(_wtoi(argv[4]));
    first = 5;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: memory-peak.exe [--window CLASS --hold MS] PROGRAM [ARGS...]\n");
    return 2;
  }
  std::wstring commandLine;
  for (int i = first; i < argc; ++i) {
    if (i > first) commandLine += L' ';
    commandLine += L'"';
    commandLine += argv[i];
    commandLine += L'"';
  }
  // The child writes to our standard output and error.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  fflush(stdout);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    fprintf(stderr, "could not start the program (error %lu)\n", GetLastError());
    return 1;
  }
  Peaks peaks = {};
  ULONGLONG endAt = 0;  // set once the window has appeared
  const ULONGLONG giveUpAt = GetTickCount64() + 600000;  // a bounded wait in every case
  while (WaitForSingleObject(process.hProcess, 5) == WAIT_TIMEOUT) {
    Sample(process.hProcess, &peaks);
    const ULONGLONG now = GetTickCount64();
    if (windowClass && !endAt && HasVisibleWindow(process.dwProcessId, windowClass))
      endAt = now + holdMs;
    if ((endAt && now >= endAt) || now >= giveUpAt) {
      TerminateProcess(process.hProcess, 0);
      WaitForSingleObject(process.hProcess, 10000);
      break;
    }
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  printf("peak_private=%llu peak_working_set=%llu samples=%ld exit=%lu\n",
         static_cast<unsigned long long>(peaks.privateBytes),
         static_cast<unsigned long long>(peaks.workingSet), peaks.samples, exitCode);
  return windowClass && !endAt ? 1 : 0;
}
