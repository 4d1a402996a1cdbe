// The launch context: update mode, install paths and the space identifier and
// access code carried in the setup's own file name.
#pragma once

#include <stddef.h>

enum {
  kPathCapacity = 260,        // MAX_PATH, terminator included
  kIdentifierCapacity = 128,  // at most 127 characters and the terminator
  kIdentifierMaxLength = 127,
  kAccessCodeMinLength = 16,
};

struct SetupContext {
  wchar_t programsDir[kPathCapacity];
  wchar_t installDir[kPathCapacity];
  wchar_t appExePath[kPathCapacity];
  // Null outside update mode. In update mode it points into the command line
  // (valid for the life of the process) or at a constant empty text.
  const wchar_t* updateArgument;
  wchar_t spaceId[kIdentifierCapacity];
  wchar_t spaceCode[kIdentifierCapacity];
};

// The process-wide launch context. Written by the entry before any worker
// starts; read-only afterwards.
extern SetupContext setupContext;

// --- Platform-free parts ---------------------------------------------------

// The update argument for a command line (program name already removed):
// null when the line does not begin with "--update"; otherwise the text from
// the 10th character on, or an empty text when the line is exactly "--update".
const wchar_t* ParseUpdateArgument(const wchar_t* commandLine);

// Formats programsDir, installDir and appExePath from a LOCALAPPDATA value.
// False, with all three left empty, when the value is empty or any of them
// would not fit its field: a cut path would install into the wrong folder.
// The longest value that fits has 230 characters.
bool FormatInstallPaths(const wchar_t* localAppData, SetupContext* context);

// Classifies a character from U+0100 up (never U+FFFF) as letter or digit.
typedef bool (*LetterOrDigitClassifier)(wchar_t character);

// Whether a character may appear in a space identifier or an access code:
// "_", "-", the Latin-1 letters and digits below U+0100, and from U+0100 up
// whatever the classifier calls a letter or digit. U+FFFF, "." and the
// terminator never are, so "." ends the identifier and starts the code.
bool IsIdentifierCharacter(wchar_t character, LetterOrDigitClassifier classifier);

// Finds "setup-<identifier>[.<code>]" in the file-name part of `ownPath` and
// fills spaceId and spaceCode (each 128 units); both are emptied first.
void ParseSetupFileNameFrom(const wchar_t* ownPath, LetterOrDigitClassifier classifier,
                            wchar_t* spaceId, wchar_t* spaceCode);

// --- Platform edge ---------------------------------------------------------

// GetStringTypeW(CT_CTYPE1): alpha, upper, lower or digit; a failed call is no.
bool IsPlatformLetterOrDigit(wchar_t character);

// Reads the setup's own path and fills setupContext.spaceId and spaceCode.
void ParseSetupFileName();
