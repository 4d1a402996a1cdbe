// launch-env.exe [--unset NAME]... [--set NAME=VALUE]... -- <program> [args...]
//
// Starts <program> with an explicit environment block: this process's own
// environment with the given variables removed or replaced. Wine fills in
// variables such as LOCALAPPDATA for every process it starts from Unix, even
// over an explicit empty value, so only a block handed to CreateProcessW can
// take them away. <program> may be a Windows path or a Unix path ("/...").
//
// Exit codes: the program's, 124 when it has not ended after 10 minutes (it is
// then terminated), 2 for a usage error or a program that cannot be started.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kLaunchFailure = 2;
constexpr DWORD kWaitMs = 10 * 60 * 1000;

std::wstring NameOf(const std::wstring& entry) {
  // "=C:=C:\dir" style entries keep their leading '=' in the name.
  size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

void AppendQuoted(std::wstring* commandLine, const std::wstring& arg) {
  if (!commandLine->empty()) *commandLine += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *commandLine += arg;
    return;
  }
  *commandLine += L'"';
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      commandLine->append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      commandLine->append(backslashes * 2 + 1, L'\\');
    } else {
      commandLine->append(backslashes, L'\\');
    }
    *commandLine += arg[i];
  }
  *commandLine += L'"';
}

std::wstring WindowsPathOf(const std::wstring& program) {
  if (program.empty() || program[0] != L'/') return program;
  using DosNameFn = WCHAR*(CDECL*)(const char*);
  auto dosNameOf = reinterpret_cast<DosNameFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (!dosNameOf) return program;
  int size = WideCharToMultiByte(CP_UTF8, 0, program.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string unixPath(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, program.c_str(), -1, &unixPath[0], size, nullptr, nullptr);
  WCHAR* dos = dosNameOf(unixPath.c_str());
  if (!dos) return program;
  std::wstring result = dos;
  HeapFree(GetProcessHeap(), 0, dos);
  return result;
}

int Usage() {
  fwprintf(stderr,
           L"usage: launch-env.exe [--unset NAME]... [--set NAME=VALUE]... -- <program> [args...]\n");
  return kLaunchFailure;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> environment;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) environment.emplace_back(entry);
    FreeEnvironmentStringsW(block);
  }
  auto remove = [&environment](const std::wstring& name) {
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [&name](const std::wstring& entry) { return SameName(NameOf(entry), name); }),
                      environment.end());
  };

  int i = 1;
  for (; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return Usage();
    std::wstring value = argv[++i];
    if (arg == L"--unset") {
      remove(value);
    } else if (arg == L"--set") {
      size_t eq = value.find(L'=', 1);
      if (eq == std::wstring::npos) return Usage();
      remove(value.substr(0, eq));
      environment.push_back(value);
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();

  // The block is kept sorted by name, as Windows keeps its own.
  std::sort(environment.begin(), environment.end(), [](const std::wstring& a, const std::wstring& b) {
    std::wstring na = NameOf(a), nb = NameOf(b);
    return CompareStringOrdinal(na.c_str(), static_cast<int>(na.size()), nb.c_str(),
                                static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::wstring& entry : environment) {
    block += entry;
    block += L'\0';
  }
  if (environment.empty()) block += L'\0';
  block += L'\0';

  std::wstring program = WindowsPathOf(argv[i]);
  std::wstring commandLine;
  AppendQuoted(&commandLine, program);
  for (int k = i + 1; k < argc; ++k) AppendQuoted(&commandLine, argv[k]);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, &block[0], nullptr, &startup, &process)) {
    fwprintf(stderr, L"launch-env: cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
    return kLaunchFailure;
  }
  CloseHandle(process.hThread);
  DWORD exitCode = kLaunchFailure;
  if (WaitForSingleObject(process.hProcess, kWaitMs) != WAIT_OBJECT_0) {
    fwprintf(stderr, L"launch-env: %ls still running after %lu ms, terminated\n", program.c_str(), kWaitMs);
    TerminateProcess(process.hProcess, 124);
    WaitForSingleObject(process.hProcess, 5000);
    exitCode = 124;
  } else {
    GetExitCodeProcess(process.hProcess, &exitCode);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
