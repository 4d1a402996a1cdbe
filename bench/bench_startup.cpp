// Times how long a program takes from its start to its first painted frame:
// its window of the given class is visible and has no update region left,
// that is, the first WM_PAINT after the show has validated it.
//   bench-startup.exe <runs> <class> <program> [args...]
// Prints the median and the fastest time in milliseconds; every started
// process is ended after its first frame.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const int runs = _wtoi(argv[1]);
  const wchar_t* windowClass = argv[2];
  std::wstring commandLine;
  for (int i = 3; i < argc; ++i) {
    if (i > 3) commandLine += L' ';
    commandLine += L'"';
    commandLine += argv[i];
    commandLine += L'"';
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER begin, end;
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
      return 1;
    HWND window = nullptr;
    for (int poll = 0; poll < 200000; ++poll) {  // at most about 20 s
      window = FindWindowW(windowClass, nullptr);
      if (window && IsWindowVisible(window) && !GetUpdateRect(window, nullptr, FALSE)) break;
      window = nullptr;
      Sleep(0);
    }
    QueryPerformanceCounter(&end);
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!window) return 1;
    times.push_back(1000.0 * (end.QuadPart - begin.QuadPart) / frequency.QuadPart);
    Sleep(300);
  }
  std::sort(times.begin(), times.end());
  printf("%-24ls median %7.1f ms   fastest %7.1f ms   (%d runs)\n", windowClass,
         times[times.size() / 2], times[0], runs);
  return 0;
}
