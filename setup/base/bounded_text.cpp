#include "base/bounded_text.h"

#include <stdarg.h>

namespace {

// Appends one unit when room is left for it and the terminator.
inline void PutUnit(wchar_t* buffer, size_t capacity, size_t* used, wchar_t unit) {
  if (*used + 1 < capacity) buffer[(*used)++] = unit;
}

void PutText(wchar_t* buffer, size_t capacity, size_t* used, const wchar_t* text) {
  if (!text) return;
  for (; *text && *used + 1 < capacity; ++text) buffer[(*used)++] = *text;
}

void PutDecimal(wchar_t* buffer, size_t capacity, size_t* used, unsigned long long value) {
  wchar_t digits[20];  // 2^64 - 1 has 20 decimal digits
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) PutUnit(buffer, capacity, used, digits[--count]);
}

}  // namespace

size_t TextLength(const wchar_t* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

size_t CopyText(wchar_t* buffer, size_t capacity, const wchar_t* source) {
  if (capacity == 0) return 0;
  size_t used = 0;
  PutText(buffer, capacity, &used, source);
  buffer[used] = 0;
  return used;
}

size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  if (capacity == 0) return 0;
  va_list arguments;
  va_start(arguments, format);
  size_t used = 0;
  for (const wchar_t* at = format; *at; ++at) {
    if (*at != L'%') {
      PutUnit(buffer, capacity, &used, *at);
    } else if (at[1] == L's') {
      PutText(buffer, capacity, &used, va_arg(arguments, const wchar_t*));
      at += 1;
    } else if (at[1] == L'l' && at[2] == L'l' && at[3] == L'u') {
      PutDecimal(buffer, capacity, &used, va_arg(arguments, unsigned long long));
      at += 3;
    } else if (at[1] == L'%') {
      PutUnit(buffer, capacity, &used, L'%');
      at += 1;
    } else {
      PutUnit(buffer, capacity, &used, L'%');
    }
  }
  va_end(arguments);
  buffer[used] = 0;
  return used;
}

bool TextStartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix; ++prefix, ++text) {
    if (*text != *prefix) return false;
  }
  return true;
}
