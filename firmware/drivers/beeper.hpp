// The beeper on PB8, driven by TIM10 channel 1 as a square wave, and the
// state of a timer-paced sample feed for the same output, which this system
// keeps switched off.
#pragma once
#include <cstdint>

extern "C" {

// 1 once setup_TIM10 has run; beeper calls and the interrupt do nothing before.
extern std::uint8_t tim10_setup_flag;
// Control word of the sample feed; bit 0 = enabled. Always 0 here.
extern volatile std::uint16_t CTRLS;

// One-time set-up: TIM10 counting at 9 MHz once started, channel 1 in PWM
// mode 1 on PB8 (alternate function 3), sample feed off; then starts TIM1.
// Leaves the beeper silent.
void setup_TIM10(void);
// freq in Hz (0 = off, CCR1 kept); duty in percent of the period. Below
// about 137.3 Hz the period is limited to 65536 counts.
void set_TIM10_pwm(std::uint32_t freq, std::uint32_t duty);
// Sample feed off.
void setup_pwm_da(void);
// TIM1 update / TIM10 interrupt (interrupt context; the line is never
// enabled in this system): clears TIM1's flags.
void hndl_TIM1_UP_TIM10(void);

}  // extern "C"
