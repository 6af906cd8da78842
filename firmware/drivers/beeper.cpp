// TIM10: the beeper's tone on PB8. The counter runs at 9 MHz from the
// 144 MHz APB2 timer clock; channel 1 is high while the count is below CCR1.
#include "drivers/beeper.hpp"

#include "board/board.hpp"
#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"
#include "mcu/tim.hpp"

namespace {
constexpr std::uint32_t kTimerClock = 144'000'000;  // APB2 timer clock
constexpr std::uint32_t kCountRate = 9'000'000;
constexpr std::uint32_t kPsc = kTimerClock / kCountRate - 1;
static_assert(kPsc == 15);
constexpr std::uint32_t kLongestPeriod = 65536;  // counts of a 16-bit ARR

constexpr std::uint32_t kCcmr1 = tim_ccmr_ocm(1, TIM_OCM_PWM1);  // no CCR1 preload
static_assert(kCcmr1 == 0x60);

constexpr unsigned kBeeperPin = 8;  // PB8
constexpr std::uint32_t kTim10Af = 3;

// PB8 to TIM10 channel 1.
void setup_GPIO_TIM10() {
  GPIOB->AFR[1] = (GPIOB->AFR[1] & ~gpio_afr_mask(kBeeperPin)) | gpio_afr(kBeeperPin, kTim10Af);
  GPIOB->MODER = (GPIOB->MODER & ~gpio_moder_mask(kBeeperPin)) | gpio_moder(kBeeperPin, GPIO_MODE_AF);
  GPIOB->OTYPER &= ~(1u << kBeeperPin);
}
}  // namespace

extern "C" {

std::uint8_t tim10_setup_flag = 0;
alignas(4) volatile std::uint16_t CTRLS = 0;

void setup_pwm_da(void) { CTRLS = 0; }

void setup_TIM10(void) {
  RCC->APB2RSTR |= RCC_APB2RSTR_TIM10RST;
  RCC->APB2ENR |= RCC_APB2ENR_TIM10EN;
  RCC->APB2RSTR &= ~RCC_APB2RSTR_TIM10RST;

  TIM10->PSC = kPsc;
  TIM10->CCER = TIM_CCER_CC1E;  // channel 1 on, active high
  TIM10->CCMR1 = kCcmr1;
  setup_GPIO_TIM10();
  tim10_setup_flag = 1;
  setup_pwm_da();
  setup_TIM1();
  // ARR and CR1 are not written: silent until set_TIM10_pwm.
}

void set_TIM10_pwm(std::uint32_t freq, std::uint32_t duty) {
  if (tim10_setup_flag != 1) return;
  setup_pwm_da();  // the feed is off before the timer is reprogrammed
  if (freq == 0) {
    TIM10->CR1 = 0;  // stopped; CCR1 stays
    return;
  }
  // ARR goes through its preload register and the update event loads it
  // with the counter restarted from 0: the new tone starts at once, and a
  // counter above the new period never runs on to 0xFFFF first.
  TIM10->CR1 |= TIM_CR1_ARPE;  // a running tone sounds on until the update event
  const std::uint32_t n = kCountRate / freq;
  TIM10->ARR = n > kLongestPeriod ? kLongestPeriod - 1 : n - 1;
  TIM10->CCR1 = (TIM10->ARR + 1) * duty / 100;
  TIM10->EGR = TIM_EGR_UG;
  TIM10->CR1 = TIM_CR1_ARPE | TIM_CR1_CEN;  // up-counting
}

void hndl_TIM1_UP_TIM10(void) {
  if (TIM1->SR != 0) TIM1->SR = 0;  // all TIM1 flags; TIM10's are not looked at
  // The sample feed (CTRLS bit 0) is never switched on here: nothing to pace.
}

}  // extern "C"
