#include "sim/periph/backup_sram.hpp"

#include "sim/core/unknown_values.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

BackupSram::BackupSram() : Peripheral("BKPSRAM", kBase, kSize, kGate) { power_on(kDefaultSeed); }

void BackupSram::power_on(std::uint64_t seed) {
  // Its own stream, so the backup SRAM does not repeat the main RAMs' pattern.
  UnknownValues source(seed ^ 0xB5C0FFEEull);
  source.fill(reinterpret_cast<std::uint8_t*>(words_.data()), sizeof words_);
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
