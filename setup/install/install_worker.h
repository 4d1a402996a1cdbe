// The install worker: download, stop running copies, unpack, check,
// register, start.
#pragma once

#include <windows.h>
#include <stdint.h>

#ifdef NIMBREL_ARCHIVE_KEYS
#include "install/archive_signature.h"
#endif

struct ArchiveSinkState {
  HANDLE file;      // the archive file, open for writing
  int lastPercent;  // -1 before the first chunk
#ifdef NIMBREL_ARCHIVE_KEYS
  ArchiveSignatureCheck signature;  // started before the first chunk
#endif
};

// Writes each chunk to the archive file and reports each change of the whole
// percent to the window. With archive keys built in, also hashes each chunk
// it wrote for the signature check.
int ArchiveSink(void* context, const uint8_t* data, uint32_t length, uint64_t receivedSoFar,
                uint64_t contentLength);

// Thread routine; its result is 0 on every path.
DWORD WINAPI InstallWorker(LPVOID unused);
