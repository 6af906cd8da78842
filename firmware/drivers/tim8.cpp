// TIM8: the audio DAC's 12 MHz master clock on PC7. Channel 2 toggles at
// every compare match of a 6-count period of the 144 MHz APB2 timer clock.
#include "drivers/dac.hpp"
#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"
#include "mcu/tim.hpp"

namespace {
constexpr std::uint32_t kTimerClock = 144'000'000;  // APB2 timer clock
constexpr std::uint32_t kArr = 5;
static_assert(kTimerClock / (kArr + 1) / 2 == 12'000'000);  // two toggles per period of the wave

constexpr unsigned kMclkPin = 7;       // PC7
constexpr std::uint32_t kTim8Af = 3;
// The lowest output speed that carries 12 MHz: medium, up to 25 MHz at
// 3.3 V (the reset speed, low, is good for about 2 MHz only).
constexpr std::uint32_t kMclkSpeed = GPIO_SPEED_MEDIUM;

constexpr std::uint32_t kCcmr1 = tim_ccmr_ocm(2, TIM_OCM_TOGGLE) | tim_ccmr_occe(2);
static_assert(kCcmr1 == 0xB000);
constexpr std::uint32_t kBdtr = TIM_BDTR_MOE | TIM_BDTR_AOE | TIM_BDTR_OSSR | TIM_BDTR_OSSI;
static_assert(kBdtr == 0xCC00);
}  // namespace

extern "C" void setup_TIM8(void) {
  RCC->APB2RSTR |= RCC_APB2RSTR_TIM8RST;
  RCC->APB2ENR |= RCC_APB2ENR_TIM8EN;
  RCC->APB2RSTR &= ~RCC_APB2RSTR_TIM8RST;

  TIM8->ARR = kArr;
  TIM8->CCR2 = TIM8->ARR;
  TIM8->CCMR1 = kCcmr1;          // channel 2 output, toggle on match
  TIM8->CCER = TIM_CCER_CC2E;    // channel 2 output on, active high
  TIM8->BDTR = kBdtr;            // main output on
  TIM8->SR = 0;
  TIM8->CR1 = TIM_CR1_CEN;       // up-counting, edge-aligned

  // The timer runs before its pin takes it over.
  GPIOC->AFR[0] = (GPIOC->AFR[0] & ~gpio_afr_mask(kMclkPin)) | gpio_afr(kMclkPin, kTim8Af);
  GPIOC->OTYPER &= ~(1u << kMclkPin);
  GPIOC->OSPEEDR = (GPIOC->OSPEEDR & ~gpio_ospeedr_mask(kMclkPin)) | gpio_ospeedr(kMclkPin, kMclkSpeed);
  GPIOC->MODER = (GPIOC->MODER & ~gpio_moder_mask(kMclkPin)) | gpio_moder(kMclkPin, GPIO_MODE_AF);
}
