// Start-up load of the on-chip RTC calendar from the external TCXO RTC.
#include "app/hwclock.hpp"

#include <cstdint>

#include "console/xprintf.hpp"
#include "drivers/rtc.hpp"
#include "drivers/tcxo_rtc.hpp"
#include "mcu/rcc.hpp"

namespace {

// Read frame: address byte, then registers 0x00-0x06.
enum FrameByte : unsigned { kAddress, kSeconds, kMinutes, kHours, kWeekday, kDay, kMonth, kYear, kFrameBytes };

// A BCD byte with both digits 0-9 whose value lies in [lo, hi].
bool bcd_in(std::uint8_t v, int lo, int hi) {
  if ((v & 0x0F) > 9 || (v >> 4) > 9) return false;
  const int n = (v >> 4) * 10 + (v & 0x0F);
  return n >= lo && n <= hi;
}

// Only a frame that is a date and time the calendar can hold is loaded: a
// chip that is absent, or a data line stuck low or high, gives bytes that
// are not (all 0x00: month 0, day 0; all 0xFF).
bool frame_is_time(const std::uint8_t* f) {
  return bcd_in(f[kSeconds], 0, 59) && bcd_in(f[kMinutes], 0, 59) && bcd_in(f[kHours], 0, 23) &&
         f[kWeekday] >= 1 && f[kWeekday] <= 7 && bcd_in(f[kDay], 1, 31) && bcd_in(f[kMonth], 1, 12) &&
         bcd_in(f[kYear], 0, 99);
}

}  // namespace

extern "C" void hwclock_r(void) {
  // Bytes 1 and 2 go out as 0xFF: a silent bus that reads back what it got,
  // or one that floats high, then shows seconds and minutes both invalid.
  std::uint8_t frame[kFrameBytes] = {0x00, 0xFF, 0xFF};
  sspi_recv_rtc(frame, kFrameBytes);

  if (!frame_is_time(frame)) {
    // The fixed default: 2013-03-20 00:00:00, a Wednesday (weekday code 3,
    // 1 = Monday).
    frame[kSeconds] = 0x00;
    frame[kMinutes] = 0x00;
    frame[kHours] = 0x00;
    frame[kWeekday] = 0x03;
    frame[kDay] = 0x20;
    frame[kMonth] = 0x03;
    frame[kYear] = 0x13;
  }

  // The checked bytes go into the DR/TR images as they are: the RTC layout
  // has the same BCD fields.
  const std::uint32_t date = std::uint32_t{frame[kYear]} << 16 | std::uint32_t{frame[kWeekday]} << 13 |
                             std::uint32_t{frame[kMonth]} << 8 | frame[kDay];
  const std::uint32_t time =
      std::uint32_t{frame[kHours]} << 16 | std::uint32_t{frame[kMinutes]} << 8 | frame[kSeconds];
  init_RTC_date_time(date, time);
}

extern "C" void print_RTC_clock_source(void) {
  xprintf("...clock source is ");
  switch ((RCC->BDCR & RCC_BDCR_RTCSEL) >> RCC_BDCR_RTCSEL_Pos) {
    case 1: xprintf("LSE"); break;
    case 2: xprintf("LSI"); break;
    case 3: xprintf("HSI(RTCPRE=%d)", static_cast<int>((RCC->CFGR & RCC_CFGR_RTCPRE) >> RCC_CFGR_RTCPRE_Pos)); break;
    default: xprintf("(None)"); break;
  }
  xprintf("\r\n");
}
