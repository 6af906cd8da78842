// Digital-to-analog converter (DAC), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct DAC_Regs {
  mcu::reg32 CR;       // 0x00 control
  mcu::reg32 SWTRIGR;  // 0x04 software trigger
  mcu::reg32 DHR12R1;  // 0x08 channel 1 12-bit right-aligned data
  mcu::reg32 DHR12L1;  // 0x0C channel 1 12-bit left-aligned data
  mcu::reg32 DHR8R1;   // 0x10 channel 1 8-bit right-aligned data
  mcu::reg32 DHR12R2;  // 0x14 channel 2
  mcu::reg32 DHR12L2;  // 0x18
  mcu::reg32 DHR8R2;   // 0x1C
  mcu::reg32 DHR12RD;  // 0x20 dual channel
  mcu::reg32 DHR12LD;  // 0x24
  mcu::reg32 DHR8RD;   // 0x28
  mcu::reg32 DOR1;     // 0x2C channel 1 output data
  mcu::reg32 DOR2;     // 0x30 channel 2 output data
  mcu::reg32 SR;       // 0x34 status
};
static_assert(offsetof(DAC_Regs, DHR8R1) == 0x10);
static_assert(offsetof(DAC_Regs, DOR1) == 0x2C);
static_assert(offsetof(DAC_Regs, SR) == 0x34);

inline constexpr mcu::Block<DAC_Regs, 0x40007400> DAC{};

// CR, channel 1 (channel 2 is the same 16 bits higher)
inline constexpr std::uint32_t DAC_CR_EN1 = 1u << 0;          // channel 1 enable
inline constexpr std::uint32_t DAC_CR_BOFF1 = 1u << 1;        // output buffer off
inline constexpr std::uint32_t DAC_CR_TEN1 = 1u << 2;         // trigger enable
inline constexpr std::uint32_t DAC_CR_TSEL1 = 7u << 3;        // trigger selection
inline constexpr std::uint32_t DAC_CR_WAVE1 = 3u << 6;        // noise/triangle generation
inline constexpr std::uint32_t DAC_CR_MAMP1 = 0xFu << 8;
inline constexpr std::uint32_t DAC_CR_DMAEN1 = 1u << 12;      // DMA enable
inline constexpr std::uint32_t DAC_CR_DMAUDRIE1 = 1u << 13;
inline constexpr std::uint32_t DAC_CR_EN2 = 1u << 16;

// SR
inline constexpr std::uint32_t DAC_SR_DMAUDR1 = 1u << 13;     // channel 1 DMA underrun
