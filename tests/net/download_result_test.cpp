// The download's result rule: how the body loop ended, what came in and what
// was announced.
#include <gtest/gtest.h>

#include "net/http_download.h"

namespace {

struct ResultCase {
  const char* name;
  BodyEnd end;
  uint64_t received;
  uint32_t announced;  // 0: none announced
  bool succeeded;
};

const ResultCase kCases[] = {
    {"no length, the body ended", kBodyComplete, 150000, 0, true},
    {"no length, an empty body", kBodyComplete, 0, 0, true},
    {"no length, a read failed after some chunks", kReadFailed, 196608, 0, false},
    {"no length, the first read failed", kReadFailed, 0, 0, false},
    {"length met", kBodyComplete, 1000, 1000, true},
    {"length met, then a read failed", kReadFailed, 1000, 1000, false},
    {"shorter than announced", kBodyComplete, 600, 1000, false},
    {"longer than announced", kBodyComplete, 1001, 1000, false},
    {"a read failed short of the length", kReadFailed, 600, 1000, false},
    {"the sink refused the last chunk", kSinkRefused, 1000, 1000, false},
    {"the sink refused, no length", kSinkRefused, 65536, 0, false},
    // The announced length is 32-bit; the total is compared widened, not cut.
    {"4 GiB past a 32-bit length", kBodyComplete, (1ull << 32) + 5, 5, false},
    {"the largest length met", kBodyComplete, 0xFFFFFFFFull, 0xFFFFFFFFu, true},
};

TEST(DownloadResult, Rule) {
  for (const ResultCase& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DownloadSucceeded(c.end, c.received, c.announced), c.succeeded);
  }
}

}  // namespace
