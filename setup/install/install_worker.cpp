#include "install/install_worker.h"

#include "base/launch_context.h"
#include "base/product.h"
#include "base/progress_state.h"
#include "install/install_text.h"
#include "install/registration.h"
#include "install/stop_copies.h"
#include "net/http_download.h"

namespace {

const wchar_t kDownloadFailure[] =
    NIMBREL_PRODUCT_NAME
    L" could not be downloaded. Check the internet connection and run the setup again.";
const wchar_t kUnpackingFailure[] =
    NIMBREL_PRODUCT_NAME L" could not be installed (unpacking failed).";

bool UpdateMode() { return setupContext.updateArgument != nullptr; }

void PostProgress(int percent, const wchar_t* text) {
  PostMessageW(progressWindow, WM_SETUP_PROGRESS, static_cast<WPARAM>(static_cast<unsigned>(percent)),
               reinterpret_cast<LPARAM>(text));
}

DWORD Finish(const wchar_t* error) {
  progressState.errorMessage = error;  // the post orders this before the window reads it
  PostMessageW(progressWindow, WM_SETUP_DONE, 0, 0);
  return 0;
}

// Downloads the archive into archivePath; true when it came in whole and is
// not empty.
bool DownloadArchive(const wchar_t* archivePath) {
  ArchiveSinkState state;
  state.file = CreateFileW(archivePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  state.lastPercent = -1;
  if (state.file == INVALID_HANDLE_VALUE) return false;
  bool downloaded =
      HttpDownload(NIMBREL_ARCHIVE_URL, ArchiveSink, &state, kArchiveDownloadTimeoutMs) != 0;
  // An empty body holds no archive. tar would take the empty file and succeed,
  // and an installation already there would then pass for the new one.
  LARGE_INTEGER size = {};
  if (downloaded && (!GetFileSizeEx(state.file, &size) || size.QuadPart == 0)) downloaded = false;
  CloseHandle(state.file);
  return downloaded;
}

// Runs tar over the archive; true when it ended with exit code 0. The archive
// is deleted on every path.
bool UnpackArchive(const wchar_t* archivePath, wchar_t* commandLine) {
  wchar_t systemFolder[kPathCapacity];
  const UINT length = GetSystemDirectoryW(systemFolder, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) {
    DeleteFileW(archivePath);
    return false;
  }
  FormatTarCommand(commandLine, kCommandLineCapacity, systemFolder, archivePath,
                   setupContext.installDir);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION tar = {};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &tar)) {
    DeleteFileW(archivePath);
    return false;
  }
  WaitForSingleObject(tar.hProcess, INFINITE);
  DWORD exitCode = 1;  // an unreadable exit code counts as failure
  GetExitCodeProcess(tar.hProcess, &exitCode);
  CloseHandle(tar.hThread);
  CloseHandle(tar.hProcess);
  DeleteFileW(archivePath);
  return exitCode == 0;
}

void StartApplication(wchar_t* commandLine) {
  FormatLaunchCommand(commandLine, kCommandLineCapacity, setupContext);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION application = {};
  if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                     setupContext.installDir, &startup, &application)) {
    CloseHandle(application.hThread);
    CloseHandle(application.hProcess);
  }
}

}  // namespace

int ArchiveSink(void* context, const uint8_t* data, uint32_t length, uint64_t receivedSoFar,
                uint64_t contentLength) {
  ArchiveSinkState* state = static_cast<ArchiveSinkState*>(context);
  DWORD written = 0;
  if (!WriteFile(state->file, data, length, &written, nullptr) || written != length) return 0;
  const int percent = ComputeDownloadPercent(receivedSoFar, contentLength);
  if (percent == state->lastPercent) return 1;
  state->lastPercent = percent;
  wchar_t status[kProgressTextCapacity];
  FormatDownloadStatus(status, kProgressTextCapacity, UpdateMode(), receivedSoFar, contentLength);
  StoreProgressText(status);
  PostProgress(percent, progressText);
  return 1;
}

DWORD WINAPI InstallWorker(LPVOID) {
  wchar_t tempFolder[kPathCapacity];
  wchar_t archivePath[kPathCapacity];
  const DWORD tempLength = GetTempPathW(kPathCapacity, tempFolder);
  if (tempLength == 0 || tempLength >= kPathCapacity ||
      !BuildArchivePath(archivePath, kPathCapacity, tempFolder))
    return Finish(kDownloadFailure);  // no archive path: nothing was created

  if (!DownloadArchive(archivePath)) {
    DeleteFileW(archivePath);
    return Finish(kDownloadFailure);
  }

  PostProgress(-1, UpdateMode() ? L"Updating\u2026" : L"Installing\u2026");
  StopRunningCopies(setupContext.installDir);
  CreateDirectoryW(setupContext.programsDir, nullptr);
  CreateDirectoryW(setupContext.installDir, nullptr);

  wchar_t commandLine[kCommandLineCapacity];
  if (!UnpackArchive(archivePath, commandLine) ||
      !AttributesShowAFile(GetFileAttributesW(setupContext.appExePath)))
    return Finish(kUnpackingFailure);

  RegisterInstallation();
  PostProgress(100, L"Starting\u2026");
  StartApplication(commandLine);
  Sleep(1500);
  return Finish(nullptr);
}
