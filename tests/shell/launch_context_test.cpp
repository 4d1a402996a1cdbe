// Command-line and own-file-name parses, and the install paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/launch_context.h"

namespace {

// Stands for the platform classifier: U+0100..U+024F (Latin Extended) and
// U+0660..U+0669 (Arabic-Indic digits) are letters or digits, nothing else.
bool TestClassifier(wchar_t c) {
  return (c >= 0x100 && c <= 0x24F) || (c >= 0x660 && c <= 0x669);
}

bool classifierCalledWithFFFF = false;
bool RecordingClassifier(wchar_t c) {
  if (c == 0xFFFF) classifierCalledWithFFFF = true;
  return true;
}

struct UpdateCase {
  const wchar_t* commandLine;
  const wchar_t* argument;  // null: normal installation
};

TEST(ParseUpdateArgument, FollowsThePrefixRule) {
  const UpdateCase cases[] = {
      {L"", nullptr},
      {L"--update", L""},
      {L"--update foo bar", L"foo bar"},
      {L"--update  foo", L" foo"},
      {L"--updatexyz", L"yz"},
      {L"--updated", L""},
      {L"--update \"quoted arg\" ", L"\"quoted arg\" "},
      {L"--UPDATE", nullptr},
      {L"--Update foo", nullptr},
      {L"foo --update", nullptr},
      {L"--updat", nullptr},
  };
  for (const UpdateCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "the command line \"" << c.commandLine << "\"");
    const wchar_t* argument = ParseUpdateArgument(c.commandLine);
    if (!c.argument) {
      EXPECT_EQ(argument, nullptr) << std::wstring(c.commandLine).size();
    } else {
      ASSERT_NE(argument, nullptr);
      EXPECT_EQ(std::wstring(argument), std::wstring(c.argument));
    }
  }
}

TEST(ParseUpdateArgument, PointsIntoTheCommandLineWithoutCopying) {
  const wchar_t* line = L"--update foo";
  EXPECT_EQ(ParseUpdateArgument(line), line + 9);
}

struct NameCase {
  std::wstring path;
  std::wstring spaceId;
  std::wstring spaceCode;
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

TEST(ParseSetupFileName, ReadsSpaceAndCodeFromTheFileNameOnly) {
  const std::wstring code16 = L"ABCDEFGHIJKLMNOP";
  const NameCase cases[] = {
      {L"C:\\Users\\a\\Downloads\\setup-abc.exe", L"abc", L""},
      {L"C:\\d\\setup-abc." + code16 + L".exe", L"abc", code16},
      {L"C:\\d\\setup-abc." + code16.substr(1) + L".exe", L"abc", L""},
      {L"C:\\d\\setup-abc." + code16 + L" (1).exe", L"abc", code16},
      {L"C:\\d\\setup-abc (1).exe", L"abc", L""},
      {L"C:\\d\\my-setup-x_y-z.exe", L"x_y-z", L""},
      {L"C:\\d\\setup-setup-abc.exe", L"setup-abc", L""},
      {L"C:\\d\\Setup-abc.exe", L"", L""},
      {L"C:\\d\\nimbrel-setup.exe", L"", L""},
      {L"C:\\d\\setup-.exe", L"", L""},
      {L"C:\\d\\setup-." + code16, L"", code16},
      {L"C:\\setup-x\\install.exe", L"", L""},
      {L"setup-nofolder.exe", L"nofolder", L""},
      {L"C:\\d\\setup-caf\u00e9.exe", L"caf\u00e9", L""},
      {L"C:\\d\\setup-a\u00d7b.exe", L"a", L""},            // multiplication sign ends it
      {L"C:\\d\\setup-\u00aa\u00b2\u00b5\u00ff.exe", L"\u00aa\u00b2\u00b5\u00ff", L""},
      {L"C:\\d\\setup-\u0101\u0661x.exe", L"\u0101\u0661x", L""},  // classifier above U+00FF
      {L"C:\\d\\setup-a\u0300b.exe", L"a", L""},            // classifier says no
      {L"C:\\d\\setup-a\u00a0b.exe", L"a", L""},            // no-break space is no letter
      {L"C:\\d\\setup-" + Repeat(L'a', 127) + L"." + code16 + L".exe", Repeat(L'a', 127), code16},
      {L"C:\\d\\setup-" + Repeat(L'a', 128) + L"." + code16 + L".exe", Repeat(L'a', 127), L""},
      {L"C:\\d\\setup-abc." + Repeat(L'c', 127) + L".exe", L"abc", Repeat(L'c', 127)},
      {L"C:\\d\\setup-abc." + Repeat(L'c', 130) + L".exe", L"abc", Repeat(L'c', 127)},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "the own path " << c.path.substr(0, 60)
                                      << (c.path.size() > 60 ? "..." : ""));
    wchar_t spaceId[kIdentifierCapacity];
    wchar_t spaceCode[kIdentifierCapacity];
    spaceId[0] = L'?';
    spaceCode[0] = L'?';
    ParseSetupFileNameFrom(c.path.c_str(), TestClassifier, spaceId, spaceCode);
    EXPECT_EQ(std::wstring(spaceId), c.spaceId) << c.path.size();
    EXPECT_EQ(std::wstring(spaceCode), c.spaceCode) << c.path.size();
  }
}

