// The install worker's messages to the window, seen from inside the process:
// ArchiveSink chunk by chunk, and whole InstallWorker runs against the test
// server that test_install.py starts on the setup's compiled-in port.
//
// A message-only window stands in for the progress window; every posted
// message is taken from the queue with the time it was posted.
//
// NIMBREL_SERVED selects the whole-run scenario that the server is set up
// for: "good" (the good archive, NIMBREL_ARCHIVE_BYTES long), "missing" (404)
// or "noexe" (an archive without nimbrel.exe). Scenarios for other settings
// are skipped.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/install_text.h"
#include "install/install_worker.h"
#include "base/bounded_text.h"
#include "base/launch_context.h"
#include "shell/progress_window.h"

namespace {

const wchar_t kDownloadFailure[] =
    L"Nimbrel Desktop could not be downloaded. Check the internet connection and run the setup "
    L"again.";
const wchar_t kUnpackingFailure[] = L"Nimbrel Desktop could not be installed (unpacking failed).";

struct Posted {
  UINT message;
  int percent;           // wParam as the signed 32-bit number the window reads
  const wchar_t* where;  // lParam
  std::wstring text;     // lParam's text when the message was taken
  DWORD time;
};

class StandInWindow {
 public:
  StandInWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"InstallWorkerTestWindow";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, L"InstallWorkerTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    progressWindow = window_;
    progressState.errorMessage = nullptr;
  }
  ~StandInWindow() {
    Take();
    DestroyWindow(window_);
    progressWindow = nullptr;
  }
  // Everything posted since the last call, oldest first.
  std::vector<Posted> Take() {
    std::vector<Posted> taken;
    MSG message;
    while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) {
      if (message.message != WM_SETUP_PROGRESS && message.message != WM_SETUP_DONE) continue;
      Posted posted = {message.message, static_cast<int>(static_cast<DWORD>(message.wParam)),
                       reinterpret_cast<const wchar_t*>(message.lParam), L"", message.time};
      if (message.message == WM_SETUP_PROGRESS && posted.where) posted.text = posted.where;
      taken.push_back(posted);
    }
    return taken;
  }

 private:
  HWND window_;
};

std::wstring TempFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

struct Chunk {
  const char* data;
  uint64_t receivedSoFar;
  uint64_t contentLength;
  int posted;           // expected percent, or -1 for no message
  const wchar_t* text;  // expected status with that message
};

void FeedAndCheck(const std::vector<Chunk>& chunks, const std::wstring& path) {
  StandInWindow window;
  ArchiveSinkState state;
  state.file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY, nullptr);
  ASSERT_NE(state.file, INVALID_HANDLE_VALUE);
  state.lastPercent = -1;
  std::string expectedBytes;
  for (const Chunk& chunk : chunks) {
    const uint32_t length = static_cast<uint32_t>(strlen(chunk.data));
    EXPECT_TRUE(ArchiveSink(&state, reinterpret_cast<const uint8_t*>(chunk.data), length,
                            chunk.receivedSoFar, chunk.contentLength));
    expectedBytes += chunk.data;
    const std::vector<Posted> posted = window.Take();
    if (chunk.posted < 0) {
      EXPECT_TRUE(posted.empty()) << "after " << chunk.receivedSoFar << " bytes";
      continue;
    }
    ASSERT_EQ(posted.size(), 1u) << "after " << chunk.receivedSoFar << " bytes";
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_SETUP_PROGRESS));
    EXPECT_EQ(posted[0].percent, chunk.posted);
    EXPECT_EQ(posted[0].where, progressText);  // the status buffer itself
    EXPECT_EQ(posted[0].text, chunk.text);
    EXPECT_EQ(state.lastPercent, chunk.posted);
  }
  CloseHandle(state.file);
  EXPECT_EQ(ReadAll(path), expectedBytes);  // every chunk written, in order
  DeleteFileW(path.c_str());
}

TEST(ArchiveSink, PostsTheFirstChunkAndEachChangeOfThePercent) {
  setupContext.updateArgument = nullptr;
  FeedAndCheck({{"a", 1, 215000000, 0, L"Downloading\u2026  0 of 215 MB"},
                {"bb", 999999, 215000000, -1, nullptr},
                {"c", 2149999, 215000000, -1, nullptr},  // 0.99 %: still 0
                {"dd", 2150000, 215000000, 1, L"Downloading\u2026  2 of 215 MB"},
                {"e", 52400000, 215000000, 24, L"Downloading\u2026  52 of 215 MB"},
                {"f", 52900000, 215000000, -1, nullptr},  // same percent: figures stay
                {"g", 215000000, 215000000, 100, L"Downloading\u2026  215 of 215 MB"}},
               TempFile(L"sink-test-1.bin"));
}

TEST(ArchiveSink, SaysUpdatingInUpdateMode) {
  setupContext.updateArgument = L"";
  FeedAndCheck({{"a", 1999999, 2000000, 99, L"Updating\u2026  1 of 2 MB"},
                {"b", 2000000, 2000000, 100, L"Updating\u2026  2 of 2 MB"}},
               TempFile(L"sink-test-2.bin"));
  setupContext.updateArgument = nullptr;
}

TEST(ArchiveSink, WithoutALengthPostsOnceWithZeroes) {
  setupContext.updateArgument = nullptr;
  FeedAndCheck({{"abc", 3, 0, 0, L"Downloading\u2026  0 of 0 MB"},
                {"def", 1500000, 0, -1, nullptr},
                {"ghi", 90000000, 0, -1, nullptr}},
               TempFile(L"sink-test-3.bin"));
}

