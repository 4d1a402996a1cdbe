// The byte scan of the version document. Platform-free.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  kVersionTextCapacity = 512,  // 511 body bytes and a terminator
  kVersionMaxQuoteDistance = 80,  // at most 79 bytes of value
  // The value in UTF-16: 79 bytes of UTF-8 give at most 79 units; the
  // conversion may fill 81, and one more keeps the text always terminated.
  kVersionWideCapacity = 82,
};

// The first bytes of the version document, always zero-terminated.
struct VersionBuffer {
  uint8_t text[kVersionTextCapacity];
  uint32_t used;  // 0..511; text[used] is 0
};

// The download sink of the version query: keeps the first 511 bytes and
// drops the rest; never refuses.
int AppendVersionChunk(void* context, const uint8_t* data, uint32_t length,
                       uint64_t receivedSoFar, uint64_t contentLength);

// Finds the value of the "version" member in the zero-terminated text: the
// bytes between the first double quote after the first colon after the key
// and the next double quote. False when a piece is missing or the value has
// 80 bytes or more.
bool FindVersionValue(const uint8_t* text, size_t* valueStart, size_t* valueLength);

// "Build <value>" into `label` (capacity units), cut and terminated.
// Returns the number of units written, terminator excluded.
size_t FormatBuildLabel(wchar_t* label, size_t capacity, const wchar_t* value);
