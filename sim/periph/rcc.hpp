// Reset and clock control: the oscillators (HSI, HSE from the board's 8 MHz
// signal, main PLL, I2S PLL) with their ready bits, the system clock switch,
// the bus prescalers, the clock-ready interrupt, and the per-peripheral
// enable and reset bits. It publishes the resulting ClockTree to every other
// model and tells listeners when it changes.
//
// BDCR and CSR belong to the backup domain: they are plain storage until a
// backup-domain model takes them over with set_backup_domain().
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/clock_tree.hpp"
#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace rcc_reg {
inline constexpr std::uint32_t CR = 0x00;
inline constexpr std::uint32_t PLLCFGR = 0x04;
inline constexpr std::uint32_t CFGR = 0x08;
inline constexpr std::uint32_t CIR = 0x0C;
inline constexpr std::uint32_t AHB1RSTR = 0x10;
inline constexpr std::uint32_t AHB2RSTR = 0x14;
inline constexpr std::uint32_t AHB3RSTR = 0x18;
inline constexpr std::uint32_t APB1RSTR = 0x20;
inline constexpr std::uint32_t APB2RSTR = 0x24;
inline constexpr std::uint32_t AHB1ENR = 0x30;
inline constexpr std::uint32_t AHB2ENR = 0x34;
inline constexpr std::uint32_t AHB3ENR = 0x38;
inline constexpr std::uint32_t APB1ENR = 0x40;
inline constexpr std::uint32_t APB2ENR = 0x44;
inline constexpr std::uint32_t AHB1LPENR = 0x50;
inline constexpr std::uint32_t AHB2LPENR = 0x54;
inline constexpr std::uint32_t AHB3LPENR = 0x58;
inline constexpr std::uint32_t APB1LPENR = 0x60;
inline constexpr std::uint32_t APB2LPENR = 0x64;
inline constexpr std::uint32_t BDCR = 0x70;
inline constexpr std::uint32_t CSR = 0x74;
inline constexpr std::uint32_t SSCGR = 0x80;
inline constexpr std::uint32_t PLLI2SCFGR = 0x84;

// Peripherals present on the STM32F40x, per bus (enable, reset and
// low-power enable registers share the bit positions).
inline constexpr std::uint32_t kAhb1Bits = 0x226011FF;    // GPIOA-I, CRC, DMA1/2, ETHMAC, OTGHS
inline constexpr std::uint32_t kAhb1EnBits = 0x7E7411FF;  // + BKPSRAM, CCMDATARAM, ETH clocks, ULPI
inline constexpr std::uint32_t kAhb1LpBits = 0x7E6791FF;  // + FLITF, SRAM1/2
inline constexpr std::uint32_t kAhb2Bits = 0x000000F1;    // DCMI, CRYP, HASH, RNG, OTGFS
inline constexpr std::uint32_t kAhb3Bits = 0x00000001;    // FSMC
inline constexpr std::uint32_t kApb1Bits = 0x36FEC9FF;    // TIM2-7, TIM12-14, WWDG, SPI2/3, USART2/3, UART4/5, I2C1-3, CAN1/2, PWR, DAC
inline constexpr std::uint32_t kApb2RstBits = 0x00075933; // TIM1/8, USART1/6, ADC, SDIO, SPI1, SYSCFG, TIM9-11
inline constexpr std::uint32_t kApb2EnBits = 0x00075F33;  // ADC1-3 enabled one by one

