// Texts and numbers of the install worker: the launch command lines, the
// download status, the percent, the archive path and the tar command.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "install/install_text.h"
#include "base/bounded_text.h"
#include "base/launch_context.h"

namespace {

const wchar_t kAppExe[] = L"C:\\Users\\u\\AppData\\Local\\Programs\\nimbrel\\nimbrel.exe";
const wchar_t kSentinel = static_cast<wchar_t>(0x2A2A);

SetupContext ContextFor(const wchar_t* updateArgument, const wchar_t* spaceId,
                        const wchar_t* spaceCode) {
  SetupContext context = {};
  FormatInstallPaths(L"C:\\Users\\u\\AppData\\Local", &context);
  context.updateArgument = updateArgument;
  CopyText(context.spaceId, kIdentifierCapacity, spaceId);
  CopyText(context.spaceCode, kIdentifierCapacity, spaceCode);
  return context;
}

// A buffer of `capacity` units followed by a guard that must stay untouched.
struct GuardedBuffer {
  explicit GuardedBuffer(size_t capacity) : capacity(capacity), units(capacity + 16, kSentinel) {}
  wchar_t* data() { return units.data(); }
  std::wstring text() const { return std::wstring(units.data()); }
  bool guardIntact() const {
    for (size_t i = capacity; i < units.size(); ++i)
      if (units[i] != kSentinel) return false;
    return true;
  }
  size_t capacity;
  std::vector<wchar_t> units;
};

struct LaunchCase {
  const wchar_t* updateArgument;  // null: not update mode
  const wchar_t* spaceId;
  const wchar_t* spaceCode;
  std::wstring expected;  // after the quoted application path
};

TEST(FormatLaunchCommand, PicksTheFirstFormThatApplies) {
  const std::wstring quoted = std::wstring(L"\"") + kAppExe + L"\"";
  const LaunchCase cases[] = {
      {L"foo bar", L"", L"", L" --updated foo bar"},
      // "--update" alone: the command ends in exactly one blank.
      {L"", L"", L"", L" --updated "},
      // The argument goes in as it stands: no quoting, escaping or encoding.
      {L"\"a b\" %1 &x=\u00e9 ", L"", L"", L" --updated \"a b\" %1 &x=\u00e9 "},
      // Update mode wins over whatever the space fields hold.
      {L"x", L"team", L"ABCDEFGHIJKLMNOP", L" --updated x"},
      {nullptr, L"", L"", L" --updated"},
      // A code without a space is not passed on.
      {nullptr, L"", L"ABCDEFGHIJKLMNOP", L" --updated"},
      {nullptr, L"team_1", L"", L" --updated \"nimbrel://open?space=team_1\""},
      {nullptr, L"team_1", L"ABCDEFGHIJKLMNOP",
       L" --updated \"nimbrel://open?space=team_1&code=ABCDEFGHIJKLMNOP\""},
      {nullptr, L"caf\u00e9-x", L"", L" --updated \"nimbrel://open?space=caf\u00e9-x\""},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "the row expecting " << c.expected);
    const SetupContext context = ContextFor(c.updateArgument, c.spaceId, c.spaceCode);
    GuardedBuffer buffer(kCommandLineCapacity);
    FormatLaunchCommand(buffer.data(), buffer.capacity, context);
    EXPECT_EQ(buffer.text(), quoted + c.expected) << c.expected.size();
    EXPECT_TRUE(buffer.guardIntact());
  }
}

TEST(FormatLaunchCommand, CutsALongArgumentAtTheBuffer) {
  const std::wstring argument(2000, L'a');
  const SetupContext context = ContextFor(argument.c_str(), L"", L"");
  GuardedBuffer buffer(kCommandLineCapacity);
  FormatLaunchCommand(buffer.data(), buffer.capacity, context);
  const std::wstring full = std::wstring(L"\"") + kAppExe + L"\" --updated " + argument;
  EXPECT_EQ(buffer.text(), full.substr(0, kCommandLineCapacity - 1));
  EXPECT_TRUE(buffer.guardIntact());
}

