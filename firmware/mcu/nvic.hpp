// Nested vectored interrupt controller (NVIC) of the Cortex-M4 core, and the
// interrupt numbers of the STM32F40x lines this firmware uses.
#pragma once
#include "mcu/mmio.hpp"

struct NVIC_Regs {
  mcu::reg32 ISER[8];          // 0x000 interrupt set-enable
  std::uint32_t reserved0[24];
  mcu::reg32 ICER[8];          // 0x080 interrupt clear-enable
  std::uint32_t reserved1[24];
  mcu::reg32 ISPR[8];          // 0x100 interrupt set-pending
  std::uint32_t reserved2[24];
  mcu::reg32 ICPR[8];          // 0x180 interrupt clear-pending
  std::uint32_t reserved3[24];
  mcu::reg32 IABR[8];          // 0x200 interrupt active bit
  std::uint32_t reserved4[56];
  mcu::reg8 IPR[240];          // 0x300 priority, one byte per interrupt (IPR0-IPR59 as bytes)
  std::uint32_t reserved5[644];
  mcu::reg32 STIR;             // 0xE00 software trigger interrupt
};
static_assert(offsetof(NVIC_Regs, ICER) == 0x080);
static_assert(offsetof(NVIC_Regs, ISPR) == 0x100);
static_assert(offsetof(NVIC_Regs, ICPR) == 0x180);
static_assert(offsetof(NVIC_Regs, IABR) == 0x200);
static_assert(offsetof(NVIC_Regs, IPR) == 0x300);
static_assert(offsetof(NVIC_Regs, STIR) == 0xE00);

inline constexpr mcu::Block<NVIC_Regs, 0xE000E100> NVIC{};

// Interrupt numbers (vector word = 16 + number).
inline constexpr unsigned DMA1_Stream1_IRQn = 12;
inline constexpr unsigned TIM1_UP_TIM10_IRQn = 25;
inline constexpr unsigned TIM4_IRQn = 30;
inline constexpr unsigned USART2_IRQn = 38;
inline constexpr unsigned USART3_IRQn = 39;
inline constexpr unsigned OTG_FS_WKUP_IRQn = 42;
inline constexpr unsigned TIM6_DAC_IRQn = 54;
inline constexpr unsigned OTG_FS_IRQn = 67;

// The priority byte keeps its value in the top bits; this chip implements 4.
inline constexpr unsigned NVIC_PRIO_BITS = 4;

// Word index and bit of interrupt n in ISER/ICER/ISPR/ICPR/IABR.
constexpr unsigned nvic_word(unsigned irq) { return irq / 32; }
constexpr std::uint32_t nvic_bit(unsigned irq) { return 1u << (irq % 32); }
static_assert(nvic_word(OTG_FS_IRQn) == 2 && nvic_bit(OTG_FS_IRQn) == 1u << 3);
static_assert(nvic_word(USART3_IRQn) == 1 && nvic_bit(USART3_IRQn) == 1u << 7);

inline void nvic_enable_irq(unsigned irq) { NVIC->ISER[nvic_word(irq)] = nvic_bit(irq); }
inline void nvic_disable_irq(unsigned irq) { NVIC->ICER[nvic_word(irq)] = nvic_bit(irq); }
inline void nvic_set_priority(unsigned irq, std::uint8_t prio) { NVIC->IPR[irq] = prio; }
