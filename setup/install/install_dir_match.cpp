#include "install/install_dir_match.h"

#include "base/bounded_text.h"

namespace {

wchar_t FoldAsciiCase(wchar_t unit) {
  return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + (L'a' - L'A')) : unit;
}

}  // namespace

bool ImagePathIsInsideDir(const wchar_t* imagePath, size_t imageLength, const wchar_t* installDir) {
  const size_t n = TextLength(installDir);
  if (imageLength <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (FoldAsciiCase(imagePath[i]) != FoldAsciiCase(installDir[i])) return false;
  }
  return imagePath[n] == L'\\';
}
