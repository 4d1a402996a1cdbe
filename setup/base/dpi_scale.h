// DPI scaling of the window's lengths. Platform-free.
#pragma once

// value × numerator / denominator with an exact 64-bit intermediate product,
// rounded to the nearest integer with halves away from zero: the platform's
// MulDiv, including its -1 for a zero denominator or a result beyond 32 bits.
int MulDivRounded(int value, int numerator, int denominator);

// A length given at 96 DPI, scaled to `dpi`.
inline int ScaleForDpi(int value, unsigned dpi) {
  return MulDivRounded(value, static_cast<int>(dpi), 96);
}

// The window's own scaling, at its current DPI, is ScaleByDpi in
// base/progress_state.h.
