// Clock behaviour: the 1 ms tick callback with its counters, and the clock
// logic the main loop runs once per tick.
#pragma once
#include <cstdint>

extern "C" {

// Tick counters, written by callback_SysTick in the SysTick interrupt and
// read (and partly written) by the main loop: single aligned 32-bit words.
extern volatile std::uint32_t CNT_tick;   // ticks since SysTick started; wraps
extern volatile std::uint32_t UPD_tick;   // all ones on every tick; main loop clears bit 0
extern volatile std::uint32_t TO_tick[4]; // countdown timers in ms, stop at 0
extern volatile std::int32_t BTN_stat;    // button held (>= 0) / released (< 0) time in ms

// Runs in the SysTick interrupt on every tick.
void callback_SysTick(void);
// Clock logic; main loop, at most once per tick.
void ticked_loop(void);

}  // extern "C"
