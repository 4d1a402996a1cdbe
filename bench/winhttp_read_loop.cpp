// The plainest WinHTTP download: the platform's own limit on a server, the
// yardstick of HttpDownload's throughput.
//
//   winhttp-read-loop.exe BUFFER_BYTES URL
//
// One synchronous GET with no proxy lookup, then WinHttpQueryDataAvailable
// and WinHttpReadData into one BUFFER_BYTES buffer until the body ends; the
// bytes are only counted. Prints "bytes=N seconds=S result=R" on one line.
#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

// Reads the body of a sent request; the number of bytes, or -1 on a failure.
long long ReadBody(HINTERNET request, unsigned char* buffer, DWORD capacity) {
  long long total = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return -1;
    if (available == 0) return total;
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer, capacity, &got)) return -1;
    if (got == 0) return total;
    total += got;
  }
}

long long Download(const wchar_t* url, unsigned char* buffer, DWORD capacity) {
  wchar_t host[256];
  wchar_t path[2048];
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = ARRAYSIZE(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = ARRAYSIZE(path);
  if (!WinHttpCrackUrl(url, 0, 0, &parts)) return -1;
  long long result = -1;
  HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return -1;
  HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
  if (connection) {
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (request) {
      if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                             0, 0, 0) &&
          WinHttpReceiveResponse(request, nullptr))
        result = ReadBody(request, buffer, capacity);
      WinHttpCloseHandle(request);
    }
    WinHttpCloseHandle(connection);
  }
  WinHttpCloseHandle(session);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 || _wtoi(argv[1]) <= 0) {
    fprintf(stderr, "usage: winhttp-read-loop.exe BUFFER_BYTES URL\n");
    return 2;
  }
  const DWORD capacity = static_cast<DWORD>(_wtoi(argv[1]));
  unsigned char* buffer = static_cast<unsigned char*>(malloc(capacity));
  if (!buffer) return 1;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const long long bytes = Download(argv[2], buffer, capacity);
  QueryPerformanceCounter(&end);
  free(buffer);
  const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart);
  printf("bytes=%lld seconds=%.3f result=%d\n", bytes < 0 ? 0 : bytes, seconds, bytes >= 0);
  return bytes >= 0 ? 0 : 1;
}
