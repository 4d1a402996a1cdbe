// The banner picture across the top of the progress window.
#pragma once

#include <windows.h>

// Decodes RT_RCDATA 2 of `module` into a 32-bit top-down BGR DIB section and
// stores it in bannerBitmap, bannerWidth and bannerHeight. Any failure leaves
// the banner out; the window then shows a white band.
void LoadBanner(HMODULE module);
