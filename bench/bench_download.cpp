// Times HttpDownload, in one of two ways:
//
//   bench-download.exe URL                  into a sink that only counts
//   bench-download.exe --archive FILE URL   the way the setup downloads: the
//       progress window is up and served by the main thread while a worker
//       streams the body through ArchiveSink into FILE (deleted at the end)
//   bench-download.exe --hash MB            (with archive keys only) MB
//       megabytes in 64 KiB chunks through the signature check's hash, in
//       memory: what the check costs apart from the transfer
//
// Each prints "bytes=N seconds=S result=R" on one line (in the archive way,
// N is the size of the file written). Built with archive keys
// (NIMBREL_ARCHIVE_KEY), the archive way also checks the signature as the
// setup does, hashing while the body streams in, and adds "signed=0|1".
// tools/bench-download.sh and tools/bench.sh run it beside other clients;
// tools/bench.sh also samples the archive way's memory from outside
// (memory-peak.exe) and sets a keyed build beside the plain one.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

#include "base/progress_state.h"
#include "display/banner.h"
#include "display/progress_paint.h"
#include "install/install_worker.h"
#include "net/http_download.h"
#include "shell/progress_window.h"

namespace {

int CountingSink(void* context, const uint8_t*, uint32_t length, uint64_t, uint64_t) {
  *static_cast<uint64_t*>(context) += length;
  return 1;
}

struct ArchiveJob {
  const wchar_t* url;
  const wchar_t* path;
  int result;
  uint64_t bytes;
  int signedByAKey;  // -1 without archive keys
};

// The worker's part, as in the install worker: open, stream (and with keys
// check the signature), close.
DWORD WINAPI DownloadToArchive(LPVOID context) {
  ArchiveJob* job = static_cast<ArchiveJob*>(context);
  ArchiveSinkState state;
  state.file = CreateFileW(job->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  state.lastPercent = -1;
  if (state.file == INVALID_HANDLE_VALUE) return 0;
#ifdef NIMBREL_ARCHIVE_KEYS
  StartSignatureCheck(&state.signature);
#endif
  job->result = HttpDownload(job->url, ArchiveSink, &state, 30000);
#ifdef NIMBREL_ARCHIVE_KEYS
  job->signedByAKey = job->result && FinishSignatureCheck(&state.signature);
  EndSignatureCheck(&state.signature);
#endif
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(state.file, &size)) job->bytes = static_cast<uint64_t>(size.QuadPart);
  CloseHandle(state.file);
  return 0;
}

// Shows the progress window as the setup does, runs the worker and serves the
// window until the worker ends; false when the window or the thread failed.
bool DownloadLikeTheSetup(ArchiveJob* job) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  LoadBanner(GetModuleHandleW(nullptr));
  progressState.currentDpi = GetDpiForSystem();
  CreateFonts();
  progressState.statusText = L"Downloading\u2026";
  CreateProgressWindow(GetModuleHandleW(nullptr), false);
  if (!progressWindow) return false;
  ShowWindow(progressWindow, SW_SHOWNOACTIVATE);
  HANDLE worker = CreateThread(nullptr, 0, DownloadToArchive, job, 0, nullptr);
  if (!worker) return false;
  while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  CloseHandle(worker);
  DeleteFileW(job->path);
  return true;
}

#ifdef NIMBREL_ARCHIVE_KEYS
// Hashes `megabytes` of one pseudo-random chunk as the sink would; true when
// every chunk went in.
bool HashInMemory(uint64_t megabytes, uint64_t* bytes) {
  static uint8_t chunk[kDownloadChunkSize];
  uint32_t seed = 1;
  for (uint8_t& byte : chunk) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  ArchiveSignatureCheck check;
  if (!StartSignatureCheck(&check)) return false;
  bool hashed = true;
  for (uint64_t count = 0; hashed && count < megabytes * 16; ++count) {
    hashed = HashArchiveChunk(&check, chunk, sizeof chunk) != 0;
    if (hashed) *bytes += sizeof chunk;
  }
  FinishSignatureCheck(&check);  // the block is missing: refused, handles released
  return hashed;
}
#endif

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool archive = argc == 4 && !wcscmp(argv[1], L"--archive");
  const bool hash = argc == 3 && !wcscmp(argv[1], L"--hash");
  if (argc != 2 && !archive && !hash) {
    fprintf(stderr, "usage: bench-download.exe [--archive FILE] URL | --hash MB\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  uint64_t bytes = 0;
  int result = 0;
  int signedByAKey = -1;
  QueryPerformanceCounter(&start);
  if (hash) {
#ifdef NIMBREL_ARCHIVE_KEYS
    result = HashInMemory(wcstoull(argv[2], nullptr, 10), &bytes);
#else
    fprintf(stderr, "--hash needs a build with archive keys (NIMBREL_ARCHIVE_KEY)\n");
    return 2;
#endif
  } else if (archive) {
    ArchiveJob job = {argv[3], argv[2], 0, 0, -1};
    if (DownloadLikeTheSetup(&job)) {
      result = job.result;
      bytes = job.bytes;
    }
    signedByAKey = job.signedByAKey;
  } else {
    result = HttpDownload(argv[1], CountingSink, &bytes, 30000);
  }
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart);
  printf("bytes=%llu seconds=%.3f result=%d", static_cast<unsigned long long>(bytes), seconds,
         result);
  if (signedByAKey >= 0) printf(" signed=%d", signedByAKey);
  printf("\n");
  return result ? 0 : 1;
}
