// The build label query: "Build <version>" on the title row.
#pragma once

#include <windows.h>

// Thread routine: fetches the version document and fills buildLabel once.
DWORD WINAPI VersionProbe(LPVOID unused);
