// A stand-in for the installed application, carried by the test archives as
// nimbrel.exe.
//
// Every start appends one line to %LOCALAPPDATA%\nimbrel-launches.txt (UTF-8):
//   <pid> TAB <own image path> TAB <current directory> TAB <command line> LF
// The command line is GetCommandLineW exactly as the process received it.
//
// It keeps running when its command line contains "--keep-running" or a file
// "keep-running" lies beside it; it then ends by itself after 120 s, or at
// once when a file "stop-running" appears beside it. Otherwise it ends at once.
// Exit code 0 when it ends at once; 3 when it kept running and then ended by
// itself, so that a copy stopped from outside (which shows the code it was
// given) can be told apart.
#include <windows.h>

#include <string>

namespace {

const DWORD kKeepRunningMs = 120 * 1000;

std::string Utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void AppendRecord(const std::string& line) {
  wchar_t folder[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  std::wstring path = std::wstring(folder) + L"\\nimbrel-launches.txt";
  // Several copies may start at once: retry while another one holds the file.
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(file);
      return;
    }
    Sleep(10);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const wchar_t* commandLine = GetCommandLineW();
  wchar_t image[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, image, MAX_PATH);
  wchar_t current[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, current);

  AppendRecord(std::to_string(GetCurrentProcessId()) + "\t" + Utf8(image) + "\t" + Utf8(current) +
               "\t" + Utf8(commandLine) + "\n");

  std::wstring folder = image;
  folder.erase(folder.find_last_of(L'\\') + 1);
  const bool keepRunning =
      wcsstr(commandLine, L"--keep-running") != nullptr || Exists(folder + L"keep-running");
  if (!keepRunning) return 0;
  const ULONGLONG deadline = GetTickCount64() + kKeepRunningMs;
  while (GetTickCount64() < deadline && !Exists(folder + L"stop-running")) Sleep(100);
  return 3;
}
