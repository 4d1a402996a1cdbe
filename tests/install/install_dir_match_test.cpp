// Whether a process image lies inside the install folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/install_dir_match.h"

namespace {

const std::wstring kDir = L"C:\\Users\\u\\AppData\\Local\\Programs\\nimbrel";

struct MatchCase {
  const char* name;
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
      {"the application", kDir + L"\\nimbrel.exe", kDir, true},
      {"any depth", kDir + L"\\a\\b\\c\\d\\helper.exe", kDir, true},  // any depth
      {"the folder with a backslash", kDir + L"\\", kDir, true},
      // A sibling whose name begins with the folder's name.
      {"sibling with a suffix", kDir + L"-old\\nimbrel.exe", kDir, false},
      {"sibling with a digit", kDir + L"2\\nimbrel.exe", kDir, false},
      {"sibling file", kDir + L".exe", kDir, false},
      // The unit after the prefix must be a backslash, not a slash.
      {"slash after the folder", kDir + L"/nimbrel.exe", kDir, false},
      // Equal length, shorter, unrelated.
      {"the folder itself", kDir, kDir, false},
      {"shorter", kDir.substr(0, 20), kDir, false},
      {"empty image", L"", kDir, false},
      {"unrelated", L"C:\\Windows\\System32\\notepad.exe", kDir, false},
      {"A-Z folded in the folder", L"C:\\Users\\u\\AppData\\Local\\Programs\\Nimbrel\\x.exe",
       L"c:\\users\\U\\APPDATA\\local\\programs\\nimbrel", true},  // A–Z folded
      {"A-Z folded in the image", L"C:\\USERS\\u\\AppData\\Local\\Programs\\NIMBREL\\x.exe", kDir, true},
      // Only A–Z fold: Latin-1 letters, and units 0x20 apart that are no
      // letters ("[" and "{", "@" and "`"), stay different.
      {"capital E-acute against small", L"C:\\Users\\\u00c9mile\\x.exe", L"C:\\Users\\\u00e9mile", false},
      {"small e-acute against capital", L"C:\\Users\\\u00e9mile\\x.exe", L"C:\\Users\\\u00c9mile", false},
      {"same E-acute", L"C:\\Users\\\u00c9mile\\x.exe", L"C:\\Users\\\u00c9mile", true},
      {"capital A-umlaut against small", L"C:\\Users\\\u00c4\\x.exe", L"C:\\Users\\\u00e4", false},
      {"bracket against brace", L"C:\\a[b\\x.exe", L"C:\\a{b", false},
      {"at sign against grave accent", L"C:\\a@b\\x.exe", L"C:\\a`b", false},
      {"dotted capital I against i", L"C:\\a\u0130\\x.exe", L"C:\\ai", false},  // no Unicode folding
      // No normalisation: short names and doubled separators do not match.
      {"doubled separator inside", L"C:\\Users\\u\\AppData\\Local\\Programs\\nimbrel\\\\x.exe", kDir, true},
      {"doubled separator before the folder", L"C:\\Users\\u\\AppData\\Local\\Programs\\\\nimbrel\\x.exe", kDir, false},
      {"short name", L"C:\\Users\\u\\AppData\\Local\\PROGRA~1\\nimbrel\\x.exe", kDir, false},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Inside(c.image, c.dir), c.inside) << "case with image length " << c.image.size();
  }
}

TEST(ImagePathIsInsideDir, UsesTheGivenLengthNotTheTerminator) {
  // The platform reports how many units it wrote; text after them does not
  // count, so a reported length equal to the folder's is never inside.
  const std::wstring image = kDir + L"\\nimbrel.exe";
  EXPECT_FALSE(ImagePathIsInsideDir(image.c_str(), kDir.size(), kDir.c_str()));
  EXPECT_TRUE(ImagePathIsInsideDir(image.c_str(), kDir.size() + 1, kDir.c_str()));
}

}  // namespace
