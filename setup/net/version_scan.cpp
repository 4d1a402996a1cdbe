#include "net/version_scan.h"

#include <string.h>

#include "base/bounded_text.h"

int AppendVersionChunk(void* context, const uint8_t* data, uint32_t length, uint64_t, uint64_t) {
  VersionBuffer* buffer = static_cast<VersionBuffer*>(context);
  const uint32_t room = (kVersionTextCapacity - 1) - buffer->used;
  const uint32_t count = length < room ? length : room;
  memcpy(buffer->text + buffer->used, data, count);
  buffer->used += count;
  buffer->text[buffer->used] = 0;
  return 1;
}

namespace {

// Position of the first `byte` at or after `from`, or -1 at the terminator.
long FindByte(const uint8_t* text, size_t from, uint8_t byte) {
  for (size_t at = from; text[at] != 0; ++at) {
    if (text[at] == byte) return static_cast<long>(at);
  }
  return -1;
}

}  // namespace

bool FindVersionValue(const uint8_t* text, size_t* valueStart, size_t* valueLength) {
  static const char kVersionKey[] = "\"version\"";  // with its quotes
  const char* found = strstr(reinterpret_cast<const char*>(text), kVersionKey);
  if (!found) return false;
  const size_t afterKey = static_cast<size_t>(found - reinterpret_cast<const char*>(text)) +
                          (sizeof kVersionKey - 1);
  const long colon = FindByte(text, afterKey, ':');
  if (colon < 0) return false;
  const long opening = FindByte(text, static_cast<size_t>(colon) + 1, '"');
  if (opening < 0) return false;
  const long closing = FindByte(text, static_cast<size_t>(opening) + 1, '"');
  if (closing < 0) return false;
  const long distance = closing - opening;
  if (distance > kVersionMaxQuoteDistance) return false;
  *valueStart = static_cast<size_t>(opening) + 1;
  *valueLength = static_cast<size_t>(distance - 1);
  return true;
}

size_t FormatBuildLabel(wchar_t* label, size_t capacity, const wchar_t* value) {
  return FormatText(label, capacity, L"Build %s", value);
}
