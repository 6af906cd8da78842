// 1 ms SysTick time base: a 64-bit tick count, a chain of periodic or
// one-shot callbacks run in the SysTick interrupt, and busy-wait delays.
#pragma once
#include <cstdint>

extern "C" {

// A callback record, owned by the caller and kept alive while chained.
struct SysTick_callback {
  SysTick_callback* volatile next;  // next record; null at the end of the chain
  // 0xFFFFFFFF: call func on every tick. 0: idle. N: count down one per
  // tick and call func once when the count reaches 0.
  volatile std::uint32_t expires;
  void (*func)(void);  // runs in the SysTick interrupt; must be short
};

inline constexpr std::uint32_t SYSTICK_EVERY_TICK = 0xFFFFFFFFu;

// First record of the chain (null when empty).
extern SysTick_callback* volatile callback_ptr;
// SysTick reloads (1 ms ticks) since init_SysTick, which starts it at 1.
extern volatile std::uint64_t count_SysTick_Reloaded;

// Starts the 1 ms interrupt from the 144 MHz processor clock.
void init_SysTick(void);
// Appends x to the chain; always 0. x must not be chained already. May be
// called before init_SysTick. Not to be called from two contexts at once.
int add_SysTick_callback(SysTick_callback* x);
// Unlinks x from the chain: 0 when removed, -1 when x was not chained.
// Safe while the SysTick handler walks the chain (also from inside a
// callback, x itself included).
int del_SysTick_callback(SysTick_callback* x);
// SysTick exception handler.
void hndl_SysTick(void);

// Busy-wait delays. They need the SysTick interrupt running and must be
// called where SysTick can preempt (main loop, lower-priority interrupt).
void delay_msec(std::uint32_t msec);               // msec to msec + 1 ms
void delay_usec(std::uint32_t usec);               // above 3000 µs: whole ms
void delay_with_SysTick_timer(std::uint32_t cnt);  // processor cycles, > 15

}  // extern "C"
