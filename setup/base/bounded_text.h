// Bounded UTF-16 text helpers shared by every subsystem. Platform-free.
//
// Every formatted text of the setup has a fixed buffer. These helpers never
// write past it: a longer result is cut to one unit less than the buffer and
// terminated.
#pragma once

#include <stddef.h>

// Length of a zero-terminated UTF-16 text, in units.
size_t TextLength(const wchar_t* text);

// Copies `source` into `buffer` (capacity units, terminator included), cut to
// capacity - 1 units. Returns the number of units written, terminator
// excluded. A capacity of 0 writes nothing.
size_t CopyText(wchar_t* buffer, size_t capacity, const wchar_t* source);

// Formats into `buffer` (capacity units, terminator included). The format
// knows %s (a zero-terminated UTF-16 text), %llu (an unsigned 64-bit decimal)
// and %% (one percent sign); every other unit stands for itself. Returns the
// number of units written, terminator excluded.
size_t FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);

// True when `text` begins with every unit of `prefix` (case-sensitive).
bool TextStartsWith(const wchar_t* text, const wchar_t* prefix);
