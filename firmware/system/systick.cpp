// SysTick time base: the 1 ms reload and the busy-wait delays on it.
#include "system/systick.hpp"

#include "mcu/systick.hpp"
#include "system/tick_stamp.hpp"

namespace {

// The tick count as one consistent 64-bit value (the handler may run
// between the two halves).
std::uint64_t tick_count() {
  auto* halves = reinterpret_cast<volatile std::uint32_t*>(&count_SysTick_Reloaded);
  return fw::read_split_counter([halves] { return halves[1]; }, [halves] { return halves[0]; });
}

std::uint64_t now_cycles() { return fw::cycle_stamp(tick_count(), SysTick->VAL); }

}  // namespace

extern "C" {

void init_SysTick(void) {
  count_SysTick_Reloaded = 1;
  SysTick->LOAD = fw::kSysTickReload;
  // VAL is UNKNOWN after reset: cleared, the first tick comes one reload
  // after enabling (any write clears it and COUNTFLAG).
  SysTick->VAL = 0;
  SysTick->CTRL = SysTick_CTRL_ENABLE | SysTick_CTRL_TICKINT | SysTick_CTRL_CLKSOURCE;
}

void delay_with_SysTick_timer(std::uint32_t cnt) {
  if (cnt <= 15) return;
  std::uint64_t target;
  for (;;) {
    const std::uint64_t first = now_cycles();
    target = first + cnt;
    if (fw::stamps_consistent(first, now_cycles())) break;
  }
  while (now_cycles() <= target) {
  }
}

void delay_msec(std::uint32_t msec) {
  if (msec == 0) return;
  const std::uint64_t target = tick_count() + msec;
  while (tick_count() <= target) {
  }
}

void delay_usec(std::uint32_t usec) {
  if (usec > 3000) {
    delay_msec(usec / 1000);
  } else {
    delay_with_SysTick_timer(usec * fw::kCyclesPerMicrosecond);
  }
}

}  // extern "C"
