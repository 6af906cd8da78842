#include "sim/periph/dbgmcu.hpp"

#include "sim/core/machine.hpp"

namespace vb {

Dbgmcu::Dbgmcu() : RegModel("DBGMCU", kBase, 0x400), regs_(dbgmcu_reg::kMap) {}

std::uint32_t Dbgmcu::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  return regs_[offset];
}

void Dbgmcu::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  const RegDef* r = accept_write(regs_.map(), offset, value, mask, 4);
  if (!r) return;
  if (read_only(*r)) {
    report("write to read-only " + std::string(r->name));
    return;
  }
  // TRACE_IOEN would hand PE2-PE6 to the trace port; no trace port is modelled.
  regs_.store(offset, value, mask);
}

}  // namespace vb
