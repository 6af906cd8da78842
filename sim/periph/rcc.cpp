#include "sim/periph/rcc.hpp"

#include "sim/core/machine.hpp"

namespace vb {

using namespace rcc_reg;

namespace {

constexpr std::uint32_t field(std::uint32_t v, unsigned shift, std::uint32_t width_mask) {
  return (v >> shift) & width_mask;
}

// AHB prescaler HPRE: 0xxx = 1, 1000 = 2 ... 1111 = 512 (there is no 32).
constexpr unsigned ahb_divider(std::uint32_t hpre) {
  constexpr unsigned kDiv[8] = {2, 4, 8, 16, 64, 128, 256, 512};
  return (hpre & 8) ? kDiv[hpre & 7] : 1;
}

// APB prescalers PPRE1/PPRE2: 0xx = 1, 100 = 2 ... 111 = 16.
constexpr unsigned apb_divider(std::uint32_t ppre) { return (ppre & 4) ? 2u << (ppre & 3) : 1; }

// Data-sheet limits of the STM32F40x buses (2.7-3.6 V).
constexpr std::uint32_t kMaxHclk = 168'000'000;
constexpr std::uint32_t kMaxPclk1 = 42'000'000;
constexpr std::uint32_t kMaxPclk2 = 84'000'000;

}  // namespace

Rcc::Rcc(bool hse_present)
    : RegModel("RCC", kBase, 0x400), hse_present_(hse_present), regs_(kMap) {
  update_clocks();
}

// --- decoding ---------------------------------------------------------------

std::uint32_t Rcc::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  switch (offset) {
    case CR:
      update_hse_wait();
      return regs_[CR];
    case BDCR: return bdcr_value();
    case CSR: return csr_value();
    default: return regs_[offset];
  }
}

// Reads change nothing here and the ready and switch status bits move only
// at events, so a poll repeated between events is invisible; except CR
// while it counts the polls of a missing HSE before saying so. BDCR and CSR
// belong to the backup domain.
bool Rcc::idle_repeatable(std::uint32_t offset, bool is_write) const {
  if (is_write) return false;
  switch (offset) {
    case CR: {
      const std::uint32_t cr = regs_[CR];
      return hse_present_ || !(cr & CR_HSEON) || (cr & CR_HSERDY) || hse_polls_ >= kHsePollsBeforeMessage;
    }
    case CFGR:
    case PLLCFGR: return true;
    case BDCR:
    case CSR: return !backup_ || backup_->reads_repeatable();
    default: return false;
  }
}

void Rcc::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 1)) return;
  switch (offset) {
    case CR: write_cr(value, mask); break;
    case PLLCFGR: write_pllcfgr(value, mask); break;
    case CFGR: write_cfgr(value, mask); break;
    case CIR: write_cir(value, mask); break;
    case AHB1RSTR: case AHB2RSTR: case AHB3RSTR: case APB1RSTR: case APB2RSTR:
    case AHB1ENR: case AHB2ENR: case AHB3ENR: case APB1ENR: case APB2ENR:
      write_gates(offset, value, mask);
      break;
    case BDCR:
      if (backup_) backup_->write_bdcr(value, mask);
      else regs_.store(BDCR, value, mask);
      update_clocks();
      break;
    case CSR:
      if (backup_) backup_->write_csr(value, mask);
      else write_csr_plain(value, mask);
      update_clocks();
      break;
    default:
      // Low-power enables, spread spectrum, I2S PLL configuration: stored;
      // sleep modes and spread spectrum have no effect on the board.
      regs_.store(offset, value, mask);
      break;
  }
}

void Rcc::reset() {
  for (auto* h : {&hsi_event_, &hse_event_, &pll_event_, &plli2s_event_, &switch_event_}) {
    if (*h) machine().scheduler().cancel(*h);
    *h = 0;
  }
  const std::uint32_t bdcr = regs_[BDCR];
  const std::uint32_t reset_flags = regs_[CSR] & CSR_RESET_FLAGS;
  regs_.reset();
  regs_[BDCR] = bdcr;
  regs_[CSR] = reset_flags;
  hse_polls_ = 0;
  update_irq();
  update_clocks();
  notify();
}

