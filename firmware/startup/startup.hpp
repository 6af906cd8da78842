// Reset entry, clock tree and default handlers.
#pragma once

extern "C" {

// Reset entry (vector word 1): vector table and FPU, clock tree, pins, data
// sections, then main. Never returns.
[[noreturn]] void start(void);
// Clock tree: 8 MHz HSE (bypass) -> PLL -> 144 MHz core, APB1 36 MHz,
// APB2 72 MHz, 48 MHz USB. Uses no variable in memory.
void setup_RCC(void);
// Hook for external-memory set-up, called after setup_GPIO; by default
// ignore_not_presents, which does nothing.
void setup_FSMC(void);
void ignore_not_presents(void);
// Default handler of every exception and interrupt without its own: stays
// in an endless loop.
[[noreturn]] void hndl_TRAP(void);

int main(void);

}  // extern "C"
