#include "sim/core/nvic.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace vb {

using namespace scs_reg;

namespace {

constexpr const char* kIrqNames[exc::kIrqCount] = {
    "WWDG", "PVD", "TAMP_STAMP", "RTC_WKUP", "FLASH", "RCC", "EXTI0", "EXTI1", "EXTI2", "EXTI3",
    "EXTI4", "DMA1_Stream0", "DMA1_Stream1", "DMA1_Stream2", "DMA1_Stream3", "DMA1_Stream4",
    "DMA1_Stream5", "DMA1_Stream6", "ADC", "CAN1_TX", "CAN1_RX0", "CAN1_RX1", "CAN1_SCE", "EXTI9_5",
    "TIM1_BRK_TIM9", "TIM1_UP_TIM10", "TIM1_TRG_COM_TIM11", "TIM1_CC", "TIM2", "TIM3", "TIM4",
    "I2C1_EV", "I2C1_ER", "I2C2_EV", "I2C2_ER", "SPI1", "SPI2", "USART1", "USART2", "USART3",
    "EXTI15_10", "RTC_Alarm", "OTG_FS_WKUP", "TIM8_BRK_TIM12", "TIM8_UP_TIM13", "TIM8_TRG_COM_TIM14",
    "TIM8_CC", "DMA1_Stream7", "FSMC", "SDIO", "TIM5", "SPI3", "UART4", "UART5", "TIM6_DAC", "TIM7",
    "DMA2_Stream0", "DMA2_Stream1", "DMA2_Stream2", "DMA2_Stream3", "DMA2_Stream4", "ETH", "ETH_WKUP",
    "CAN2_TX", "CAN2_RX0", "CAN2_RX1", "CAN2_SCE", "OTG_FS", "DMA2_Stream5", "DMA2_Stream6",
    "DMA2_Stream7", "USART6", "I2C3_EV", "I2C3_ER", "OTG_HS_EP1_OUT", "OTG_HS_EP1_IN", "OTG_HS_WKUP",
    "OTG_HS", "DCMI", "CRYP", "HASH_RNG", "FPU"};

constexpr const char* kSystemNames[exc::kIrq0] = {
    "Thread",   "Reset",    "NMI",      "HardFault",    "MemManage", "BusFault", "UsageFault", "reserved 7",
    "reserved 8", "reserved 9", "reserved 10", "SVCall", "DebugMonitor", "reserved 13", "PendSV", "SysTick"};

// System exceptions whose priority SHPR1-3 holds.
constexpr bool has_configurable_priority(int n) {
  return n == exc::kMemManage || n == exc::kBusFault || n == exc::kUsageFault || n == exc::kSvCall ||
         n == exc::kDebugMonitor || n == exc::kPendSv || n == exc::kSysTick || n >= exc::kIrq0;
}

// ISER, ICER, ISPR, ICPR, IABR: eight words each, 0x80 apart, below `end`.
constexpr bool in_irq_array(std::uint32_t offset, std::uint32_t end) {
  return offset >= ISER && offset < end && (offset & 0x7F) < 0x20;
}

}  // namespace

std::string exception_name(int number) {
  if (number >= 0 && number < exc::kIrq0) return kSystemNames[number];
  if (number >= exc::kIrq0 && number < exc::kCount) {
    const int irq = number - exc::kIrq0;
    return "IRQ " + std::to_string(irq) + " (" + kIrqNames[irq] + ")";
  }
  return "exception " + std::to_string(number);
}

Nvic::Nvic(Scheduler& sched, std::function<void()> changed)
    : Peripheral("SCS", kBase, kSize), changed_(std::move(changed)),
      systick_(sched, [this] { set_pending(exc::kSysTick); }) {
  reset();
}

