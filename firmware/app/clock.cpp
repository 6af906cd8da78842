// Clock behaviour. For now only the tick bookkeeping: the tick count and the
// flag that lets the main loop run the clock logic once per tick.
#include "app/clock.hpp"

extern "C" {

alignas(4) volatile std::uint32_t CNT_tick = 0;
alignas(4) volatile std::uint32_t UPD_tick = 0;
alignas(4) volatile std::uint32_t TO_tick[4] = {};
alignas(4) volatile std::int32_t BTN_stat = 0;

// SysTick interrupt, every 1 ms.
void callback_SysTick(void) {
  CNT_tick = CNT_tick + 1;
  UPD_tick = 0xFFFFFFFFu;
}

void ticked_loop(void) {}

}  // extern "C"
