// The backup SRAM behind its clock gate and the backup-domain write access.
#include "sim/periph/backup_sram.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "sim/periph/pwr.hpp"
#include "sim/periph/rcc.hpp"

namespace vb {
namespace {

constexpr std::uint32_t kAddr = 0x40024010;
constexpr std::uint32_t kBkpSramEn = 1u << 18;  // RCC AHB1ENR
constexpr std::uint32_t kPwrEn = 1u << 28;      // RCC APB1ENR
constexpr std::uint32_t kDbp = 1u << 8;         // PWR CR

TEST(BackupSram, ShouldNeedItsClockToBeReachedAndBackupAccessToBeWritten) {
  struct Case { const char* what; bool clock, dbp, write, reported; };
  const Case cases[] = {
      {"read with the clock on", true, false, false, false},
      {"read with the clock off", false, true, false, true},
      {"write with clock and backup access", true, true, true, false},
      {"write without backup access", true, false, true, true},
      {"write with the clock off", false, true, true, true},
  };
  for (const Case& c : cases) {
    Machine m;
    Rcc rcc(true);
    Pwr pwr;
    BackupSram ram;
    m.set_clock_control(&rcc);
    for (Peripheral* p : std::initializer_list<Peripheral*>{&rcc, &pwr, &ram}) m.attach(*p);
    ram.set_write_access([&] { return pwr.dbp(); });
    rcc.write(rcc_reg::APB1ENR, kPwrEn, ~0u);
    if (c.dbp) pwr.write(pwr_reg::CR, pwr.read(pwr_reg::CR) | kDbp, ~0u);
    if (c.clock) rcc.write(rcc_reg::AHB1ENR, rcc.read(rcc_reg::AHB1ENR) | kBkpSramEn, ~0u);

    std::uint32_t v = 0x12345678;
    ASSERT_TRUE(c.write ? m.bus_write(kAddr, &v, 4) : m.bus_read(kAddr, &v, 4)) << c.what;
    EXPECT_EQ(c.reported, m.faulted()) << c.what << ": " << m.fault_report();
    if (c.write && !c.reported) {
      EXPECT_EQ(0x12345678u, m.read32(kAddr)) << c.what;
    }
  }
}

TEST(BackupSram, ShouldKeepContentsAcrossSystemReset) {
  Machine m;
  BackupSram ram;
  m.attach(ram);
  m.write32(kAddr, 0xCAFEF00D);
  m.reset();
  EXPECT_EQ(0xCAFEF00Du, m.read32(kAddr));
}

}  // namespace
}  // namespace vb
