// Whether a process image lies inside the install folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/install_dir_match.h"

namespace {

const std::wstring kDir = L"C:\\Users\\u\\AppData\\Local\\Programs\\nimbrel";

struct MatchCase {
  std::wstring image;
  std::wstring dir;
  bool inside;
};

// The image path is handed over in a buffer of exactly its length, without a
// terminator, so the sanitized build catches any read past it.
bool Inside(const std::wstring& image, const std::wstring& dir) {
  std::vector<wchar_t> exact(image.begin(), image.end());
  return ImagePathIsInsideDir(exact.data(), exact.size(), dir.c_str());
}

TEST(ImagePathIsInsideDir, FollowsThePrefixAndBackslashRule) {
  const MatchCase cases[] = {
      {kDir + L"\\nimbrel.exe", kDir, true},
      {kDir + L"\\a\\b\\c\\d\\helper.exe", kDir, true},  // any depth
      {kDir + L"\\", kDir, true},
      // A sibling whose name begins with the folder's name.
      {kDir + L"-old\\nimbrel.exe", kDir, false},
      {kDir + L"2\\nimbrel.exe", kDir, false},
      {kDir + L".exe", kDir, false},
      // The unit after the prefix must be a backslash, not a slash.
      {kDir + L"/nimbrel.exe", kDir, false},
      // Equal length, shorter, unrelated.
      {kDir, kDir, false},
      {kDir.substr(0, 20), kDir, false},
      {L"", kDir, false},
      {L"C:\\Windows\\System32\\notepad.exe", kDir, false},
      {L"C:\\Users\\u\\AppData\\Local\\Programs\\Nimbrel\\x.exe",
       L"c:\\users\\U\\APPDATA\\local\\programs\\nimbrel", true},  // A–Z folded
      {L"C:\\USERS\\u\\AppData\\Local\\Programs\\NIMBREL\\x.exe", kDir, true},
      // Only A–Z fold: Latin-1 letters, and units 0x20 apart that are no
      // letters ("[" and "{", "@" and "`"), stay different.
      {L"C:\\Users\\\u00c9mile\\x.exe", L"C:\\Users\\\u00e9mile", false},
      {L"C:\\Users\\\u00e9mile\\x.exe", L"C:\\Users\\\u00c9mile", false},
      {L"C:\\Users\\\u00c9mile\\x.exe", L"C:\\Users\\\u00c9mile", true},
      {L"C:\\Users\\\u00c4\\x.exe", L"C:\\Users\\\u00e4", false},
      {L"C:\\a[b\\x.exe", L"C:\\a{b", false},
      {L"C:\\a@b\\x.exe", L"C:\\a`b", false},
      {L"C:\\a\u0130\\x.exe", L"C:\\ai", false},  // no Unicode folding
      // No normalisation: short names and doubled separators do not match.
      {L"C:\\Users\\u\\AppData\\Local\\Programs\\nimbrel\\\\x.exe", kDir, true},
      {L"C:\\Users\\u\\AppData\\Local\\Programs\\\\nimbrel\\x.exe", kDir, false},
      {L"C:\\Users\\u\\AppData\\Local\\PROGRA~1\\nimbrel\\x.exe", kDir, false},
  };
  for (const MatchCase& c : cases)
    EXPECT_EQ(Inside(c.image, c.dir), c.inside) << "case with image length " << c.image.size();
}

TEST(ImagePathIsInsideDir, UsesTheGivenLengthNotTheTerminator) {
  // The platform reports how many units it wrote; text after them does not
  // count, so a reported length equal to the folder's is never inside.
  const std::wstring image = kDir + L"\\nimbrel.exe";
  EXPECT_FALSE(ImagePathIsInsideDir(image.c_str(), kDir.size(), kDir.c_str()));
  EXPECT_TRUE(ImagePathIsInsideDir(image.c_str(), kDir.size() + 1, kDir.c_str()));
}

}  // namespace
