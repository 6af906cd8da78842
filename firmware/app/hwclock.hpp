// Start-up load of the on-chip RTC calendar from the external TCXO RTC.
#pragma once

extern "C" {

// Reads the external RTC's time registers and loads them into the on-chip
// RTC; a frame that is not a valid BCD date and time (an absent or silent
// chip) gives the default 2013-03-20 00:00:00 with weekday code 4. Needs
// setup_RTC and init_sspi_rtc first.
void hwclock_r(void);

// Prints "...clock source is " and the on-chip RTC's clock source as
// selected in RCC BDCR RTCSEL ("LSE", "LSI", "HSI(RTCPRE=n)" or "(None)"),
// then ends the line.
void print_RTC_clock_source(void);

}  // extern "C"
