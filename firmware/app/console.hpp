// The service console on USART3 and the serial bridge to USART2: rate
// table, banner, time line, the two bridge steps of the main loop and the
// Ctrl-A escape commands.
#pragma once
#include <cstdint>

#include "drivers/rtc.hpp"

extern "C" {

// Selectable rates; index 0 (115200) is the default.
extern const int BRR_list[6];
extern std::uint32_t USART3_BRR_idx;  // 0, never changed: the console runs at 115200
extern std::uint32_t USART2_BRR_idx;
extern int USART2_auto_rate;          // non-zero: next rate on every USART2 receive error
extern int ESC_mode;                  // 1 between a Ctrl-A on USART3 and the next byte
extern rtc_tm RTC_tm;                 // last time read by time_display

// Output/input hooks of the formatter bound to USART3.
void console_out(unsigned char c);
unsigned char console_in(void);

// The fixed clock banner.
void display_welcome(void);
// The on-chip RTC time as one line; at most one line per 300 ms (TO_tick[3]).
void time_display(void);

// Main-loop steps. USART2 -> USART3; on a receive error either wait a pass
// or, with the rate search on, restart USART2 at the next rate.
void bridge_USART2(void);
// USART3 -> USART2, with Ctrl-A (0x01) escape commands.
void bridge_USART3(void);

}  // extern "C"
