// Flash memory interface (FLASH), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct FLASH_Regs {
  mcu::reg32 ACR;      // 0x00 access control (latency, caches, prefetch)
  mcu::reg32 KEYR;     // 0x04 key
  mcu::reg32 OPTKEYR;  // 0x08 option key
  mcu::reg32 SR;       // 0x0C status
  mcu::reg32 CR;       // 0x10 control
  mcu::reg32 OPTCR;    // 0x14 option control
};
static_assert(offsetof(FLASH_Regs, SR) == 0x0C);
static_assert(offsetof(FLASH_Regs, OPTCR) == 0x14);

inline constexpr mcu::Block<FLASH_Regs, 0x40023C00> FLASH{};

// ACR
inline constexpr std::uint32_t FLASH_ACR_LATENCY = 7u << 0;      // wait states
inline constexpr std::uint32_t FLASH_ACR_LATENCY_4WS = 4u << 0;
inline constexpr std::uint32_t FLASH_ACR_PRFTEN = 1u << 8;       // prefetch enable
inline constexpr std::uint32_t FLASH_ACR_ICEN = 1u << 9;         // instruction cache enable
inline constexpr std::uint32_t FLASH_ACR_DCEN = 1u << 10;        // data cache enable
inline constexpr std::uint32_t FLASH_ACR_ICRST = 1u << 11;       // instruction cache reset
inline constexpr std::uint32_t FLASH_ACR_DCRST = 1u << 12;       // data cache reset
