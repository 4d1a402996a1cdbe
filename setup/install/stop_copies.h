// Stopping running copies of the application before it is replaced.
#pragma once

#include <windows.h>

// Terminates every process (but the setup's own) whose image lies inside
// `installDir`, waiting up to 10 s for each. Silent; best effort.
void StopRunningCopies(const wchar_t* installDir);
