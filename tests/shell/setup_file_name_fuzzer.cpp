// Fuzzes the own-file-name parse: an arbitrary path (see fuzz_units.h for how
// bytes become units) in a heap block of exactly its size, parsed into
// spaceId and spaceCode fields of 128 units, each between guard units in a
// block of its own.
//
// Checked on every input: nothing written outside the two fields, both
// terminated within them, an identifier of at most 127 and a code of 0 or
// 16 to 127 identifier characters, the classifier asked only about units
// from U+0100 up other than U+FFFF, and both results equal to those of a
// plain reference parse over std::u16string written here from the rules of
// the file name.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz_units.h"
#include "base/launch_context.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "setup file name fuzzer: %s\n", what);
  abort();
}

#define CHECK(condition) \
  do {                   \
    if (!(condition)) Fail(#condition); \
  } while (0)

// Stands for the platform's letter-or-digit test from U+0100 up: a fixed
// table of blocks that are letters or digits (Latin extended, Greek and
// Cyrillic, Arabic-Indic digits, kana, CJK, Hangul, full-width letters and
// digits); every other unit, surrogates and punctuation included, is not.
bool TableSaysLetterOrDigit(uint16_t unit) {
  static const uint16_t kRanges[][2] = {
      {0x0100, 0x02AF}, {0x0370, 0x052F}, {0x0660, 0x0669}, {0x3040, 0x30FF},
      {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}, {0xFF10, 0xFF19}, {0xFF21, 0xFF3A},
      {0xFF41, 0xFF5A},
  };
  for (const auto& range : kRanges) {
    if (unit >= range[0] && unit <= range[1]) return true;
  }
  return false;
}

bool classifierMisused = false;

bool FuzzClassifier(wchar_t character) {
  const unsigned unit = static_cast<unsigned>(character);
  if (unit < 0x100 || unit >= 0xFFFF) classifierMisused = true;
  return TableSaysLetterOrDigit(static_cast<uint16_t>(unit));
}

// The identifier-character rule, written out from its list.
bool ReferenceIdentifierUnit(uint16_t unit) {
  if (unit == u'_' || unit == u'-') return true;
  if (unit == 0xFFFF) return false;
  if (unit >= 0x100) return TableSaysLetterOrDigit(unit);
  if ((unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
      (unit >= u'a' && unit <= u'z'))
    return true;
  static const uint16_t kLatin1Singles[] = {0xAA, 0xB2, 0xB3, 0xB5, 0xB9, 0xBA};
  for (uint16_t single : kLatin1Singles) {
    if (unit == single) return true;
  }
  return (unit >= 0xC0 && unit <= 0xD6) || (unit >= 0xD8 && unit <= 0xF6) ||
         (unit >= 0xF8 && unit <= 0xFF);
}

size_t ReferenceRun(const std::u16string& text, size_t start) {
  size_t count = 0;
  while (count < 127 && start + count < text.size() &&
         ReferenceIdentifierUnit(text[start + count]))
    ++count;
  return count;
}

void ReferenceParse(const std::u16string& path, std::u16string* id, std::u16string* code) {
  id->clear();
  code->clear();
  const size_t backslash = path.rfind(u'\\');
  const std::u16string name = backslash == std::u16string::npos ? path : path.substr(backslash);
  const size_t marker = name.find(u"setup-");
  if (marker == std::u16string::npos) return;
  const size_t idStart = marker + 6;
  const size_t idLength = ReferenceRun(name, idStart);
  *id = name.substr(idStart, idLength);
  const size_t after = idStart + idLength;
  if (after >= name.size() || name[after] != u'.') return;
  const size_t codeLength = ReferenceRun(name, after + 1);
  if (codeLength >= 16) *code = name.substr(after + 1, codeLength);
}

const size_t kGuardUnits = 8;
const wchar_t kGuard = static_cast<wchar_t>(0xA5A5);
const wchar_t kStale = L'Z';  // what the fields hold before the parse

wchar_t* NewGuardedField() {
  const size_t total = kGuardUnits + kIdentifierCapacity + kGuardUnits;
  wchar_t* block = static_cast<wchar_t*>(malloc(total * sizeof(wchar_t)));
  for (size_t i = 0; i < total; ++i) block[i] = kGuard;
  for (size_t i = 0; i < kIdentifierCapacity; ++i) block[kGuardUnits + i] = kStale;
  return block;
}

// Checks the guards and returns the field's text up to its terminator.
std::u16string CheckedField(const wchar_t* block) {
  for (size_t i = 0; i < kGuardUnits; ++i) {
    CHECK(block[i] == kGuard);
    CHECK(block[kGuardUnits + kIdentifierCapacity + i] == kGuard);
  }
  const wchar_t* field = block + kGuardUnits;
  size_t length = 0;
  while (length < kIdentifierCapacity && field[length] != 0) ++length;
  CHECK(length < kIdentifierCapacity);  // terminated within the field
  std::u16string text;
  for (size_t i = 0; i < length; ++i) {
    const unsigned unit = static_cast<unsigned>(field[i]);
    CHECK(unit <= 0xFFFF);
    CHECK(ReferenceIdentifierUnit(static_cast<uint16_t>(unit)));
    text.push_back(static_cast<char16_t>(unit));
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint16_t> units = DecodeFuzzUnits(data, size);

  // The character rule itself, over every unit of the input.
  classifierMisused = false;
  for (uint16_t unit : units) {
    CHECK(IsIdentifierCharacter(static_cast<wchar_t>(unit), FuzzClassifier) ==
          ReferenceIdentifierUnit(unit));
  }
  CHECK(!IsIdentifierCharacter(0, FuzzClassifier));
  CHECK(!classifierMisused);

  wchar_t* path = NewExactText(units);
  wchar_t* idBlock = NewGuardedField();
  wchar_t* codeBlock = NewGuardedField();
  ParseSetupFileNameFrom(path, FuzzClassifier, idBlock + kGuardUnits, codeBlock + kGuardUnits);
  CHECK(!classifierMisused);

  const std::u16string id = CheckedField(idBlock);
  const std::u16string code = CheckedField(codeBlock);
  CHECK(id.size() <= kIdentifierMaxLength);
  CHECK(code.empty() || (code.size() >= kAccessCodeMinLength && code.size() <= kIdentifierMaxLength));

  std::u16string expectedId;
  std::u16string expectedCode;
  ReferenceParse(std::u16string(units.begin(), units.end()), &expectedId, &expectedCode);
  CHECK(id == expectedId);
  CHECK(code == expectedCode);

  free(codeBlock);
  free(idBlock);
  free(path);
  return 0;
}
