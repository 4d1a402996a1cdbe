// Waits for a top-level window of a class and prints what a user would see
// of it: title, window rectangle, visibility and client size.
//   window-probe.exe <class> <timeout ms>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const DWORD timeout = static_cast<DWORD>(_wtoi(argv[2]));
  const DWORD start = GetTickCount();
  HWND window = nullptr;
  while (!(window = FindWindowW(argv[1], nullptr)) || !IsWindowVisible(window)) {
    if (GetTickCount() - start > timeout) return 1;
    Sleep(50);
  }
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  RECT rect;
  GetWindowRect(window, &rect);
  RECT client;
  GetClientRect(window, &client);
  char utf8[1024];
  WideCharToMultiByte(CP_UTF8, 0, title, -1, utf8, sizeof utf8, nullptr, nullptr);
  printf("%s\t%ld\t%ld\t%ld\t%ld\t%d\t%ld\t%ld\n", utf8, rect.left, rect.top, rect.right,
         rect.bottom, IsWindowVisible(window) ? 1 : 0, client.right, client.bottom);
  return 0;
}
