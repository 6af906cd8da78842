// Clock tree: the core runs at 144 MHz from the PLL fed by the external
// 8 MHz clock signal on the HSE input (bypass mode).
//
//   PLL input  8 MHz / PLLM 4      =   2 MHz  (the VCO input must be 1-2 MHz)
//   VCO        2 MHz * PLLN 144    = 288 MHz
//   SYSCLK     VCO / PLLP 2        = 144 MHz  (HCLK, SysTick)
//   PCLK1      HCLK / 4            =  36 MHz  (timers 72 MHz)
//   PCLK2      HCLK / 2            =  72 MHz  (timers 144 MHz)
//   48 MHz     VCO / PLLQ 6        =  48 MHz  (USB OTG FS)
//
// Runs before .data/.bss exist: no variable in memory. The waits have no
// time-out; without the HSE signal the system stops here.
#include "mcu/flash.hpp"
#include "mcu/rcc.hpp"
#include "startup/startup.hpp"

namespace {

constexpr std::uint32_t kHsiTrimMiddle = 16;
constexpr std::uint32_t kCrHseBypass =
    RCC_CR_HSION | (kHsiTrimMiddle << RCC_CR_HSITRIM_Pos) | RCC_CR_HSEON | RCC_CR_HSEBYP;
static_assert(kCrHseBypass == 0x00050081);

// AHB /1, APB1 /4, APB2 /2; the switch value is or'ed in.
constexpr std::uint32_t kCfgrBuses = RCC_CFGR_PPRE2_DIV2 | RCC_CFGR_PPRE1_DIV4;
static_assert((kCfgrBuses | RCC_CFGR_SW_HSI) == 0x00009400);

constexpr std::uint32_t kPllM = 4, kPllN = 144, kPllPField = 0 /* /2 */, kPllQ = 6;
constexpr std::uint32_t kPllCfgr = (kPllM << RCC_PLLCFGR_PLLM_Pos) | (kPllN << RCC_PLLCFGR_PLLN_Pos) |
                                   (kPllPField << RCC_PLLCFGR_PLLP_Pos) | RCC_PLLCFGR_PLLSRC_HSE |
                                   (kPllQ << RCC_PLLCFGR_PLLQ_Pos);
static_assert(kPllCfgr == 0x06402404);
static_assert(8'000'000 / kPllM >= 1'000'000 && 8'000'000 / kPllM <= 2'000'000);
static_assert(8'000'000 / kPllM * kPllN / 2 == 144'000'000);
static_assert(8'000'000 / kPllM * kPllN / kPllQ == 48'000'000);

void wait_system_clock(std::uint32_t sws) {
  while ((RCC->CFGR & RCC_CFGR_SWS) != sws) {
  }
}

}  // namespace

extern "C" void setup_RCC(void) {
  RCC->CR = kCrHseBypass;
  RCC->CFGR = kCfgrBuses | RCC_CFGR_SW_HSI;
  RCC->CIR = 0;  // no clock interrupts
  while ((RCC->CR & RCC_CR_HSERDY) == 0) {
  }

  // Run from HSE while the flash latency is raised; the switch is asserted
  // a second time by read-modify-write.
  RCC->CFGR = kCfgrBuses | RCC_CFGR_SW_HSE;
  wait_system_clock(RCC_CFGR_SWS_HSE);
  RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_SW) | RCC_CFGR_SW_HSE;
  wait_system_clock(RCC_CFGR_SWS_HSE);

  // Flash: reset both caches (only allowed while they are off), then
  // prefetch and caches on, then 4 wait states for 144 MHz.
  FLASH->ACR = 0;
  FLASH->ACR = FLASH_ACR_ICRST | FLASH_ACR_DCRST;
  FLASH->ACR = 0;
  FLASH->ACR = FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN;
  FLASH->ACR |= FLASH_ACR_LATENCY_4WS;

  // Back on HSI while the PLL is programmed.
  RCC->CFGR = kCfgrBuses | RCC_CFGR_SW_HSI;
  RCC->PLLCFGR = kPllCfgr;
  RCC->CR |= RCC_CR_PLLON;
  while ((RCC->CR & RCC_CR_PLLRDY) == 0) {
  }

  // PLL as system clock; PLL also chosen as MCO1 source (no pin routes it out).
  RCC->CFGR |= RCC_CFGR_MCO1_PLL | RCC_CFGR_SW_PLL;
  wait_system_clock(RCC_CFGR_SWS_PLL);
}
