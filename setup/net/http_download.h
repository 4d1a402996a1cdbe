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
// status was exactly 200, the sink took every chunk and, when a length other
// than 0 was announced, exactly that many bytes came in. Blocks until done.
int HttpDownload(const wchar_t* url, DownloadSink sink, void* context, int timeoutMs);

// The result rule applied after the body loop, once the sink has taken every
// chunk (a refused chunk fails the transfer before). Platform-free.
inline bool DownloadSucceeded(uint64_t received, uint32_t announced) {
  return announced == 0 || received == static_cast<uint64_t>(announced);
}
