#include "console/xprintf.hpp"

#include <cstdarg>
#include <cstdint>

extern "C" {
void (*xfunc_out)(unsigned char c) = nullptr;
unsigned char (*xfunc_in)(void) = nullptr;
}

namespace {

// Room for every digit of a 32-bit value in the smallest radix (binary).
constexpr unsigned kMaxDigits = 32;
static_assert(kMaxDigits >= sizeof(std::uint32_t) * 8, "binary of a 32-bit value must fit");

void put_n(char c, unsigned from, unsigned to) {
  for (; from < to; ++from) xputc(c);
}

unsigned length_of(const char* s) {
  unsigned n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

struct Field {
  bool zero_pad = false;   // '0' flag: numbers are padded with '0'
  bool left = false;       // '-' flag: pad on the right with spaces
  unsigned width = 0;
};

void put_string(const char* s, const Field& f) {
  if (s == nullptr) s = "";  // a null string prints as an empty field
  const unsigned len = length_of(s);
  if (!f.left) put_n(' ', len, f.width);
  xputs(s);
  if (f.left) put_n(' ', len, f.width);
}

void put_number(std::uint32_t value, bool negative, unsigned radix, bool lower_hex, const Field& f) {
  char digits[kMaxDigits];
  unsigned n = 0;
  do {  // least significant digit first
    const unsigned d = value % radix;
    value /= radix;
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : (lower_hex ? 'a' : 'A') + (d - 10));
  } while (value != 0 && n < kMaxDigits);

  const unsigned len = n + (negative ? 1u : 0u);
  // The pad goes before the sign, so "%05d" of -12 is "00-12".
  if (!f.left) put_n(f.zero_pad ? '0' : ' ', len, f.width);
  if (negative) xputc('-');
  while (n > 0) xputc(digits[--n]);
  if (f.left) put_n(' ', len, f.width);
}

void xvprintf(const char* fmt, va_list arp) {
  for (;;) {
    char c = *fmt++;
    if (c == '\0') return;
    if (c != '%') {
      xputc(c);
      continue;
    }

    Field f;
    c = *fmt++;
    if (c == '0') {
      f.zero_pad = true;
      c = *fmt++;
    } else if (c == '-') {
      f.left = true;
      c = *fmt++;
    }
    while (c >= '0' && c <= '9') {
      f.width = f.width * 10 + static_cast<unsigned>(c - '0');
      c = *fmt++;
    }
    if (c == 'l' || c == 'L') c = *fmt++;  // every argument is 32 bits anyway
    if (c == '\0') return;                   // incomplete conversion: stop here

    const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    unsigned radix;
    switch (upper) {
      case 'S':
        put_string(va_arg(arp, const char*), f);
        continue;
      case 'C':
        xputc(static_cast<char>(va_arg(arp, int)));
        continue;
      case 'D':
      case 'U': radix = 10; break;
      case 'X': radix = 16; break;
      case 'O': radix = 8; break;
      case 'B': radix = 2; break;
      default:  // '%' and anything unknown: the character itself, no argument
        xputc(c);
        continue;
    }

    std::uint32_t value;
    bool negative = false;
    if (upper == 'D') {
      const std::int32_t v = va_arg(arp, std::int32_t);
      negative = v < 0;
      // Two's-complement negation in unsigned arithmetic also covers INT_MIN.
      value = negative ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
    } else {
      value = va_arg(arp, std::uint32_t);
    }
    put_number(value, negative, radix, c == 'x', f);
  }
}

}  // namespace

extern "C" {

void xputc(char c) {
  if (c == '\n') xputc('\r');
  if (xfunc_out != nullptr) xfunc_out(static_cast<unsigned char>(c));
}

void xputs(const char* str) {
  while (*str != '\0') xputc(*str++);
}

void xprintf(const char* fmt, ...) {
  va_list arp;
  va_start(arp, fmt);
  xvprintf(fmt, arp);
  va_end(arp);
}

void xfprintf(void (*func)(unsigned char), const char* fmt, ...) {
  void (*const saved)(unsigned char) = xfunc_out;
  xfunc_out = func;
  va_list arp;
  va_start(arp, fmt);
  xvprintf(fmt, arp);
  va_end(arp);
  xfunc_out = saved;
}

}  // extern "C"