// --- register writes ----------------------------------------------------------

void Rcc::write_cr(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[CR];
  std::uint32_t v = apply_write(regs_.def(CR), old, value, mask);
  // HSEBYP can be changed only while the HSE is off.
  if (old & CR_HSEON) v = (v & ~CR_HSEBYP) | (old & CR_HSEBYP);
  // An oscillator that clocks the system, directly or through the PLL, cannot
  // be switched off: the hardware keeps its ON bit set.
  const Source s = system_source();
  const bool pll_from_hse = regs_[PLLCFGR] & PLLCFGR_PLLSRC_HSE;
  if (s == Source::kHsi || (s == Source::kPll && !pll_from_hse)) v |= CR_HSION;
  if (s == Source::kHse || (s == Source::kPll && pll_from_hse)) v |= CR_HSEON;
  if (s == Source::kPll) v |= CR_PLLON;
  regs_[CR] = v;
  if ((v ^ old) & (CR_HSEON | CR_PLLON)) hse_polls_ = 0;
  if ((v & ~old & CR_PLLON) && !pll_config_valid()) {
    report("PLL switched on with PLLCFGR " + hex32(regs_[PLLCFGR]) + " (PLLM 2-63, PLLN 2-432, PLLQ 2-15; VCO input " +
           std::to_string(vco_input_hz()) + " Hz must be 1-2 MHz, VCO output " + std::to_string(vco_hz()) +
           " Hz 100-432 MHz)");
    return;
  }
  if ((v & ~old & CR_HSEON) && hse_present_ && !(v & CR_HSEBYP))
    machine().message("RCC: HSE oscillator started without bypass (HSEBYP), but the board feeds a clock signal on "
                      "OSC_IN, not a crystal: HSERDY will not rise");
  update_oscillators();
}

void Rcc::write_pllcfgr(std::uint32_t value, std::uint32_t mask) {
  if (regs_[CR] & CR_PLLON) {
    report("PLLCFGR written while the PLL is on (" + hex32(regs_[PLLCFGR]) + " -> " +
           hex32(apply_write(regs_.def(PLLCFGR), regs_[PLLCFGR], value, mask)) +
           "); the manual allows it only with the PLL off");
    return;
  }
  regs_.store(PLLCFGR, value, mask);
  update_pll();
  update_clocks();
}

void Rcc::write_cfgr(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t v = apply_write(regs_.def(CFGR), regs_[CFGR], value, mask);
  if ((v & CFGR_SW) == CFGR_SW) {
    report("CFGR SW = 11 is not allowed");
    return;
  }
  regs_[CFGR] = v;
  // MCO1/MCO2 selections are stored; no pin is given the MCO function here.
  update_switch();
  update_clocks();
}

void Rcc::write_cir(std::uint32_t value, std::uint32_t mask) {
  std::uint32_t v = regs_.store(CIR, value, mask);
  const std::uint32_t clears = value & mask;
  v &= ~((clears >> 16) & 0x3F);         // LSIRDYC .. PLLI2SRDYC
  if (clears & CIR_CSSC) v &= ~(1u << 7);  // CSSF
  regs_[CIR] = v;
  update_irq();
}

void Rcc::write_gates(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[offset];
  const std::uint32_t v = regs_.store(offset, value, mask);
  if (v == old) return;
  if (offset < AHB1ENR) {  // a reset register: newly set bits reset their blocks
    static constexpr std::pair<std::uint32_t, ClockGate::Bus> kBus[] = {
        {AHB1RSTR, ClockGate::kAHB1}, {AHB2RSTR, ClockGate::kAHB2}, {APB1RSTR, ClockGate::kAPB1},
        {APB2RSTR, ClockGate::kAPB2}};
    const std::uint32_t rising = v & ~old;
    for (auto [reg, bus] : kBus) {
      if (reg != offset) continue;
      for (auto* p : reset_targets_)
        if (p->gate().bus == bus && (rising >> p->gate().bit & 1)) p->reset();
    }
  }
  notify();
}

