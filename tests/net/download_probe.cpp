// Runs the real HttpDownload over a list of cases and records, for each
// transfer, its result and every call of its sink, as one JSON line per
// transfer. The Python suite (test_http_download.py) scripts the server,
// writes the list and judges the records together with what the server saw.
//
//   download-probe.exe CASES OUTPUT
//
// CASES is UTF-8, one case a line, fields separated by tabs:
//   name  mode  timeoutMs  url  [url2]
//   name  handles=N  timeoutMs  url  [url ...]
// mode: "record"       take every chunk
//       "refuse-at=N"  refuse the first chunk that brings the total to N or more
//       "pause-first=MS"  take every chunk, but wait MS after the first one, so
//                      that a reset the server sends meanwhile is already there
//                      when the next read starts
//       "pause-until=PATH"  the same, waiting (at most 30 s) until the file
//                      PATH exists, which the test server makes once its
//                      reset has gone out
//       "parallel"     url and url2 at the same time on two threads (records
//                      name#1 and name#2)
//       "handles=N"    N calls over the URLs in turn, after one warm-up call
//                      of each; records the process's handle counts around
//                      them (first around five events opened and closed, to
//                      show which count follows handles at all), and how
//                      many calls of each URL succeeded
// Every record also tells whether winhttp.dll is still loaded after the call.
#include <windows.h>
#include <stdio.h>
#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "net/http_download.h"

