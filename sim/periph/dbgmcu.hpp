// Debug support of the MCU: the device identity and the bits that keep the
// clocks running in low-power modes or stop timers while the core is halted
// by a debugger. No debugger halts the emulated core, so the freeze bits are
// stored only.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace dbgmcu_reg {
inline constexpr std::uint32_t IDCODE = 0x00;
inline constexpr std::uint32_t CR = 0x04;
inline constexpr std::uint32_t APB1_FZ = 0x08;
inline constexpr std::uint32_t APB2_FZ = 0x0C;

inline constexpr std::array<RegDef, 4> kMap{{
    // REV_ID 0x1007 (revision 2; 0x1000 is A, 0x1001 Z, 0x1003 1, 0x100F Y),
    // DEV_ID 0x413 (STM32F40x/41x).
    {"IDCODE", IDCODE, 0x10076413, 0x00000000},
    // DBG_SLEEP, DBG_STOP, DBG_STANDBY, TRACE_IOEN, TRACE_MODE.
    {"CR", CR, 0x00000000, 0x000000E7},
    // TIM2-7, TIM12-14, RTC, WWDG, IWDG, I2C1-3 SMBus time-outs, CAN1/2.
    {"APB1_FZ", APB1_FZ, 0x00000000, 0x06E01DFF},
    // TIM1, TIM8, TIM9-11.
    {"APB2_FZ", APB2_FZ, 0x00000000, 0x00070003},
}};
}  // namespace dbgmcu_reg

class Dbgmcu : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0xE0042000;

  Dbgmcu();

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  // The debug registers are reset by power-on only, not by a system reset.
  void reset() override {}

  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }

private:
  RegBank regs_;
};

}  // namespace vb
