// The setup's one network routine: an HTTP GET whose body streams into a sink.
#pragma once

#include <stdint.h>

// Receives one chunk of the body (1 to 65,536 bytes, valid until it returns).
// receivedSoFar counts the body bytes delivered so far, this chunk included;
// contentLength is the announced length, 0 when none was announced. Returns
// nonzero to go on, 0 to stop the transfer, which then fails.
typedef int (*DownloadSink)(void* context, const uint8_t* data, uint32_t length,
                            uint64_t receivedSoFar, uint64_t contentLength);

enum { kDownloadChunkSize = 65536 };

// Fetches `url` (http or https) and hands the body to `sink`. True when the
// status was exactly 200, every read succeeded up to the body's end, the sink
// took every chunk and, when a length other than 0 was announced, exactly
// that many bytes came in. Blocks until done. Safe to call from two threads
// at once; WinHTTP is loaded on the first call and stays loaded.
int HttpDownload(const wchar_t* url, DownloadSink sink, void* context, int timeoutMs);

// How the body loop ended.
enum BodyEnd {
  kBodyComplete,  // a read succeeded with 0 bytes: the end of the body
  kReadFailed,    // a read failed: a reset, a time-out, a broken connection
  kSinkRefused,   // the sink refused a chunk
};

// Whether a transfer succeeded, judged after the body loop. Only a body that ended by
// itself can succeed: a failed read fails the transfer whatever length was
// announced, since without a length nothing else tells a cut body from a
// whole one. Then a length other than 0 must match what came in. Platform-free.
inline bool DownloadSucceeded(BodyEnd end, uint64_t received, uint32_t announced) {
  if (end != kBodyComplete) return false;
  return announced == 0 || received == static_cast<uint64_t>(announced);
}
