// Checks the Wine test bed itself, from inside a test prefix: the tar shim in
// the system folder, the trusted test CA and the environment launcher.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring HereDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring SystemDir() {
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return std::wstring(path, n);
}

// A new empty folder below the temporary folder, removed with its content.
class TempFolder {
 public:
  TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    path_ = std::wstring(temp) + L"testbed-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempFolder() { Remove(path_); }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  static void Remove(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = dir + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(child);
        } else {
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
  }
  std::wstring path_;
};

bool ReadFileText(const std::wstring& path, std::string* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  text->clear();
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
  CloseHandle(file);
  return true;
}

bool WriteFileText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Finished {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
};

// Runs a command line with standard output read through a pipe.
Finished RunCommand(std::wstring commandLine) {
  Finished result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process);
  CloseHandle(writeEnd);
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) result.out.append(buffer, got);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &result.exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  return result;
}

// The tar command line in the form the setup uses.
std::wstring TarCommand(const std::wstring& archive, const std::wstring& target) {
  return L"\"" + SystemDir() + L"\\tar.exe\" -xf \"" + archive + L"\" --strip-components=1 -C \"" + target +
         L"\"";
}

TEST(TarShim, UnpacksZipStrippingTheTopFolder) {
  TempFolder temp;
  std::wstring archive = temp / L"nimbrel-runtime.zip";
  ASSERT_TRUE(CopyFileW((HereDir() + L"\\sample.zip").c_str(), archive.c_str(), FALSE));
  std::wstring target = temp / L"Programs nimbrel";
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));

  Finished tar = RunCommand(TarCommand(archive, target));

  EXPECT_EQ(tar.exitCode, 0u) << tar.out;
  std::string text;
  ASSERT_TRUE(ReadFileText(target + L"\\nimbrel.txt", &text));
  EXPECT_EQ(text, "nimbrel test runtime\n");
  EXPECT_TRUE(Exists(target + L"\\lib\\read me.txt"));
  EXPECT_FALSE(Exists(target + L"\\nimbrel-runtime"));
}

TEST(TarShim, FailsForBadArchives) {
  struct Case {
    const char* what;
    const char* content;  // nullptr: no archive file at all
  };
  for (const Case& c : {Case{"corrupt", "this is not a zip archive\n"}, Case{"missing", nullptr}}) {
    SCOPED_TRACE(c.what);
    TempFolder temp;
    std::wstring archive = temp / L"nimbrel-runtime.zip";
    if (c.content) ASSERT_TRUE(WriteFileText(archive, c.content));
    std::wstring target = temp / L"target";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));

    Finished tar = RunCommand(TarCommand(archive, target));

    EXPECT_NE(tar.exitCode, 0u);
    EXPECT_NE(tar.exitCode, 0xFFFFFFFFu) << "tar did not finish";
  }
}

TEST(TarShim, ExitsWithTwoWithoutItsRunner) {
  TempFolder temp;
  ASSERT_TRUE(SetEnvironmentVariableW(L"NIMBREL_TAR_RUNNER", L"C:\\nowhere\\runner.sh"));
  Finished tar = RunCommand(TarCommand(temp / L"a.zip", temp.path()));
  SetEnvironmentVariableW(L"NIMBREL_TAR_RUNNER", nullptr);
  EXPECT_EQ(tar.exitCode, 2u);
}

TEST(TestCa, IsInTheMachineRootStore) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root");
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W,
                                                   L"Nimbrel Test CA", nullptr);
  EXPECT_NE(cert, nullptr);
  if (cert) CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

TEST(LaunchEnv, ChangesTheChildsEnvironment) {
  struct Case {
    const wchar_t* options;
    DWORD exitCode;
    const char* out;  // nullptr: any
  };
  const Case cases[] = {
      {L"", 0, nullptr},  // Wine itself provides LOCALAPPDATA
      {L"--unset LOCALAPPDATA", 3, ""},
      {L"--unset localappdata", 3, ""},
      {L"--set LOCALAPPDATA=", 3, ""},
      {L"--set \"LOCALAPPDATA=C:\\some where\"", 0, "C:\\some where"},
      {L"--unset LOCALAPPDATA --set LOCALAPPDATA=D:\\x", 0, "D:\\x"},
  };
  for (const Case& c : cases) {
    std::wstring options = c.options;
    SCOPED_TRACE(std::string(options.begin(), options.end()));
    Finished child = RunCommand(L"\"" + HereDir() + L"\\launch-env.exe\" " + options + L" -- \"" + HereDir() +
                         L"\\print-env.exe\" LOCALAPPDATA");
    EXPECT_EQ(child.exitCode, c.exitCode);
    if (c.out) EXPECT_EQ(child.out, c.out);
  }
}

}  // namespace
