// External interrupt/event controller (EXTI), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct EXTI_Regs {
  mcu::reg32 IMR;    // 0x00 interrupt mask
  mcu::reg32 EMR;    // 0x04 event mask
  mcu::reg32 RTSR;   // 0x08 rising trigger selection
  mcu::reg32 FTSR;   // 0x0C falling trigger selection
  mcu::reg32 SWIER;  // 0x10 software interrupt event
  mcu::reg32 PR;     // 0x14 pending (cleared by writing 1)
};
static_assert(offsetof(EXTI_Regs, PR) == 0x14);

inline constexpr mcu::Block<EXTI_Regs, 0x40013C00> EXTI{};

constexpr std::uint32_t exti_line(unsigned n) { return 1u << n; }
inline constexpr std::uint32_t EXTI_LINE_PVD = exti_line(16);
inline constexpr std::uint32_t EXTI_LINE_RTC_ALARM = exti_line(17);
inline constexpr std::uint32_t EXTI_LINE_OTG_FS_WKUP = exti_line(18);   // USB OTG FS wake-up
inline constexpr std::uint32_t EXTI_LINE_RTC_TAMP_STAMP = exti_line(21);
inline constexpr std::uint32_t EXTI_LINE_RTC_WKUP = exti_line(22);