void Rcc::write_csr_plain(std::uint32_t value, std::uint32_t mask) {
  std::uint32_t v = regs_.store(CSR, value, mask);
  if (value & mask & CSR_RMVF) v &= ~CSR_RESET_FLAGS;
  regs_[CSR] = v;
}

// --- behaviour --------------------------------------------------------------

bool Rcc::running(ClockGate g) const {
  switch (g.bus) {
    case ClockGate::kNone: return true;
    case ClockGate::kAHB1: return (regs_[AHB1ENR] & ~regs_[AHB1RSTR]) >> g.bit & 1;
    case ClockGate::kAHB2: return (regs_[AHB2ENR] & ~regs_[AHB2RSTR]) >> g.bit & 1;
    case ClockGate::kAPB1: return (regs_[APB1ENR] & ~regs_[APB1RSTR]) >> g.bit & 1;
    case ClockGate::kAPB2: return (regs_[APB2ENR] & ~regs_[APB2RSTR]) >> g.bit & 1;
  }
  return false;
}

// Starts or stops the oscillators after CR changed; ready bits drop at once
// when an oscillator is switched off (real parts take a few of its periods).
void Rcc::update_oscillators() {
  std::uint32_t& cr = regs_[CR];
  start(CR_HSION, CR_HSIRDY, kHsiRdy, kHsiStartCycles, hsi_event_);
  if (hse_present_ && (cr & CR_HSEBYP)) {
    start(CR_HSEON, CR_HSERDY, kHseRdy, kHseStartCycles, hse_event_);
  } else {
    // No signal on OSC_IN, or the oscillator amplifier is on (no bypass)
    // with a clock signal where it expects a crystal: never ready.
    cr &= ~CR_HSERDY;
    if (hse_event_) machine().scheduler().cancel(hse_event_);
    hse_event_ = 0;
  }
  update_pll();
  update_switch();
  update_clocks();
}

void Rcc::start(std::uint32_t on_bit, std::uint32_t rdy_bit, ReadyFlag flag, cycles_t delay,
                Scheduler::Handle& pending) {
  std::uint32_t& cr = regs_[CR];
  if (!(cr & on_bit)) {
    cr &= ~rdy_bit;
    if (pending) machine().scheduler().cancel(pending);
    pending = 0;
    return;
  }
  if ((cr & rdy_bit) || pending) return;
  pending = machine().scheduler().after(delay, [this, on_bit, rdy_bit, flag, &pending] {
    pending = 0;
    if (!(regs_[CR] & on_bit)) return;
    regs_[CR] |= rdy_bit;
    raise_ready_flag(flag);
    update_pll();
    update_switch();
    update_clocks();
  });
}

// The PLLs lock a while after PLLON once their input (HSI or HSE) is ready,
// and lose lock when it stops.
void Rcc::update_pll() {
  const bool input_ready = (regs_[PLLCFGR] & PLLCFGR_PLLSRC_HSE) ? (regs_[CR] & CR_HSERDY) : (regs_[CR] & CR_HSIRDY);
  struct Pll { std::uint32_t on, rdy; ReadyFlag flag; Scheduler::Handle* pending; };
  for (const Pll& p : {Pll{CR_PLLON, CR_PLLRDY, kPllRdy, &pll_event_},
                       Pll{CR_PLLI2SON, CR_PLLI2SRDY, kPllI2sRdy, &plli2s_event_}}) {
    // A main PLL with dividers out of range has no defined output: it is kept
    // unlocked (the write that switched it on was reported).
    const bool lockable = input_ready && (p.on != CR_PLLON || pll_config_valid());
    if (lockable) {
      start(p.on, p.rdy, p.flag, kPllLockCycles, *p.pending);
    } else {
      regs_[CR] &= ~p.rdy;
      if (*p.pending) machine().scheduler().cancel(*p.pending);
      *p.pending = 0;
    }
  }
}

