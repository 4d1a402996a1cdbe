#include "net/http_download.h"

#include <windows.h>
#include <winhttp.h>

#include "base/product.h"
#include "base/system_library.h"

namespace {

// WinHTTP is not mapped from the system folder by the loader itself, so it is
// loaded from there by name, once, and kept for the life of the process:
// freeing it after each call could unmap it while the platform is still
// tearing down the handles that call closed.
struct WinHttpApi {
  decltype(&WinHttpCrackUrl) crackUrl;
  decltype(&WinHttpOpen) open;
  decltype(&WinHttpSetTimeouts) setTimeouts;
  decltype(&WinHttpConnect) connect;
  decltype(&WinHttpOpenRequest) openRequest;
  decltype(&WinHttpSendRequest) sendRequest;
  decltype(&WinHttpReceiveResponse) receiveResponse;
  decltype(&WinHttpQueryHeaders) queryHeaders;
  decltype(&WinHttpReadData) readData;
  decltype(&WinHttpCloseHandle) closeHandle;
};

// Filled once inside winHttpOnce and only read afterwards; the one-time
// initialisation orders the filling before every read, on every thread.
WinHttpApi winHttp;
INIT_ONCE winHttpOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK LoadWinHttp(PINIT_ONCE, PVOID, PVOID*) {
  HMODULE lib = LoadSystemLibrary(L"winhttp.dll");
  if (!lib) return FALSE;
  WinHttpApi api;
  api.crackUrl = LoadSystemFunction<decltype(api.crackUrl)>(lib, "WinHttpCrackUrl");
  api.open = LoadSystemFunction<decltype(api.open)>(lib, "WinHttpOpen");
  api.setTimeouts = LoadSystemFunction<decltype(api.setTimeouts)>(lib, "WinHttpSetTimeouts");
  api.connect = LoadSystemFunction<decltype(api.connect)>(lib, "WinHttpConnect");
  api.openRequest = LoadSystemFunction<decltype(api.openRequest)>(lib, "WinHttpOpenRequest");
  api.sendRequest = LoadSystemFunction<decltype(api.sendRequest)>(lib, "WinHttpSendRequest");
  api.receiveResponse =
      LoadSystemFunction<decltype(api.receiveResponse)>(lib, "WinHttpReceiveResponse");
  api.queryHeaders = LoadSystemFunction<decltype(api.queryHeaders)>(lib, "WinHttpQueryHeaders");
  api.readData = LoadSystemFunction<decltype(api.readData)>(lib, "WinHttpReadData");
  api.closeHandle = LoadSystemFunction<decltype(api.closeHandle)>(lib, "WinHttpCloseHandle");
  if (!(api.crackUrl && api.open && api.setTimeouts && api.connect && api.openRequest &&
        api.sendRequest && api.receiveResponse && api.queryHeaders && api.readData &&
        api.closeHandle)) {
    FreeLibrary(lib);
    return FALSE;
  }
  winHttp = api;
  return TRUE;
}

// The loaded functions, or null when WinHTTP cannot be loaded. A failed load
// leaves the initialisation undone, so the next call tries again.
const WinHttpApi* WinHttp() {
  return InitOnceExecuteOnce(&winHttpOnce, LoadWinHttp, nullptr, nullptr) ? &winHttp : nullptr;
}

// Sends the request and judges the response head: true for status 200.
bool ReceiveOkResponse(const WinHttpApi& api, HINTERNET request) {
  if (!api.sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                       0))
    return false;
  if (!api.receiveResponse(request, nullptr)) return false;
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!api.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return false;
  return status == 200;
}

// Streams the body into the sink; true when the whole body came in and the
// sink took all of it.
bool ReadBody(const WinHttpApi& api, HINTERNET request, DownloadSink sink, void* context) {
  DWORD announced = 0;
  DWORD size = sizeof announced;
  api.queryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                   WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX);

  uint8_t buffer[kDownloadChunkSize];  // this call's own receive buffer
  uint64_t received = 0;
  BodyEnd end = kBodyComplete;
  for (;;) {
    DWORD count = 0;
    if (!api.readData(request, buffer, kDownloadChunkSize, &count)) {
      end = kReadFailed;  // a reset or a time-out: the body is not whole
      break;
    }
    if (count == 0) break;  // the body's end
    received += count;
    if (!sink(context, buffer, count, received, announced)) {
      end = kSinkRefused;
      break;
    }
  }
  return DownloadSucceeded(end, received, announced);
}

}  // namespace

int HttpDownload(const wchar_t* url, DownloadSink sink, void* context, int timeoutMs) {
  const WinHttpApi* loaded = WinHttp();
  if (!loaded) return false;
  const WinHttpApi& api = *loaded;

  wchar_t host[256];
  wchar_t path[1024];
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 1024;

  bool result = false;
  if (api.crackUrl(url, 0, 0, &parts) &&
      (parts.nScheme == INTERNET_SCHEME_HTTP || parts.nScheme == INTERNET_SCHEME_HTTPS)) {
    HINTERNET session = api.open(NIMBREL_PUBLISHER, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session) {
      api.setTimeouts(session, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
      HINTERNET connection = api.connect(session, host, parts.nPort, 0);
      if (connection) {
        const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
        HINTERNET request = api.openRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (request) {
          if (ReceiveOkResponse(api, request)) result = ReadBody(api, request, sink, context);
          api.closeHandle(request);
        }
        api.closeHandle(connection);
      }
      api.closeHandle(session);
    }
  }
  return result;
}
