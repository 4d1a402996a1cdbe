// Registration with the system: URL scheme, uninstall entry, shortcuts.
#pragma once

#include <windows.h>
#include <shlobj.h>

// Writes the registry entries and both shortcuts; best effort, silent.
void RegisterInstallation();

// Replaces "Nimbrel.lnk" by "Nimbrel Desktop.lnk" in a known folder; a folder
// whose path leaves no room for either name is left alone.
void PlaceShortcut(REFKNOWNFOLDERID folder);
