// verify-trust.exe <file>
// Asks the platform whether the Authenticode signature of <file> is trusted
// (WinVerifyTrust, the generic verify action, no revocation check, no UI) and
// prints the result as "0x%08lx". Exit codes: 0 trusted, 1 not trusted, 2 usage.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"usage: verify-trust.exe <file>\n");
    return 2;
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = argv[1];
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  wprintf(L"0x%08lx\n", static_cast<unsigned long>(result));
  return result == 0 ? 0 : 1;
}
