#include "sim/periph/reg_bank.hpp"

#include "sim/core/machine.hpp"

namespace vb {

const RegDef* RegModel::accept_write(std::span<const RegDef> map, std::uint32_t offset, std::uint32_t value,
                                     std::uint32_t mask, unsigned min_bytes, bool log) {
  if (log) writes_.push_back({offset, value, mask, machine().now()});
  const RegDef* r = find_reg(map, offset);
  if (!r) {
    report_unimplemented(offset, true);
    return nullptr;
  }
  if (!width_ok(mask, min_bytes)) {
    report(width_error(r->name, mask, min_bytes));
    return nullptr;
  }
  return r;
}

}  // namespace vb
