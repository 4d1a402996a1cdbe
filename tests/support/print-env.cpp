// print-env.exe NAME
// Writes the value of the environment variable NAME to standard output.
// Exit codes: 0 set and not empty, 3 missing or empty (GetEnvironmentVariableW
// gives 0; standard error tells which), 2 usage.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: print-env.exe NAME\n");
    return 2;
  }
  std::vector<wchar_t> value(32768);
  SetLastError(0);
  DWORD n = GetEnvironmentVariableW(argv[1], value.data(), static_cast<DWORD>(value.size()));
  if (n == 0) {
    fwprintf(stderr, L"%ls is %ls\n", argv[1], GetLastError() == ERROR_ENVVAR_NOT_FOUND ? L"missing" : L"empty");
    return 3;
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::vector<char> utf8(static_cast<size_t>(size));
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n), utf8.data(), size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  return 0;
}