struct StatusCase {
  bool updateMode;
  uint64_t received;
  uint64_t total;
  const wchar_t* expected;
};

TEST(FormatDownloadStatus, ShowsTruncatedDecimalMegabytes) {
  const StatusCase cases[] = {
      {false, 52400000, 215000000, L"Downloading\u2026  52 of 215 MB"},
      {true, 52400000, 215000000, L"Updating\u2026  52 of 215 MB"},
      {false, 999999, 1999999, L"Downloading\u2026  0 of 1 MB"},
      {false, 1000000, 2000000, L"Downloading\u2026  1 of 2 MB"},
      {false, 0, 0, L"Downloading\u2026  0 of 0 MB"},  // no length announced
      {false, 1500000, 0, L"Downloading\u2026  1 of 0 MB"},
      {false, UINT64_MAX, UINT64_MAX, L"Downloading\u2026  18446744073709 of 18446744073709 MB"},
  };
  for (const StatusCase& c : cases) {
    GuardedBuffer buffer(160);
    FormatDownloadStatus(buffer.data(), buffer.capacity, c.updateMode, c.received, c.total);
    EXPECT_EQ(buffer.text(), c.expected);
    EXPECT_TRUE(buffer.guardIntact());
  }
}

TEST(FormatDownloadStatus, CutsAtTheBuffer) {
  // 15 units: "Downloading…  5" is 15 characters, so 14 of them fit.
  GuardedBuffer buffer(15);
  FormatDownloadStatus(buffer.data(), buffer.capacity, false, 52400000, 215000000);
  EXPECT_EQ(buffer.text(), L"Downloading\u2026  ");
  EXPECT_TRUE(buffer.guardIntact());
}

struct PercentCase {
  uint64_t received;
  uint64_t total;
  int percent;
};

TEST(ComputeDownloadPercent, TruncatesAndIsZeroWithoutALength) {
  const PercentCase cases[] = {
      {52400000, 215000000, 24}, {0, 215000000, 0},  {1, 3, 33},   {2, 3, 66},
      {199, 200, 99},            {200, 200, 100},    {0, 0, 0},    {123456789, 0, 0},
      {1, 1000000000000ull, 0},  {999999999999ull, 1000000000000ull, 99},
  };
  for (const PercentCase& c : cases)
    EXPECT_EQ(ComputeDownloadPercent(c.received, c.total), c.percent) << c.received << "/" << c.total;
}

