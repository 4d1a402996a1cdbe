// Times HttpDownload, in one of two ways:
//
//   bench-download.exe URL                  into a sink that only counts
//   bench-download.exe --archive FILE URL   the way the setup downloads: the
//       progress window is up and served by the main thread while a worker
//       streams the body through ArchiveSink into FILE (deleted at the end)
//
// Each prints "bytes=N seconds=S result=R" on one line (in the archive way,
// N is the size of the file written). tools/bench-download.sh and
// tools/bench.sh run it beside other clients; tools/bench.sh also samples
// the archive way's memory from outside (memory-peak.exe).
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <stdint.h>
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
};

// The worker's part, as in the install worker: open, stream, close.
DWORD WINAPI DownloadToArchive(LPVOID context) {
  ArchiveJob* job = static_cast<ArchiveJob*>(context);
  ArchiveSinkState state;
  state.file = CreateFileW(job->path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  state.lastPercent = -1;
  if (state.file == INVALID_HANDLE_VALUE) return 0;
  job->result = HttpDownload(job->url, ArchiveSink, &state, 30000);
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool archive = argc == 4 && !wcscmp(argv[1], L"--archive");
  if (argc != 2 && !archive) {
    fprintf(stderr, "usage: bench-download.exe [--archive FILE] URL\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  uint64_t bytes = 0;
  int result = 0;
  QueryPerformanceCounter(&start);
  if (archive) {
    ArchiveJob job = {argv[3], argv[2], 0, 0};
    if (DownloadLikeTheSetup(&job)) {
      result = job.result;
      bytes = job.bytes;
    }
  } else {
    result = HttpDownload(argv[1], CountingSink, &bytes, 30000);
  }
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart);
  printf("bytes=%llu seconds=%.3f result=%d\n", static_cast<unsigned long long>(bytes), seconds,
         result);
  return result ? 0 : 1;
}
