// inspect_install.exe registry | shortcuts | processes
//
// Prints, as one JSON document on stdout (UTF-8), what an installation left
// in this prefix:
//   registry   every value of HKCU\Software\Classes\nimbrel, of its
//              shell\open\command key and of the uninstall entry "Nimbrel":
//              name, type, size in bytes and data, and each key's subkeys;
//   shortcuts  for the Start menu programs folder and the desktop: every .lnk
//              file there, and "Nimbrel Desktop.lnk" as the shell reads it back
//              (target, arguments, working directory, icon, description, the
//              application user model ID) together with what its raw bytes
//              hold;
//   processes  every process of the prefix with its image path.
// Exit code 0, or 2 for an unknown mode.
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

const GUID kShellLinkClass = {
    0x00021401, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const PROPERTYKEY kAppUserModelId = {
    {0x9f4c2855, 0x9f79, 0x4b39, {0xa8, 0xd0, 0xe1, 0xd4, 0x2d, 0xe1, 0xd5, 0xf3}}, 5};
const GUID kProgramsFolder = {
    0xa77f5d77, 0x2e2b, 0x44c3, {0xa6, 0xa2, 0xab, 0xa6, 0x01, 0x05, 0x4a, 0x51}};
const GUID kDesktopFolder = {
    0xb4bfcc3a, 0xdb2c, 0x424c, {0xb0, 0x29, 0x7f, 0xe9, 0x9a, 0x87, 0xc6, 0x41}};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                      nullptr);
  return out;
}

// A JSON string literal. Control characters, quotes and backslashes are
// escaped; the rest goes out as UTF-8.
std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      wsprintfA(escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += Utf8(std::wstring(1, c));
    }
  }
  return out + "\"";
}

std::string Number(unsigned long long value) { return std::to_string(value); }

void Emit(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    default: return "type " + Number(type);
  }
}

// {"exists":..., "subkeys":[...], "values":[{"name","type","size","data"[,"terminated"]}]}
std::string DescribeKey(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "{\"exists\":false}";
  std::string out = "{\"exists\":true,\"subkeys\":[";
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (i) out += ",";
    out += Json(std::wstring(name, nameLength));
  }
  out += "],\"values\":[";
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    BYTE data[4096];
    DWORD size = sizeof data;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    if (i) out += ",";
    out += "{\"name\":" + Json(std::wstring(name, nameLength)) + ",\"type\":\"" + TypeName(type) +
           "\",\"size\":" + Number(size);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const wchar_t* units = reinterpret_cast<const wchar_t*>(data);
      size_t count = size / sizeof(wchar_t);
      const bool terminated = count > 0 && units[count - 1] == 0;
      if (terminated) --count;
      out += ",\"data\":" + Json(std::wstring(units, count)) +
             ",\"terminated\":" + (terminated ? "true" : "false");
    } else if (type == REG_DWORD && size == 4) {
      DWORD value;
      memcpy(&value, data, 4);
      out += ",\"data\":" + Number(value);
    }
    out += "}";
  }
  RegCloseKey(key);
  return out + "]}";
}