void Nvic::reset() {
  systick_.reset();
  enabled_.fill(false);
  pending_.fill(false);
  pending_bits_ = {};
  active_.fill(false);
  priority_.fill(0);
  // Lines keep their level: they belong to the devices, which reset themselves.
  stack_.clear();
  prigroup_ = 0;
  vtor_ = 0;
  actlr_ = 0;
  scr_ = 0;
  ccr_ = kCcrReset;
  shcsr_ena_ = 0;
  cpacr_ = 0;
  fpccr_ = kFpccrReset;
  fpcar_ = 0;
  fpdscr_ = 0;
  event_ = false;
  for (int n : {exc::kNmi, exc::kSvCall, exc::kDebugMonitor, exc::kPendSv, exc::kSysTick}) enabled_[n] = true;
  update();
}

void Nvic::mark_pending(int number, bool pending) {
  if (pending_[number] == pending) return;
  pending_[number] = pending;
  const std::uint64_t bit = std::uint64_t{1} << (number & 63);
  if (pending)
    pending_bits_[number >> 6] |= bit;
  else
    pending_bits_[number >> 6] &= ~bit;
  if (pending && (scr_ & SCR_SEVONPEND)) event_ = true;
}

void Nvic::update() {
  next_valid_ = false;
  // With nothing enabled and pending no change can make an exception ready
  // (a line that stays pending while its interrupt is disabled is common).
  if (changed_ && next_pending() != 0) changed_();
}

// --- exception state ---------------------------------------------------------

bool Nvic::enabled(int number) const {
  if (number == exc::kMemManage) return shcsr_ena_ & (1u << 16);
  if (number == exc::kBusFault) return shcsr_ena_ & (1u << 17);
  if (number == exc::kUsageFault) return shcsr_ena_ & (1u << 18);
  return enabled_.at(number);
}

int Nvic::priority(int number) const {
  switch (number) {
    case exc::kReset: return -3;
    case exc::kNmi: return -2;
    case exc::kHardFault: return -1;
    default: return priority_.at(number);
  }
}

void Nvic::set_priority(int number, std::uint8_t value) {
  if (!has_configurable_priority(number)) return;
  priority_.at(number) = value & kPriorityBits;
  update();
}

int Nvic::group_priority(int priority) const {
  if (priority < 0) return priority;
  // PRIGROUP n: bits [7:n+1] are the group priority, [n:0] the sub-priority.
  const unsigned group_mask = (0xFFu << (prigroup_ + 1)) & 0xFFu;
  return priority & static_cast<int>(group_mask);
}

void Nvic::set_pending(int number) {
  if (number <= 0 || number >= exc::kCount) return;
  if (!pending_[number]) {
    mark_pending(number, true);
    update();
  }
}

void Nvic::clear_pending(int number) {
  if (number <= 0 || number >= exc::kCount) return;
  if (pending_[number]) {
    mark_pending(number, false);
    update();
  }
}

void Nvic::set_irq_level(int irq, bool level, const void* source) {
  if (irq < 0 || irq >= exc::kIrqCount) {
    report("interrupt line " + std::to_string(irq) + " does not exist (IRQ 0-81)");
    return;
  }
  std::vector<const void*>& asserting = sources_[irq];
  const auto it = std::find(asserting.begin(), asserting.end(), source);
  if (level && it == asserting.end())
    asserting.push_back(source);
  else if (!level && it != asserting.end())
    asserting.erase(it);
  const bool high = !asserting.empty();
  const bool rising = high && !level_[irq];
  level_[irq] = high;
  if (rising) set_pending(exc::kIrq0 + irq);
}

int Nvic::next_pending() const {
  if (next_valid_) return next_;
  int best = 0, best_priority = kNoPriority;
  // Only the pending ones, in number order.
  for (int word = 0; word < 2; ++word) {
    for (std::uint64_t bits = pending_bits_[word]; bits != 0; bits &= bits - 1) {
      const int n = word * 64 + std::countr_zero(bits);
      if (!enabled(n)) continue;
      const int p = priority(n);
      if (p < best_priority) {  // equal priority: the lower number, found first, wins
        best = n;
        best_priority = p;
      }
    }
  }
  next_ = best;
  next_valid_ = true;
  return best;
}

