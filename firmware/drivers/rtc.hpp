// On-chip RTC calendar: clock source selection, loading, and conversion
// between the packed BCD TR/DR registers and the broken-down rtc_tm record.
#pragma once
#include <cstdint>

extern "C" {

// Broken-down calendar time.
struct rtc_tm {
  int tm_sec;    // 0-59
  int tm_min;    // 0-59
  int tm_hour;   // 0-23
  int tm_mday;   // 1-31
  int tm_mon;    // January = 0
  int tm_year;   // years since 1900, 100-199 (2000-2099)
  int tm_wday;   // Sunday = 0
  int tm_yday;   // 1 January = 0
  int tm_isdst;  // always 0 when read
};

extern const std::uint8_t days_in_month[12];

void setup_RTC(void);
// date and time are RTC DR and TR register images (BCD, 24-hour format).
void init_RTC_date_time(std::uint32_t date, std::uint32_t time);
int RTC_getlocaltime(rtc_tm* tm);
int RTC_setlocaltime(const rtc_tm* tm);

}  // extern "C"
