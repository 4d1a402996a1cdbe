#include "install/install_text.h"

#include "shell/bounded_text.h"
#include "shell/launch_context.h"

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
  static const wchar_t kArchiveName[] = L"nimbrel-runtime.zip";
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
    FormatText(buffer, capacity, L"\"%s\" --updated \"nimbrel://open?space=%s\"",
               context.appExePath, context.spaceId);
  } else {
    FormatText(buffer, capacity, L"\"%s\" --updated \"nimbrel://open?space=%s&code=%s\"",
               context.appExePath, context.spaceId, context.spaceCode);
  }
}