void PrintRegistry() {
  Emit("{\"classes\":" + DescribeKey(L"Software\\Classes\\nimbrel") +
       ",\"command\":" + DescribeKey(L"Software\\Classes\\nimbrel\\shell\\open\\command") +
       ",\"uninstall\":" + DescribeKey(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Nimbrel") +
       "}\n");
}

bool ReadWholeFile(const std::wstring& path, std::vector<char>* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes->insert(bytes->end(), buffer, buffer + got);
  CloseHandle(file);
  return true;
}

bool Contains(const std::vector<char>& haystack, const void* needle, size_t length) {
  if (haystack.size() < length) return false;
  for (size_t i = 0; i + length <= haystack.size(); ++i)
    if (memcmp(haystack.data() + i, needle, length) == 0) return true;
  return false;
}

std::string DescribeLink(const std::wstring& path) {
  std::string out = "{";
  std::vector<char> bytes;
  if (!ReadWholeFile(path, &bytes)) return "null";
  const wchar_t wide[] = L"Nimbrel.app";
  const char narrow[] = "Nimbrel.app";
  out += "\"file_bytes\":" + Number(bytes.size());
  out += std::string(",\"raw_has_utf16_id\":") + (Contains(bytes, wide, 11 * sizeof(wchar_t)) ? "true" : "false");
  out += std::string(",\"raw_has_ascii_id\":") + (Contains(bytes, narrow, 11) ? "true" : "false");

  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link))))
    return out + ",\"loaded\":false}";
  IPersistFile* file = nullptr;
  bool loaded = false;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    loaded = SUCCEEDED(file->Load(path.c_str(), STGM_READ));
    file->Release();
  }
  out += std::string(",\"loaded\":") + (loaded ? "true" : "false");
  if (loaded) {
    wchar_t text[1024];
    int index = -1;
    text[0] = 0;
    link->GetPath(text, 1024, nullptr, SLGP_RAWPATH);
    out += ",\"target\":" + Json(text);
    text[0] = 0;
    link->GetArguments(text, 1024);
    out += ",\"arguments\":" + Json(text);
    text[0] = 0;
    link->GetWorkingDirectory(text, 1024);
    out += ",\"working_directory\":" + Json(text);
    text[0] = 0;
    link->GetIconLocation(text, 1024, &index);
    out += ",\"icon\":" + Json(text) + ",\"icon_index\":" + std::to_string(index);
    text[0] = 0;
    link->GetDescription(text, 1024);
    out += ",\"description\":" + Json(text);

    IPropertyStore* properties = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&properties)))) {
      DWORD count = 0;
      properties->GetCount(&count);
      PROPVARIANT value;
      PropVariantInit(&value);
      const HRESULT got = properties->GetValue(kAppUserModelId, &value);
      out += ",\"property_count\":" + Number(count) + ",\"app_id_hresult\":" +
             Number(static_cast<unsigned long>(got)) + ",\"app_id_vt\":" + Number(value.vt);
      out += ",\"app_id\":" +
             (value.vt == VT_LPWSTR && value.pwszVal ? Json(value.pwszVal) : std::string("null"));
      PropVariantClear(&value);
      properties->Release();
    } else {
      out += ",\"property_store\":false";
    }
  }
  link->Release();
  return out + "}";
}

std::string DescribeFolder(REFKNOWNFOLDERID id) {
  wchar_t* folder = nullptr;
  if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, &folder))) {
    CoTaskMemFree(folder);
    return "null";
  }
  const std::wstring path = folder;
  CoTaskMemFree(folder);
  std::string out = "{\"path\":" + Json(path) + ",\"links\":[";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*.lnk").c_str(), &found);
  bool first = true;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!first) out += ",";
      out += Json(found.cFileName);
      first = false;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return out + "],\"shortcut\":" + DescribeLink(path + L"\\Nimbrel Desktop.lnk") + "}";
}

void PrintShortcuts() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Emit("{\"programs\":" + DescribeFolder(kProgramsFolder) + ",\"desktop\":" +
       DescribeFolder(kDesktopFolder) + "}\n");
  CoUninitialize();
}

void PrintProcesses() {
  std::string out = "[";
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool first = true;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
      wchar_t image[MAX_PATH] = L"";
      DWORD size = MAX_PATH;
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
      if (process) {
        if (!QueryFullProcessImageNameW(process, 0, image, &size)) image[0] = 0;
        CloseHandle(process);
      }
      if (!first) out += ",";
      out += "{\"pid\":" + Number(entry.th32ProcessID) + ",\"name\":" + Json(entry.szExeFile) +
             ",\"image\":" + Json(image) + "}";
      first = false;
    }
    CloseHandle(snapshot);
  }
  Emit(out + "]\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"registry") {
    PrintRegistry();
  } else if (mode == L"shortcuts") {
    PrintShortcuts();
  } else if (mode == L"processes") {
    PrintProcesses();
  } else {
    Emit("usage: inspect_install registry | shortcuts | processes\n");
    return 2;
  }
  return 0;
}
