// DAC channel 1 and its DMA stream. The registers are the playback state:
// nothing is kept in RAM.
#include "drivers/dac.hpp"

#include "mcu/dac.hpp"
#include "mcu/dma.hpp"
#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"

namespace {

constexpr unsigned kDacPin = 4;  // PA4, DAC channel 1 output

// Stream 1, channel 7 (TIM6 update), memory to peripheral, bytes, memory
// address incremented, normal mode, priority low, direct mode, no interrupts.
constexpr std::uint32_t kStreamCr = dma_sxcr_chsel(7) | DMA_SxCR_MINC | DMA_SxCR_DIR_M2P | DMA_SxCR_EN;
static_assert(kStreamCr == 0x0E000441);
constexpr std::uint32_t kStream1Flags = dma_stream_flags(1, DMA_FLAG_ALL);
static_assert(kStream1Flags == 0xF40);

// The stream stops within a few bus cycles of clearing EN (it is idle
// between the 125 us requests); this bounds the wait for EN to read 0.
constexpr unsigned kStopPolls = 1000;

constexpr std::uint8_t kIdleLevel = 0x7F;

}  // namespace

extern "C" void setup_DAC1(void) {
  RCC->APB1RSTR |= RCC_APB1RSTR_DACRST;
  RCC->APB1ENR |= RCC_APB1ENR_DACEN;
  RCC->APB1RSTR &= ~RCC_APB1RSTR_DACRST;

  GPIOA->MODER |= gpio_moder(kDacPin, GPIO_MODE_ANALOG);

  // Channel 1 on, no trigger (each data write reaches the output), buffer on.
  DAC->CR &= ~(DAC_CR_DMAEN1 | DAC_CR_EN1 | DAC_CR_TEN1 | DAC_CR_TSEL1);
  DAC->CR |= DAC_CR_EN1;

  setup_TIM6();
}

extern "C" void start_DAC1_DMA(void* data, std::uint16_t num) {
  DMA1_Stream1->CR = 0;
  for (unsigned i = 0; i < kStopPolls && (DMA1_Stream1->CR & DMA_SxCR_EN) != 0; ++i) {
  }
  DMA1->LIFCR = kStream1Flags;  // transfer complete, half, error, direct, FIFO
  if (num == 0) return;

  DMA1_Stream1->NDTR = num;
  DMA1_Stream1->PAR = reinterpret_cast<std::uintptr_t>(&DAC->DHR8R1);
  DMA1_Stream1->M0AR = reinterpret_cast<std::uintptr_t>(data);
  DMA1_Stream1->CR = kStreamCr;
}

extern "C" void start_DAC1(void* data, std::uint16_t num) { start_DAC1_DMA(data, num); }

extern "C" void stop_DAC1(void) {
  start_DAC1_DMA(nullptr, 0);
  DAC->DHR8R1 = kIdleLevel;
}
