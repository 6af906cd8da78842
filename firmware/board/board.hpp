// Board pin map and TIM1.
//
//   PA0        button (input, no pull; high = pressed)
//   PD0-PD3    unused outputs, high
//   PD4        audio DAC reset (output, low = held in reset)
//   PD5, PD6   USART2 TX, RX (AF7; RX pulled up)
//   PD7, PD10  unused outputs, high
//   PD8, PD9   USART3 TX, RX, the console (AF7; RX pulled up)
//   PD11       input, pulled up, not read
//   PD12-PD15  LEDs, TIM4 channels 1-4 (AF2)
// Every other pin is configured by the module that owns it.
#pragma once

extern "C" {

// Clocks GPIO ports A-E, makes PA0 an input and configures all of port D.
// Called from the reset code before .data/.bss exist: uses no variable.
void setup_GPIO(void);
// TIM1 counting at 8 kHz (update events) from the 144 MHz APB2 timer clock.
void setup_TIM1(void);

}  // extern "C"
