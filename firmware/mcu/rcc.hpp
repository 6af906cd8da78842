// Reset and clock control (RCC), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct RCC_Regs {
  mcu::reg32 CR;          // 0x00 clock control
  mcu::reg32 PLLCFGR;     // 0x04 main PLL configuration
  mcu::reg32 CFGR;        // 0x08 clock configuration
  mcu::reg32 CIR;         // 0x0C clock interrupt
  mcu::reg32 AHB1RSTR;    // 0x10 AHB1 peripheral reset
  mcu::reg32 AHB2RSTR;    // 0x14 AHB2 peripheral reset
  mcu::reg32 AHB3RSTR;    // 0x18 AHB3 peripheral reset
  std::uint32_t reserved0;
  mcu::reg32 APB1RSTR;    // 0x20 APB1 peripheral reset
  mcu::reg32 APB2RSTR;    // 0x24 APB2 peripheral reset
  std::uint32_t reserved1[2];
  mcu::reg32 AHB1ENR;     // 0x30 AHB1 clock enable
  mcu::reg32 AHB2ENR;     // 0x34 AHB2 clock enable
  mcu::reg32 AHB3ENR;     // 0x38 AHB3 clock enable
  std::uint32_t reserved2;
  mcu::reg32 APB1ENR;     // 0x40 APB1 clock enable
  mcu::reg32 APB2ENR;     // 0x44 APB2 clock enable
  std::uint32_t reserved3[2];
  mcu::reg32 AHB1LPENR;   // 0x50 AHB1 clock enable in low-power mode
  mcu::reg32 AHB2LPENR;   // 0x54
  mcu::reg32 AHB3LPENR;   // 0x58
  std::uint32_t reserved4;
  mcu::reg32 APB1LPENR;   // 0x60
  mcu::reg32 APB2LPENR;   // 0x64
  std::uint32_t reserved5[2];
  mcu::reg32 BDCR;        // 0x70 backup domain control
  mcu::reg32 CSR;         // 0x74 control/status
  std::uint32_t reserved6[2];
  mcu::reg32 SSCGR;       // 0x80 spread spectrum clock generation
  mcu::reg32 PLLI2SCFGR;  // 0x84 I2S PLL configuration
};
static_assert(offsetof(RCC_Regs, PLLCFGR) == 0x04);
static_assert(offsetof(RCC_Regs, CIR) == 0x0C);
static_assert(offsetof(RCC_Regs, APB1RSTR) == 0x20);
static_assert(offsetof(RCC_Regs, APB2RSTR) == 0x24);
static_assert(offsetof(RCC_Regs, AHB1ENR) == 0x30);
static_assert(offsetof(RCC_Regs, AHB2ENR) == 0x34);
static_assert(offsetof(RCC_Regs, APB1ENR) == 0x40);
static_assert(offsetof(RCC_Regs, APB2ENR) == 0x44);
static_assert(offsetof(RCC_Regs, AHB1LPENR) == 0x50);
static_assert(offsetof(RCC_Regs, APB2LPENR) == 0x64);
static_assert(offsetof(RCC_Regs, BDCR) == 0x70);
static_assert(offsetof(RCC_Regs, CSR) == 0x74);
static_assert(offsetof(RCC_Regs, PLLI2SCFGR) == 0x84);

inline constexpr mcu::Block<RCC_Regs, 0x40023800> RCC{};

// CR
inline constexpr std::uint32_t RCC_CR_HSION = 1u << 0;           // HSI oscillator on
inline constexpr std::uint32_t RCC_CR_HSIRDY = 1u << 1;          // HSI ready
inline constexpr std::uint32_t RCC_CR_HSITRIM_Pos = 3;           // HSI trimming, 5 bits
inline constexpr std::uint32_t RCC_CR_HSITRIM = 0x1Fu << 3;
inline constexpr std::uint32_t RCC_CR_HSEON = 1u << 16;          // HSE clock enable
inline constexpr std::uint32_t RCC_CR_HSERDY = 1u << 17;         // HSE ready
inline constexpr std::uint32_t RCC_CR_HSEBYP = 1u << 18;         // HSE fed by an external clock signal
inline constexpr std::uint32_t RCC_CR_CSSON = 1u << 19;          // clock security system on
inline constexpr std::uint32_t RCC_CR_PLLON = 1u << 24;          // main PLL enable
inline constexpr std::uint32_t RCC_CR_PLLRDY = 1u << 25;         // main PLL locked
inline constexpr std::uint32_t RCC_CR_PLLI2SON = 1u << 26;       // I2S PLL enable
inline constexpr std::uint32_t RCC_CR_PLLI2SRDY = 1u << 27;      // I2S PLL locked