// Declared once: the model and its tests use this table.
inline constexpr std::array<RegDef, 23> kMap{{
    // HSICAL (bits 15:8) is factory trimming; the board's chip reads 0.
    {"CR", CR, 0x00000083, 0x050D00F9},
    {"PLLCFGR", PLLCFGR, 0x24003010, 0x0F437FFF},
    {"CFGR", CFGR, 0x00000000, 0xFFFFFCF3},
    // Flags are read-only, the clear bits (23, 21:16) are write-only actions.
    {"CIR", CIR, 0x00000000, 0x00003F00},
    {"AHB1RSTR", AHB1RSTR, 0x00000000, kAhb1Bits},
    {"AHB2RSTR", AHB2RSTR, 0x00000000, kAhb2Bits},
    {"AHB3RSTR", AHB3RSTR, 0x00000000, kAhb3Bits},
    {"APB1RSTR", APB1RSTR, 0x00000000, kApb1Bits},
    {"APB2RSTR", APB2RSTR, 0x00000000, kApb2RstBits},
    {"AHB1ENR", AHB1ENR, 0x00100000, kAhb1EnBits},
    {"AHB2ENR", AHB2ENR, 0x00000000, kAhb2Bits},
    {"AHB3ENR", AHB3ENR, 0x00000000, kAhb3Bits},
    {"APB1ENR", APB1ENR, 0x00000000, kApb1Bits},
    {"APB2ENR", APB2ENR, 0x00000000, kApb2EnBits},
    {"AHB1LPENR", AHB1LPENR, 0x7E6791FF, kAhb1LpBits},
    {"AHB2LPENR", AHB2LPENR, 0x000000F1, kAhb2Bits},
    {"AHB3LPENR", AHB3LPENR, 0x00000001, kAhb3Bits},
    {"APB1LPENR", APB1LPENR, 0x36FEC9FF, kApb1Bits},
    {"APB2LPENR", APB2LPENR, 0x00075F33, kApb2EnBits},
    // Backup domain: LSEON, LSEBYP, RTCSEL, RTCEN, BDRST (LSERDY read-only).
    {"BDCR", BDCR, 0x00000000, 0x00018305},
    // LSION; RMVF clears the reset flags (bits 31:25), which power-on sets.
    {"CSR", CSR, 0x0E000000, 0x00000001},
    {"SSCGR", SSCGR, 0x00000000, 0xCFFFFFFF},
    {"PLLI2SCFGR", PLLI2SCFGR, 0x20003000, 0x70007FC0},
}};

inline constexpr std::uint32_t CR_HSION = 1u << 0;
inline constexpr std::uint32_t CR_HSIRDY = 1u << 1;
inline constexpr std::uint32_t CR_HSEON = 1u << 16;
inline constexpr std::uint32_t CR_HSERDY = 1u << 17;
inline constexpr std::uint32_t CR_HSEBYP = 1u << 18;
inline constexpr std::uint32_t CR_PLLON = 1u << 24;
inline constexpr std::uint32_t CR_PLLRDY = 1u << 25;
inline constexpr std::uint32_t CR_PLLI2SON = 1u << 26;
inline constexpr std::uint32_t CR_PLLI2SRDY = 1u << 27;
inline constexpr std::uint32_t PLLCFGR_PLLSRC_HSE = 1u << 22;
inline constexpr std::uint32_t CFGR_SW = 3u << 0;
inline constexpr std::uint32_t CFGR_SWS = 3u << 2;
inline constexpr std::uint32_t CIR_CSSC = 1u << 23;
inline constexpr std::uint32_t BDCR_LSERDY = 1u << 1;
inline constexpr std::uint32_t BDCR_RTCSEL = 3u << 8;
inline constexpr std::uint32_t CSR_LSIRDY = 1u << 1;
inline constexpr std::uint32_t CSR_RMVF = 1u << 24;
inline constexpr std::uint32_t CSR_RESET_FLAGS = 0xFE000000u;

// Clock-ready flags of CIR (bit n), interrupt enables at n + 8, clears at n + 16.
enum ReadyFlag : unsigned { kLsiRdy = 0, kLseRdy = 1, kHsiRdy = 2, kHseRdy = 3, kPllRdy = 4, kPllI2sRdy = 5 };
}  // namespace rcc_reg

// The backup-domain model's side of RCC BDCR and CSR. The model owns both
// registers (write protection by PWR DBP, LSE/LSI ready bits, BDRST).
class BackupDomainHooks {
public:
  virtual ~BackupDomainHooks() = default;
  virtual std::uint32_t read_bdcr() = 0;
  virtual void write_bdcr(std::uint32_t value, std::uint32_t mask) = 0;
  virtual std::uint32_t read_csr() = 0;
  virtual void write_csr(std::uint32_t value, std::uint32_t mask) = 0;
  // Whether reading BDCR or CSR again, with no event between, reads the
  // same and changes nothing (see Peripheral::idle_repeatable).
  virtual bool reads_repeatable() const { return false; }
};

