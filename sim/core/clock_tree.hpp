// Frequencies the RCC model publishes for every other model, and the clock
// gates (enable bit clear or reset bit held) that make a peripheral dead.
#pragma once
#include <cstdint>

namespace vb {

struct ClockTree {
  std::uint32_t sysclk = 16'000'000;   // HSI after reset
  std::uint32_t hclk = 16'000'000;     // core, AHB, SysTick
  std::uint32_t pclk1 = 16'000'000;    // APB1: USART2/3, TIM4, TIM6
  std::uint32_t pclk2 = 16'000'000;    // APB2: TIM1, TIM8, TIM10
  std::uint32_t tim_apb1 = 16'000'000; // APB1 timer clock (2 x PCLK1 when APB1 prescaler > 1)
  std::uint32_t tim_apb2 = 16'000'000; // APB2 timer clock
  std::uint32_t clk48 = 0;             // PLL Q output (USB OTG FS), 0 when the PLL is off
  std::uint32_t rtcclk = 0;            // selected RTC clock (LSE/LSI/HSE/RTCPRE), 0 when none
};

// A peripheral's clock gate: enable bit `bit` in RCC <bus>ENR and reset bit
// `bit` in RCC <bus>RSTR. kNone marks blocks that are always clocked.
struct ClockGate {
  enum Bus : std::uint8_t { kNone, kAHB1, kAHB2, kAPB1, kAPB2 };
  Bus bus = kNone;
  std::uint8_t bit = 0;
};

class ClockControl {  // implemented by the RCC model
public:
  virtual ~ClockControl() = default;
  virtual const ClockTree& tree() const = 0;
  // True when the gate's enable bit is set and its reset bit is clear.
  virtual bool running(ClockGate g) const = 0;
};

}  // namespace vb
