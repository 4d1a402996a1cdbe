// The install worker: download, stop running copies, unpack, check,
// register, start.
#pragma once

#include <windows.h>
#include <stdint.h>

struct ArchiveSinkState {
  HANDLE file;      // the archive file, open for writing
  int lastPercent;  // -1 before the first chunk
};

// Writes each chunk to the archive file and reports each change of the whole
// percent to the window.
int ArchiveSink(void* context, const uint8_t* data, uint32_t length, uint64_t receivedSoFar,
                uint64_t contentLength);

// Thread routine; its result is 0 on every path.
DWORD WINAPI InstallWorker(LPVOID unused);
