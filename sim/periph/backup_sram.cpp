#include "sim/periph/backup_sram.hpp"

#include "sim/periph/reg_bank.hpp"

namespace vb {

BackupSram::BackupSram() : Peripheral("BKPSRAM", kBase, kSize, kGate) {
  // Power-up contents: a deterministic pseudo-random pattern.
  std::uint32_t x = 0x2545F491;
  for (std::uint32_t& w : words_) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    w = x;
  }
}

std::uint32_t BackupSram::read(std::uint32_t offset) { return words_[offset / 4]; }

void BackupSram::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (dbp_ && !dbp_()) {
    report("write of " + hex32(value & mask) + " at " + hex32(kBase + offset) +
           " without backup-domain write access (PWR CR DBP = 0); the chip ignores it");
    return;
  }
  std::uint32_t& w = words_[offset / 4];
  w = (w & ~mask) | (value & mask);
}

}  // namespace vb
