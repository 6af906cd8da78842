// TIM6: the 8000/s sample clock of the voice playback. Each update event
// requests one DMA1 stream 1 transfer; its trigger output (the update) is
// set but nothing uses it.
#include "drivers/dac.hpp"
#include "mcu/rcc.hpp"
#include "mcu/tim.hpp"

namespace {
constexpr std::uint32_t kTimerClock = 72'000'000;  // APB1 timer clock
constexpr std::uint32_t kSampleRate = 8'000;
constexpr std::uint32_t kArr = kTimerClock / kSampleRate - 1;  // prescaler stays 0
static_assert(kArr == 8999);
}  // namespace

extern "C" void setup_TIM6(void) {
  RCC->APB1RSTR |= RCC_APB1RSTR_TIM6RST;
  RCC->APB1ENR |= RCC_APB1ENR_TIM6EN;
  RCC->APB1RSTR &= ~RCC_APB1RSTR_TIM6RST;

  TIM6->ARR = kArr;
  TIM6->CR2 = (TIM6->CR2 & ~TIM_CR2_MMS) | TIM_CR2_MMS_UPDATE;
  TIM6->DIER |= TIM_DIER_UDE;
  TIM6->SR = 0;
  TIM6->CR1 = TIM_CR1_CEN;  // no preload, not one-pulse, every update source
}
