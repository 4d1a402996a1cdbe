// Fonts and painting of the progress window.
#pragma once

#include <windows.h>

// Replaces titleFont and bodyFont with fonts for the current DPI.
void CreateFonts();

// Paints the whole client area off-screen and copies it in one transfer.
void PaintProgressWindow(HWND window);

// Fills a rectangle with a colour through a brush made and deleted here.
void FillSolid(HDC surface, const RECT& rect, COLORREF colour);
