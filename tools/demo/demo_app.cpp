// The demo's stand-in for Nimbrel Desktop, installed by the setup as
// nimbrel.exe. It shows a small window with the command line it was started
// with and its working folder, appends the same to
// %LOCALAPPDATA%\nimbrel-launches.txt (UTF-8, one line:
// pid TAB image TAB working folder TAB command line), and closes by itself
// after 10 seconds.
#include <windows.h>

#include <string>

namespace {

const UINT_PTR kCloseTimer = 1;
const UINT kCloseAfterMs = 10000;

std::wstring commandLine, workingFolder, imagePath;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                      nullptr);
  return out;
}

void Record() {
  wchar_t folder[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  std::wstring path = std::wstring(folder) + L"\\nimbrel-launches.txt";
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string line = std::to_string(GetCurrentProcessId()) + "\t" + Utf8(imagePath) + "\t" +
                     Utf8(workingFolder) + "\t" + Utf8(commandLine) + "\n";
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  HBRUSH background = CreateSolidBrush(RGB(0xF4, 0xF6, 0xFA));
  FillRect(dc, &client, background);
  DeleteObject(background);
  RECT band = {0, 0, client.right, 56};
  HBRUSH accent = CreateSolidBrush(RGB(0x2B, 0x59, 0xC3));
  FillRect(dc, &band, accent);
  DeleteObject(accent);

  SetBkMode(dc, TRANSPARENT);
  HFONT title = CreateFontW(-22, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY,
                            0, L"Tahoma");
  HFONT body = CreateFontW(-14, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY,
                           0, L"Tahoma");
  HGDIOBJ old = SelectObject(dc, title);
  SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
  RECT line = {20, 14, client.right - 20, 50};
  DrawTextW(dc, L"Nimbrel Desktop \u2014 demo application", -1, &line, DT_SINGLELINE | DT_LEFT);

  SelectObject(dc, body);
  SetTextColor(dc, RGB(0x20, 0x24, 0x30));
  const std::wstring text = L"Installed and started by the setup.\r\n\r\nStarted with:\r\n" +
                            commandLine + L"\r\n\r\nWorking folder:\r\n" + workingFolder +
                            L"\r\n\r\nThis window closes by itself after 10 seconds.";
  RECT rest = {20, 72, client.right - 20, client.bottom - 16};
  DrawTextW(dc, text.c_str(), -1, &rest, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  DeleteObject(title);
  DeleteObject(body);
  EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_TIMER:
      if (wParam == kCloseTimer) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  commandLine = GetCommandLineW();
  wchar_t buffer[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, buffer);
  workingFolder = buffer;
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  imagePath = buffer;
  Record();

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"NimbrelDemoApplication";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, L"NimbrelDemoApplication", L"Nimbrel Desktop (demo application)",
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                CW_USEDEFAULT, CW_USEDEFAULT, 640, 340, nullptr, nullptr, instance,
                                nullptr);
  if (!window) return 1;
  SetTimer(window, kCloseTimer, kCloseAfterMs, nullptr);
  ShowWindow(window, show);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
