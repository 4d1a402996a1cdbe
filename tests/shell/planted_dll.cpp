// A library planted beside the setup under a system library's name. When any
// process loads it, it leaves a marker file named after itself.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  const wchar_t* name = path;
  for (DWORD i = 0; i < length; ++i) {
    if (path[i] == L'\\') name = path + i + 1;
  }
  wchar_t marker[MAX_PATH];
  CreateDirectoryW(L"C:\\planted-markers", nullptr);
  lstrcpyW(marker, L"C:\\planted-markers\\");
  lstrcatW(marker, name);
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
