// Clock behaviour. The tick callback counts time for the main loop: the tick
// count, the flag that lets the clock logic run once per tick, the countdown
// timers and the button's held/released time.
#include "app/clock.hpp"

#include "mcu/gpio.hpp"

extern "C" {

alignas(4) volatile std::uint32_t CNT_tick = 0;
alignas(4) volatile std::uint32_t UPD_tick = 0;
alignas(4) volatile std::uint32_t TO_tick[4] = {};
alignas(4) volatile std::int32_t BTN_stat = 0;

namespace {

constexpr std::int32_t kButtonLimit = 32000;  // ms; the counter saturates here

// One 1 ms sample of the button: counts up from 0 while pressed, down from
// -1 while released, both saturating.
std::int32_t next_button_count(std::int32_t stat, bool pressed) {
  if (pressed) {
    if (stat < 0) return 0;
    return stat < kButtonLimit ? stat + 1 : stat;
  }
  if (stat >= 0) return -1;
  return stat > -kButtonLimit ? stat - 1 : stat;
}

}  // namespace

// SysTick interrupt, every 1 ms.
void callback_SysTick(void) {
  CNT_tick = CNT_tick + 1;
  UPD_tick = 0xFFFFFFFFu;
  for (auto& t : TO_tick)
    if (t != 0) t = t - 1;
  const bool pressed = (GPIOA->IDR & 1u) != 0;  // PA0 high while the button is held
  BTN_stat = next_button_count(BTN_stat, pressed);
}

void ticked_loop(void) {}

}  // extern "C"