// PLLCFGR
inline constexpr std::uint32_t RCC_PLLCFGR_PLLM_Pos = 0;         // input divider, 2..63
inline constexpr std::uint32_t RCC_PLLCFGR_PLLN_Pos = 6;         // VCO multiplier, 50..432
inline constexpr std::uint32_t RCC_PLLCFGR_PLLP_Pos = 16;        // system divider: 0=2, 1=4, 2=6, 3=8
inline constexpr std::uint32_t RCC_PLLCFGR_PLLSRC_HSE = 1u << 22;  // PLL source HSE (else HSI)
inline constexpr std::uint32_t RCC_PLLCFGR_PLLQ_Pos = 24;        // 48 MHz domain divider, 2..15

// CFGR
inline constexpr std::uint32_t RCC_CFGR_SW = 3u << 0;            // system clock switch
inline constexpr std::uint32_t RCC_CFGR_SW_HSI = 0u << 0;
inline constexpr std::uint32_t RCC_CFGR_SW_HSE = 1u << 0;
inline constexpr std::uint32_t RCC_CFGR_SW_PLL = 2u << 0;
inline constexpr std::uint32_t RCC_CFGR_SWS = 3u << 2;           // system clock switch status
inline constexpr std::uint32_t RCC_CFGR_SWS_HSI = 0u << 2;
inline constexpr std::uint32_t RCC_CFGR_SWS_HSE = 1u << 2;
inline constexpr std::uint32_t RCC_CFGR_SWS_PLL = 2u << 2;
inline constexpr std::uint32_t RCC_CFGR_HPRE = 0xFu << 4;        // AHB prescaler
inline constexpr std::uint32_t RCC_CFGR_PPRE1 = 7u << 10;        // APB1 prescaler
inline constexpr std::uint32_t RCC_CFGR_PPRE1_DIV4 = 5u << 10;
inline constexpr std::uint32_t RCC_CFGR_PPRE2 = 7u << 13;        // APB2 prescaler
inline constexpr std::uint32_t RCC_CFGR_PPRE2_DIV2 = 4u << 13;
inline constexpr std::uint32_t RCC_CFGR_RTCPRE_Pos = 16;         // HSE divider for the RTC, 5 bits
inline constexpr std::uint32_t RCC_CFGR_RTCPRE = 0x1Fu << 16;
inline constexpr std::uint32_t RCC_CFGR_MCO1 = 3u << 21;         // MCO1 source
inline constexpr std::uint32_t RCC_CFGR_MCO1_PLL = 3u << 21;
inline constexpr std::uint32_t RCC_CFGR_I2SSRC = 1u << 23;
inline constexpr std::uint32_t RCC_CFGR_MCO1PRE = 7u << 24;
inline constexpr std::uint32_t RCC_CFGR_MCO2PRE = 7u << 27;
inline constexpr std::uint32_t RCC_CFGR_MCO2 = 3u << 30;

// AHB1RSTR / AHB1ENR (same bit positions)
inline constexpr std::uint32_t RCC_AHB1ENR_GPIOAEN = 1u << 0;
inline constexpr std::uint32_t RCC_AHB1ENR_GPIOBEN = 1u << 1;
inline constexpr std::uint32_t RCC_AHB1ENR_GPIOCEN = 1u << 2;
inline constexpr std::uint32_t RCC_AHB1ENR_GPIODEN = 1u << 3;
inline constexpr std::uint32_t RCC_AHB1ENR_GPIOEEN = 1u << 4;
inline constexpr std::uint32_t RCC_AHB1ENR_CRCEN = 1u << 12;
inline constexpr std::uint32_t RCC_AHB1ENR_BKPSRAMEN = 1u << 18;  // backup SRAM interface clock
inline constexpr std::uint32_t RCC_AHB1ENR_CCMDATARAMEN = 1u << 20;
inline constexpr std::uint32_t RCC_AHB1ENR_DMA1EN = 1u << 21;
inline constexpr std::uint32_t RCC_AHB1ENR_DMA2EN = 1u << 22;
inline constexpr std::uint32_t RCC_AHB1RSTR_GPIOARST = 1u << 0;
inline constexpr std::uint32_t RCC_AHB1RSTR_DMA1RST = 1u << 21;
inline constexpr std::uint32_t RCC_AHB1RSTR_DMA2RST = 1u << 22;

// AHB2RSTR / AHB2ENR
inline constexpr std::uint32_t RCC_AHB2ENR_OTGFSEN = 1u << 7;     // USB OTG full-speed clock
inline constexpr std::uint32_t RCC_AHB2RSTR_OTGFSRST = 1u << 7;

