// Registration with the system: URL scheme, uninstall entry, shortcuts.
#pragma once

#include <windows.h>
#include <shlobj.h>

// Writes the registry entries and both shortcuts; best effort, silent.
void RegisterInstallation();

// Replaces "Nimbrel.lnk" by "Nimbrel Desktop.lnk" in a known folder.
void PlaceShortcut(REFKNOWNFOLDERID folder);
