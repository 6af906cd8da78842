#include "sim/periph/reg_bank.hpp"

#include "sim/core/machine.hpp"

namespace vb {

const RegDef* RegModel::accept_write(std::span<const RegDef> map, std::uint32_t offset, std::uint32_t value,
                                     std::uint32_t mask, unsigned min_bytes, bool log) {
  if (log) log_write(offset, value, mask);
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

void RegModel::log_write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (writes_.size() >= kWriteLogKeep) {
    writes_.pop_front();
    ++dropped_writes_;
  }
  writes_.push_back({offset, value, mask, machine().now()});
}

}  // namespace vb
