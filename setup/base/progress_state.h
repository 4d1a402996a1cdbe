// What the workers and the progress window share: the window's state, the
// two messages through which the workers drive it, and the hand-over of the
// texts that a worker writes while the window may paint them.
#pragma once

#include <windows.h>

enum {
  WM_SETUP_PROGRESS = WM_APP + 1,  // wParam: percent (low 32 bits, signed); lParam: status text
  WM_SETUP_DONE = WM_APP + 2,      // the worker's last act; errorMessage set on failure
};

enum {
  // "Build " and a version of up to 79 characters fit whole, with the terminator.
  kBuildLabelCapacity = 96,
  // The longest download status ("Downloading…  <20 digits> of <20 digits> MB")
  // fits with room to spare.
  kProgressTextCapacity = 160,
};

struct ProgressState {
  const wchar_t* statusText;  // never null
  int progressPercent;        // 0..100, negative: sliding segment
  int animationOffset;        // pixels; only grows while the segment slides
  // Written once by the version probe; read through ReadBuildLabel.
  wchar_t buildLabel[kBuildLabelCapacity];
  const wchar_t* errorMessage;  // null: success
  unsigned currentDpi;
  HFONT titleFont;
  HFONT bodyFont;
  HBITMAP bannerBitmap;
  int bannerWidth;
  int bannerHeight;
};

extern ProgressState progressState;
extern HWND progressWindow;

// The install worker's download status buffer. It is only ever written
// whole through StoreProgressText and posted as the lParam of
// WM_SETUP_PROGRESS.
extern wchar_t progressText[kProgressTextCapacity];

// A length given at 96 DPI, scaled to the window's current DPI
// (progressState.currentDpi).
int ScaleByDpi(int value);

// --- Hand-over of the two texts that a worker writes while the window may
// paint them. A short lock guards each copy, so a text is never read half
// written; the window paints from copies of its own.

// Worker side: replaces progressText whole.
void StoreProgressText(const wchar_t* text);
// Window side: copies progressText whole into `copy` (kProgressTextCapacity units).
void ReadProgressText(wchar_t* copy);
// Version probe side: replaces buildLabel whole (once per run).
void StoreBuildLabel(const wchar_t* label);
// Window side: copies buildLabel whole into `copy` (kBuildLabelCapacity units).
void ReadBuildLabel(wchar_t* copy);