// SWS follows SW a few cycles after the write, but only once the selected
// source is ready; until then the system keeps its current clock.
void Rcc::update_switch() {
  const std::uint32_t sw = regs_[CFGR] & CFGR_SW;
  const std::uint32_t sws = (regs_[CFGR] & CFGR_SWS) >> 2;
  if (sw == sws || !source_ready(sw)) {
    if (switch_event_) machine().scheduler().cancel(switch_event_);
    switch_event_ = 0;
    return;
  }
  if (switch_event_) return;
  switch_event_ = machine().scheduler().after(kSwitchCycles, [this] {
    switch_event_ = 0;
    const std::uint32_t now_sw = regs_[CFGR] & CFGR_SW;
    if (!source_ready(now_sw)) return;
    regs_[CFGR] = (regs_[CFGR] & ~CFGR_SWS) | now_sw << 2;
    update_clocks();
  });
}

bool Rcc::source_ready(std::uint32_t sw) const {
  switch (sw) {
    case 0: return regs_[CR] & CR_HSIRDY;
    case 1: return regs_[CR] & CR_HSERDY;
    case 2: return regs_[CR] & CR_PLLRDY;
    default: return false;
  }
}

Rcc::Source Rcc::system_source() const {
  switch ((regs_[CFGR] & CFGR_SWS) >> 2) {
    case 0: return Source::kHsi;
    case 1: return Source::kHse;
    case 2: return Source::kPll;
    default: return Source::kNone;
  }
}

// Divider ranges of PLLCFGR, and the VCO's input (1-2 MHz) and output
// (100-432 MHz) ranges: outside them the PLL's output is not specified.
bool Rcc::pll_config_valid() const {
  const std::uint32_t c = regs_[PLLCFGR];
  const std::uint32_t m = field(c, 0, 0x3F), n = field(c, 6, 0x1FF), q = field(c, 24, 0xF);
  if (m < 2 || n < 2 || n > 432 || q < 2) return false;
  const std::uint32_t in = vco_input_hz(), vco = vco_hz();
  return in >= kVcoInMinHz && in <= kVcoInMaxHz && vco >= kVcoOutMinHz && vco <= kVcoOutMaxHz;
}

std::uint32_t Rcc::vco_input_hz() const {
  const std::uint32_t c = regs_[PLLCFGR];
  const std::uint32_t in = (c & PLLCFGR_PLLSRC_HSE) ? kHseHz : kHsiHz;
  const std::uint32_t m = field(c, 0, 0x3F);
  return m < 2 ? 0 : in / m;
}

std::uint32_t Rcc::vco_hz() const {
  const std::uint32_t c = regs_[PLLCFGR];
  const std::uint64_t in = (c & PLLCFGR_PLLSRC_HSE) ? kHseHz : kHsiHz;
  const std::uint32_t m = field(c, 0, 0x3F), n = field(c, 6, 0x1FF);
  if (m < 2) return 0;
  return static_cast<std::uint32_t>(in * n / m);
}

std::uint32_t Rcc::pll_output_hz() const {
  const std::uint32_t p = 2 * (field(regs_[PLLCFGR], 16, 3) + 1);  // 2, 4, 6, 8
  return vco_hz() / p;
}

std::uint32_t Rcc::bdcr_value() { return backup_ ? backup_->read_bdcr() : regs_[BDCR]; }
std::uint32_t Rcc::csr_value() { return backup_ ? backup_->read_csr() : regs_[CSR]; }

