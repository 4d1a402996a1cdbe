// The progress window: its class, its size and its window procedure. What the
// workers share with it (its state, the two messages, the text hand-over) is
// in base/progress_state.h.
#pragma once

#include <windows.h>

#include "base/progress_state.h"

enum {
  kWindowWidth = 520,  // at 96 DPI
  kWindowHeight = 316,
  kAnimationTimerId = 1,
  kAnimationIntervalMs = 16,
  kAnimationStep = 5,  // pixels per tick at 96 DPI
};

// Registers the class, creates the hidden window, sets its frame and corrects
// its size to its own DPI. progressWindow stays null when creation failed.
void CreateProgressWindow(HINSTANCE instance, bool updateMode);

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
