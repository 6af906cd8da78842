// Power controller (PWR), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct PWR_Regs {
  mcu::reg32 CR;   // 0x00 power control
  mcu::reg32 CSR;  // 0x04 power control/status
};
static_assert(offsetof(PWR_Regs, CSR) == 0x04);

inline constexpr mcu::Block<PWR_Regs, 0x40007000> PWR{};

// CR
inline constexpr std::uint32_t PWR_CR_LPDS = 1u << 0;   // low-power deep sleep
inline constexpr std::uint32_t PWR_CR_PDDS = 1u << 1;   // power-down deep sleep
inline constexpr std::uint32_t PWR_CR_CWUF = 1u << 2;   // clear wake-up flag
inline constexpr std::uint32_t PWR_CR_CSBF = 1u << 3;   // clear standby flag
inline constexpr std::uint32_t PWR_CR_PVDE = 1u << 4;   // voltage detector enable
inline constexpr std::uint32_t PWR_CR_DBP = 1u << 8;    // backup domain write access
inline constexpr std::uint32_t PWR_CR_FPDS = 1u << 9;   // flash power-down in stop mode
inline constexpr std::uint32_t PWR_CR_VOS = 1u << 14;   // regulator voltage scale 1

// CSR
inline constexpr std::uint32_t PWR_CSR_WUF = 1u << 0;     // wake-up flag
inline constexpr std::uint32_t PWR_CSR_SBF = 1u << 1;     // standby flag
inline constexpr std::uint32_t PWR_CSR_PVDO = 1u << 2;
inline constexpr std::uint32_t PWR_CSR_BRR = 1u << 3;     // backup regulator ready
inline constexpr std::uint32_t PWR_CSR_BRE = 1u << 9;     // backup regulator enable
inline constexpr std::uint32_t PWR_CSR_VOSRDY = 1u << 14;
