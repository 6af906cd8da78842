// External interrupt/event controller: 23 lines (0-15 from the GPIO pins as
// SYSCFG selects them, 16 PVD, 17 RTC alarm, 18 USB OTG FS wake-up, 19
// Ethernet wake-up, 20 USB OTG HS wake-up, 21 tamper/time stamp, 22 RTC
// wake-up), edge detection, software triggers and pending bits, and the
// interrupt lines towards the NVIC.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace exti_reg {
inline constexpr std::uint32_t IMR = 0x00;
inline constexpr std::uint32_t EMR = 0x04;
inline constexpr std::uint32_t RTSR = 0x08;
inline constexpr std::uint32_t FTSR = 0x0C;
inline constexpr std::uint32_t SWIER = 0x10;
inline constexpr std::uint32_t PR = 0x14;
inline constexpr std::uint32_t kLines = 0x007FFFFF;  // lines 0-22

inline constexpr std::array<RegDef, 6> kMap{{
    {"IMR", IMR, 0x00000000, kLines},
    {"EMR", EMR, 0x00000000, kLines},
    {"RTSR", RTSR, 0x00000000, kLines},
    {"FTSR", FTSR, 0x00000000, kLines},
    {"SWIER", SWIER, 0x00000000, kLines},
    {"PR", PR, 0x00000000, 0x00000000, kLines},  // cleared by writing 1
}};
}  // namespace exti_reg

class Exti : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0x40013C00;
  static constexpr int kLineCount = 23;

  Exti();

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // The level of line n's input (a GPIO pin through SYSCFG, or an internal
  // source); a selected edge sets the line's pending bit.
  void set_line(int n, bool level);
  bool line(int n) const { return inputs_ >> n & 1; }
  // NVIC interrupt of line n (lines 5-9 and 10-15 share one each).
  static int irq_of_line(int n);
  // The level this model last put on NVIC line `irq`.
  bool irq_level(int irq) const { return irq >= 0 && irq < 82 && irq_level_[irq]; }

  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }
  // Event pulses sent to the core (EMR): counted, as no core waits for events.
  std::uint64_t events() const { return events_; }

private:
  void write_swier(std::uint32_t value, std::uint32_t mask);
  void trigger(std::uint32_t lines);
  void update_irq();

  RegBank regs_;
  std::uint32_t inputs_ = 0;
  std::uint64_t events_ = 0;
  std::array<bool, 82> irq_level_{};
};

}  // namespace vb