// APB1RSTR / APB1ENR (same bit positions)
inline constexpr std::uint32_t RCC_APB1ENR_TIM2EN = 1u << 0;
inline constexpr std::uint32_t RCC_APB1ENR_TIM3EN = 1u << 1;
inline constexpr std::uint32_t RCC_APB1ENR_TIM4EN = 1u << 2;
inline constexpr std::uint32_t RCC_APB1ENR_TIM5EN = 1u << 3;
inline constexpr std::uint32_t RCC_APB1ENR_TIM6EN = 1u << 4;
inline constexpr std::uint32_t RCC_APB1ENR_TIM7EN = 1u << 5;
inline constexpr std::uint32_t RCC_APB1ENR_WWDGEN = 1u << 11;
inline constexpr std::uint32_t RCC_APB1ENR_USART2EN = 1u << 17;
inline constexpr std::uint32_t RCC_APB1ENR_USART3EN = 1u << 18;
inline constexpr std::uint32_t RCC_APB1ENR_PWREN = 1u << 28;     // power interface clock
inline constexpr std::uint32_t RCC_APB1ENR_DACEN = 1u << 29;
inline constexpr std::uint32_t RCC_APB1RSTR_TIM4RST = 1u << 2;
inline constexpr std::uint32_t RCC_APB1RSTR_TIM6RST = 1u << 4;
inline constexpr std::uint32_t RCC_APB1RSTR_USART2RST = 1u << 17;
inline constexpr std::uint32_t RCC_APB1RSTR_USART3RST = 1u << 18;
inline constexpr std::uint32_t RCC_APB1RSTR_PWRRST = 1u << 28;
inline constexpr std::uint32_t RCC_APB1RSTR_DACRST = 1u << 29;

// APB2RSTR / APB2ENR (same bit positions)
inline constexpr std::uint32_t RCC_APB2ENR_TIM1EN = 1u << 0;
inline constexpr std::uint32_t RCC_APB2ENR_TIM8EN = 1u << 1;
inline constexpr std::uint32_t RCC_APB2ENR_USART1EN = 1u << 4;
inline constexpr std::uint32_t RCC_APB2ENR_USART6EN = 1u << 5;
inline constexpr std::uint32_t RCC_APB2ENR_SYSCFGEN = 1u << 14;
inline constexpr std::uint32_t RCC_APB2ENR_TIM9EN = 1u << 16;
inline constexpr std::uint32_t RCC_APB2ENR_TIM10EN = 1u << 17;
inline constexpr std::uint32_t RCC_APB2ENR_TIM11EN = 1u << 18;
inline constexpr std::uint32_t RCC_APB2RSTR_TIM1RST = 1u << 0;
inline constexpr std::uint32_t RCC_APB2RSTR_TIM8RST = 1u << 1;
inline constexpr std::uint32_t RCC_APB2RSTR_SYSCFGRST = 1u << 14;
inline constexpr std::uint32_t RCC_APB2RSTR_TIM10RST = 1u << 17;

// BDCR (backup domain; writable only with PWR CR DBP set)
inline constexpr std::uint32_t RCC_BDCR_LSEON = 1u << 0;         // LSE oscillator enable
inline constexpr std::uint32_t RCC_BDCR_LSERDY = 1u << 1;        // LSE ready
inline constexpr std::uint32_t RCC_BDCR_LSEBYP = 1u << 2;        // LSE fed by an external clock signal
inline constexpr std::uint32_t RCC_BDCR_RTCSEL_Pos = 8;          // RTC clock: 0 none, 1 LSE, 2 LSI, 3 HSE/RTCPRE
inline constexpr std::uint32_t RCC_BDCR_RTCSEL = 3u << 8;
inline constexpr std::uint32_t RCC_BDCR_RTCSEL_LSE = 1u << 8;
inline constexpr std::uint32_t RCC_BDCR_RTCSEL_LSI = 2u << 8;
inline constexpr std::uint32_t RCC_BDCR_RTCSEL_HSE = 3u << 8;
inline constexpr std::uint32_t RCC_BDCR_RTCEN = 1u << 15;        // RTC clock enable
inline constexpr std::uint32_t RCC_BDCR_BDRST = 1u << 16;        // backup domain software reset

// CSR
inline constexpr std::uint32_t RCC_CSR_LSION = 1u << 0;          // LSI oscillator enable
inline constexpr std::uint32_t RCC_CSR_LSIRDY = 1u << 1;         // LSI ready
inline constexpr std::uint32_t RCC_CSR_RMVF = 1u << 24;          // remove reset flags
