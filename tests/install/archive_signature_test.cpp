// The archive signature's platform-free half: the tail held back from the
// hash while the body streams in, and the signature block at the file's end.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/archive_signature.h"

namespace {

std::vector<uint8_t> Numbered(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t index = 0; index < length; ++index) bytes[index] = static_cast<uint8_t>(index * 7 + 3);
  return bytes;
}

struct Spilled {
  std::vector<uint8_t> bytes;
  int calls = 0;
  int refuseAtCall = -1;  // the call that answers 0, counted from 0
};

int Collect(void* context, const uint8_t* data, uint32_t length) {
  Spilled* spilled = static_cast<Spilled*>(context);
  if (spilled->calls++ == spilled->refuseAtCall) return 0;
  EXPECT_GT(length, 0u);
  spilled->bytes.insert(spilled->bytes.end(), data, data + length);
  return 1;
}

// Streams `file` in chunks of the given lengths (the last one takes the rest)
// and checks that the spilled bytes and the tail are the file, split at
// kHeldTailLength from its end, with at most two spills per chunk.
void ExpectSplit(const std::vector<uint8_t>& file, const std::vector<size_t>& chunks,
                 const std::string& label) {
  HeldTail tail = {};
  Spilled spilled;
  size_t offset = 0;
  for (size_t index = 0; index <= chunks.size() && offset <= file.size(); ++index) {
    const size_t length =
        index < chunks.size() ? std::min(chunks[index], file.size() - offset) : file.size() - offset;
    // A chunk of exactly its size on the heap: the sanitized build sees any read past it.
    std::vector<uint8_t> chunk(file.begin() + offset, file.begin() + offset + length);
    const int callsBefore = spilled.calls;
    ASSERT_EQ(HoldBackTail(&tail, chunk.data(), static_cast<uint32_t>(length), Collect, &spilled), 1)
        << label;
    ASSERT_LE(spilled.calls - callsBefore, 2) << label;
    offset += length;
    if (offset == file.size()) break;
  }
  const size_t held = std::min<size_t>(file.size(), kHeldTailLength);
  EXPECT_EQ(tail.total, file.size()) << label;
  ASSERT_EQ(tail.length, held) << label;
  EXPECT_EQ(spilled.bytes, std::vector<uint8_t>(file.begin(), file.end() - held)) << label;
  EXPECT_EQ(std::vector<uint8_t>(tail.bytes, tail.bytes + held),
            std::vector<uint8_t>(file.end() - held, file.end())) << label;
}

TEST(HoldBackTail, SpillsAllButTheLastBytesInOrder) {
  // Every length held so far against every chunk length around the tail's.
  for (size_t first = 0; first <= kHeldTailLength + 6; ++first) {
    for (size_t second = 0; second <= 2 * kHeldTailLength + 10; ++second) {
      ExpectSplit(Numbered(first + second), {first, second},
                  std::to_string(first) + " then " + std::to_string(second));
    }
  }
  // Longer files the way they arrive: full reads, single bytes, mixed.
  const std::vector<uint8_t> big = Numbered(3 * 65536 + 100);
  ExpectSplit(big, {65536, 65536, 65536}, "full reads");
  ExpectSplit(Numbered(1000), std::vector<size_t>(1000, 1), "single bytes");
  ExpectSplit(big, {1, 143, 144, 145, 65536, 7, 0, 65536, 2, 65000}, "mixed");
}

TEST(HoldBackTail, PassesOnARefusedSpill) {
  const std::vector<uint8_t> file = Numbered(400);
  // A chunk at least as long as the tail spills what is held (call 0), then
  // its own front (call 1); a short one only the oldest held bytes.
  const struct {
    const char* label;
    std::vector<size_t> chunks;
    int refuseAtCall;
  } cases[] = {
      {"the held bytes", {100, 300}, 0},
      {"the chunk's front", {100, 300}, 1},
      {"the held part before a short chunk", {144, 100, 100}, 0},
  };
  for (const auto& c : cases) {
    HeldTail tail = {};
    Spilled spilled;
    spilled.refuseAtCall = c.refuseAtCall;
    size_t offset = 0;
    int result = 1;
    for (size_t length : c.chunks) {
      result = HoldBackTail(&tail, file.data() + offset, static_cast<uint32_t>(length), Collect,
                            &spilled);
      offset += length;
      if (!result) break;
    }
    EXPECT_EQ(result, 0) << c.label;
  }
}

