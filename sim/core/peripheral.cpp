#include "sim/core/peripheral.hpp"

#include <cstdio>
#include <stdexcept>

#include "sim/core/machine.hpp"

namespace vb {

void Peripheral::report(const std::string& what) const {
  if (!machine_) throw std::logic_error(name_ + ": " + what + " (model not attached to a machine)");
  machine_->fault(name_ + ": " + what);
}

void Peripheral::report_unimplemented(std::uint32_t offset, bool is_write) const {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s unimplemented register at offset 0x%03X (address 0x%08X)",
                is_write ? "write to" : "read of", static_cast<unsigned>(offset), static_cast<unsigned>(base_ + offset));
  report(buf);
}

}  // namespace vb
