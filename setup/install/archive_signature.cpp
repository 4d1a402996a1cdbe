#include "install/archive_signature.h"

#include <string.h>

namespace {

const char kSignatureMarker[kSignatureMarkerLength + 1] = "NIMBREL-SIG-1 ";

// The value of a lowercase hexadecimal digit; -1 for anything else, upper
// case included: the block has exactly one spelling.
int LowercaseHexValue(uint8_t character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  return -1;
}

}  // namespace

int HoldBackTail(HeldTail* tail, const uint8_t* data, uint32_t length, TailSpill spill,
                 void* context) {
  if (length == 0) return 1;
  tail->total += length;
  if (length >= kHeldTailLength) {
    // The chunk alone fills the tail: what was held and the chunk's front leave.
    if (tail->length != 0 && !spill(context, tail->bytes, tail->length)) return 0;
    const uint32_t front = length - kHeldTailLength;
    if (front != 0 && !spill(context, data, front)) return 0;
    memcpy(tail->bytes, data + front, kHeldTailLength);
    tail->length = kHeldTailLength;
    return 1;
  }
  const uint32_t combined = tail->length + length;
  if (combined > kHeldTailLength) {
    // Fewer than tail->length leave, since the chunk is shorter than the tail.
    const uint32_t leaving = combined - kHeldTailLength;
    if (!spill(context, tail->bytes, leaving)) return 0;
    memmove(tail->bytes, tail->bytes + leaving, tail->length - leaving);
    tail->length -= leaving;
  }
  memcpy(tail->bytes + tail->length, data, length);
  tail->length += length;
  return 1;
}

bool ReadSignatureBlock(const HeldTail* tail, uint8_t signature[kSignatureLength]) {
  // That long, the tail is full.
  if (tail->total < kEndRecordLength + kSignatureBlockLength) return false;
  const uint8_t* commentLength = tail->bytes;
  if (commentLength[0] != kSignatureBlockLength || commentLength[1] != 0) return false;
  if (memcmp(commentLength + 2, kSignatureMarker, kSignatureMarkerLength) != 0) return false;
  const uint8_t* digits = tail->bytes + kHeldSignedLength;
  uint8_t decoded[kSignatureLength];
  for (uint32_t index = 0; index < kSignatureLength; ++index) {
    const int high = LowercaseHexValue(digits[2 * index]);
    const int low = LowercaseHexValue(digits[2 * index + 1]);
    if (high < 0 || low < 0) return false;
    decoded[index] = static_cast<uint8_t>(high << 4 | low);
  }
  memcpy(signature, decoded, kSignatureLength);
  return true;
}
