// System libraries are taken from the system folder only.
//
// The setup is started from the Downloads folder, where anything may lie
// beside it. Only libraries that the loader always maps from the system
// folder are imported statically; the others (winhttp, dwmapi, and bcrypt
// when archive keys are built in) are loaded here, by name, from the system
// folder alone.
#pragma once

#include <windows.h>

// Restricts the search of every later library load of the process to the
// system folder. Called first thing by the entry.
void RestrictLibrarySearch();

// Loads a library from the system folder only; null when it is missing.
HMODULE LoadSystemLibrary(const wchar_t* name);

// A function of a loaded library, cast to its type; null when absent.
template <typename Function>
Function LoadSystemFunction(HMODULE library, const char* name) {
  if (!library) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}
