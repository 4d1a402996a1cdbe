// dialog_reader.exe [seconds]
//
// Waits up to `seconds` (default 60) for a message box with the caption
// "Nimbrel Desktop" (a dialog of class #32770 in this prefix), prints its text
// (the static control 0xFFFF) to stdout in UTF-8, presses its OK button (id 1)
// and waits until the box has gone.
//
// Exit codes: 0 when a box was read and closed, 1 when none appeared in time,
// 3 when the box did not close after OK, 4 when it has no OK button (id 1).
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

HWND found = nullptr;

BOOL CALLBACK FindBox(HWND window, LPARAM) {
  wchar_t className[64] = L"";
  wchar_t caption[128] = L"";
  GetClassNameW(window, className, 64);
  GetWindowTextW(window, caption, 128);
  if (wcscmp(className, L"#32770") == 0 && wcscmp(caption, L"Nimbrel Desktop") == 0 &&
      IsWindowVisible(window)) {
    found = window;
    return FALSE;
  }
  return TRUE;
}

void Print(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr,
                      nullptr);
  out += '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int seconds = argc > 1 ? _wtoi(argv[1]) : 60;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  while (!found) {
    EnumWindows(FindBox, 0);
    if (found) break;
    if (GetTickCount64() > deadline) return 1;
    Sleep(100);
  }
  // The box may still be filling its controls right after it appears.
  Sleep(200);
  wchar_t text[1024] = L"";
  GetDlgItemTextW(found, 0xFFFF, text, 1024);
  Print(text);

  HWND ok = GetDlgItem(found, IDOK);
  if (!ok) return 4;
  PostMessageW(found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  const ULONGLONG closeDeadline = GetTickCount64() + 10000;
  while (IsWindow(found)) {
    if (GetTickCount64() > closeDeadline) return 3;
    Sleep(50);
  }
  return 0;
}
