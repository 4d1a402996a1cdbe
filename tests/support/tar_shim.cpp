// tar.exe for the test prefixes: C:\windows\system32\tar.exe.
//
// Wine has no tar of its own, and a Unix program that a Windows program starts
// cannot be waited on (no handle, no exit code). So this shim turns its Windows
// path arguments into Unix paths, writes the bsdtar argument list into a job
// folder, starts a Unix runner script on that folder and polls for the exit
// code that the runner writes there once bsdtar has finished.
//
// The runner is NIMBREL_TAR_RUNNER (a Unix or Windows path) when set, else
// "nimbrel-tar-runner.sh" beside this executable, so a prefix stays usable
// when its folder is copied or moved.
//
// Exit codes: bsdtar's, or 2 when the shim itself fails (no runner, a path
// that has no Unix name, no result in time).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kShimFailure = 2;
constexpr ULONGLONG kResultTimeoutMs = 10 * 60 * 1000;

using UnixNameFn = char*(CDECL*)(const WCHAR*);
using DosNameFn = WCHAR*(CDECL*)(const char*);

UnixNameFn unixNameOf = nullptr;
DosNameFn dosNameOf = nullptr;

void Fail(const wchar_t* what, const std::wstring& detail) {
  fwprintf(stderr, L"tar (nimbrel test shim): %ls%ls\n", what, detail.c_str());
}

