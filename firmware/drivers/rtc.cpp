// On-chip RTC: clock source selection, calendar loading, and conversion
// between the packed BCD TR/DR registers and rtc_tm.
#include "drivers/rtc.hpp"

#include "mcu/gpio.hpp"
#include "mcu/pwr.hpp"
#include "mcu/rcc.hpp"
#include "mcu/rtc.hpp"

extern "C" const std::uint8_t days_in_month[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

namespace {

// LSE start-up: the poll count after which the LSI takes over.
constexpr std::uint32_t kLsePolls = 100'000'000;

// LSIRDY and INITF come within 40 us and two RTC clock periods (under
// 0.2 ms even from a slow LSI). A poll takes at least four core cycles, so
// this many polls last from a quarter of a second upwards at 144 MHz: far
// beyond either, and short enough for the start-up to go on without them.
constexpr std::uint32_t kReadyPolls = 144'000'000 / 4;

// Polls until all `bits` of `reg` are set; false when the limit ran out.
bool wait_set(const mcu::reg32& reg, std::uint32_t bits, std::uint32_t polls) {
  for (std::uint32_t n = 0; n < polls; ++n)
    if ((reg & bits) == bits) return true;
  return false;
}

constexpr std::uint32_t kPwrCrSetup = PWR_CR_VOS | PWR_CR_DBP | PWR_CR_CSBF | PWR_CR_CWUF;
static_assert(kPwrCrSetup == 0x410C);

constexpr std::uint32_t kBdcrSourceBits = RCC_BDCR_RTCEN | RCC_BDCR_RTCSEL;
static_assert(kBdcrSourceBits == 0x8300);

constexpr std::uint32_t to_bcd(std::uint32_t v) { return (v / 10) << 4 | v % 10; }

// Two BCD digits at `shift`: units in 4 bits, tens in `tens_bits` bits above.
constexpr int digits(std::uint32_t reg, unsigned shift, unsigned tens_bits) {
  const std::uint32_t units = (reg >> shift) & 0xF;
  const std::uint32_t tens = (reg >> (shift + 4)) & ((1u << tens_bits) - 1);
  return static_cast<int>(tens * 10 + units);
}

constexpr bool leap_year(int tm_year) { return (tm_year & 3) == 0; }

constexpr std::uint32_t kTrPmBit = RTC_TR_PM;
constexpr std::uint32_t kDrWeekdaySunday = 7;

}  // namespace

extern "C" void setup_RTC(void) {
  RCC->APB1ENR |= RCC_APB1ENR_PWREN;
  PWR->CR = kPwrCrSetup;  // scale 1, backup-domain writes on, clear standby/wake-up flags
  RCC->AHB1ENR |= RCC_AHB1ENR_BKPSRAMEN;

  // The LSI runs whether or not the RTC will use it.
  RCC->CSR |= RCC_CSR_LSION;
  wait_set(RCC->CSR, RCC_CSR_LSIRDY, kReadyPolls);

  // OSC32_IN / OSC32_OUT to analog: the LSE pins belong to the oscillator.
  GPIOC->MODER |= gpio_moder(14, GPIO_MODE_ANALOG) | gpio_moder(15, GPIO_MODE_ANALOG);

  // Reset the backup domain: the calendar and the clock choice start afresh.
  RCC->BDCR |= RCC_BDCR_BDRST;
  RCC->BDCR &= ~RCC_BDCR_BDRST;

  // The board feeds a 32.768 kHz clock signal, not a crystal: bypass mode.
  RCC->BDCR |= RCC_BDCR_LSEON | RCC_BDCR_LSEBYP;
  std::uint32_t polls = 0;
  while (!(RCC->BDCR & RCC_BDCR_LSERDY) && polls != kLsePolls) ++polls;

  // Ready on the very last poll counts as a time-out too.
  const std::uint32_t source = polls < kLsePolls ? RCC_BDCR_RTCSEL_LSE : RCC_BDCR_RTCSEL_LSI;
  RCC->BDCR = (RCC->BDCR & ~kBdcrSourceBits) | RCC_BDCR_RTCEN | source;
}

extern "C" void init_RTC_date_time(std::uint32_t date, std::uint32_t time) {
  RTC->WPR = RTC_WPR_KEY1;
  RTC->WPR = RTC_WPR_KEY2;

  RTC->ISR = RTC_ISR_INIT;
  // Without a running RTC clock INITF never comes: leave the calendar as it
  // is, but still leave initialisation mode and lock again.
  const bool loaded = wait_set(RTC->ISR, RTC_ISR_INITF, kReadyPolls);
  if (loaded) {
    RTC->CR |= RTC_CR_BYPSHAD;
    RTC->TR = time;
    RTC->DR = date;
    RTC->CR &= ~RTC_CR_BYPSHAD;
  }
  RTC->ISR = 0;  // leave initialisation mode (this also clears RSF)

  RTC->WPR = 0;
  RTC->WPR = 0;

  // TR and DR read shadow copies, refreshed two RTC clock periods after
  // initialisation mode ends (RSF). Wait for that, so a reading right after
  // this load gets the new calendar and not the one before it.
  if (loaded) wait_set(RTC->ISR, RTC_ISR_RSF, kReadyPolls);
}

extern "C" int RTC_getlocaltime(rtc_tm* tm) {
  // TR, DR, TR: the date belongs to the second both time reads agree on.
  std::uint32_t tr, dr;
  for (;;) {
    tr = RTC->TR & 0xFFFFFF;
    dr = RTC->DR & 0xFFFFFF;
    if ((RTC->TR & 0xFFFFFF) == tr) break;
  }
  // Reading TR freezes the date shadow register until DR is read; the
  // second TR read above did so. Release it, or the next call would get
  // today's time with the date of this call (stale after midnight).
  (void)RTC->DR;

  tm->tm_sec = digits(tr, 0, 3);
  tm->tm_min = digits(tr, 8, 3);
  tm->tm_hour = digits(tr, 16, 2) + ((tr & kTrPmBit) ? 12 : 0);
  tm->tm_mday = digits(dr, 0, 2);
  tm->tm_mon = digits(dr, 8, 1) - 1;
  tm->tm_year = digits(dr, 16, 4) + 100;
  const int wdu = static_cast<int>((dr & RTC_DR_WDU) >> RTC_DR_WDU_Pos);
  tm->tm_wday = wdu == kDrWeekdaySunday ? 0 : wdu;

  // A month outside 1-12 (an invalid month loaded into the RTC) has no day
  // of the year; the table is never read past its end.
  const int mon = tm->tm_mon;
  if (mon >= 0 && mon < 12) {
    int yday = tm->tm_mday - 1;
    for (int m = 0; m < mon; ++m) yday += days_in_month[m];
    if (mon > 1 && leap_year(tm->tm_year)) ++yday;
    tm->tm_yday = yday;
  } else {
    tm->tm_yday = -1;
  }
  tm->tm_isdst = 0;
  return 0;
}

extern "C" int RTC_setlocaltime(const rtc_tm* tm) {
  // Unsigned compares: negative fields fail as well. A leap second (60) is
  // refused: the calendar does not hold 0x60 as a time.
  if (static_cast<unsigned>(tm->tm_sec) > 59) return -1;
  if (static_cast<unsigned>(tm->tm_min) > 59) return -1;
  if (static_cast<unsigned>(tm->tm_hour) > 23) return -1;
  if (static_cast<unsigned>(tm->tm_wday) > 6) return -1;
  if (static_cast<unsigned>(tm->tm_mon) > 11) return -1;
  if (static_cast<unsigned>(tm->tm_year) - 100u > 99u) return -1;
  if (tm->tm_mday < 1) return -1;
  const int leap_day = (tm->tm_mon == 1 && leap_year(tm->tm_year)) ? 1 : 0;
  if (tm->tm_mday > days_in_month[tm->tm_mon] + leap_day) return -1;

  const std::uint32_t time = to_bcd(tm->tm_sec) | to_bcd(tm->tm_min) << 8 | to_bcd(tm->tm_hour) << 16;
  const std::uint32_t weekday = tm->tm_wday == 0 ? kDrWeekdaySunday : static_cast<std::uint32_t>(tm->tm_wday);
  const std::uint32_t date = to_bcd(tm->tm_mday) | to_bcd(tm->tm_mon + 1) << 8 | weekday << RTC_DR_WDU_Pos |
                             to_bcd(tm->tm_year - 100) << 16;
  init_RTC_date_time(date, time);
  return 0;
}
