// Start-up sequence and main loop. main brings the system up step by step,
// then polls: the serial and USB consoles on every pass, the clock logic at
// most once per 1 ms tick, until EOF_main becomes non-zero.
#include <cstdint>

#include "app/clock.hpp"
#include "app/console.hpp"
#include "app/hwclock.hpp"
#include "app/shell.hpp"
#include "console/xprintf.hpp"
#include "drivers/dac.hpp"
#include "drivers/rtc.hpp"
#include "drivers/sdac.hpp"
#include "drivers/tcxo_rtc.hpp"
#include "drivers/usart.hpp"
#include "mcu/dbgmcu.hpp"
#include "mcu/rcc.hpp"
#include "mcu/scb.hpp"
#include "mcu/systick.hpp"
#include "system/systick.hpp"
#include "usb/cdc/usb_vcp.hpp"

extern "C" {

// The loop runs while this is 0; nothing in the firmware writes it.
volatile int EOF_main = 0;
// The clock's tick callback record.
SysTick_callback callback = {nullptr, 0, nullptr};

void setup_NVIC(void);
void setup_DMA(void);
void register_SysTick_callback(void);
void fast_loop(void);
void cleanup(void);

// Priority grouping 1: all four implemented priority bits are preemption
// bits. Set before any interrupt source is enabled.
void setup_NVIC(void) {
  constexpr std::uint32_t kPriGroup = 1;
  SCB->AIRCR = (SCB->AIRCR & ~(SCB_AIRCR_VECTKEY_MASK | SCB_AIRCR_PRIGROUP)) | SCB_AIRCR_VECTKEY |
               (kPriGroup << SCB_AIRCR_PRIGROUP_Pos);
}

// DMA1 and DMA2: reset pulse around the clock enable.
void setup_DMA(void) {
  constexpr std::uint32_t kDma = RCC_AHB1ENR_DMA1EN | RCC_AHB1ENR_DMA2EN;
  static_assert(kDma == (RCC_AHB1RSTR_DMA1RST | RCC_AHB1RSTR_DMA2RST));
  RCC->AHB1RSTR |= kDma;
  RCC->AHB1ENR |= kDma;
  RCC->AHB1RSTR &= ~kDma;
}

void register_SysTick_callback(void) {
  callback.func = callback_SysTick;
  callback.expires = SYSTICK_EVERY_TICK;
  add_SysTick_callback(&callback);
}

// One pass over the consoles (serial bridge, escape commands, USB shell).
void fast_loop(void) {
  bridge_USART2();
  bridge_USART3();
  shell_USB();
}

void cleanup(void) {
  SysTick->CTRL = 0;  // stops the tick and with it callback_SysTick
}

}  // extern "C"

namespace {

// Debug, interrupt grouping, DMA clocks and the 1 ms time base; interrupts on.
void setup(void) {
  DBGMCU->CR |= DBGMCU_CR_DBG_SLEEP | DBGMCU_CR_DBG_STOP;  // debug alive in sleep/stop
  setup_NVIC();
  setup_DMA();
  register_SysTick_callback();
  init_SysTick();
  __asm__ volatile("cpsie i" ::: "memory");
}

}  // namespace

int main(void) {
  setup();

  // The console, with the formatter's hooks on it, then the bridge port.
  start_USART3(BRR_list[USART3_BRR_idx]);
  xfunc_out = console_out;
  xfunc_in = console_in;
  xprintf("   \r\nUSART3 console start.(Esc=ctrl-A)\r\n");
  start_USART2(BRR_list[USART2_BRR_idx]);
  xprintf("start (USART2<->USART3) serial line bridge.");  // the banner starts a new line
  display_welcome();

  // On-chip RTC: clock source (LSE, or LSI after the LSE time-out).
  xprintf("setup RTC...waiting for clock");
  setup_RTC();
  print_RTC_clock_source();

  // LED timer: brought up here in turn.

  // Calendar from the external RTC.
  xprintf("setup date/time calender from ext-RTC\r\n");
  init_sspi_rtc();
  hwclock_r();

  // Beeper: brought up here in turn.

  // Voice output: DAC with its sample clock, the audio DAC's master clock,
  // then the audio DAC itself.
  xprintf("setup DAC and SDAC\r\n");
  setup_DAC1();
  setup_TIM8();
  setup_SDAC();

  // USB device: the virtual COM port (the host enumerates it later, in the
  // OTG_FS interrupt).
  xprintf("setup OTG_FS(CDC:VCP)\r\n");
  OTG_FS_init();
  xprintf("USB(OTG_FS) CDC-VCOM Port shell console start.\r\n");

  time_display();
  xprintf("setup done.\r\n\r\n");

  while (EOF_main == 0) {
    fast_loop();
    if ((UPD_tick & 1u) != 0) {
      UPD_tick = UPD_tick & ~1u;
      ticked_loop();
    }
  }

  cleanup();
  return 0;
}