int Nvic::active_priority() const {
  int p = kNoPriority;
  for (int n : stack_) p = std::min(p, group_priority(priority(n)));
  return p;
}

int Nvic::execution_priority(bool primask, std::uint8_t basepri, bool faultmask) const {
  int p = active_priority();
  if (basepri & kPriorityBits) p = std::min(p, group_priority(basepri & kPriorityBits));
  if (primask) p = std::min(p, 0);
  if (faultmask) p = std::min(p, -1);
  return p;
}

void Nvic::activate(int number) {
  mark_pending(number, false);
  active_.at(number) = true;
  stack_.push_back(number);
  update();
}

int Nvic::deactivate() {
  if (stack_.empty()) return exc::kThread;
  const int number = stack_.back();
  stack_.pop_back();
  active_[number] = false;
  // A level-sensitive line still asserted pends its interrupt again.
  if (number >= exc::kIrq0 && level_[number - exc::kIrq0]) mark_pending(number, true);
  update();
  return number;
}

// --- registers ---------------------------------------------------------------

std::uint32_t Nvic::irq_bits(const std::array<bool, exc::kCount>& set, unsigned word) const {
  std::uint32_t v = 0;
  for (unsigned b = 0; b < 32; ++b) {
    const unsigned irq = word * 32 + b;
    if (irq < exc::kIrqCount && set[exc::kIrq0 + irq]) v |= 1u << b;
  }
  return v;
}

std::uint32_t Nvic::read_icsr() const {
  std::uint32_t v = static_cast<std::uint32_t>(current());
  if (stack_.size() <= 1) v |= ICSR_RETTOBASE;
  const int next = next_pending();
  v |= static_cast<std::uint32_t>(next) << 12;  // VECTPENDING
  for (int n = exc::kIrq0; n < exc::kCount; ++n)
    if (pending_[n]) {
      v |= ICSR_ISRPENDING;
      break;
    }
  if (pending_[exc::kSysTick]) v |= ICSR_PENDSTSET;
  if (pending_[exc::kPendSv]) v |= ICSR_PENDSVSET;
  if (pending_[exc::kNmi]) v |= ICSR_NMIPENDSET;
  return v;
}

std::uint32_t Nvic::read_shcsr() const {
  std::uint32_t v = shcsr_ena_;
  const std::pair<int, unsigned> act[] = {{exc::kMemManage, 0}, {exc::kBusFault, 1}, {exc::kUsageFault, 3},
                                          {exc::kSvCall, 7},    {exc::kDebugMonitor, 8}, {exc::kPendSv, 10},
                                          {exc::kSysTick, 11}};
  for (auto [n, bit] : act)
    if (active_[n]) v |= 1u << bit;
  const std::pair<int, unsigned> pend[] = {
      {exc::kUsageFault, 12}, {exc::kMemManage, 13}, {exc::kBusFault, 14}, {exc::kSvCall, 15}};
  for (auto [n, bit] : pend)
    if (pending_[n]) v |= 1u << bit;
  return v;
}

std::optional<std::uint32_t> Nvic::debug_peek(std::uint32_t offset) {
  if (offset >= SYST && offset < SYST + 0x10) return systick_.peek(offset - SYST);
  return read(offset);
}

