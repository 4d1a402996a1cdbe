// The progress window, its state and the messages through which the workers
// drive it.
#pragma once

#include <windows.h>

enum {
  WM_SETUP_PROGRESS = WM_APP + 1,  // wParam: percent (low 32 bits, signed); lParam: status text
  WM_SETUP_DONE = WM_APP + 2,      // the worker's last act; errorMessage set on failure
};

enum {
  kBuildLabelCapacity = 96,
  kProgressTextCapacity = 160,
  kWindowWidth = 520,  // at 96 DPI
  kWindowHeight = 316,
  kAnimationTimerId = 1,
  kAnimationIntervalMs = 16,
  kAnimationStep = 5,  // pixels per tick at 96 DPI
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

// --- Hand-over of the two texts that a worker writes while the window may
// paint them. A short lock guards each copy, so a text is never read half
// written; the window paints from copies of its own.

// Worker side: replaces progressText whole.
void StoreProgressText(const wchar_t* text);
// Version probe side: replaces buildLabel whole (once per run).
void StoreBuildLabel(const wchar_t* label);
// Window side: copies buildLabel whole into `copy` (kBuildLabelCapacity units).
void ReadBuildLabel(wchar_t* copy);

// Registers the class, creates the hidden window, sets its frame and corrects
// its size to its own DPI. progressWindow stays null when creation failed.
void CreateProgressWindow(HINSTANCE instance, bool updateMode);

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
