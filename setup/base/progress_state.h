// What the workers and the progress window share: the window's state with
// the picture of what it shows, the two messages through which the workers
// drive it, and the one lock under which a text changes hands.
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

// Zero-filled, so that it takes no bytes in the file: the entry sets the
// first status and the DPI before the window is made.
struct ProgressState {
  // --- The picture: what the window shows now, the one record that the
  // paint and the accessible object both read. Each change is made under the
  // picture's lock where it happens and announced there: status, percent and
  // DPI (with the fonts) on the window's thread, the build label by the
  // version probe. The window's thread reads without the lock what only it
  // writes; the accessible object, on any thread, reads under the lock.
  const wchar_t* statusText;  // a constant text or statusCopy; null until the entry sets it
  int progressPercent;        // 0..100, negative: sliding segment
  unsigned currentDpi;
  HFONT titleFont;
  HFONT bodyFont;
  // Empty until the version probe stores it (StoreBuildLabel).
  wchar_t buildLabel[kBuildLabelCapacity];
  // The window's copy of progressText, taken under the lock when a download
  // status is posted, so that the worker may rewrite its buffer at any time.
  wchar_t statusCopy[kProgressTextCapacity];

  // --- The window's own, never read by another thread.
  int animationOffset;          // pixels; only grows while the segment slides
  const wchar_t* errorMessage;  // null: success; set by the worker before WM_SETUP_DONE
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

// --- The picture's lock, the only one in the setup: it also guards
// progressText, so that no text is ever read half written. Held only for a
// copy, a compare or the drawing of one text.

// Exclusive: before the window's thread changes the picture.
void BeginPictureChange();
void EndPictureChange();
// Shared: before reading what another thread may write meanwhile.
void BeginPictureRead();
void EndPictureRead();

// Worker side: replaces progressText whole.
void StoreProgressText(const wchar_t* text);
// Version probe side: replaces the build label whole (once per run) and,
// when it changed while the window is up, announces the label's new name
// to assistive technology. Any thread.
void StoreBuildLabel(const wchar_t* label);
// Copies the build label whole into `copy` (kBuildLabelCapacity units).
void ReadBuildLabel(wchar_t* copy);
