// The byte scan of the version document, fed the way the download feeds it:
// through AppendVersionChunk, in chunks, into a zeroed VersionBuffer.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>

#include "net/version_scan.h"

namespace {

VersionBuffer Feed(const std::string& document, size_t chunk) {
  VersionBuffer buffer = {};
  for (size_t at = 0; at < document.size(); at += chunk) {
    const size_t length = std::min(chunk, document.size() - at);
    AppendVersionChunk(&buffer, reinterpret_cast<const uint8_t*>(document.data() + at),
                       static_cast<uint32_t>(length), at + length, document.size());
  }
  return buffer;
}

struct ScanCase {
  const char* name;
  std::string document;
  size_t chunk;        // bytes per AppendVersionChunk call
  bool found;
  std::string value;   // the bytes between the quotes, when found
};

std::string Repeat(char c, size_t count) { return std::string(count, c); }

// `{"version":"<value>"}` preceded by `padding` spaces.
std::string Member(const std::string& value, size_t padding = 0) {
  return Repeat(' ', padding) + "{\"version\":\"" + value + "\"}";
}

const std::string kE = "\xC3\xA9";  // é, two bytes in UTF-8

const ScanCase kCases[] = {
    {"plain", Member("1.2.3"), 512, true, "1.2.3"},
    {"value79", Member(Repeat('7', 79)), 512, true, Repeat('7', 79)},
    {"value80", Member(Repeat('8', 80)), 512, false, ""},
    {"empty", Member(""), 512, true, ""},
    {"eAcute", Member("2.0-" + kE), 512, true, "2.0-" + kE},
    // é counts its two bytes toward the limit: 77 + 2 is shown, 78 + 2 is not.
    {"eAcute79Bytes", Member(Repeat('a', 77) + kE), 512, true, Repeat('a', 77) + kE},
    {"eAcute80Bytes", Member(Repeat('a', 78) + kE), 512, false, ""},
    // No escapes: the backslash is a byte and the escaped quote ends the value.
    {"escapedQuote", "{\"version\":\"1.2\\\"beta\\\"\"}", 512, true, "1.2\\"},
    {"unicodeEscapeKept", Member("\\u00e9"), 512, true, "\\u00e9"},
    {"capitalV", "{\"Version\":\"1.2.3\"}", 512, false, ""},
    {"unquotedKey", "{version:\"1.2.3\"}", 512, false, ""},
    {"spacesKept", Member(" 1.2.3 "), 512, true, " 1.2.3 "},
    {"whiteSpaceAroundColon", "{\r\n  \"version\" \t\r\n :\n\t  \"1.2.3\"\r\n}", 512, true, "1.2.3"},
    {"junkSkippedBeforeColon", "{\"version\"xyz:\"1.2.3\"}", 512, true, "1.2.3"},
    {"noColon", "{\"version\"}", 512, false, ""},
    {"noOpeningQuote", "{\"version\": 12}", 512, false, ""},
    {"noClosingQuote", "{\"version\":\"1.2.3", 512, false, ""},
    {"numberThenMember", "{\"version\":123,\"channel\":\"beta\"}", 512, true, "channel"},
    {"objectValue", "{\"version\":{\"major\":1}}", 512, true, "major"},
    // The key text seen first as a string value: the scan goes on from there.
    {"keyFirstAsValue", "{\"note\":\"version\",\"build\":\"7\",\"version\":\"1.2.3\"}", 512, true,
     "7"},
    {"nulBeforeKey", std::string("{\"a\":\"\0\",", 9) + "\"version\":\"1.2.3\"}", 512, false, ""},
    {"nulInsideValue", std::string("{\"version\":\"1.2\0.3\"}", 20), 512, false, ""},
    // Only the first 511 bytes are kept. Member(v, p) puts the closing quote at
    // byte p + 13 + length of v (counting from 1); chunks of 100 and 7 cross the edge.
    {"allInside", Member("1.2.3", 492), 100, true, "1.2.3"},
    {"closingQuoteIsByte511", Member("1.2.3", 493), 7, true, "1.2.3"},
    {"closingQuoteIsByte512", Member("1.2.3", 494), 100, false, ""},
    {"keyCutAt511", Member("1.2.3", 505), 100, false, ""},
    {"keyBeyond511", Member("1.2.3", 600), 64, false, ""},
    {"oneByteChunks", Member("4.5.6"), 1, true, "4.5.6"},
};

void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.name; }

class VersionScan : public testing::TestWithParam<ScanCase> {};

TEST_P(VersionScan, FindsTheValueBetweenTheQuotes) {
  const ScanCase& c = GetParam();
  const VersionBuffer buffer = Feed(c.document, c.chunk);
  size_t start = 12345;
  size_t length = 12345;
  const bool found = FindVersionValue(buffer.text, &start, &length);
  ASSERT_EQ(found, c.found);
  if (!found) return;
  ASSERT_LE(start + length, buffer.used);
  EXPECT_EQ(buffer.text[start - 1], '"');
  EXPECT_EQ(buffer.text[start + length], '"');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.text) + start, length), c.value);
}

INSTANTIATE_TEST_SUITE_P(Documents, VersionScan, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ScanCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(AppendVersionChunk, KeepsTheFirst511BytesTerminatedAndDropsTheRest) {
  std::string body;
  for (int i = 0; body.size() < 70000; ++i) body += static_cast<char>('A' + i % 26);
  const uint32_t chunks[] = {1, 7, 300, 202, 1, 5, 65536};  // 516 bytes reach the edge

  VersionBuffer buffer;
  memset(&buffer, 0, sizeof buffer);
  size_t offered = 0;
  for (uint32_t length : chunks) {
    EXPECT_EQ(AppendVersionChunk(&buffer, reinterpret_cast<const uint8_t*>(body.data() + offered),
                                 length, offered + length, 0),
              1);
    offered += length;
    const size_t expected = std::min<size_t>(offered, 511);
    ASSERT_EQ(buffer.used, expected);
    EXPECT_EQ(buffer.text[buffer.used], 0);
    EXPECT_EQ(memcmp(buffer.text, body.data(), expected), 0);
  }
  // Full: a further chunk is taken (true) and changes nothing.
  VersionBuffer before = buffer;
  EXPECT_EQ(AppendVersionChunk(&buffer, reinterpret_cast<const uint8_t*>("zzzz"), 4, 1, 1), 1);
  EXPECT_EQ(buffer.used, 511u);
  EXPECT_EQ(memcmp(&before, &buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer.text[511], 0);
}

}  // namespace
