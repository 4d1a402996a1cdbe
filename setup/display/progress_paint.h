// Fonts and the drawing of the progress window's client area.
#pragma once

#include <windows.h>

// Replaces titleFont and bodyFont with fonts for the current DPI.
void CreateFonts();

// Draws the whole client area (clientWidth × clientHeight) from progressState
// into `surface`, which needs no window: the window paints through an
// off-screen bitmap, a test may draw into any memory device context. The
// banner is read through a device context compatible with `screenSurface`
// (the window's paint surface, or `surface` itself off-screen).
void DrawProgressContent(HDC surface, HDC screenSurface, int clientWidth, int clientHeight);

// The size of `label` as DrawProgressContent paints the build label (in the
// body font, on one line), measured on a memory surface; 0 × 0 for an empty
// text. The caller keeps bodyFont from being replaced meanwhile.
SIZE MeasureBuildLabel(const wchar_t* label);
