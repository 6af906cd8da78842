// TIM4: LED brightness as PWM on PD12-PD15. The counter runs at 2 MHz from
// the 72 MHz APB1 timer clock; each channel is high while the count is below
// its compare value.
#include "drivers/leds.hpp"

#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"
#include "mcu/tim.hpp"

namespace {
constexpr std::uint32_t kTimerClock = 72'000'000;  // APB1 timer clock
constexpr std::uint32_t kCountRate = 2'000'000;
constexpr std::uint32_t kPsc = kTimerClock / kCountRate - 1;
static_assert(kPsc == 35);

constexpr std::uint32_t kCcer = TIM_CCER_CC1E | TIM_CCER_CC2E | TIM_CCER_CC3E | TIM_CCER_CC4E;
static_assert(kCcer == 0x1111);
// Channels 1 and 2 (CCMR1), 3 and 4 (CCMR2): PWM mode 1, no preload.
constexpr std::uint32_t kCcmr = tim_ccmr_ocm(1, TIM_OCM_PWM1) | tim_ccmr_ocm(2, TIM_OCM_PWM1);
static_assert(kCcmr == 0x6060);

constexpr unsigned kFirstPin = 12;  // PD12-PD15 carry channels 1-4
constexpr std::uint32_t kTim4Af = 2;

// The compare registers of channels 1-4.
mcu::reg32& ccr(unsigned ch) {
  switch (ch) {
    case 0: return TIM4->CCR1;
    case 1: return TIM4->CCR2;
    case 2: return TIM4->CCR3;
    default: return TIM4->CCR4;
  }
}
}  // namespace

extern "C" {

void setup_TIM4(void) {
  RCC->APB1RSTR |= RCC_APB1RSTR_TIM4RST;
  RCC->APB1ENR |= RCC_APB1ENR_TIM4EN;
  RCC->APB1RSTR &= ~RCC_APB1RSTR_TIM4RST;

  TIM4->PSC = kPsc;
  TIM4->CCER = kCcer;   // outputs 1-4 on, active high
  TIM4->CCMR1 = kCcmr;
  TIM4->CCMR2 = kCcmr;

  std::uint32_t afr = GPIOD->AFR[1], moder = GPIOD->MODER, otyper = GPIOD->OTYPER;
  for (unsigned pin = kFirstPin; pin < kFirstPin + 4; ++pin) {
    afr = (afr & ~gpio_afr_mask(pin)) | gpio_afr(pin, kTim4Af);
    moder = (moder & ~gpio_moder_mask(pin)) | gpio_moder(pin, GPIO_MODE_AF);
    otyper &= ~(1u << pin);
  }
  GPIOD->AFR[1] = afr;
  GPIOD->MODER = moder;
  GPIOD->OTYPER = otyper;
  // ARR keeps its reset value and CR1 is not written: the LEDs stay dark.
}

void set_TIM4_pwm(std::uint32_t freq, std::uint32_t duty, std::uint32_t flag) {
  if (flag == 0) {
    TIM4->CR1 = 0;  // stopped; ARR and the compare values stay
    return;
  }
  if (freq != 0) TIM4->ARR = kCountRate / freq - 1;
  const std::uint32_t on = (TIM4->ARR + 1) * duty / 100;
  for (unsigned ch = 0; ch < 4; ++ch) ccr(ch) = (flag & (1u << ch)) ? on : 0;
  TIM4->CR1 = TIM_CR1_CEN;  // up-counting, no preload
}

}  // extern "C"
