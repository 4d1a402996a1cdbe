// Times HttpDownload into a sink that only counts the bytes:
//
//   bench-download.exe URL
//
// prints "bytes=N seconds=S result=R" on one line. tools/bench-download.sh
// runs it beside curl and prints the comparison.
#include <windows.h>
#include <stdio.h>
#include <stdint.h>

#include "net/http_download.h"

namespace {

int CountingSink(void* context, const uint8_t*, uint32_t length, uint64_t, uint64_t) {
  *static_cast<uint64_t*>(context) += length;
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench-download.exe URL\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  uint64_t bytes = 0;
  QueryPerformanceCounter(&start);
  const int result = HttpDownload(argv[1], CountingSink, &bytes, 30000);
  QueryPerformanceCounter(&end);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart);
  printf("bytes=%llu seconds=%.3f result=%d\n", static_cast<unsigned long long>(bytes), seconds,
         result);
  return result ? 0 : 1;
}
