// Timers TIM1, TIM4, TIM6, TIM8, TIM10, STM32F40x. One register layout serves
// the advanced (TIM1, TIM8), general-purpose (TIM4, TIM10) and basic (TIM6)
// timers; a timer simply lacks the registers its kind does not have.
#pragma once
#include "mcu/mmio.hpp"

struct TIM_Regs {
  mcu::reg32 CR1;    // 0x00 control 1
  mcu::reg32 CR2;    // 0x04 control 2
  mcu::reg32 SMCR;   // 0x08 slave mode control
  mcu::reg32 DIER;   // 0x0C DMA/interrupt enable
  mcu::reg32 SR;     // 0x10 status (flags cleared by writing 0)
  mcu::reg32 EGR;    // 0x14 event generation
  mcu::reg32 CCMR1;  // 0x18 capture/compare mode 1 (channels 1, 2)
  mcu::reg32 CCMR2;  // 0x1C capture/compare mode 2 (channels 3, 4)
  mcu::reg32 CCER;   // 0x20 capture/compare enable
  mcu::reg32 CNT;    // 0x24 counter
  mcu::reg32 PSC;    // 0x28 prescaler
  mcu::reg32 ARR;    // 0x2C auto-reload
  mcu::reg32 RCR;    // 0x30 repetition counter (TIM1, TIM8)
  mcu::reg32 CCR1;   // 0x34 capture/compare 1
  mcu::reg32 CCR2;   // 0x38
  mcu::reg32 CCR3;   // 0x3C
  mcu::reg32 CCR4;   // 0x40
  mcu::reg32 BDTR;   // 0x44 break and dead-time (TIM1, TIM8)
  mcu::reg32 DCR;    // 0x48 DMA control
  mcu::reg32 DMAR;   // 0x4C DMA address for full transfer
  mcu::reg32 OR;     // 0x50 option (TIM2, TIM5, TIM11)
};
static_assert(offsetof(TIM_Regs, SR) == 0x10);
static_assert(offsetof(TIM_Regs, CCER) == 0x20);
static_assert(offsetof(TIM_Regs, ARR) == 0x2C);
static_assert(offsetof(TIM_Regs, CCR1) == 0x34);
static_assert(offsetof(TIM_Regs, CCR4) == 0x40);
static_assert(offsetof(TIM_Regs, BDTR) == 0x44);
static_assert(offsetof(TIM_Regs, OR) == 0x50);

inline constexpr mcu::Block<TIM_Regs, 0x40010000> TIM1{};   // APB2, advanced
inline constexpr mcu::Block<TIM_Regs, 0x40000800> TIM4{};   // APB1, general-purpose
inline constexpr mcu::Block<TIM_Regs, 0x40001000> TIM6{};   // APB1, basic
inline constexpr mcu::Block<TIM_Regs, 0x40010400> TIM8{};   // APB2, advanced
inline constexpr mcu::Block<TIM_Regs, 0x40014400> TIM10{};  // APB2, general-purpose (1 channel)

// CR1
inline constexpr std::uint32_t TIM_CR1_CEN = 1u << 0;    // counter enable
inline constexpr std::uint32_t TIM_CR1_UDIS = 1u << 1;   // update disable
inline constexpr std::uint32_t TIM_CR1_URS = 1u << 2;    // update request source
inline constexpr std::uint32_t TIM_CR1_OPM = 1u << 3;    // one-pulse mode
inline constexpr std::uint32_t TIM_CR1_DIR = 1u << 4;    // down-counting
inline constexpr std::uint32_t TIM_CR1_CMS = 3u << 5;    // centre-aligned mode
inline constexpr std::uint32_t TIM_CR1_ARPE = 1u << 7;   // auto-reload preload
inline constexpr std::uint32_t TIM_CR1_CKD = 3u << 8;

// CR2
inline constexpr std::uint32_t TIM_CR2_CCDS = 1u << 3;          // CC DMA request on update
inline constexpr std::uint32_t TIM_CR2_MMS = 7u << 4;           // master mode (TRGO source)
inline constexpr std::uint32_t TIM_CR2_MMS_UPDATE = 2u << 4;    // TRGO = update event

// DIER
inline constexpr std::uint32_t TIM_DIER_UIE = 1u << 0;     // update interrupt
inline constexpr std::uint32_t TIM_DIER_CC1IE = 1u << 1;
inline constexpr std::uint32_t TIM_DIER_CC2IE = 1u << 2;
inline constexpr std::uint32_t TIM_DIER_CC3IE = 1u << 3;
inline constexpr std::uint32_t TIM_DIER_CC4IE = 1u << 4;
inline constexpr std::uint32_t TIM_DIER_COMIE = 1u << 5;
inline constexpr std::uint32_t TIM_DIER_TIE = 1u << 6;     // trigger interrupt
inline constexpr std::uint32_t TIM_DIER_BIE = 1u << 7;
inline constexpr std::uint32_t TIM_DIER_UDE = 1u << 8;     // update DMA request
inline constexpr std::uint32_t TIM_DIER_CC1DE = 1u << 9;
inline constexpr std::uint32_t TIM_DIER_COMDE = 1u << 13;
inline constexpr std::uint32_t TIM_DIER_TDE = 1u << 14;    // trigger DMA request