TEST(IsIdentifierCharacter, CoversEveryClass) {
  EXPECT_TRUE(IsIdentifierCharacter(L'_', TestClassifier));
  EXPECT_TRUE(IsIdentifierCharacter(L'-', TestClassifier));
  EXPECT_FALSE(IsIdentifierCharacter(L'.', TestClassifier));
  EXPECT_FALSE(IsIdentifierCharacter(0, TestClassifier));
  EXPECT_FALSE(IsIdentifierCharacter(L' ', TestClassifier));
  // Below U+0100 the table alone decides, whatever the classifier says.
  int below = 0;
  for (unsigned c = 1; c < 0x100; ++c) below += IsIdentifierCharacter(static_cast<wchar_t>(c), RecordingClassifier);
  EXPECT_EQ(below, 10 + 26 + 26 + 2 /* _ - */ + 6 /* ª ² ³ µ ¹ º */ + 23 + 31 + 8);
  EXPECT_FALSE(IsIdentifierCharacter(0xD7, RecordingClassifier));
  EXPECT_FALSE(IsIdentifierCharacter(0xF7, RecordingClassifier));
  EXPECT_FALSE(IsIdentifierCharacter(0xBF, RecordingClassifier));
  // U+FFFF never is one and never reaches the classifier.
  classifierCalledWithFFFF = false;
  EXPECT_FALSE(IsIdentifierCharacter(static_cast<wchar_t>(0xFFFF), RecordingClassifier));
  EXPECT_FALSE(classifierCalledWithFFFF);
  EXPECT_TRUE(IsIdentifierCharacter(static_cast<wchar_t>(0xFFFE), RecordingClassifier));
}

TEST(FormatInstallPaths, BuildsThePathsFromTheValueUnchanged) {
  SetupContext context = {};
  ASSERT_TRUE(FormatInstallPaths(L"C:\\Users\\a\\AppData\\Local", &context));
  EXPECT_EQ(std::wstring(context.programsDir), L"C:\\Users\\a\\AppData\\Local\\Programs");
  EXPECT_EQ(std::wstring(context.installDir), L"C:\\Users\\a\\AppData\\Local\\Programs\\nimbrel");
  EXPECT_EQ(std::wstring(context.appExePath),
            L"C:\\Users\\a\\AppData\\Local\\Programs\\nimbrel\\nimbrel.exe");

  // A trailing backslash is kept.
  ASSERT_TRUE(FormatInstallPaths(L"D:\\", &context));
  EXPECT_EQ(std::wstring(context.appExePath), L"D:\\\\Programs\\nimbrel\\nimbrel.exe");
}

struct PathFitCase {
  size_t valueLength;
  bool fits;
};

TEST(FormatInstallPaths, RefusesAValueThatLeavesAnyPathCut) {
  // appExePath is the value and 29 characters; installDir 17; programsDir 9.
  const PathFitCase cases[] = {
      {3, true},
      {230, true},    // appExePath exactly 259
      {231, false},   // appExePath would be cut
      {242, false},   // installDir still fits (259), appExePath not
      {243, false},   // installDir would be cut too
      {250, false},   // programsDir exactly 259, both others cut
      {251, false},   // programsDir would be cut as well
      {259, false},
      {0, false},     // empty: no path at all
  };
  for (const PathFitCase& c : cases) {
    const std::wstring value = c.valueLength ? L"C:\\" + Repeat(L'v', c.valueLength - 3) : L"";
    ASSERT_EQ(value.size(), c.valueLength);
    // Every field starts full of unterminated units: a refusal must not leave
    // any of it behind, and success must terminate each path.
    SetupContext context;
    for (wchar_t* field : {context.programsDir, context.installDir, context.appExePath})
      std::fill(field, field + kPathCapacity, L'?');
    EXPECT_EQ(FormatInstallPaths(value.c_str(), &context), c.fits) << c.valueLength;
    if (c.fits) {
      EXPECT_EQ(std::wstring(context.programsDir), value + L"\\Programs");
      EXPECT_EQ(std::wstring(context.installDir), value + L"\\Programs\\nimbrel");
      EXPECT_EQ(std::wstring(context.appExePath), value + L"\\Programs\\nimbrel\\nimbrel.exe");
    } else {
      EXPECT_EQ(context.programsDir[0], 0) << c.valueLength;
      EXPECT_EQ(context.installDir[0], 0) << c.valueLength;
      EXPECT_EQ(context.appExePath[0], 0) << c.valueLength;
    }
  }
}

}  // namespace