TEST(BuildArchivePath, AppendsTheArchiveNameWhenItFits) {
  GuardedBuffer buffer(kPathCapacity);
  ASSERT_TRUE(BuildArchivePath(buffer.data(), buffer.capacity, L"C:\\Users\\u\\Temp\\"));
  EXPECT_EQ(buffer.text(), L"C:\\Users\\u\\Temp\\nimbrel-runtime.zip");

  // "nimbrel-runtime.zip" has 19 characters: a 240-character folder fills
  // the 259 characters exactly.
  const std::wstring fits = L"C:\\" + std::wstring(236, L't') + L"\\";
  ASSERT_EQ(fits.size(), 240u);
  ASSERT_TRUE(BuildArchivePath(buffer.data(), buffer.capacity, fits.c_str()));
  EXPECT_EQ(buffer.text(), fits + L"nimbrel-runtime.zip");
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(BuildArchivePath, RefusesAFolderThatCannotHoldTheName) {
  const std::wstring tooLong = L"C:\\" + std::wstring(237, L't') + L"\\";
  const std::wstring folders[] = {L"", tooLong, std::wstring(600, L'x')};
  for (const std::wstring& folder : folders) {
    GuardedBuffer buffer(kPathCapacity);
    EXPECT_FALSE(BuildArchivePath(buffer.data(), buffer.capacity, folder.c_str())) << folder.size();
    EXPECT_TRUE(buffer.guardIntact());
  }
}

TEST(FormatTarCommand, QuotesEachPathAndStripsTheTopFolder) {
  GuardedBuffer buffer(kCommandLineCapacity);
  FormatTarCommand(buffer.data(), buffer.capacity, L"C:\\windows\\system32",
                   L"C:\\users\\u\\Temp\\nimbrel-runtime.zip",
                   L"C:\\users\\u\\AppData\\Local\\Programs\\nimbrel");
  EXPECT_EQ(buffer.text(),
            L"\"C:\\windows\\system32\\tar.exe\" -xf \"C:\\users\\u\\Temp\\nimbrel-runtime.zip\" "
            L"--strip-components=1 -C \"C:\\users\\u\\AppData\\Local\\Programs\\nimbrel\"");
  EXPECT_TRUE(buffer.guardIntact());
}

TEST(FormatTarCommand, CutsThreeLongPathsAtTheBuffer) {
  const std::wstring a(259, L'a'), b(259, L'b'), c(259, L'c');
  GuardedBuffer buffer(kCommandLineCapacity);
  FormatTarCommand(buffer.data(), buffer.capacity, a.c_str(), b.c_str(), c.c_str());
  const std::wstring full = L"\"" + a + L"\\tar.exe\" -xf \"" + b + L"\" --strip-components=1 -C \"" +
                            c + L"\"";
  ASSERT_GT(full.size(), static_cast<size_t>(kCommandLineCapacity));
  EXPECT_EQ(buffer.text(), full.substr(0, kCommandLineCapacity - 1));
  EXPECT_TRUE(buffer.guardIntact());
}

struct ShortcutFitCase {
  size_t folderLength;
  bool fits;
};

TEST(FormatShortcutPaths, LeavesAFolderAloneWhenEitherNameWouldBeCut) {
  // "\Nimbrel Desktop.lnk" is 20 characters, "\Nimbrel.lnk" 12.
  const ShortcutFitCase cases[] = {
      {239, true},   // "Nimbrel Desktop.lnk" ends at exactly 259
      {240, false},  // it would be cut; "Nimbrel.lnk" would still fit
      {247, false},  // "Nimbrel.lnk" ends at exactly 259
      {251, false},  // both cut, to "<folder>\Nimbrel": a user's file of that name
      {259, false},
  };
  for (const ShortcutFitCase& c : cases) {
    const std::wstring folder = L"C:\\" + std::wstring(c.folderLength - 3, L'd');
    GuardedBuffer earlier(kPathCapacity);
    GuardedBuffer shortcut(kPathCapacity);
    EXPECT_EQ(FormatShortcutPaths(folder.c_str(), earlier.data(), shortcut.data(), kPathCapacity),
              c.fits)
        << c.folderLength;
    if (c.fits) {
      EXPECT_EQ(earlier.text(), folder + L"\\Nimbrel.lnk");
      EXPECT_EQ(shortcut.text(), folder + L"\\Nimbrel Desktop.lnk");
    } else {
      EXPECT_EQ(earlier.text(), L"") << c.folderLength;
      EXPECT_EQ(shortcut.text(), L"") << c.folderLength;
    }
    EXPECT_TRUE(earlier.guardIntact() && shortcut.guardIntact()) << c.folderLength;
  }
}

TEST(AttributesShowAFile, OnlyAnExistingNonDirectoryCounts) {
  // FILE_ATTRIBUTE_ values: READONLY 0x1, HIDDEN 0x2, DIRECTORY 0x10, ARCHIVE 0x20,
  // NORMAL 0x80, REPARSE_POINT 0x400.
  EXPECT_TRUE(AttributesShowAFile(0x80));
  EXPECT_TRUE(AttributesShowAFile(0x20 | 0x1 | 0x2));
  EXPECT_TRUE(AttributesShowAFile(0x20 | 0x400));
  EXPECT_FALSE(AttributesShowAFile(0xFFFFFFFFu));  // INVALID_FILE_ATTRIBUTES: missing
  EXPECT_FALSE(AttributesShowAFile(0x10));
  EXPECT_FALSE(AttributesShowAFile(0x10 | 0x1 | 0x400));
}

}  // namespace