// SR
inline constexpr std::uint32_t TIM_SR_UIF = 1u << 0;       // update
inline constexpr std::uint32_t TIM_SR_CC1IF = 1u << 1;
inline constexpr std::uint32_t TIM_SR_TIF = 1u << 6;

// EGR
inline constexpr std::uint32_t TIM_EGR_UG = 1u << 0;       // generate an update

// CCMR1/CCMR2 output-compare fields; channel c (1-4) lives in CCMR1 for 1, 2
// and CCMR2 for 3, 4, at byte (c - 1) % 2.
inline constexpr std::uint32_t TIM_OCM_FROZEN = 0;
inline constexpr std::uint32_t TIM_OCM_TOGGLE = 3;         // toggle on match
inline constexpr std::uint32_t TIM_OCM_PWM1 = 6;           // high while CNT < CCR
inline constexpr std::uint32_t TIM_OCM_PWM2 = 7;
constexpr unsigned tim_ccmr_shift(unsigned ch) { return 8 * ((ch - 1) % 2); }
constexpr std::uint32_t tim_ccmr_ccs_mask(unsigned ch) { return 3u << tim_ccmr_shift(ch); }   // CCxS
constexpr std::uint32_t tim_ccmr_ocfe(unsigned ch) { return 1u << (tim_ccmr_shift(ch) + 2); } // OCxFE
constexpr std::uint32_t tim_ccmr_ocpe(unsigned ch) { return 1u << (tim_ccmr_shift(ch) + 3); } // OCxPE
constexpr std::uint32_t tim_ccmr_ocm(unsigned ch, std::uint32_t mode) {                        // OCxM
  return mode << (tim_ccmr_shift(ch) + 4);
}
constexpr std::uint32_t tim_ccmr_ocm_mask(unsigned ch) { return tim_ccmr_ocm(ch, 7); }
constexpr std::uint32_t tim_ccmr_occe(unsigned ch) { return 1u << (tim_ccmr_shift(ch) + 7); } // OCxCE
static_assert((tim_ccmr_ocm(2, TIM_OCM_TOGGLE) | tim_ccmr_occe(2)) == 0xB000);
static_assert((tim_ccmr_ocm(1, TIM_OCM_PWM1) | tim_ccmr_ocm(2, TIM_OCM_PWM1)) == 0x6060);

// CCER: channel c (1-4) enable and polarity bits.
constexpr std::uint32_t tim_ccer_cce(unsigned ch) { return 1u << (4 * (ch - 1)); }       // CCxE
constexpr std::uint32_t tim_ccer_ccp(unsigned ch) { return 1u << (4 * (ch - 1) + 1); }   // CCxP
constexpr std::uint32_t tim_ccer_ccne(unsigned ch) { return 1u << (4 * (ch - 1) + 2); }  // CCxNE
constexpr std::uint32_t tim_ccer_ccnp(unsigned ch) { return 1u << (4 * (ch - 1) + 3); }  // CCxNP
inline constexpr std::uint32_t TIM_CCER_CC1E = tim_ccer_cce(1);
inline constexpr std::uint32_t TIM_CCER_CC2E = tim_ccer_cce(2);
inline constexpr std::uint32_t TIM_CCER_CC3E = tim_ccer_cce(3);
inline constexpr std::uint32_t TIM_CCER_CC4E = tim_ccer_cce(4);

// BDTR (TIM1, TIM8)
inline constexpr std::uint32_t TIM_BDTR_DTG = 0xFFu << 0;  // dead time
inline constexpr std::uint32_t TIM_BDTR_LOCK = 3u << 8;
inline constexpr std::uint32_t TIM_BDTR_OSSI = 1u << 10;   // off-state selection, idle
inline constexpr std::uint32_t TIM_BDTR_OSSR = 1u << 11;   // off-state selection, run
inline constexpr std::uint32_t TIM_BDTR_BKE = 1u << 12;    // break enable
inline constexpr std::uint32_t TIM_BDTR_BKP = 1u << 13;
inline constexpr std::uint32_t TIM_BDTR_AOE = 1u << 14;    // automatic output enable
inline constexpr std::uint32_t TIM_BDTR_MOE = 1u << 15;    // main output enable
