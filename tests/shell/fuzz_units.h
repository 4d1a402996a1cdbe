// Turns a fuzzer's bytes into UTF-16 text for the launch-context fuzzers.
//
// A byte below 0xFF is the unit of the same value, so seeds and dictionaries
// stay readable ASCII (and Latin-1: 0xE9 is U+00E9). 0xFF and the two bytes
// after it, little-endian, give any unit, U+0100 and up included. An escape
// cut short by the end of the input is dropped. Decoding stops at the first
// zero unit, as every text of the setup ends there.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

inline std::vector<uint16_t> DecodeFuzzUnits(const uint8_t* data, size_t size) {
  std::vector<uint16_t> units;
  for (size_t at = 0; at < size;) {
    uint16_t unit = data[at++];
    if (unit == 0xFF) {
      if (size - at < 2) break;
      unit = static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
      at += 2;
    }
    if (unit == 0) break;
    units.push_back(unit);
  }
  return units;
}

// A heap copy of the units as a terminated wchar_t text of exactly that size,
// so that AddressSanitizer stops any read past the terminator.
inline wchar_t* NewExactText(const std::vector<uint16_t>& units) {
  wchar_t* text = static_cast<wchar_t*>(malloc((units.size() + 1) * sizeof(wchar_t)));
  for (size_t i = 0; i < units.size(); ++i) text[i] = static_cast<wchar_t>(units[i]);
  text[units.size()] = 0;
  return text;
}
