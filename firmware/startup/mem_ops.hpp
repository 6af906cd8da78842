// The byte-copy and byte-fill routines behind the firmware's own memcpy and
// memset. Header-only and free of registers, so the very same code also
// builds for the host.
//
// Both may run before .data and .bss are initialised (the reset code copies
// and clears those sections with them), so they use no variable in memory.
#pragma once
#include <cstddef>
#include <cstdint>

// Keeps the compiler from recognising the byte loops below as memcpy/memset
// and replacing them by a call to the very function being implemented.
#if defined(__GNUC__) && !defined(__clang__)
#define FW_NO_LIBCALL_LOOPS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define FW_NO_LIBCALL_LOOPS
#endif

namespace fw {

// A 32-bit word that may overlay any object (the copy reads and writes bytes
// of arbitrary type a word at a time).
using word_alias = std::uint32_t __attribute__((may_alias));

// Fills cnt bytes at dst with the byte c, one byte at a time.
FW_NO_LIBCALL_LOOPS inline void* fill_bytes(void* dst, int c, std::size_t cnt) {
  auto* d = static_cast<std::uint8_t*>(dst);
  const auto b = static_cast<std::uint8_t>(c);
  while (cnt != 0) {
    *d++ = b;
    --cnt;
  }
  return dst;
}

// Copies n bytes from s2 to s1 (the ranges must not overlap). Below 4 bytes
// it copies bytewise. Otherwise it aligns the destination to a word with
// single bytes; with the source then aligned too it moves 64-byte blocks,
// 16-byte blocks and single words; with a misaligned source it builds each
// destination word from two aligned source words (little-endian), so it
// reads only aligned words that hold bytes of the source. The tail is copied
// bytewise.
FW_NO_LIBCALL_LOOPS inline void* copy_bytes(void* s1, const void* s2, std::size_t n) {
  auto* d = static_cast<std::uint8_t*>(s1);
  const auto* s = static_cast<const std::uint8_t*>(s2);

  if (n >= 4) {
    while ((reinterpret_cast<std::uintptr_t>(d) & 3u) != 0) {
      *d++ = *s++;
      --n;
    }
    auto* dw = reinterpret_cast<word_alias*>(d);
    const std::uintptr_t misalign = reinterpret_cast<std::uintptr_t>(s) & 3u;

    if (misalign == 0) {
      const auto* sw = reinterpret_cast<const word_alias*>(s);
      while (n >= 64) {
        dw[0] = sw[0];   dw[1] = sw[1];   dw[2] = sw[2];   dw[3] = sw[3];
        dw[4] = sw[4];   dw[5] = sw[5];   dw[6] = sw[6];   dw[7] = sw[7];
        dw[8] = sw[8];   dw[9] = sw[9];   dw[10] = sw[10]; dw[11] = sw[11];
        dw[12] = sw[12]; dw[13] = sw[13]; dw[14] = sw[14]; dw[15] = sw[15];
        dw += 16;
        sw += 16;
        n -= 64;
      }
      while (n >= 16) {
        dw[0] = sw[0]; dw[1] = sw[1]; dw[2] = sw[2]; dw[3] = sw[3];
        dw += 4;
        sw += 4;
        n -= 16;
      }
      while (n >= 4) {
        *dw++ = *sw++;
        n -= 4;
      }
      s = reinterpret_cast<const std::uint8_t*>(sw);
    } else {
      // Source word k of the destination is bytes s[4k .. 4k+3]: the upper
      // bytes of one aligned word merged with the lower bytes of the next.
      const unsigned right = 8u * static_cast<unsigned>(misalign);
      const unsigned left = 32u - right;
      const auto* sw = reinterpret_cast<const word_alias*>(s - misalign);
      std::uint32_t low = *sw++;
      while (n >= 4) {
        const std::uint32_t high = *sw++;
        *dw++ = (low >> right) | (high << left);
        low = high;
        s += 4;
        n -= 4;
      }
    }
    d = reinterpret_cast<std::uint8_t*>(dw);
  }

  while (n != 0) {
    *d++ = *s++;
    --n;
  }
  return s1;
}

}  // namespace fw
