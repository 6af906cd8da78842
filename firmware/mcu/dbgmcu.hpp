// Debug support of the microcontroller (DBGMCU), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct DBGMCU_Regs {
  mcu::reg32 IDCODE;   // 0x00 device and revision identifier
  mcu::reg32 CR;       // 0x04 debug configuration
  mcu::reg32 APB1_FZ;  // 0x08 APB1 peripherals halted with the core
  mcu::reg32 APB2_FZ;  // 0x0C APB2 peripherals halted with the core
};
static_assert(offsetof(DBGMCU_Regs, APB2_FZ) == 0x0C);

inline constexpr mcu::Block<DBGMCU_Regs, 0xE0042000> DBGMCU{};

// CR
inline constexpr std::uint32_t DBGMCU_CR_DBG_SLEEP = 1u << 0;    // debug kept alive in sleep
inline constexpr std::uint32_t DBGMCU_CR_DBG_STOP = 1u << 1;     // debug kept alive in stop
inline constexpr std::uint32_t DBGMCU_CR_DBG_STANDBY = 1u << 2;
inline constexpr std::uint32_t DBGMCU_CR_TRACE_IOEN = 1u << 5;
