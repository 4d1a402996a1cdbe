// The platform edge of the launch context.
#include <windows.h>

#include "base/launch_context.h"

bool IsPlatformLetterOrDigit(wchar_t character) {
  WORD type = 0;
  if (!GetStringTypeW(CT_CTYPE1, &character, 1, &type)) return false;
  return (type & (C1_ALPHA | C1_UPPER | C1_LOWER | C1_DIGIT)) != 0;
}

void ParseSetupFileName() {
  wchar_t ownPath[kPathCapacity];
  // An unreadable own path counts as a name without "setup-".
  const DWORD length = GetModuleFileNameW(nullptr, ownPath, kPathCapacity);
  if (length == 0) {
    setupContext.spaceId[0] = 0;
    setupContext.spaceCode[0] = 0;
    return;
  }
  ownPath[kPathCapacity - 1] = 0;  // a cut path may be unterminated on older systems
  ParseSetupFileNameFrom(ownPath, IsPlatformLetterOrDigit, setupContext.spaceId,
                         setupContext.spaceCode);
}