std::uint32_t Nvic::read(std::uint32_t offset) {
  if (offset >= SYST && offset < SYST + 0x10) return systick_.read(offset - SYST);
  if (in_irq_array(offset, IABR + 0x80)) {
    const unsigned word = (offset & 0x7F) / 4;
    if (offset < ISPR) return irq_bits(enabled_, word);
    if (offset < IABR) return irq_bits(pending_, word);
    return irq_bits(active_, word);
  }
  if (offset >= IPR && offset < IPR + 0xF0) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < 4; ++b) {
      const unsigned irq = (offset - IPR) + b;
      if (irq < exc::kIrqCount) v |= std::uint32_t{priority_[exc::kIrq0 + irq]} << (8 * b);
    }
    return v;
  }
  if (offset >= SHPR1 && offset <= SHPR3) {
    std::uint32_t v = 0;
    for (unsigned b = 0; b < 4; ++b) {
      const int n = 4 + static_cast<int>(offset - SHPR1) + static_cast<int>(b);
      if (has_configurable_priority(n)) v |= std::uint32_t{priority_[n]} << (8 * b);
    }
    return v;
  }
  switch (offset) {
    case ICTR: return kIctr;
    case ACTLR: return actlr_;
    case CPUID: return kCpuid;
    case ICSR: return read_icsr();
    case VTOR: return vtor_;
    case AIRCR: return AIRCR_VECTKEYSTAT | prigroup_ << 8;
    case SCR: return scr_;
    case CCR: return ccr_;
    case SHCSR: return read_shcsr();
    // No fault is ever taken: the machine stops with a report instead, so
    // the fault status and address registers stay clear.
    case CFSR:
    case HFSR:
    case DFSR:
    case MMFAR:
    case BFAR:
    case AFSR: return 0;
    case CPACR: return cpacr_;
    case FPCCR: return fpccr_;
    case FPCAR: return fpcar_;
    case FPDSCR: return fpdscr_;
    case MVFR0: return kMvfr0;
    case MVFR1: return kMvfr1;
    case STIR: return 0;  // write-only
    default: report_unimplemented(offset, false); return 0;
  }
}

bool Nvic::idle_repeatable(std::uint32_t offset, bool) const { return offset < SYST || offset >= SYST + 0x10; }

void Nvic::write_icsr(std::uint32_t value) {
  if (value & ICSR_NMIPENDSET) set_pending(exc::kNmi);
  if (value & ICSR_PENDSVSET) set_pending(exc::kPendSv);
  if (value & ICSR_PENDSVCLR) clear_pending(exc::kPendSv);
  if (value & ICSR_PENDSTSET) set_pending(exc::kSysTick);
  if (value & ICSR_PENDSTCLR) clear_pending(exc::kSysTick);
}

void Nvic::write_aircr(std::uint32_t value, std::uint32_t mask) {
  // Without the key in the upper half-word the write is ignored.
  if ((mask & 0xFFFF0000u) != 0xFFFF0000u || (value >> 16) != AIRCR_VECTKEY) return;
  if (mask & 0x0700u) prigroup_ = (value >> 8) & 7;
  update();
  if (value & AIRCR_SYSRESETREQ)
    report("AIRCR.SYSRESETREQ: the firmware asked for a system reset, which the board does not perform");
  if (value & (AIRCR_VECTRESET | AIRCR_VECTCLRACTIVE))
    report("AIRCR: VECTRESET/VECTCLRACTIVE are for debuggers only (UNPREDICTABLE when software sets them)");
}