// A file ending in an end record whose comment is the signature block.
const char kDigits[] =
    "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210"
    "a0a1a2a3a4a5a6a7a8a9b0b1b2b3b4b5c0c1c2c3c4c5c6c7c8c9d0d1d2d3d4d5";

std::vector<uint8_t> SignedFile(size_t bodyLength) {
  std::vector<uint8_t> file = Numbered(bodyLength);
  const uint8_t endRecord[20] = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 46, 0, 0, 0, 0, 0, 0, 0};
  file.insert(file.end(), endRecord, endRecord + sizeof endRecord);
  file.push_back(kSignatureBlockLength);  // the comment length, little-endian
  file.push_back(0);
  const char marker[] = "NIMBREL-SIG-1 ";
  file.insert(file.end(), marker, marker + kSignatureMarkerLength);
  file.insert(file.end(), kDigits, kDigits + kSignatureDigitCount);
  return file;
}

bool Read(const std::vector<uint8_t>& file, uint8_t signature[kSignatureLength]) {
  HeldTail tail = {};
  Spilled spilled;
  EXPECT_EQ(HoldBackTail(&tail, file.data(), static_cast<uint32_t>(file.size()), Collect, &spilled), 1);
  return ReadSignatureBlock(&tail, signature);
}

TEST(ReadSignatureBlock, AcceptsExactlyTheBlockAtTheEnd) {
  const size_t end = SignedFile(500).size();
  const size_t digits = end - kSignatureDigitCount;
  const size_t marker = digits - kSignatureMarkerLength;
  const size_t commentLength = marker - 2;
  const struct {
    const char* label;
    size_t at;          // the byte changed, or 0 for none
    uint8_t to;
    int cutOrAppend;    // bytes cut from (-1) or appended to the end
    bool accepted;
  } cases[] = {
      {"the signed file", 0, 0, 0, true},
      {"uppercase digit in r", digits, 'A', 0, false},
      {"uppercase digit in s", end - 1, 'F', 0, false},
      {"a digit past f", digits + 70, 'g', 0, false},
      {"a space among the digits", digits + 5, ' ', 0, false},
      {"a NUL among the digits", digits + 127, 0, 0, false},
      {"the marker's first byte", marker, 'M', 0, false},
      {"the marker's space", digits - 1, '_', 0, false},
      {"the marker's version", marker + 12, '2', 0, false},
      {"a comment length of 141", commentLength, 141, 0, false},
      {"a comment length of 143", commentLength, 143, 0, false},
      {"a comment length of 142 + 256", commentLength + 1, 1, 0, false},
      {"cut by one byte", 0, 0, -1, false},
      {"one byte appended", 0, 0, 1, false},
      {"a line end appended", 0, 0, 2, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> file = SignedFile(500);
    if (c.at) file[c.at] = c.to;
    if (c.cutOrAppend < 0) file.pop_back();
    for (int added = 0; added < c.cutOrAppend; ++added) file.push_back(added ? '\n' : '\r');
    uint8_t signature[kSignatureLength];
    memset(signature, 0xEE, sizeof signature);
    EXPECT_EQ(Read(file, signature), c.accepted) << c.label;
    if (c.accepted) {
      std::string hex;
      for (uint8_t byte : signature) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
      }
      EXPECT_EQ(hex, kDigits) << c.label;
    }
  }
}

TEST(ReadSignatureBlock, NeedsAWholeEndRecordBeforeTheBlock) {
  // An end record and the block, nothing before: the shortest file accepted.
  const std::vector<uint8_t> file = SignedFile(0);
  ASSERT_EQ(file.size(), size_t{kEndRecordLength + kSignatureBlockLength});
  uint8_t signature[kSignatureLength];
  EXPECT_TRUE(Read(file, signature));
  for (size_t length : {size_t{0}, size_t{1}, size_t{128}, size_t{143}, size_t{144}, size_t{163}}) {
    // The file's last `length` bytes: the block as far as it goes.
    const std::vector<uint8_t> shorter(file.end() - length, file.end());
    EXPECT_FALSE(Read(shorter, signature)) << length << " bytes";
  }
}

}  // namespace
