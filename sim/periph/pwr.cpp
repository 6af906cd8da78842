#include "sim/periph/pwr.hpp"

#include "sim/core/machine.hpp"

namespace vb {

using namespace pwr_reg;

Pwr::Pwr() : RegModel("PWR", kBase, 0x400, ClockGate{ClockGate::kAPB1, 28}), regs_(kMap) {}

std::uint32_t Pwr::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  return regs_[offset];
}

void Pwr::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 2)) return;
  regs_.store(offset, value, mask);
  if (offset == CR) {
    // CWUF / CSBF clear their CSR flags and read back as 0.
    const std::uint32_t w = value & mask;
    if (w & CR_CWUF) regs_[CSR] &= ~CSR_WUF;
    if (w & CR_CSBF) regs_[CSR] &= ~CSR_SBF;
    update_scale_check();
  } else {
    update_backup_regulator();
  }
}

void Pwr::reset() { regs_.reset(); }

// At scale 2 the regulator supports HCLK up to 144 MHz; above that the
// chip's behaviour is undefined: the run stops.
void Pwr::update_scale_check() {
  const std::uint32_t hclk = machine().clocks().hclk;
  if (!(regs_[CR] & CR_VOS) && hclk > kMaxHclkScale2)
    report("HCLK " + std::to_string(hclk) + " Hz with the regulator at scale 2 (CR VOS = 0), which allows at most " +
           std::to_string(kMaxHclkScale2) + " Hz");
}

void Pwr::set_flags(bool wakeup, bool standby) {
  std::uint32_t& csr = regs_[CSR];
  csr = (csr & ~(CSR_WUF | CSR_SBF)) | (wakeup ? CSR_WUF : 0) | (standby ? CSR_SBF : 0);
}

// BRR follows BRE at once (the real regulator needs a few microseconds);
// the backup SRAM needs no regulator while the board is powered.
void Pwr::update_backup_regulator() {
  std::uint32_t& csr = regs_[CSR];
  csr = (csr & ~CSR_BRR) | ((csr & CSR_BRE) ? CSR_BRR : 0);
}

}  // namespace vb
