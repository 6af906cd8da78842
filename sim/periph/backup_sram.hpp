// The 4 KiB backup SRAM at 0x40024000. It sits behind the AHB1 clock gate
// BKPSRAMEN, and like the rest of the backup domain it is written only with
// backup-domain write access (PWR CR DBP): a read with the clock off, or a
// write without either, is reported. Its contents survive a system reset;
// at power-up they are whatever the cells held (a pseudo-random pattern
// from the board's seed here, so nothing can count on zeros).
#pragma once
#include <array>
#include <cstdint>
#include <functional>

#include "sim/core/peripheral.hpp"

namespace vb {

class BackupSram : public Peripheral {
public:
  static constexpr std::uint32_t kBase = 0x40024000;
  static constexpr std::uint32_t kSize = 4u << 10;
  static constexpr ClockGate kGate{ClockGate::kAHB1, 18};  // RCC AHB1ENR BKPSRAMEN

  BackupSram();
  // First power-up: the cells hold an arbitrary pattern drawn from `seed`.
  void power_on(std::uint64_t seed);

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  // A system reset keeps the contents.
  void reset() override {}
  bool idle_repeatable(std::uint32_t, bool) const override { return true; }

  // Backup-domain write access (PWR CR DBP). Without a source every write
  // is allowed, for tests of the model alone.
  void set_write_access(std::function<bool()> dbp) { dbp_ = std::move(dbp); }

private:
  std::array<std::uint32_t, kSize / 4> words_{};
  std::function<bool()> dbp_;
};

}  // namespace vb