bool ToUnix(const std::wstring& windowsPath, std::string* unixPath) {
  char* name = unixNameOf(windowsPath.c_str());
  if (!name) return false;
  *unixPath = name;
  HeapFree(GetProcessHeap(), 0, name);
  return true;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

bool IsWindowsAbsolute(const std::wstring& arg) {
  return arg.size() >= 3 && ((arg[0] >= L'A' && arg[0] <= L'Z') || (arg[0] >= L'a' && arg[0] <= L'z')) &&
         arg[1] == L':' && (arg[2] == L'\\' || arg[2] == L'/');
}

// "-f", "-C", "--file", "--directory" and short clusters ending in f or C
// ("-xf", "-cvf") take a path as the next argument.
bool TakesPathArgument(const std::wstring& arg) {
  if (arg == L"--file" || arg == L"--directory") return true;
  if (arg.size() < 2 || arg[0] != L'-' || arg[1] == L'-') return false;
  wchar_t last = arg.back();
  return last == L'f' || last == L'C';
}

bool ReadSmallFile(const std::wstring& path, std::string* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
  CloseHandle(file);
  return true;
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  CloseHandle(file);
  return ok;
}

void AppendToFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

void CopyToHandle(DWORD which, const std::string& bytes) {
  HANDLE handle = GetStdHandle(which);
  if (bytes.empty() || handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring WindowsDir() {
  wchar_t buffer[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  return (n > 0 && n < MAX_PATH) ? std::wstring(buffer, n) : std::wstring(L"C:\\windows");
}

std::wstring FindRunner() {
  wchar_t value[32768];
  DWORD n = GetEnvironmentVariableW(L"NIMBREL_TAR_RUNNER", value, 32768);
  if (n > 0 && n < 32768) {
    if (value[0] != L'/') return value;
    WCHAR* dos = dosNameOf(Utf8(value).c_str());
    if (!dos) return std::wstring();
    std::wstring runner = dos;
    HeapFree(GetProcessHeap(), 0, dos);
    return runner;
  }
  wchar_t self[MAX_PATH];
  n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  std::wstring runner(self, n);
  runner.erase(runner.find_last_of(L"\\/") + 1);
  return runner + L"nimbrel-tar-runner.sh";
}

struct JobFolder {
  std::wstring dir;
  ~JobFolder() {
    if (dir.empty()) return;
    for (const wchar_t* name : {L"args", L"out", L"err", L"rc", L"rc.tmp"})
      DeleteFileW((dir + L"\\" + name).c_str());
    RemoveDirectoryW(dir.c_str());
  }
};

// What tar would read a passphrase from: the setup must hand it nothing that
// waits for a person.
std::string DescribeStandardInput() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return "none";
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return "console";
  const DWORD type = GetFileType(input);
  if (type == FILE_TYPE_PIPE) return "pipe";
  if (type != FILE_TYPE_CHAR) return "file";
  char byte = 0;
  DWORD got = 1;
  return ReadFile(input, &byte, 1, &got, nullptr) && got == 0 ? "NUL device" : "character device";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  unixNameOf = reinterpret_cast<UnixNameFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "wine_get_unix_file_name")));
  dosNameOf = reinterpret_cast<DosNameFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "wine_get_dos_file_name")));
  if (!unixNameOf || !dosNameOf) {
    Fail(L"not running under Wine", L"");
    return kShimFailure;
  }

  // Job arguments: the Unix working folder first, then bsdtar's arguments.
  std::string jobArgs;
  wchar_t cwd[MAX_PATH];
  DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
  std::string unixCwd;
  if (cwdLength == 0 || cwdLength >= MAX_PATH || !ToUnix(cwd, &unixCwd)) unixCwd = "/";
  jobArgs += unixCwd;
  jobArgs += '\0';
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    bool pathArgument = i > 1 && TakesPathArgument(argv[i - 1]);
    std::string converted;
    if (pathArgument || IsWindowsAbsolute(arg)) {
      if (!ToUnix(arg, &converted)) {
        Fail(L"no Unix name for ", arg);
        return kShimFailure;
      }
    } else if (arg.rfind(L"--file=", 0) == 0 || arg.rfind(L"--directory=", 0) == 0) {
      size_t eq = arg.find(L'=');
      if (!ToUnix(arg.substr(eq + 1), &converted)) {
        Fail(L"no Unix name for ", arg);
        return kShimFailure;
      }
      converted = Utf8(arg.substr(0, eq + 1)) + converted;
    } else {
      converted = Utf8(arg);
    }
    jobArgs += converted;
    jobArgs += '\0';
  }

  std::wstring runner = FindRunner();
  if (runner.empty() || GetFileAttributesW(runner.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Fail(L"runner not found: ", runner);
    return kShimFailure;
  }

  JobFolder job;
  std::wstring temp = WindowsDir() + L"\\temp";
  wchar_t name[64];
  swprintf(name, 64, L"\\nimbrel-tar-%lu-%llu", GetCurrentProcessId(),
           static_cast<unsigned long long>(GetTickCount64()));
  if (!CreateDirectoryW((temp + name).c_str(), nullptr)) {
    Fail(L"cannot create the job folder ", temp + name);
    return kShimFailure;
  }
  job.dir = temp + name;
  std::string unixJob;
  if (!ToUnix(job.dir, &unixJob) || !WriteNewFile(job.dir + L"\\args", jobArgs)) {
    Fail(L"cannot write the job ", job.dir);
    return kShimFailure;
  }

  std::wstring commandLine = L"\"" + runner + L"\" \"" + Wide(unixJob) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(runner.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    wchar_t code[16];
    swprintf(code, 16, L" (error %lu)", GetLastError());
    Fail(L"cannot start the runner ", runner + code);
    return kShimFailure;
  }
  if (process.hThread) CloseHandle(process.hThread);
  if (process.hProcess) CloseHandle(process.hProcess);

  // Unix children cannot be waited on: poll for the runner's result file.
  std::wstring resultPath = job.dir + L"\\rc";
  ULONGLONG deadline = GetTickCount64() + kResultTimeoutMs;
  DWORD pause = 5;
  while (GetFileAttributesW(resultPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount64() > deadline) {
      Fail(L"no result from the runner in ", job.dir);
      return kShimFailure;
    }
    Sleep(pause);
    if (pause < 50) pause += 5;
  }
  std::string result, out, err;
  ReadSmallFile(resultPath, &result);
  ReadSmallFile(job.dir + L"\\out", &out);
  ReadSmallFile(job.dir + L"\\err", &err);
  CopyToHandle(STD_OUTPUT_HANDLE, out);
  CopyToHandle(STD_ERROR_HANDLE, err);

  int exitCode = kShimFailure;
  if (!result.empty() && result[0] >= '0' && result[0] <= '9') exitCode = atoi(result.c_str());

  // A record of every call, for the tests and for post-mortems.
  std::string record = "command line: " + Utf8(GetCommandLineW()) + "\nstdin: " +
                       DescribeStandardInput() + "\nbsdtar:";
  for (size_t start = jobArgs.find('\0') + 1; start < jobArgs.size();) {
    size_t end = jobArgs.find('\0', start);
    record += " [" + jobArgs.substr(start, end - start) + "]";
    start = end + 1;
  }
  record += "\nexit code: " + std::to_string(exitCode) + "\n";
  AppendToFile(temp + L"\\nimbrel-tar.log", record);
  return exitCode;
}
