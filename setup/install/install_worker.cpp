#include "install/install_worker.h"

#include <string.h>

#include "base/launch_context.h"
#include "base/product.h"
#include "base/progress_state.h"
#include "base/zero_filled.h"
#include "install/archive_shape.h"
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

// Reads the archive back through the handle that wrote it, which no other
// process can open while it is written and checked (tar opens the file by
// its path once the handle is closed). Two windows, because the check walks
// the central directory and the local headers side by side, each in order.
struct ReadBackWindow {
  uint64_t offset;
  uint32_t length;
  uint8_t bytes[64 * 1024];
};
ZERO_FILLED ReadBackWindow readBackWindows[2];

struct ArchiveReadBack {
  HANDLE file;
  int lastUsed;  // the other window is refilled on a miss
};

bool ReadFileAt(HANDLE file, uint64_t offset, uint8_t* buffer, uint32_t length,
                uint32_t* got) {
  *got = 0;
  while (*got < length) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + *got);
    at.OffsetHigh = static_cast<DWORD>((offset + *got) >> 32);
    DWORD read = 0;
    if (!ReadFile(file, buffer + *got, length - *got, &read, &at) || read == 0) break;
    *got += read;
  }
  return *got == length;
}

int ReadArchiveBack(void* context, uint64_t offset, uint8_t* buffer, uint32_t length) {
  ArchiveReadBack* back = static_cast<ArchiveReadBack*>(context);
  uint32_t got = 0;
  if (length > sizeof readBackWindows[0].bytes)
    return ReadFileAt(back->file, offset, buffer, length, &got);
  int use = -1;
  for (int i = 0; i < 2; ++i) {
    const ReadBackWindow& window = readBackWindows[i];
    if (offset >= window.offset && offset - window.offset <= window.length &&
        window.length - (offset - window.offset) >= length)
      use = i;
  }
  if (use < 0) {
    use = 1 - back->lastUsed;
    ReadBackWindow& window = readBackWindows[use];
    // A short read at the end of the file still fills what is there.
    ReadFileAt(back->file, offset, window.bytes, sizeof window.bytes, &got);
    window.offset = offset;
    window.length = got;
    if (got < length) return 0;
  }
  back->lastUsed = use;
  memcpy(buffer, readBackWindows[use].bytes + (offset - readBackWindows[use].offset), length);
  return 1;
}

// Downloads the archive into archivePath and judges what came in, before
// anything on the system changes. kArchiveNotWhole also stands for a failed
// transfer and for an empty body (tar would take the empty file, and an
// installation already there would pass for the new one).
ArchiveShape DownloadArchive(const wchar_t* archivePath) {
  ArchiveSinkState state;
  state.file = CreateFileW(archivePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  state.lastPercent = -1;
  if (state.file == INVALID_HANDLE_VALUE) return kArchiveNotWhole;
#ifdef NIMBREL_ARCHIVE_KEYS
  StartSignatureCheck(&state.signature);  // one that cannot start refuses the first chunk
#endif
  ArchiveShape shape = kArchiveNotWhole;
  LARGE_INTEGER size = {};
  if (HttpDownload(NIMBREL_ARCHIVE_URL, ArchiveSink, &state, kArchiveDownloadTimeoutMs) &&
#ifdef NIMBREL_ARCHIVE_KEYS
      // The publisher's signature first: an archive it does not cover is
      // refused like a failed download, and its shape is never looked at.
      FinishSignatureCheck(&state.signature) &&
#endif
      GetFileSizeEx(state.file, &size) && size.QuadPart > 0) {
    ArchiveReadBack back = {state.file, 0};
    readBackWindows[0].length = readBackWindows[1].length = 0;  // from an earlier archive
    shape = CheckArchiveShape(ReadArchiveBack, &back, static_cast<uint64_t>(size.QuadPart));
  }
#ifdef NIMBREL_ARCHIVE_KEYS
  EndSignatureCheck(&state.signature);  // after a failed transfer, which never reached the verdict
#endif
  CloseHandle(state.file);
  return shape;
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
  // tar must never wait for a person: its standard handles are the NUL
  // device, so that a passphrase prompt reads nothing and fails at once. That
  // handle is the only one it inherits.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inheritable, OPEN_EXISTING, 0, nullptr);
  alignas(8) uint8_t attributeBuffer[256];
  LPPROC_THREAD_ATTRIBUTE_LIST attributes =
      reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer);
  SIZE_T attributeSize = sizeof attributeBuffer;
  const bool listed =
      nul != INVALID_HANDLE_VALUE &&
      InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize);
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nul;
  startup.StartupInfo.hStdOutput = nul;
  startup.StartupInfo.hStdError = nul;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION tar = {};
  const bool started =
      listed &&
      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &nul,
                                sizeof nul, nullptr, nullptr) &&
      CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                     &startup.StartupInfo, &tar);
  DWORD exitCode = 1;  // an unreadable exit code counts as failure
  if (started) {
    WaitForSingleObject(tar.hProcess, INFINITE);
    GetExitCodeProcess(tar.hProcess, &exitCode);
    CloseHandle(tar.hThread);
    CloseHandle(tar.hProcess);
  }
  if (listed) DeleteProcThreadAttributeList(attributes);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  DeleteFileW(archivePath);
  return started && exitCode == 0;
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
#ifdef NIMBREL_ARCHIVE_KEYS
  if (!HashArchiveChunk(&state->signature, data, length)) return 0;
#endif
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

  // An archive that cannot install is refused while the previous
  // installation and its running copies are as they were.
  const ArchiveShape shape = DownloadArchive(archivePath);
  if (shape != kArchiveReady) {
    DeleteFileW(archivePath);
    return Finish(shape == kArchiveNotWhole ? kDownloadFailure : kUnpackingFailure);
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
