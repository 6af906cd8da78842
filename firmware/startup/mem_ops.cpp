// The image's own memcpy and memset: the reset code copies .data and clears
// .bss with them, and the compiler calls them for block copies and clears.
#include <cstddef>

#include "startup/mem_ops.hpp"

extern "C" {

void* memcpy(void* s1, const void* s2, std::size_t n) { return fw::copy_bytes(s1, s2, n); }

void* memset(void* dst, int c, std::size_t cnt) { return fw::fill_bytes(dst, c, cnt); }

}  // extern "C"
