// The resources of the built setup, read through the platform's own loader.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);  // 1033

HMODULE setup = nullptr;

std::wstring SetupPath() {
  // CTest hands over the Unix path of the executable; drive Z: maps the root.
  wchar_t value[1024] = {};
  GetEnvironmentVariableW(L"NIMBREL_SETUP_EXE", value, 1024);
  std::wstring path = value;
  if (!path.empty() && path[0] == L'/') {
    for (wchar_t& unit : path) {
      if (unit == L'/') unit = L'\\';
    }
    path = L"Z:" + path;
  }
  return path;
}

class SetupResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setup = LoadLibraryExW(SetupPath().c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  void SetUp() override { ASSERT_NE(setup, nullptr) << "cannot open the setup"; }

  static std::string Bytes(LPCWSTR type, LPCWSTR name, WORD language) {
    HRSRC found = FindResourceExW(setup, type, name, language);
    if (!found) return std::string();
    const char* data = static_cast<const char*>(LockResource(LoadResource(setup, found)));
    return std::string(data, SizeofResource(setup, found));
  }
};

TEST_F(SetupResources, ManifestRunsAsInvokerWithPerMonitorV2) {
  const std::string manifest = Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1), kEnglishUs);
  ASSERT_FALSE(manifest.empty());
  const char* required[] = {
      "name=\"Nimbrel.setup\"",
      "version=\"1.0.0.0\"",
      "level=\"asInvoker\"",
      "uiAccess=\"false\"",
      "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" processorArchitecture=\"*\" "
      "publicKeyToken=\"6595b64144ccf1df\" language=\"*\"",
      "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2"
      "</dpiAwareness>",
  };
  for (const char* text : required) EXPECT_NE(manifest.find(text), std::string::npos) << text;
  EXPECT_EQ(manifest.find("compatibility"), std::string::npos);
}

#pragma pack(push, 2)
struct IconGroupEntry {
  BYTE width;
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(SetupResources, IconGroupHoldsSevenPngImages) {
  const std::string group = Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1), kEnglishUs);
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(count, 7);
  ASSERT_EQ(group.size(), 6u + 7 * sizeof(IconGroupEntry));
  const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
  for (int i = 0; i < 7; ++i) {
    IconGroupEntry entry;
    memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
    EXPECT_EQ(entry.width, sizes[i] & 0xFF);
    EXPECT_EQ(entry.height, sizes[i] & 0xFF);
    EXPECT_EQ(entry.bitCount, 32);
    EXPECT_EQ(entry.id, i + 1);
    const std::string image = Bytes(RT_ICON, MAKEINTRESOURCEW(i + 1), kEnglishUs);
    EXPECT_EQ(image.size(), entry.bytes);
    ASSERT_GE(image.size(), 24u);
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << "icon " << i + 1;
    const unsigned width = (static_cast<unsigned char>(image[16]) << 24) |
                           (static_cast<unsigned char>(image[17]) << 16) |
                           (static_cast<unsigned char>(image[18]) << 8) |
                           static_cast<unsigned char>(image[19]);
    EXPECT_EQ(width, static_cast<unsigned>(sizes[i]));
    EXPECT_EQ(image[24], 8);   // bit depth
    EXPECT_EQ(image[25], 6);   // RGBA
  }
  // The platform picks the images out of the group.
  EXPECT_NE(LoadImageW(setup, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0), nullptr);
}

// Baseline: under Wine a progressive picture needs temporary files to decode.
TEST_F(SetupResources, BannerIsABaseline1040By400Jpeg) {
  const std::string jpeg = Bytes(RT_RCDATA, MAKEINTRESOURCEW(2), kEnglishUs);
  ASSERT_GT(jpeg.size(), 4u);
  ASSERT_EQ(jpeg.substr(0, 2), std::string("\xFF\xD8", 2));
  // Walk the markers to the frame header.
  size_t at = 2;
  unsigned char frameMarker = 0;
  while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
    const unsigned char marker = static_cast<unsigned char>(jpeg[at + 1]);
    const size_t length = (static_cast<unsigned char>(jpeg[at + 2]) << 8) |
                          static_cast<unsigned char>(jpeg[at + 3]);
    if (marker == 0xC2 || marker == 0xC0 || marker == 0xC1) {
      frameMarker = marker;
      const unsigned char* frame = reinterpret_cast<const unsigned char*>(jpeg.data() + at + 4);
      EXPECT_EQ(frame[0], 8);                       // bits per sample
      EXPECT_EQ((frame[1] << 8) | frame[2], 400);   // height
      EXPECT_EQ((frame[3] << 8) | frame[4], 1040);  // width
      ASSERT_EQ(frame[5], 3);                       // components
      EXPECT_EQ(frame[7], 0x22);                    // luma 2×2: 4:2:0
      EXPECT_EQ(frame[10], 0x11);
      EXPECT_EQ(frame[13], 0x11);
      break;
    }
    at += 2 + length;
  }
  EXPECT_EQ(frameMarker, 0xC0);  // SOF0: baseline
}

BOOL CALLBACK CountNames(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

TEST_F(SetupResources, CarriesNoVersionResource) {
  int versions = 0;
  EnumResourceNamesW(setup, RT_VERSION, CountNames, reinterpret_cast<LONG_PTR>(&versions));
  EXPECT_EQ(versions, 0);
}

}  // namespace
