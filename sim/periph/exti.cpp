#include "sim/periph/exti.hpp"

#include <stdexcept>
#include <string>

#include "sim/core/machine.hpp"

namespace vb {

using namespace exti_reg;

namespace {
// Lines 0-22 to their NVIC interrupts.
constexpr int kLineIrq[Exti::kLineCount] = {
    6, 7, 8, 9, 10,              // EXTI0 .. EXTI4
    23, 23, 23, 23, 23,          // EXTI9_5
    40, 40, 40, 40, 40, 40,      // EXTI15_10
    1,                           // PVD
    41,                          // RTC_Alarm
    42,                          // OTG_FS_WKUP
    62,                          // ETH_WKUP
    76,                          // OTG_HS_WKUP
    2,                           // TAMP_STAMP
    3,                           // RTC_WKUP
};
}  // namespace

Exti::Exti() : RegModel("EXTI", kBase, 0x400), regs_(kMap) {}

int Exti::irq_of_line(int n) {
  if (n < 0 || n >= kLineCount) throw std::out_of_range("EXTI has no line " + std::to_string(n));
  return kLineIrq[n];
}

std::uint32_t Exti::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  return regs_[offset];
}

void Exti::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 4)) return;
  if (offset == SWIER) {
    write_swier(value, mask);
  } else if (offset == PR) {
    // Clearing a pending bit also clears the line's software trigger.
    const std::uint32_t cleared = value & mask & kLines;
    regs_.store(PR, value, mask);
    regs_[SWIER] &= ~cleared;
  } else {
    regs_.store(offset, value, mask);
  }
  update_irq();
}

void Exti::reset() {
  regs_.reset();
  // The inputs are outside the block: their levels stay.
  update_irq();
}

// A 0 -> 1 write of a SWIER bit triggers the line (interrupt only if IMR
// lets it through; event if EMR does).
void Exti::write_swier(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[SWIER];
  const std::uint32_t v = regs_.store(SWIER, value, mask);
  const std::uint32_t rising = v & ~old;
  regs_[PR] |= rising & regs_[IMR];
  if (rising & regs_[EMR]) ++events_;
}

void Exti::set_line(int n, bool level) {
  irq_of_line(n);  // range check
  const std::uint32_t bit = 1u << n;
  const bool old = inputs_ & bit;
  if (old == level) return;
  inputs_ = level ? inputs_ | bit : inputs_ & ~bit;
  if ((level ? regs_[RTSR] : regs_[FTSR]) & bit) trigger(bit);
  update_irq();
}

// A selected edge on a hardware line: the pending bit is set if the line's
// interrupt is unmasked, an event is sent if its event is unmasked.
void Exti::trigger(std::uint32_t lines) {
  regs_[PR] |= lines & regs_[IMR];
  if (lines & regs_[EMR]) ++events_;
}

// Each NVIC line is high while any of its EXTI lines is pending.
void Exti::update_irq() {
  std::array<bool, 82> level{};
  const std::uint32_t pending = regs_[PR];
  for (int n = 0; n < kLineCount; ++n)
    if (pending >> n & 1) level[kLineIrq[n]] = true;
  for (int n = 0; n < kLineCount; ++n) {
    const int irq = kLineIrq[n];
    if (level[irq] == irq_level_[irq]) continue;
    irq_level_[irq] = level[irq];
    machine().set_irq(irq, level[irq]);
  }
}

}  // namespace vb
