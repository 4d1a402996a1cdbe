// Texts and numbers of the install worker. Platform-free.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct SetupContext;

enum {
  // Three paths of MAX_PATH: the tar command names the system folder, the
  // archive and the install folder; the launch command reuses the buffer.
  kCommandLineCapacity = 780,
};

// Whole percent of the download: receivedSoFar × 100 / contentLength,
// truncated, as a signed 32-bit number; 0 when no length was announced.
int ComputeDownloadPercent(uint64_t receivedSoFar, uint64_t contentLength);

// "Downloading…  <received> of <total> MB" ("Updating…" in update mode) in
// decimal megabytes, truncated; cut to the buffer.
void FormatDownloadStatus(wchar_t* buffer, size_t capacity, bool updateMode,
                          uint64_t receivedSoFar, uint64_t contentLength);

// The temporary folder path followed by "nimbrel-runtime.zip". False when the
// folder is unknown (empty) or the whole path would not fit the buffer: an
// archive path is never cut.
bool BuildArchivePath(wchar_t* buffer, size_t capacity, const wchar_t* tempFolder);

// The tar command line that unpacks the archive into the install folder.
void FormatTarCommand(wchar_t* buffer, size_t capacity, const wchar_t* systemFolder,
                      const wchar_t* archivePath, const wchar_t* installDir);

// The command line that starts the installed application.
void FormatLaunchCommand(wchar_t* buffer, size_t capacity, const SetupContext& context);

// The two shortcut paths of a known folder: "<folder>\\Nimbrel.lnk" (the
// shortcut of earlier releases, to delete) and "<folder>\\Nimbrel Desktop.lnk",
// each into a buffer of `capacity` units. False, with both left empty, when
// either would not fit: a cut path can name a user's own file in that folder.
bool FormatShortcutPaths(const wchar_t* folder, wchar_t* earlierShortcut,
                         wchar_t* shortcut, size_t capacity);

// Whether the attributes that GetFileAttributesW gave for the application
// path show a file: not INVALID_FILE_ATTRIBUTES and not a directory.
bool AttributesShowAFile(uint32_t attributes);