// Re-derives every published frequency from the registers; listeners hear of
// it only when something changed.
void Rcc::update_clocks() {
  const std::uint32_t cr = regs_[CR], cfgr = regs_[CFGR];
  ClockTree t;
  switch (system_source()) {
    case Source::kHsi: t.sysclk = kHsiHz; break;
    case Source::kHse: t.sysclk = kHseHz; break;
    case Source::kPll: t.sysclk = pll_output_hz(); break;
    case Source::kNone: t.sysclk = 0; break;
  }
  t.hclk = t.sysclk / ahb_divider(field(cfgr, 4, 0xF));
  const unsigned d1 = apb_divider(field(cfgr, 10, 7)), d2 = apb_divider(field(cfgr, 13, 7));
  t.pclk1 = t.hclk / d1;
  t.pclk2 = t.hclk / d2;
  // Timers run at twice the bus clock whenever their APB prescaler divides.
  t.tim_apb1 = d1 == 1 ? t.pclk1 : 2 * t.pclk1;
  t.tim_apb2 = d2 == 1 ? t.pclk2 : 2 * t.pclk2;
  const std::uint32_t q = field(regs_[PLLCFGR], 24, 0xF);
  t.clk48 = (cr & CR_PLLRDY) && q >= 2 ? vco_hz() / q : 0;

  // The RTC clock as selected in BDCR (whether RTCEN gates it is the RTC
  // model's business).
  const std::uint32_t bdcr = bdcr_value(), csr = csr_value();
  switch ((bdcr & BDCR_RTCSEL) >> 8) {
    case 1: t.rtcclk = (bdcr & BDCR_LSERDY) ? kLseHz : 0; break;
    case 2: t.rtcclk = (csr & CSR_LSIRDY) ? kLsiHz : 0; break;
    case 3: {
      const std::uint32_t rtcpre = field(cfgr, 16, 0x1F);
      t.rtcclk = (cr & CR_HSERDY) && rtcpre >= 2 ? kHseHz / rtcpre : 0;
      break;
    }
    default: t.rtcclk = 0; break;
  }

  // Above these limits the chip's behaviour is undefined: the run stops.
  const bool over = t.hclk > kMaxHclk || t.pclk1 > kMaxPclk1 || t.pclk2 > kMaxPclk2;
  if (over)
    report("bus clock above the chip's limit (HCLK " + std::to_string(t.hclk) + " Hz, at most " +
           std::to_string(kMaxHclk) + "; PCLK1 " + std::to_string(t.pclk1) + " Hz, at most " +
           std::to_string(kMaxPclk1) + "; PCLK2 " + std::to_string(t.pclk2) + " Hz, at most " +
           std::to_string(kMaxPclk2) + ")");

  const bool changed = t.sysclk != tree_.sysclk || t.hclk != tree_.hclk || t.pclk1 != tree_.pclk1 ||
                       t.pclk2 != tree_.pclk2 || t.tim_apb1 != tree_.tim_apb1 || t.tim_apb2 != tree_.tim_apb2 ||
                       t.clk48 != tree_.clk48 || t.rtcclk != tree_.rtcclk;
  tree_ = t;
  if (changed) notify();
}

void Rcc::raise_ready_flag(ReadyFlag f) {
  if (regs_[CIR] >> (f + 8) & 1) regs_[CIR] |= 1u << f;
  update_irq();
}

void Rcc::update_irq() {
  const bool level = regs_[CIR] & 0x3F;  // CSSF goes to the NMI, not to this line
  if (level == irq_level_) return;
  irq_level_ = level;
  machine().set_irq(kIrq, level);
}

// Counts CR polls while the firmware has asked for an HSE the board does not
// have, and says so once: otherwise the run just hangs in the start-up code.
void Rcc::update_hse_wait() {
  const std::uint32_t cr = regs_[CR];
  if ((hse_present_ && (cr & CR_HSEBYP)) || !(cr & CR_HSEON) || (cr & CR_HSERDY)) return;
  if (++hse_polls_ == kHsePollsBeforeMessage) machine().message(waiting_for());
}

std::string Rcc::waiting_for() const {
  const std::uint32_t cr = regs_[CR];
  if (!(cr & CR_HSEON) || hse_polls_ < kHsePollsBeforeMessage) return {};
  if (!hse_present_) return "RCC: firmware waits for HSERDY, but the board has no 8 MHz clock on OSC_IN";
  if (!(cr & CR_HSEBYP))
    return "RCC: firmware waits for HSERDY, but the HSE runs without bypass (HSEBYP) and the board has a clock "
           "signal on OSC_IN, not a crystal";
  return {};
}

void Rcc::notify() {
  // Listeners may add listeners: iterate by index over a stable count.
  const std::size_t n = listeners_.size();
  for (std::size_t i = 0; i < n; ++i) listeners_[i]();
}

}  // namespace vb
