// Fuzzes the signature check's platform-free half as the sink drives it: the
// first byte gives a count (mod 16) of chunk lengths that follow, two bytes
// each, little-endian; the rest is the downloaded file, streamed in those
// chunks (the last one takes what is left) through HoldBackTail, each chunk
// on a heap copy of exactly its size.
//
// Checked on every input: the spilled bytes and the tail are the file split
// at kHeldTailLength from its end; the block's verdict and r || s equal those
// of a plain reference over the whole file, written here from the format.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "install/archive_signature.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "archive signature fuzzer: %s\n", what);
  abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

int Append(void* context, const uint8_t* data, uint32_t length) {
  CHECK(length > 0);
  std::vector<uint8_t>* spilled = static_cast<std::vector<uint8_t>*>(context);
  spilled->insert(spilled->end(), data, data + length);
  return 1;
}

// The format read straight off the whole file: at least an end record and the
// block; comment length 142; "NIMBREL-SIG-1 "; 128 lowercase hex digits.
bool ReferenceBlock(const std::vector<uint8_t>& file, uint8_t signature[kSignatureLength]) {
  const size_t size = file.size();
  if (size < 22 + 142) return false;
  if (file[size - 144] != 142 || file[size - 143] != 0) return false;
  if (memcmp(&file[size - 142], "NIMBREL-SIG-1 ", 14) != 0) return false;
  for (size_t index = 0; index < 128; ++index) {
    const uint8_t digit = file[size - 128 + index];
    int value;
    if (digit >= '0' && digit <= '9') value = digit - '0';
    else if (digit >= 'a' && digit <= 'f') value = digit - 'a' + 10;
    else return false;
    if (index % 2 == 0) signature[index / 2] = static_cast<uint8_t>(value << 4);
    else signature[index / 2] = static_cast<uint8_t>(signature[index / 2] | value);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = data[0] % 16;
  if (size < 1 + 2 * count) return 0;
  std::vector<size_t> chunks(count);
  for (size_t index = 0; index < count; ++index)
    chunks[index] = data[1 + 2 * index] | static_cast<size_t>(data[2 + 2 * index]) << 8;
  const std::vector<uint8_t> file(data + 1 + 2 * count, data + size);

  HeldTail tail = {};
  std::vector<uint8_t> spilled;
  size_t offset = 0;
  for (size_t index = 0; offset < file.size(); ++index) {
    size_t length = file.size() - offset;
    if (index < chunks.size() && chunks[index] < length) length = chunks[index];
    std::vector<uint8_t> chunk(file.begin() + offset, file.begin() + offset + length);
    CHECK(HoldBackTail(&tail, chunk.data(), static_cast<uint32_t>(length), Append, &spilled) == 1);
    offset += length;
  }
  const size_t held = file.size() < kHeldTailLength ? file.size() : kHeldTailLength;
  CHECK(tail.total == file.size());
  CHECK(tail.length == held);
  CHECK(spilled.size() == file.size() - held);
  if (held != 0) {  // a file of no bytes has no data to compare
    CHECK(std::equal(spilled.begin(), spilled.end(), file.begin()));
    CHECK(memcmp(tail.bytes, file.data() + spilled.size(), held) == 0);
  }

  uint8_t signature[kSignatureLength] = {};
  uint8_t expected[kSignatureLength] = {};
  const bool read = ReadSignatureBlock(&tail, signature);
  CHECK(read == ReferenceBlock(file, expected));
  if (read) CHECK(memcmp(signature, expected, kSignatureLength) == 0);
  return 0;
}
