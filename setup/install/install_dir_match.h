// Whether a process image lies inside the install folder. Platform-free.
#pragma once

#include <stddef.h>

// True when the first characters of `imagePath` (imageLength units) are
// `installDir`, with only A–Z folded to a–z, followed by a backslash.
bool ImagePathIsInsideDir(const wchar_t* imagePath, size_t imageLength, const wchar_t* installDir);