void Nvic::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (offset >= SYST && offset < SYST + 0x10) {
    const std::uint32_t o = offset - SYST;
    if (mask != ~0u && o != systick_reg::CALIB) {
      report("SysTick registers take word accesses only");
      return;
    }
    systick_.write(o, value);
    return;
  }
  if (in_irq_array(offset, IABR)) {
    const unsigned word = (offset & 0x7F) / 4;
    bool changed = false;
    for (std::uint32_t bits = value & mask; bits != 0; bits &= bits - 1) {
      const unsigned irq = word * 32 + static_cast<unsigned>(std::countr_zero(bits));
      if (irq >= exc::kIrqCount) break;
      const int n = exc::kIrq0 + static_cast<int>(irq);
      const bool was_enabled = enabled_[n], was_pending = pending_[n];
      if (offset < ICER) {
        enabled_[n] = true;
      } else if (offset < ISPR) {
        enabled_[n] = false;
      } else if (offset < ICPR) {
        mark_pending(n, true);
      } else {
        // The line is sampled again: a level still asserted pends at once.
        mark_pending(n, level_[irq] && !active_[n]);
      }
      changed |= enabled_[n] != was_enabled || pending_[n] != was_pending;
    }
    if (changed) update();
    return;
  }
  if (in_irq_array(offset, IABR + 0x80)) return;  // IABR is read-only
  if (offset >= IPR && offset < IPR + 0xF0) {
    for (unsigned b = 0; b < 4; ++b) {
      const unsigned irq = (offset - IPR) + b;
      if ((mask >> (8 * b) & 0xFF) && irq < exc::kIrqCount)
        set_priority(exc::kIrq0 + static_cast<int>(irq), static_cast<std::uint8_t>(value >> (8 * b)));
    }
    return;
  }
  if (offset >= SHPR1 && offset <= SHPR3) {
    for (unsigned b = 0; b < 4; ++b) {
      const int n = 4 + static_cast<int>(offset - SHPR1) + static_cast<int>(b);
      if (mask >> (8 * b) & 0xFF) set_priority(n, static_cast<std::uint8_t>(value >> (8 * b)));
    }
    return;
  }
  const std::uint32_t v = value & mask;
  switch (offset) {
    case ICTR:
    case CPUID:
    case MVFR0:
    case MVFR1: return;  // read-only
    case ACTLR:
      // Pipeline and write-buffer tuning: no effect on the emulated core.
      actlr_ = (actlr_ & ~mask) | (v & 0x307);
      return;
    case ICSR: write_icsr(v); return;
    case VTOR:
      vtor_ = (vtor_ & ~mask) | (v & kVtorMask);
      if (vtor_ & kVtorAlign) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(vtor_));
        report(std::string("VTOR ") + buf +
               " is not 512-byte aligned (bits 8:7 set): the 98-entry vector table of this chip needs that alignment");
      }
      return;
    case AIRCR: write_aircr(value, mask); return;
    case SCR:
      scr_ = (scr_ & ~mask) | (v & (SCR_SLEEPONEXIT | SCR_SLEEPDEEP | SCR_SEVONPEND));
      if (scr_ & (SCR_SLEEPONEXIT | SCR_SLEEPDEEP))
        report("SCR: sleep-on-exit and deep sleep are not modelled (WFI only waits for the next event)");
      return;
    case CCR: {
      const std::uint32_t next = (ccr_ & ~mask) | (v & kCcrWritable);
      if ((next ^ kCcrReset) & ~CCR_STKALIGN)
        report("CCR: only STKALIGN is modelled (unaligned and divide-by-zero traps, thread-mode re-entry and "
               "fault masking are not)");
      ccr_ = next;
      return;
    }
    case SHCSR:
      // The enable bits are stored; the active and pended bits follow the
      // exception state (writing them is for context switches, not modelled).
      shcsr_ena_ = (shcsr_ena_ & ~mask) | (v & SHCSR_ENA);
      update();
      return;
    case CFSR:
    case HFSR:
    case DFSR:
    case MMFAR:
    case BFAR:
    case AFSR: return;  // write-1-to-clear of bits that are never set
    case CPACR:
      cpacr_ = (cpacr_ & ~mask) | (v & kCpacrFpu);
      return;
    case STIR:
      if ((v & 0x1FF) < exc::kIrqCount) set_pending(exc::kIrq0 + static_cast<int>(v & 0x1FF));
      return;
    case FPCCR:
      fpccr_ = (fpccr_ & ~mask) | v;
      if (fpccr_ != kFpccrReset)
        report("FPCCR: the core always preserves the FP context automatically; other settings are not modelled");
      return;
    case FPCAR: fpcar_ = (fpcar_ & ~mask) | (v & ~7u); return;
    case FPDSCR:
      fpdscr_ = (fpdscr_ & ~mask) | (v & 0x07C00000);
      if (fpdscr_ != 0) report("FPDSCR: a non-zero default FP status is not modelled");
      return;
    default: report_unimplemented(offset, true); return;
  }
}

}  // namespace vb