class Rcc : public RegModel, public ClockControl {
public:
  static constexpr std::uint32_t kBase = 0x40023800;
  static constexpr int kIrq = 5;  // RCC global interrupt
  static constexpr std::uint32_t kHsiHz = 16'000'000;
  static constexpr std::uint32_t kHseHz = 8'000'000;  // the board's oscillator signal
  static constexpr std::uint32_t kLseHz = 32'768;
  static constexpr std::uint32_t kLsiHz = 32'000;
  // Start-up delays, in core cycles at the clock running when the oscillator
  // is switched on. Real parts: HSI ~2 us, HSE in bypass a few oscillator
  // periods, PLL lock ~100 us; these keep the order of events without long
  // idle loops in the emulation.
  // Main PLL VCO ranges (reference manual, PLLCFGR).
  static constexpr std::uint32_t kVcoInMinHz = 1'000'000, kVcoInMaxHz = 2'000'000;
  static constexpr std::uint32_t kVcoOutMinHz = 100'000'000, kVcoOutMaxHz = 432'000'000;
  static constexpr cycles_t kHsiStartCycles = 32;
  static constexpr cycles_t kHseStartCycles = 512;
  static constexpr cycles_t kPllLockCycles = 1600;
  static constexpr cycles_t kSwitchCycles = 4;
  // CR reads while the firmware waits for an HSE that the board lacks before
  // the model tells so.
  static constexpr unsigned kHsePollsBeforeMessage = 1000;

  explicit Rcc(bool hse_present);

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  bool idle_repeatable(std::uint32_t offset, bool is_write) const override;
  // System reset: everything but the backup domain (BDCR) and the reset flags.
  void reset() override;

  // --- ClockControl ---------------------------------------------------------
  const ClockTree& tree() const override { return tree_; }
  bool running(ClockGate g) const override;

  // --- board side ---------------------------------------------------------
  // Called after every change of the clock tree and of any enable or reset
  // bit (a gated clock is a clock change too).
  void on_change(std::function<void()> fn) { listeners_.push_back(std::move(fn)); }
  // Blocks whose RCC reset bit (per their ClockGate) resets them: reset() is
  // called when the bit is set.
  void add_reset_target(Peripheral& p) { reset_targets_.push_back(&p); }
  // Hands BDCR and CSR to the backup-domain model (nullptr: plain storage).
  void set_backup_domain(BackupDomainHooks* hooks) { backup_ = hooks; update_clocks(); }
  // The backup-domain model reports a change of LSERDY, LSIRDY or RTCSEL.
  void backup_domain_changed() { update_clocks(); }
  // A low-speed oscillator became ready: sets its CIR flag when enabled.
  void raise_ready_flag(rcc_reg::ReadyFlag f);

  bool hse_present() const { return hse_present_; }
  // What the firmware waits for in vain, or empty: e.g. HSERDY without the
  // board's 8 MHz clock.
  std::string waiting_for() const;

  // --- observation --------------------------------------------------------
  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }
  std::uint32_t pll_output_hz() const;  // main PLL P output from PLLCFGR
  std::uint32_t vco_hz() const;
  std::uint32_t vco_input_hz() const;  // PLL input after PLLM

private:
  enum class Source { kHsi, kHse, kPll, kNone };

  void write_cr(std::uint32_t value, std::uint32_t mask);
  void write_cfgr(std::uint32_t value, std::uint32_t mask);
  void write_cir(std::uint32_t value, std::uint32_t mask);
  void write_gates(std::uint32_t offset, std::uint32_t value, std::uint32_t mask);
  void write_pllcfgr(std::uint32_t value, std::uint32_t mask);
  void write_csr_plain(std::uint32_t value, std::uint32_t mask);

  void update_oscillators();
  void start(std::uint32_t on_bit, std::uint32_t rdy_bit, rcc_reg::ReadyFlag flag, cycles_t delay,
             Scheduler::Handle& pending);
  void update_pll();
  void update_switch();
  void update_clocks();
  void update_irq();
  void update_hse_wait();
  void notify();

  Source system_source() const;  // from SWS
  bool source_ready(std::uint32_t sw) const;
  std::uint32_t bdcr_value();
  std::uint32_t csr_value();
  bool pll_config_valid() const;

  bool hse_present_;
  RegBank regs_;
  ClockTree tree_;
  BackupDomainHooks* backup_ = nullptr;
  std::vector<std::function<void()>> listeners_;
  std::vector<Peripheral*> reset_targets_;
  Scheduler::Handle hsi_event_ = 0, hse_event_ = 0, pll_event_ = 0, plli2s_event_ = 0, switch_event_ = 0;
  unsigned hse_polls_ = 0;
  bool irq_level_ = false;
};

}  // namespace vb
