#include "base/launch_context.h"

#include "base/bounded_text.h"
#include "base/product.h"
#include "base/zero_filled.h"

ZERO_FILLED SetupContext setupContext;

namespace {

const wchar_t kUpdateSwitch[] = L"--update";
const size_t kUpdateSwitchLength = sizeof kUpdateSwitch / sizeof kUpdateSwitch[0] - 1;

// Each install path appends one of these to the one before it.
const wchar_t kProgramsSuffix[] = L"\\" NIMBREL_PROGRAMS_FOLDER;
const wchar_t kInstallSuffix[] = L"\\" NIMBREL_INSTALL_FOLDER;
const wchar_t kAppExeSuffix[] = L"\\" NIMBREL_APP_EXE;

const wchar_t kSetupMarker[] = L"setup-";
const size_t kSetupMarkerLength = sizeof kSetupMarker / sizeof kSetupMarker[0] - 1;

}  // namespace

const wchar_t* ParseUpdateArgument(const wchar_t* commandLine) {
  static const wchar_t kEmpty[] = L"";
  if (!TextStartsWith(commandLine, kUpdateSwitch)) return nullptr;
  const wchar_t* afterSwitch = commandLine + kUpdateSwitchLength;
  if (*afterSwitch == 0) return kEmpty;
  // The character after the switch is skipped whatever it is (normally the
  // blank that separates it); the rest is taken verbatim.
  return afterSwitch + 1;
}

bool FormatInstallPaths(const wchar_t* localAppData, SetupContext* context) {
  // Each path extends the one before it, so the application path is the
  // longest.
  const size_t valueLength = TextLength(localAppData);
  const size_t appendedLength = TextLength(kProgramsSuffix) + TextLength(kInstallSuffix) +
                                TextLength(kAppExeSuffix);
  if (valueLength == 0 || valueLength + appendedLength >= kPathCapacity) {
    context->programsDir[0] = 0;
    context->installDir[0] = 0;
    context->appExePath[0] = 0;
    return false;
  }
  FormatText(context->programsDir, kPathCapacity, L"%s%s", localAppData, kProgramsSuffix);
  FormatText(context->installDir, kPathCapacity, L"%s%s", context->programsDir, kInstallSuffix);
  FormatText(context->appExePath, kPathCapacity, L"%s%s", context->installDir, kAppExeSuffix);
  return true;
}

bool IsIdentifierCharacter(wchar_t character, LetterOrDigitClassifier classifier) {
  const unsigned unit = static_cast<unsigned>(character);
  if (unit == L'_' || unit == L'-') return true;
  if (unit < 0x100) {
    if (unit >= L'0' && unit <= L'9') return true;
    if (unit >= L'A' && unit <= L'Z') return true;
    if (unit >= L'a' && unit <= L'z') return true;
    if (unit == 0xAA || unit == 0xB2 || unit == 0xB3 || unit == 0xB5 || unit == 0xB9 ||
        unit == 0xBA)
      return true;
    return unit >= 0xC0 && unit != 0xD7 && unit != 0xF7;
  }
  if (unit == 0xFFFF) return false;
  return classifier(character);
}

namespace {

// Counts identifier characters from `start`, at most 127.
size_t CountIdentifier(const wchar_t* start, LetterOrDigitClassifier classifier) {
  size_t count = 0;
  while (count < kIdentifierMaxLength && IsIdentifierCharacter(start[count], classifier))
    ++count;
  return count;
}

void CopyUnits(wchar_t* target, const wchar_t* source, size_t count) {
  for (size_t i = 0; i < count; ++i) target[i] = source[i];
  target[count] = 0;
}

// First occurrence of `needle` in `haystack`, or null.
const wchar_t* FindText(const wchar_t* haystack, const wchar_t* needle) {
  for (; *haystack; ++haystack) {
    if (TextStartsWith(haystack, needle)) return haystack;
  }
  return nullptr;
}

}  // namespace

void ParseSetupFileNameFrom(const wchar_t* ownPath, LetterOrDigitClassifier classifier,
                            wchar_t* spaceId, wchar_t* spaceCode) {
  spaceId[0] = 0;
  spaceCode[0] = 0;
  const wchar_t* region = ownPath;
  for (const wchar_t* at = ownPath; *at; ++at) {
    if (*at == L'\\') region = at;
  }
  const wchar_t* marker = FindText(region, kSetupMarker);
  if (!marker) return;
  const wchar_t* identifier = marker + kSetupMarkerLength;
  const size_t idLength = CountIdentifier(identifier, classifier);
  CopyUnits(spaceId, identifier, idLength);
  if (identifier[idLength] != L'.') return;
  const wchar_t* code = identifier + idLength + 1;
  const size_t codeLength = CountIdentifier(code, classifier);
  if (codeLength >= kAccessCodeMinLength) CopyUnits(spaceCode, code, codeLength);
}
