#include "sim/periph/pwr.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace pwr_reg;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

TEST(Pwr, ShouldGrantBackupAccessAndClearFlagsOnFirmwareWrite) {
  Machine m;
  Pwr pwr;
  m.attach(pwr);
  EXPECT_FALSE(pwr.dbp());
  pwr.set_flags(true, true);
  pwr.write(CR, 0x410C, kAll);
  EXPECT_TRUE(pwr.dbp());
  EXPECT_EQ(0x4100u, pwr.read(CR));  // CWUF, CSBF read back 0
  EXPECT_EQ(0u, pwr.read(CSR) & (CSR_WUF | CSR_SBF));
}

TEST(Pwr, ShouldStopRunWhenCoreClockExceedsRegulatorScale) {
  struct Case { const char* what; std::uint32_t cr; std::uint32_t hclk; bool fault; };
  const Case cases[] = {
      {"scale 1 at 168 MHz", 0x4000, 168'000'000, false},
      {"scale 2 at 144 MHz", 0x0000, 144'000'000, false},
      {"scale 2 at 168 MHz", 0x0000, 168'000'000, true},
  };
  for (const Case& c : cases) {
    Machine m;
    test::FixedClocks clocks;
    m.set_clock_control(&clocks);
    Pwr pwr;
    m.attach(pwr);
    pwr.write(CR, c.cr, kAll);
    clocks.t.hclk = c.hclk;
    pwr.clocks_changed();
    EXPECT_EQ(c.fault, m.faulted()) << c.what;
  }
}

}  // namespace
}  // namespace vb
