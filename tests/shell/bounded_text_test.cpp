// Bounded formatting: cut to one unit less than the buffer, always terminated.
#include <gtest/gtest.h>

#include <string>

#include "base/bounded_text.h"
#include "base/dpi_scale.h"

namespace {

TEST(FormatText, FormatsTextsNumbersAndPercent) {
  wchar_t buffer[64];
  EXPECT_EQ(FormatText(buffer, 64, L"%s\u2026  %llu of %llu MB", L"Downloading", 52ull, 215ull), 26u);
  EXPECT_EQ(std::wstring(buffer), L"Downloading\u2026  52 of 215 MB");
  FormatText(buffer, 64, L"\"%s\" \"%%1\" %llu", L"X", 18446744073709551615ull);
  EXPECT_EQ(std::wstring(buffer), L"\"X\" \"%1\" 18446744073709551615");
  FormatText(buffer, 64, L"%llu%", 0ull);
  EXPECT_EQ(std::wstring(buffer), L"0%");
}

TEST(FormatText, CutsAndTerminatesWithoutWritingPast) {
  struct Guarded {
    wchar_t text[8];
    wchar_t guard[4];
  } area;
  for (wchar_t& unit : area.guard) unit = L'#';
  EXPECT_EQ(FormatText(area.text, 8, L"%s-%llu", L"abcdef", 12345ull), 7u);
  EXPECT_EQ(std::wstring(area.text), L"abcdef-");
  EXPECT_EQ(area.guard[0], L'#');
  EXPECT_EQ(FormatText(area.text, 1, L"abc"), 0u);
  EXPECT_EQ(area.text[0], 0);
  area.text[0] = L'#';
  EXPECT_EQ(FormatText(area.text, 0, L"abc"), 0u);
  EXPECT_EQ(area.text[0], L'#');
  EXPECT_EQ(CopyText(area.text, 8, L"0123456789"), 7u);
  EXPECT_EQ(std::wstring(area.text), L"0123456");
  EXPECT_EQ(area.guard[0], L'#');
}

struct ScaleCase {
  int value;
  unsigned dpi;
  int scaled;
};

TEST(ScaleForDpi, RoundsHalvesAwayFromZero) {
  const ScaleCase cases[] = {
      {520, 96, 520}, {520, 144, 780}, {316, 144, 474}, {520, 120, 650}, {316, 120, 395},
      {9, 144, 14},   {22, 120, 28},   {14, 120, 18},   {5, 120, 6},     {5, 144, 8},
      {5, 192, 10},   {4, 72, 3},      {4, 84, 4},      {-22, 144, -33}, {-9, 144, -14},
      {1, 48, 1},     {1, 47, 0},      {0, 144, 0},
  };
  for (const ScaleCase& c : cases) {
    EXPECT_EQ(ScaleForDpi(c.value, c.dpi), c.scaled) << c.value << " at " << c.dpi;
  }
}

TEST(MulDivRounded, MatchesThePlatformEdges) {
  EXPECT_EQ(MulDivRounded(520, 400, 1040), 200);
  EXPECT_EQ(MulDivRounded(7, 1, 2), 4);
  EXPECT_EQ(MulDivRounded(-7, 1, 2), -4);
  EXPECT_EQ(MulDivRounded(7, -1, 2), -4);
  EXPECT_EQ(MulDivRounded(7, 1, -2), -4);
  EXPECT_EQ(MulDivRounded(-7, -1, -2), -4);
  EXPECT_EQ(MulDivRounded(5, 5, 0), -1);
  EXPECT_EQ(MulDivRounded(2147483647, 2, 1), -1);  // beyond 32 bits
  EXPECT_EQ(MulDivRounded(2147483647, 2147483647, 2147483647), 2147483647);
  EXPECT_EQ(MulDivRounded(-2147483647 - 1, 1, 1), -1);
}

}  // namespace
