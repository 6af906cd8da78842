#include "sim/periph/dbgmcu.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace dbgmcu_reg;

TEST(Dbgmcu, ShouldKeepDebugInLowPowerModesAndRejectIdentityWrite) {
  Machine m;
  Dbgmcu d;
  m.attach(d);
  EXPECT_EQ(0x413u, d.read(IDCODE) & 0xFFF);  // F40x device identity
  d.write(CR, d.read(CR) | 0x3, 0xFFFFFFFF);
  EXPECT_EQ(0x3u, d.read(CR));
  EXPECT_FALSE(m.faulted());
  d.write(IDCODE, 0, 0xFFFFFFFF);
  EXPECT_TRUE(m.faulted());
  EXPECT_EQ(0x10076413u, d.read(IDCODE));  // REV_ID 0x1007: revision 2 in the manual's table
}

}  // namespace
}  // namespace vb
