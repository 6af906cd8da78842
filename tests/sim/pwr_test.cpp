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

}  // namespace
}  // namespace vb