namespace {

double NowMs() {
  static LARGE_INTEGER frequency = {};
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Transfer {
  std::string name;
  std::wstring url;
  int timeoutMs = 10000;
  uint64_t refuseAt = 0;  // 0: never refuse
  DWORD pauseAfterFirstMs = 0;
  std::wstring pauseUntil;  // after the first chunk, wait until this file exists

  DWORD thread = 0;
  int result = -1;
  std::vector<uint32_t> lengths;
  std::vector<uint64_t> soFar;
  std::set<uint64_t> contentLengths;
  std::set<const void*> buffers;
  bool otherThread = false;
  uint64_t total = 0;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a 64 of the bytes taken
  double startMs = 0, firstMs = 0, lastMs = 0, endMs = 0;
  bool winHttpLoadedAfter = false;
};

int RecordingSink(void* context, const uint8_t* data, uint32_t length, uint64_t receivedSoFar,
                  uint64_t contentLength) {
  Transfer* t = static_cast<Transfer*>(context);
  const double now = NowMs();
  if (t->lengths.empty()) t->firstMs = now;
  t->lastMs = now;
  if (GetCurrentThreadId() != t->thread) t->otherThread = true;
  t->lengths.push_back(length);
  t->soFar.push_back(receivedSoFar);
  t->contentLengths.insert(contentLength);
  t->buffers.insert(data);
  if (t->refuseAt != 0 && receivedSoFar >= t->refuseAt) return 0;
  if (t->pauseAfterFirstMs != 0 && t->lengths.size() == 1) Sleep(t->pauseAfterFirstMs);
  if (!t->pauseUntil.empty() && t->lengths.size() == 1) {
    // The test server makes the file once its reset has gone out; bounded.
    for (int waited = 0; waited < 30000 &&
                         GetFileAttributesW(t->pauseUntil.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 10)
      Sleep(10);
  }
  // Only taken bytes count: a refused chunk stays with the routine.
  for (uint32_t i = 0; i < length; ++i) {
    t->hash ^= data[i];
    t->hash *= 1099511628211ull;
  }
  t->total += length;
  return 1;
}

DWORD WINAPI RunTransfer(LPVOID parameter) {
  Transfer* t = static_cast<Transfer*>(parameter);
  t->thread = GetCurrentThreadId();
  t->startMs = NowMs();
  t->result = HttpDownload(t->url.c_str(), RecordingSink, t, t->timeoutMs) ? 1 : 0;
  t->endMs = NowMs();
  t->winHttpLoadedAfter = GetModuleHandleW(L"winhttp.dll") != nullptr;
  return 0;
}

// Two ways of counting the process's handles: the system's own count, and a
// scan of the handle values (every handle the process holds answers
// GetHandleInformation; the values are small multiples of 4).
enum { kHandleScanEnd = 0x10000 };

struct HandleCounts {
  DWORD system = 0;
  DWORD scanned = 0;
  ULONG_PTR highest = 0;  // the highest handle value the scan found
};

HandleCounts CountHandles() {
  HandleCounts counts;
  GetProcessHandleCount(GetCurrentProcess(), &counts.system);
  for (ULONG_PTR value = 4; value < kHandleScanEnd; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++counts.scanned;
      counts.highest = value;
    }
  }
  return counts;
}

void WriteCounts(FILE* out, const char* key, const HandleCounts& counts) {
  fprintf(out, ",\"%s\":{\"system\":%lu,\"scanned\":%lu,\"highest\":%llu}", key,
          counts.system, counts.scanned, static_cast<unsigned long long>(counts.highest));
}

int DiscardingSink(void*, const uint8_t*, uint32_t, uint64_t, uint64_t) { return 1; }

// The handle counts around `calls` downloads over `urls` in turn, as one record.
void RunHandleCount(FILE* out, const std::string& name, const std::vector<std::wstring>& urls,
                    int timeoutMs, int calls) {
  // A count must follow handles that are opened and closed, or it proves nothing.
  const HandleCounts empty = CountHandles();
  HANDLE events[5];
  for (HANDLE& event : events) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HandleCounts withEvents = CountHandles();
  for (int i = 4; i >= 0; --i) CloseHandle(events[i]);
  const HandleCounts closed = CountHandles();

  std::vector<int> succeeded(urls.size(), 0);
  for (const std::wstring& url : urls) HttpDownload(url.c_str(), DiscardingSink, nullptr, timeoutMs);
  const HandleCounts before = CountHandles();
  for (int i = 0; i < calls; ++i) {
    const size_t which = static_cast<size_t>(i) % urls.size();
    if (HttpDownload(urls[which].c_str(), DiscardingSink, nullptr, timeoutMs)) ++succeeded[which];
  }
  const HandleCounts after = CountHandles();

  fprintf(out, "{\"name\":\"%s\",\"calls\":%d,\"scanEnd\":%d", name.c_str(), calls,
          static_cast<int>(kHandleScanEnd));
  WriteCounts(out, "empty", empty);
  WriteCounts(out, "withFiveEvents", withEvents);
  WriteCounts(out, "eventsClosed", closed);
  WriteCounts(out, "before", before);
  WriteCounts(out, "after", after);
  fprintf(out, ",\"succeeded\":[");
  for (size_t i = 0; i < succeeded.size(); ++i) fprintf(out, "%s%d", i ? "," : "", succeeded[i]);
  fprintf(out, "]}\n");
  fflush(out);
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
  return wide;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    const size_t at = line.find(separator, from);
    fields.push_back(line.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return fields;
    from = at + 1;
  }
}

void WriteRecord(FILE* out, const Transfer& t) {
  fprintf(out, "{\"name\":\"%s\",\"result\":%d,\"total\":%llu,\"hash\":\"%016llx\"",
          t.name.c_str(), t.result, static_cast<unsigned long long>(t.total),
          static_cast<unsigned long long>(t.hash));
  fprintf(out, ",\"lengths\":[");
  for (size_t i = 0; i < t.lengths.size(); ++i) fprintf(out, "%s%u", i ? "," : "", t.lengths[i]);
  fprintf(out, "],\"soFar\":[");
  for (size_t i = 0; i < t.soFar.size(); ++i)
    fprintf(out, "%s%llu", i ? "," : "", static_cast<unsigned long long>(t.soFar[i]));
  fprintf(out, "],\"contentLengths\":[");
  bool first = true;
  for (uint64_t value : t.contentLengths) {
    fprintf(out, "%s%llu", first ? "" : ",", static_cast<unsigned long long>(value));
    first = false;
  }
  fprintf(out, "],\"buffers\":[");
  first = true;
  for (const void* buffer : t.buffers) {
    fprintf(out, "%s\"%p\"", first ? "" : ",", buffer);
    first = false;
  }
  fprintf(out, "],\"otherThread\":%s,\"startMs\":%.1f,\"firstMs\":%.1f,\"lastMs\":%.1f,"
          "\"endMs\":%.1f,\"winHttpLoadedAfter\":%s}\n",
          t.otherThread ? "true" : "false", t.startMs, t.firstMs, t.lastMs, t.endMs,
          t.winHttpLoadedAfter ? "true" : "false");
  fflush(out);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: download-probe.exe CASES OUTPUT\n");
    return 2;
  }
  FILE* in = _wfopen(argv[1], L"rb");
  FILE* out = _wfopen(argv[2], L"wb");
  if (!in || !out) {
    fprintf(stderr, "cannot open the case list or the output\n");
    return 2;
  }
  std::string list;
  char block[4096];
  for (size_t got; (got = fread(block, 1, sizeof block, in)) > 0;) list.append(block, got);
  fclose(in);

  for (const std::string& raw : Split(list, '\n')) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> f = Split(line, '\t');
    if (f.size() < 4) {
      fprintf(stderr, "bad case line: %s\n", line.c_str());
      return 2;
    }
    const std::string& mode = f[1];
    Transfer one;
    one.name = f[0];
    one.timeoutMs = atoi(f[2].c_str());
    one.url = Widen(f[3]);
    if (mode == "parallel") {
      if (f.size() < 5) return 2;
      Transfer two = one;
      one.name += "#1";
      two.name += "#2";
      two.url = Widen(f[4]);
      HANDLE threads[2] = {CreateThread(nullptr, 0, RunTransfer, &one, 0, nullptr),
                           CreateThread(nullptr, 0, RunTransfer, &two, 0, nullptr)};
      if (!threads[0] || !threads[1]) return 3;
      if (WaitForMultipleObjects(2, threads, TRUE, 300000) != WAIT_OBJECT_0) return 4;
      CloseHandle(threads[0]);
      CloseHandle(threads[1]);
      WriteRecord(out, one);
      WriteRecord(out, two);
      continue;
    }
    if (mode.compare(0, 8, "handles=") == 0) {
      std::vector<std::wstring> urls;
      for (size_t i = 3; i < f.size(); ++i) urls.push_back(Widen(f[i]));
      RunHandleCount(out, one.name, urls, one.timeoutMs, atoi(mode.c_str() + 8));
      continue;
    }
    if (mode.compare(0, 10, "refuse-at=") == 0) {
      one.refuseAt = _strtoui64(mode.c_str() + 10, nullptr, 10);
    } else if (mode.compare(0, 12, "pause-first=") == 0) {
      one.pauseAfterFirstMs = static_cast<DWORD>(atoi(mode.c_str() + 12));
    } else if (mode.compare(0, 12, "pause-until=") == 0) {
      one.pauseUntil = Widen(mode.substr(12));
    } else if (mode != "record") {
      fprintf(stderr, "bad mode: %s\n", mode.c_str());
      return 2;
    }
    RunTransfer(&one);
    WriteRecord(out, one);
  }
  fclose(out);
  return 0;
}
