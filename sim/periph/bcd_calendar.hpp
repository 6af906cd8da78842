// A calendar held as BCD bytes, as both real-time clocks of the board keep
// it (the chip's RTC in TR/DR, the external TCXO RTC in its registers 0-6),
// and the one-second step with its carries. Years are 00-99 of 2000-2099, so
// every year divisible by 4 is a leap year. Weekday 1 = Monday ... 7 = Sunday.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace vb {

struct BcdCalendar {
  std::uint8_t sec = 0x00;
  std::uint8_t min = 0x00;
  std::uint8_t hour = 0x00;
  std::uint8_t wday = 0x01;
  std::uint8_t mday = 0x01;
  std::uint8_t mon = 0x01;
  std::uint8_t year = 0x00;
  bool operator==(const BcdCalendar&) const = default;
};

// Field widths: bits that count; other bits of the byte (the RTC's PM flag
// lives outside these, the chip's 12/24 select too) are kept as they are.
inline constexpr std::uint8_t kBcdSecMask = 0x7F;
inline constexpr std::uint8_t kBcdMinMask = 0x7F;
inline constexpr std::uint8_t kBcdHourMask = 0x3F;
inline constexpr std::uint8_t kBcdWdayMask = 0x07;
inline constexpr std::uint8_t kBcdMdayMask = 0x3F;
inline constexpr std::uint8_t kBcdMonMask = 0x1F;
inline constexpr std::uint8_t kBcdYearMask = 0xFF;

constexpr unsigned bcd_to_bin(std::uint8_t b) { return (b >> 4) * 10u + (b & 0x0Fu); }
constexpr std::uint8_t bin_to_bcd(unsigned v) { return static_cast<std::uint8_t>(((v / 10u) << 4) | (v % 10u)); }

// Length of a month (1-12) in a year 00-99 of 2000-2099. A month outside
// 1-12 (only reachable by loading invalid BCD) is taken as 31 days long.
constexpr unsigned month_length(unsigned month, unsigned year) {
  constexpr std::uint8_t len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 31;
  return len[month - 1] + ((month == 2 && year % 4 == 0) ? 1u : 0u);
}

// Day of the week (1 = Monday ... 7 = Sunday) of a date in 2000-2099.
constexpr unsigned weekday_of(unsigned year, unsigned month, unsigned day) {
  unsigned days = 0;  // days since Saturday 1 January 2000
  for (unsigned y = 0; y < year; ++y) days += (y % 4 == 0) ? 366 : 365;
  for (unsigned m = 1; m < month; ++m) days += month_length(m, year);
  days += day - 1;
  return (days + 5) % 7 + 1;
}

namespace bcd_detail {
// Advances a counting field by one. Returns true on a carry into the next
// field. A value at or beyond `limit` (including invalid BCD such as 0x7A,
// which decodes to 80) wraps to `first`, as the following field must move on.
// Real hardware leaves the behaviour with invalid digits undocumented; this
// is a deterministic choice.
inline bool step(std::uint8_t& field, std::uint8_t mask, unsigned first, unsigned limit) {
  unsigned v = bcd_to_bin(field & mask) + 1;
  bool carry = v > limit;
  if (carry) v = first;
  field = static_cast<std::uint8_t>((field & ~mask) | (bin_to_bcd(v) & mask));
  return carry;
}
}  // namespace bcd_detail

// One second forward, with carries through minutes, hours (24-hour),
// weekday, day of month, month and year (99 wraps to 00).
inline void tick_second(BcdCalendar& c) {
  using bcd_detail::step;
  if (!step(c.sec, kBcdSecMask, 0, 59)) return;
  if (!step(c.min, kBcdMinMask, 0, 59)) return;
  if (!step(c.hour, kBcdHourMask, 0, 23)) return;
  unsigned w = c.wday & kBcdWdayMask;
  c.wday = static_cast<std::uint8_t>((c.wday & ~kBcdWdayMask) | (w >= 7 ? 1 : w + 1));
  unsigned year = bcd_to_bin(c.year & kBcdYearMask);
  unsigned days = month_length(bcd_to_bin(c.mon & kBcdMonMask), year);
  if (!step(c.mday, kBcdMdayMask, 1, days)) return;
  if (!step(c.mon, kBcdMonMask, 1, 12)) return;
  c.year = bin_to_bcd((year + 1) % 100);
}

// A calendar from "YYYY-MM-DDThh:mm:ss" (2000-2099, a real date), with the
// weekday worked out; nothing when the text is not such a time.
inline std::optional<BcdCalendar> parse_calendar(const std::string& text) {
  unsigned y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
    return std::nullopt;
  if (text.size() != 19 || y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59)
    return std::nullopt;
  y -= 2000;
  if (d > month_length(mo, y)) return std::nullopt;
  return BcdCalendar{bin_to_bcd(s), bin_to_bcd(mi), bin_to_bcd(h), static_cast<std::uint8_t>(weekday_of(y, mo, d)),
                     bin_to_bcd(d), bin_to_bcd(mo), bin_to_bcd(y)};
}

}  // namespace vb