TEST(ArchiveSink, RefusesAChunkItCannotWrite) {
  const std::wstring path = TempFile(L"sink-test-4.bin");
  HANDLE create = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(create, INVALID_HANDLE_VALUE);
  CloseHandle(create);
  StandInWindow window;
  ArchiveSinkState state;
  state.file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  state.lastPercent = -1;
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_FALSE(ArchiveSink(&state, data, 4, 4, 8));
  EXPECT_TRUE(window.Take().empty());
  EXPECT_EQ(state.lastPercent, -1);
  CloseHandle(state.file);
  DeleteFileW(path.c_str());
}

// --- whole runs ------------------------------------------------------------

std::wstring Served() {
  wchar_t value[64];
  DWORD n = GetEnvironmentVariableW(L"NIMBREL_SERVED", value, 64);
  return n > 0 && n < 64 ? std::wstring(value) : std::wstring();
}

void PrepareContext(const wchar_t* updateArgument) {
  wchar_t localAppData[MAX_PATH];
  GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, MAX_PATH);
  setupContext = SetupContext();
  FormatInstallPaths(localAppData, &setupContext);
  setupContext.updateArgument = updateArgument;
  CopyText(setupContext.spaceId, kIdentifierCapacity, updateArgument ? L"" : L"seq");
}

// The size of the archive the server sends (NIMBREL_ARCHIVE_BYTES).
uint64_t ArchiveBytes() {
  wchar_t value[32];
  DWORD n = GetEnvironmentVariableW(L"NIMBREL_ARCHIVE_BYTES", value, 32);
  return n > 0 && n < 32 ? _wcstoui64(value, nullptr, 10) : 0;
}

bool ArchiveLeft() {
  return GetFileAttributesW(TempFile(L"nimbrel-runtime.zip").c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(InstallWorkerRun, PostsDownloadThenPhasesThenDone) {
  if (Served() != L"good") GTEST_SKIP() << "needs the good archive on the server";
  for (const wchar_t* updateArgument : {static_cast<const wchar_t*>(nullptr), L"x"}) {
    SCOPED_TRACE(updateArgument ? "update mode" : "first installation");
    PrepareContext(updateArgument);
    StandInWindow window;
    EXPECT_EQ(InstallWorker(nullptr), 0u);
    const std::vector<Posted> posted = window.Take();
    ASSERT_GE(posted.size(), 4u);
    const size_t download = posted.size() - 3;
    int previous = -1;
    for (size_t i = 0; i < download; ++i) {
      EXPECT_EQ(posted[i].message, static_cast<UINT>(WM_SETUP_PROGRESS));
      EXPECT_GT(posted[i].percent, previous) << "message " << i;
      EXPECT_EQ(posted[i].where, progressText);
      previous = posted[i].percent;
    }
    EXPECT_EQ(previous, 100);
    // The last status shows the whole archive: its size in both figures.
    wchar_t whole[kProgressTextCapacity];
    FormatDownloadStatus(whole, kProgressTextCapacity, updateArgument != nullptr, ArchiveBytes(),
                         ArchiveBytes());
    EXPECT_EQ(std::wstring(progressText), whole);
    EXPECT_EQ(posted[download].message, static_cast<UINT>(WM_SETUP_PROGRESS));
    EXPECT_EQ(posted[download].percent, -1);
    EXPECT_EQ(posted[download].text, updateArgument ? L"Updating\u2026" : L"Installing\u2026");
    EXPECT_EQ(posted[download + 1].percent, 100);
    EXPECT_EQ(posted[download + 1].text, L"Starting\u2026");
    EXPECT_EQ(posted[download + 2].message, static_cast<UINT>(WM_SETUP_DONE));
    EXPECT_EQ(posted[download + 2].percent, 0);
    EXPECT_EQ(posted[download + 2].where, nullptr);
    // The window closes 1.5 s after "Starting…".
    EXPECT_GE(posted[download + 2].time - posted[download + 1].time, 1400u);
    EXPECT_EQ(progressState.errorMessage, nullptr);
    EXPECT_FALSE(ArchiveLeft());
  }
}

TEST(InstallWorkerRun, FailedDownloadPostsOnlyDone) {
  if (Served() != L"missing") GTEST_SKIP() << "needs a 404 for the archive";
  PrepareContext(nullptr);
  StandInWindow window;
  EXPECT_EQ(InstallWorker(nullptr), 0u);
  const std::vector<Posted> posted = window.Take();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_SETUP_DONE));
  ASSERT_NE(progressState.errorMessage, nullptr);
  EXPECT_EQ(std::wstring(progressState.errorMessage), kDownloadFailure);
  EXPECT_FALSE(ArchiveLeft());
}

TEST(InstallWorkerRun, ArchiveWithoutTheApplicationIsRefusedBeforeUnpacking) {
  if (Served() != L"noexe") GTEST_SKIP() << "needs the archive without nimbrel.exe";
  PrepareContext(nullptr);
  StandInWindow window;
  EXPECT_EQ(InstallWorker(nullptr), 0u);
  const std::vector<Posted> posted = window.Take();
  ASSERT_GE(posted.size(), 2u);
  EXPECT_EQ(posted.back().message, static_cast<UINT>(WM_SETUP_DONE));
  // Refused as it came in: the unpacking phase never began.
  for (const Posted& p : posted) {
    EXPECT_NE(p.percent, -1);
    EXPECT_NE(p.text, L"Installing\u2026");
    EXPECT_NE(p.text, L"Starting\u2026");
  }
  ASSERT_NE(progressState.errorMessage, nullptr);
  EXPECT_EQ(std::wstring(progressState.errorMessage), kUnpackingFailure);
  EXPECT_FALSE(ArchiveLeft());
}

}  // namespace
