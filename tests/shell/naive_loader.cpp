// Loads a library by bare name with the default search, which looks beside
// the executable first: the control that shows a planted library is found.
//   naive-loader.exe <name.dll>
#include <windows.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  HMODULE library = LoadLibraryW(argv[1]);
  if (!library) return 1;
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(library, path, MAX_PATH);
  wprintf(L"%ls\n", path);
  FreeLibrary(library);
  return 0;
}
