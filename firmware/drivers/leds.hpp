// Four status LEDs on PD12-PD15, driven by TIM4 channels 1-4 in PWM mode 1
// at a duty the application chooses.
#pragma once
#include <cstdint>

extern "C" {

// One-time set-up at start-up: TIM4 prescaled to 2 MHz, all four channels in
// PWM mode 1 with their outputs on, the pins in alternate function 2. The
// counter stays stopped (LEDs dark) until the first set_TIM4_pwm.
void setup_TIM4(void);
// freq: PWM frequency in Hz (0 keeps the period; 31-2000000 fits the
// counter); duty: percent of the period (0-100); flag: bits 0-3 select the
// channels 1-4 that get the duty, the others get 0; flag 0 stops the timer.
void set_TIM4_pwm(std::uint32_t freq, std::uint32_t duty, std::uint32_t flag);

}  // extern "C"
