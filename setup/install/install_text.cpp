#include "install/install_text.h"

#include "base/bounded_text.h"
#include "base/launch_context.h"
#include "base/product.h"

int ComputeDownloadPercent(uint64_t receivedSoFar, uint64_t contentLength) {
  if (contentLength == 0) return 0;
  return static_cast<int>(static_cast<uint32_t>((receivedSoFar * 100) / contentLength));
}

void FormatDownloadStatus(wchar_t* buffer, size_t capacity, bool updateMode,
                          uint64_t receivedSoFar, uint64_t contentLength) {
  FormatText(buffer, capacity, L"%s\u2026  %llu of %llu MB", updateMode ? L"Updating" : L"Downloading",
             static_cast<unsigned long long>(receivedSoFar / 1000000),
             static_cast<unsigned long long>(contentLength / 1000000));
}

bool BuildArchivePath(wchar_t* buffer, size_t capacity, const wchar_t* tempFolder) {
  static const wchar_t kArchiveName[] = NIMBREL_ARCHIVE_FILE;
  const size_t folderLength = TextLength(tempFolder);
  const size_t nameLength = sizeof kArchiveName / sizeof kArchiveName[0] - 1;
  if (folderLength == 0 || folderLength + nameLength + 1 > capacity) return false;
  FormatText(buffer, capacity, L"%s%s", tempFolder, kArchiveName);
  return true;
}

void FormatTarCommand(wchar_t* buffer, size_t capacity, const wchar_t* systemFolder,
                      const wchar_t* archivePath, const wchar_t* installDir) {
  FormatText(buffer, capacity, L"\"%s\\tar.exe\" -xf \"%s\" --strip-components=1 -C \"%s\"",
             systemFolder, archivePath, installDir);
}

void FormatLaunchCommand(wchar_t* buffer, size_t capacity, const SetupContext& context) {
  if (context.updateArgument) {
    FormatText(buffer, capacity, L"\"%s\" --updated %s", context.appExePath,
               context.updateArgument);
  } else if (context.spaceId[0] == 0) {
    FormatText(buffer, capacity, L"\"%s\" --updated", context.appExePath);
  } else if (context.spaceCode[0] == 0) {
    FormatText(buffer, capacity, L"\"%s\" --updated \"" NIMBREL_URL_SCHEME L"://open?space=%s\"",
               context.appExePath, context.spaceId);
  } else {
    FormatText(buffer, capacity, L"\"%s\" --updated \"" NIMBREL_URL_SCHEME L"://open?space=%s&code=%s\"",
               context.appExePath, context.spaceId, context.spaceCode);
  }
}

bool FormatShortcutPaths(const wchar_t* folder, wchar_t* earlierShortcut,
                         wchar_t* shortcut, size_t capacity) {
  static const wchar_t kEarlierName[] = L"\\" NIMBREL_EARLIER_SHORTCUT_FILE;
  static const wchar_t kName[] = L"\\" NIMBREL_SHORTCUT_FILE;
  const size_t folderLength = TextLength(folder);
  const size_t longerName = sizeof kName / sizeof kName[0] - 1;  // the longer of the two
  static_assert(sizeof kName > sizeof kEarlierName, "the new name is the longer one");
  if (folderLength + longerName >= capacity) {
    if (capacity > 0) {
      earlierShortcut[0] = 0;
      shortcut[0] = 0;
    }
    return false;
  }
  FormatText(earlierShortcut, capacity, L"%s%s", folder, kEarlierName);
  FormatText(shortcut, capacity, L"%s%s", folder, kName);
  return true;
}

bool AttributesShowAFile(uint32_t attributes) {
  // The values of INVALID_FILE_ATTRIBUTES and FILE_ATTRIBUTE_DIRECTORY.
  const uint32_t kInvalid = 0xFFFFFFFFu;
  const uint32_t kDirectory = 0x10u;
  return attributes != kInvalid && (attributes & kDirectory) == 0;
}
