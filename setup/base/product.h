// The product's names, identities and server, each written once. Platform-free.
//
// They are literals so that texts which carry a name (window titles, error
// messages, command lines) are joined at compile time and cost nothing at run
// time. Renaming the product or moving its server is an edit here alone.
#pragma once

// --- Names the user sees ---------------------------------------------------

#define NIMBREL_PRODUCT_NAME L"Nimbrel Desktop"  // title row, error box, shortcuts
#define NIMBREL_PUBLISHER L"Nimbrel"             // uninstall entry, HTTP user agent

// --- Files and folders -----------------------------------------------------

// Below %LOCALAPPDATA%: Programs\<folder>\<executable>.
#define NIMBREL_PROGRAMS_FOLDER L"Programs"
#define NIMBREL_INSTALL_FOLDER L"nimbrel"
#define NIMBREL_APP_EXE L"nimbrel.exe"
// The downloaded archive, in the temporary folder until it is unpacked.
#define NIMBREL_ARCHIVE_FILE L"nimbrel-runtime.zip"
// The shortcut in the Start menu and on the desktop, and the name that
// earlier releases gave it (deleted when the new one is placed).
#define NIMBREL_SHORTCUT_FILE NIMBREL_PRODUCT_NAME L".lnk"
#define NIMBREL_EARLIER_SHORTCUT_FILE L"Nimbrel.lnk"

// --- Identities in the system ----------------------------------------------

// The URL scheme that opens a space in the application.
#define NIMBREL_URL_SCHEME L"nimbrel"
#define NIMBREL_URL_SCHEME_KEY L"Software\\Classes\\" NIMBREL_URL_SCHEME
#define NIMBREL_URL_SCHEME_NAME L"URL:Nimbrel"
// The uninstall entry below HKEY_CURRENT_USER.
#define NIMBREL_UNINSTALL_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nimbrel"
// Groups the shortcuts with the application's own windows on the taskbar.
#define NIMBREL_APP_USER_MODEL_ID L"Nimbrel.app"
// The progress window's class.
#define NIMBREL_WINDOW_CLASS L"NimbrelSetup"

// --- The download server, fixed at build time (NIMBREL_SERVER) -------------

#ifndef NIMBREL_SERVER_ORIGIN
#define NIMBREL_SERVER_ORIGIN L"https://download.nimbrel.app"
#endif

#define NIMBREL_VERSION_URL NIMBREL_SERVER_ORIGIN L"/desktop/version.json"
#define NIMBREL_ARCHIVE_URL NIMBREL_SERVER_ORIGIN L"/desktop/nimbrel.zip"

// Time-outs of each step of a transfer (name resolution, connect, send,
// receive), in milliseconds. The
// archive is what the user waits for, so a slow server gets longer; the build
// label is decoration and gives up sooner.
enum {
  kArchiveDownloadTimeoutMs = 30000,
  kVersionQueryTimeoutMs = 10000,
};
