// SysTick timer of the Cortex-M4 core.
#pragma once
#include "mcu/mmio.hpp"

struct SysTick_Regs {
  mcu::reg32 CTRL;   // 0x00 control and status
  mcu::reg32 LOAD;   // 0x04 reload value (24 bits)
  mcu::reg32 VAL;    // 0x08 current value (24 bits; any write clears it)
  mcu::reg32 CALIB;  // 0x0C calibration
};
static_assert(offsetof(SysTick_Regs, CALIB) == 0x0C);

inline constexpr mcu::Block<SysTick_Regs, 0xE000E010> SysTick{};

// CTRL
inline constexpr std::uint32_t SysTick_CTRL_ENABLE = 1u << 0;      // counter enable
inline constexpr std::uint32_t SysTick_CTRL_TICKINT = 1u << 1;     // exception at reload
inline constexpr std::uint32_t SysTick_CTRL_CLKSOURCE = 1u << 2;   // processor clock (else HCLK/8)
inline constexpr std::uint32_t SysTick_CTRL_COUNTFLAG = 1u << 16;  // reached 0 since last read
inline constexpr std::uint32_t SysTick_LOAD_RELOAD = 0x00FFFFFF;
inline constexpr std::uint32_t SysTick_VAL_CURRENT = 0x00FFFFFF;
