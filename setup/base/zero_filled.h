// Places a zero-filled global in .bss, which takes no bytes in the file.
// Platform-free.
//
// MinGW's GCC gives every global a section of its own under -fdata-sections
// and names it .data$<name> even when the global is all zeros, so that its
// zeros are written into the file. MSVC and the other builds put zero-filled
// globals in .bss by themselves. Only for globals without an initializer (or
// an all-zero one): GCC refuses anything else in .bss.
#pragma once

#if defined(__GNUC__) && defined(_WIN32)
#define ZERO_FILLED __attribute__((section(".bss")))
#else
#define ZERO_FILLED
#endif
