// Fuzzes the command-line parse: an arbitrary command line (see fuzz_units.h
// for how bytes become units) in a heap block of exactly its size, so that
// AddressSanitizer stops a read past its terminator.
//
// The result must be null, the one constant empty text (outside the line, the
// same on every call), or a pointer into the line up to its terminator; and
// it must be the one the prefix rule gives: "--update" over the first 8
// units, then the empty text for a line of exactly 8 units, else the line
// from its 10th unit on.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "fuzz_units.h"
#include "base/launch_context.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "update argument fuzzer: %s\n", what);
  abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

const wchar_t* constantEmpty = nullptr;  // the first empty text seen

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint16_t> units = DecodeFuzzUnits(data, size);
  const size_t length = units.size();
  wchar_t* line = NewExactText(units);

  const wchar_t* argument = ParseUpdateArgument(line);

  static const char16_t kPrefix[] = u"--update";
  bool update = length >= 8;
  for (size_t i = 0; update && i < 8; ++i) update = units[i] == kPrefix[i];

  if (!update) {
    CHECK(argument == nullptr);
  } else if (length == 8) {
    CHECK(argument != nullptr);
    CHECK(argument[0] == 0);
    CHECK(argument < line || argument > line + length);  // a constant, not the line
    if (!constantEmpty) constantEmpty = argument;
    CHECK(argument == constantEmpty);
  } else {
    CHECK(argument == line + 9);
    CHECK(argument <= line + length);  // within the line, its terminator at most
  }

  free(line);
  return 0;
}
