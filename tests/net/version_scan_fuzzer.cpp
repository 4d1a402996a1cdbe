// Fuzzes the version document path: arbitrary chunks through
// AppendVersionChunk into a VersionBuffer, then FindVersionValue over a heap
// copy of exactly 512 bytes (so that AddressSanitizer stops any read past the
// text), and the label formatted from the value into exactly 96 units.
//
// Besides the bounds, each result is compared with a plain reference scan
// written here from the rules of the document: key, first colon after it,
// first quote after that, next quote, at most 80 bytes apart.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "net/http_download.h"
#include "net/version_scan.h"
#include "base/bounded_text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "version scan fuzzer: %s\n", what);
  abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

// The reference: the same rules over std::string, up to the first zero byte.
bool ReferenceScan(const std::vector<uint8_t>& stored, size_t* start, size_t* length) {
  std::string text(stored.begin(), stored.end());
  text = text.substr(0, text.find('\0'));
  const size_t key = text.find("\"version\"");
  if (key == std::string::npos) return false;
  const size_t colon = text.find(':', key + 9);
  if (colon == std::string::npos) return false;
  const size_t opening = text.find('"', colon + 1);
  if (opening == std::string::npos) return false;
  const size_t closing = text.find('"', opening + 1);
  if (closing == std::string::npos) return false;
  if (closing - opening > 80) return false;
  *start = opening + 1;
  *length = closing - opening - 1;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  VersionBuffer buffer;
  memset(&buffer, 0, sizeof buffer);
  std::vector<uint8_t> offered;
  uint64_t receivedSoFar = 0;

  while (input.remaining_bytes() > 0) {
    // Mostly short chunks, now and then one of the largest size the download hands over.
    const uint32_t wanted = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(1, 600)
                                                : kDownloadChunkSize;
    std::vector<uint8_t> chunk = input.ConsumeBytes<uint8_t>(wanted);
    if (chunk.empty()) break;
    // A heap block of exactly the chunk's size: reading past it is caught.
    uint8_t* exact = static_cast<uint8_t*>(malloc(chunk.size()));
    memcpy(exact, chunk.data(), chunk.size());
    receivedSoFar += chunk.size();
    CHECK(AppendVersionChunk(&buffer, exact, static_cast<uint32_t>(chunk.size()), receivedSoFar,
                             0) != 0);
    free(exact);
    offered.insert(offered.end(), chunk.begin(), chunk.end());

    CHECK(buffer.used <= 511);
    CHECK(buffer.used == (offered.size() < 511 ? offered.size() : 511));
    CHECK(buffer.text[buffer.used] == 0);
    CHECK(memcmp(buffer.text, offered.data(), buffer.used) == 0);
  }

  uint8_t* text = static_cast<uint8_t*>(malloc(kVersionTextCapacity));
  memcpy(text, buffer.text, kVersionTextCapacity);
  size_t start = 0;
  size_t length = 0;
  const bool found = FindVersionValue(text, &start, &length);

  size_t expectedStart = 0;
  size_t expectedLength = 0;
  const std::vector<uint8_t> stored(buffer.text, buffer.text + buffer.used);
  const bool expected = ReferenceScan(stored, &expectedStart, &expectedLength);
  CHECK(found == expected);
  if (found) {
    CHECK(start == expectedStart && length == expectedLength);
    CHECK(start >= 1 && start + length < buffer.used);  // the closing quote is stored too
    CHECK(length <= 79);
    CHECK(text[start - 1] == '"' && text[start + length] == '"');
    CHECK(memchr(text + start, '"', length) == nullptr);
    CHECK(memchr(text + start, 0, length) == nullptr);

    // The label: the conversion gives at most one unit per byte, into 82
    // units of which at most 81 are filled; the label takes exactly 96.
    wchar_t value[kVersionWideCapacity] = {};
    for (size_t i = 0; i < length && i < kVersionWideCapacity - 1; ++i) {
      const uint8_t byte = text[start + i];
      value[i] = byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(0xFFFD);
    }
    const size_t kLabelCapacity = 96;  // the window's build label
    wchar_t* label = static_cast<wchar_t*>(malloc(kLabelCapacity * sizeof(wchar_t)));
    const size_t written = FormatBuildLabel(label, kLabelCapacity, value);
    CHECK(written == 6 + length);
    CHECK(written < kLabelCapacity && label[written] == 0);
    CHECK(memcmp(label, L"Build ", 6 * sizeof(wchar_t)) == 0);
    free(label);
  }
  free(text);
  return 0;
}
