// Registration with the system: URL scheme, uninstall entry, shortcuts.
#pragma once

// Writes the URL scheme, the uninstall entry and the shortcuts in the Start
// menu and on the desktop (replacing those of earlier releases); best effort,
// silent.
void RegisterInstallation();
