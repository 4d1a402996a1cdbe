#include "install/registration.h"

#include <windows.h>
#include <shlobj.h>
#include <propkey.h>
#include <propsys.h>
#include <shobjidl.h>

#include "base/bounded_text.h"
#include "base/launch_context.h"
#include "base/product.h"
#include "install/install_text.h"

namespace {

// The longest formatted value, the uninstall command (a quoted application
// path and " --uninstall", at most 273 characters), fits with room to spare.
enum { kRegistryTextCapacity = 292 };

const GUID kShellLinkClass = {
    0x00021401, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kShellLinkInterface = {
    0x000214f9, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID kPropertyStoreInterface = {
    0x886d8eeb, 0x8cf2, 0x4446, {0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf, 0x99}};
const GUID kPersistFileInterface = {
    0x0000010b, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const PROPERTYKEY kAppUserModelId = {
    {0x9f4c2855, 0x9f79, 0x4b39, {0xa8, 0xd0, 0xe1, 0xd4, 0x2d, 0xe1, 0xd5, 0xf3}}, 5};
const GUID kProgramsFolder = {
    0xa77f5d77, 0x2e2b, 0x44c3, {0xa6, 0xa2, 0xab, 0xa6, 0x01, 0x05, 0x4a, 0x51}};
const GUID kDesktopFolder = {
    0xb4bfcc3a, 0xdb2c, 0x424c, {0xb0, 0x29, 0x7f, 0xe9, 0x9a, 0x87, 0xc6, 0x41}};

HKEY CreateKey(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

// REG_SZ with its terminator: 2 × (characters + 1) bytes.
void SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>((TextLength(text) + 1) * sizeof(wchar_t));
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

void SetNumber(HKEY key, const wchar_t* name, DWORD number) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

void RegisterUrlScheme() {
  if (HKEY key = CreateKey(NIMBREL_URL_SCHEME_KEY)) {
    SetText(key, nullptr, NIMBREL_URL_SCHEME_NAME);
    SetText(key, L"URL Protocol", L"");
    RegCloseKey(key);
  }
  if (HKEY key = CreateKey(NIMBREL_URL_SCHEME_KEY L"\\shell\\open\\command")) {
    wchar_t command[kRegistryTextCapacity];
    FormatText(command, kRegistryTextCapacity, L"\"%s\" \"%%1\"", setupContext.appExePath);
    SetText(key, nullptr, command);
    RegCloseKey(key);
  }
}

void RegisterUninstallEntry() {
  HKEY key = CreateKey(NIMBREL_UNINSTALL_KEY);
  if (!key) return;
  wchar_t text[kRegistryTextCapacity];
  SetText(key, L"DisplayName", NIMBREL_PRODUCT_NAME);
  SetText(key, L"Publisher", NIMBREL_PUBLISHER);
  SetText(key, L"InstallLocation", setupContext.installDir);
  FormatText(text, kRegistryTextCapacity, L"\"%s\",0", setupContext.appExePath);
  SetText(key, L"DisplayIcon", text);
  FormatText(text, kRegistryTextCapacity, L"\"%s\" --uninstall", setupContext.appExePath);
  SetText(key, L"UninstallString", text);
  SetNumber(key, L"NoModify", 1);
  SetNumber(key, L"NoRepair", 1);
  SetNumber(key, L"EstimatedSize", 220000);  // kilobytes
  RegCloseKey(key);
}

// Replaces the earlier releases' shortcut by the current one in a known
// folder; a folder whose path leaves no room for either name is left alone.
void PlaceShortcut(REFKNOWNFOLDERID folder) {
  wchar_t* folderPath = nullptr;
  if (FAILED(SHGetKnownFolderPath(folder, 0, nullptr, &folderPath))) {
    CoTaskMemFree(folderPath);
    return;
  }
  wchar_t earlierPath[kPathCapacity];
  wchar_t shortcutPath[kPathCapacity];
  const bool fits = FormatShortcutPaths(folderPath, earlierPath, shortcutPath, kPathCapacity);
  CoTaskMemFree(folderPath);
  // A folder too long for the shortcut names is left alone: a cut name could
  // be a user's own file there.
  if (!fits) return;
  DeleteFileW(earlierPath);  // the shortcut of earlier releases

  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                              reinterpret_cast<void**>(&link))))
    return;
  link->SetPath(setupContext.appExePath);
  link->SetWorkingDirectory(setupContext.installDir);
  link->SetIconLocation(setupContext.appExePath, 0);
  link->SetDescription(NIMBREL_PRODUCT_NAME);

  IPropertyStore* properties = nullptr;
  if (SUCCEEDED(link->QueryInterface(kPropertyStoreInterface, reinterpret_cast<void**>(&properties)))) {
    PROPVARIANT id = {};
    id.vt = VT_LPWSTR;
    id.pwszVal = const_cast<wchar_t*>(NIMBREL_APP_USER_MODEL_ID);  // constant: nothing to free
    properties->SetValue(kAppUserModelId, id);
    properties->Commit();
    properties->Release();
  }
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(kPersistFileInterface, reinterpret_cast<void**>(&file)))) {
    file->Save(shortcutPath, TRUE);
    file->Release();
  }
  link->Release();
}

}  // namespace

void RegisterInstallation() {
  RegisterUrlScheme();
  RegisterUninstallEntry();
  // The shortcuts are tried either way; only a successful initialisation is
  // balanced, so that a failed one cannot tear down someone else's apartment.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  PlaceShortcut(kProgramsFolder);
  PlaceShortcut(kDesktopFolder);
  if (SUCCEEDED(com)) CoUninitialize();
}
