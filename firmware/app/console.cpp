#include "app/console.hpp"

#include "app/clock.hpp"
#include "console/xprintf.hpp"
#include "drivers/rtc.hpp"
#include "drivers/usart.hpp"

extern "C" {

const int BRR_list[6] = {115200, 4800, 9600, 19200, 38400, 57600};
std::uint32_t USART3_BRR_idx = 0;
std::uint32_t USART2_BRR_idx = 0;
int USART2_auto_rate = 0;
int ESC_mode = 0;
rtc_tm RTC_tm = {};

}  // extern "C"

namespace {

constexpr std::uint32_t kRateCount = sizeof(BRR_list) / sizeof(BRR_list[0]);
constexpr std::uint32_t kRxErrorBits = USART_ERR_PE | USART_ERR_FE | USART_ERR_NF | USART_ERR_ORE;
constexpr char kEscape = 0x01;               // Ctrl-A
constexpr std::uint32_t kTimeLineGapMs = 300;  // time_display rate limit

// The banner shows the clock tree's design values, not register contents.
constexpr int kHclkHz = 144'000'000;
constexpr int kPclk1Hz = 36'000'000;
constexpr int kPclk2Hz = 72'000'000;
constexpr int kUsbHz = 48'000'000;

void set_fixed_rate() {
  USART2_auto_rate = 0;
  xprintf("\r\nUSART2 fixed rate\r\n");
}

void set_auto_rate() {
  USART2_auto_rate = 1;
  xprintf("\r\nUSART2 auto adjust rate\r\n");
}

void reset_rate() {
  USART2_BRR_idx = 0;
  start_USART2(BRR_list[0]);  // restarts with empty rings
  xprintf("\r\nset USART2 115200bps.\r\n");
  set_fixed_rate();
}

void show_help() {
  display_welcome();
  xprintf("\r\nESC=ctrl-A\r\n");
  xprintf("ESC & TAB : display RTC date time.\r\n");
  xprintf("ESC & 0   : set USART2 115200 fix rate.\r\n");
  xprintf("ESC & A   : set USART2 auto adjust rate.\r\n");
  xprintf("ESC & F   : set USART2 fix rate.\r\n");
  xprintf("ESC & else: send else char to USART2.\r\n");
  xprintf("\r\nUSART2=%dbps %s\r\n", BRR_list[USART2_BRR_idx], USART2_auto_rate != 0 ? "AUTO" : "FIXED");
  time_display();
}

// The byte after Ctrl-A; exact match, so lower-case letters are no commands.
struct EscapeCommand {
  char key;
  void (*run)();
};
constexpr EscapeCommand kEscapeCommands[] = {
    {'\t', time_display}, {'0', reset_rate}, {'?', show_help}, {'A', set_auto_rate}, {'F', set_fixed_rate},
};

void escape_command(char c) {
  for (const EscapeCommand& cmd : kEscapeCommands) {
    if (cmd.key == c) {
      cmd.run();
      return;
    }
  }
  USART2_putc(c);  // anything else (Ctrl-A included) goes to USART2 as it is
}

}  // namespace

extern "C" {

void console_out(unsigned char c) { USART3_putc(static_cast<char>(c)); }
unsigned char console_in(void) { return static_cast<unsigned char>(USART3_getc()); }

void display_welcome(void) {
  xprintf("\r\n\r\nSTM32F4:\r\n");
  xprintf("\tCPU (AHB )clock =%d(Hz)\r\n", kHclkHz);
  xprintf("\tPCLK(APB1)clock =%d(Hz)\r\n", kPclk1Hz);
  xprintf("\tPCLK(APB2)clock =%d(Hz)\r\n", kPclk2Hz);
  xprintf("\tIO  (OTG )clock =%d(Hz)\r\n", kUsbHz);
  xprintf("\tCPU CLK in usec.=%d\r\n", kHclkHz / 1'000'000);
  xprintf("\tCPU CLK in msec.=%d\r\n", kHclkHz / 1'000);
  xprintf("\r\n");
}

void time_display(void) {
  if (TO_tick[3] != 0) return;  // a line went out less than 300 ms ago
  TO_tick[3] = kTimeLineGapMs;  // counted down by the SysTick callback
  RTC_getlocaltime(&RTC_tm);
  xprintf("\r\nstm32f4:RTC=%d-%d %d:%02d:%02d\r\n", RTC_tm.tm_mon + 1, RTC_tm.tm_mday, RTC_tm.tm_hour,
          RTC_tm.tm_min, RTC_tm.tm_sec);
}

void bridge_USART2(void) {
  if ((USART2_getErrorFlag() & kRxErrorBits) == 0) {
    while (USART2_nbuf() != 0) USART3_putc(static_cast<char>(USART2_getc() & 0xFF));
  } else if (USART2_auto_rate != 0) {
    // Next rate, cyclically; the restart drops what waits in both rings.
    USART2_BRR_idx = USART2_BRR_idx + 1 >= kRateCount ? 0 : USART2_BRR_idx + 1;
    start_USART2(BRR_list[USART2_BRR_idx]);
  }
  // Otherwise the waiting bytes go out on the next pass (the error was cleared).
}

void bridge_USART3(void) {
  if ((USART3_getErrorFlag() & kRxErrorBits) != 0) return;  // skip USART3 for this pass
  while (USART3_nbuf() != 0) {
    const char c = static_cast<char>(USART3_getc() & 0xFF);
    if (ESC_mode != 0) {
      ESC_mode = 0;
      escape_command(c);
    } else if (c == kEscape) {
      ESC_mode = 1;
    } else {
      USART2_putc(c);
    }
  }
}

}  // extern "C"
