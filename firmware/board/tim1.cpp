// TIM1: free-running 8 kHz update events (the voice sample rate) with its
// update as trigger output. Its interrupt line is never enabled and no DMA
// stream or timer listens to it.
#include "board/board.hpp"
#include "mcu/rcc.hpp"
#include "mcu/tim.hpp"

namespace {

constexpr std::uint32_t kTimerClock = 144'000'000;  // APB2 timer clock
constexpr std::uint32_t kRate = 8'000;
constexpr std::uint32_t kArr = kTimerClock / kRate - 1;  // prescaler stays 0
static_assert(kArr == 17999);

constexpr std::uint32_t kDier = TIM_DIER_UIE | TIM_DIER_TIE | TIM_DIER_UDE | TIM_DIER_TDE;
static_assert(kDier == 0x4141);

}  // namespace

extern "C" void setup_TIM1(void) {
  RCC->APB2RSTR |= RCC_APB2RSTR_TIM1RST;
  RCC->APB2ENR |= RCC_APB2ENR_TIM1EN;
  RCC->APB2RSTR &= ~RCC_APB2RSTR_TIM1RST;

  TIM1->ARR = kArr;
  TIM1->CR2 = (TIM1->CR2 & ~(TIM_CR2_MMS | TIM_CR2_CCDS)) | TIM_CR2_MMS_UPDATE;
  TIM1->DIER = kDier;
  TIM1->SR = 0;
  TIM1->CR1 = TIM_CR1_CEN;  // up-counting, no preload
}
