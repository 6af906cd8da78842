#include "sim/periph/flash_if.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace flash_reg;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

struct FlashBench {
  Machine m;
  test::FixedClocks clocks;
  FlashInterface flash;
  FlashBench() {
    m.set_clock_control(&clocks);
    m.attach(flash);
  }
  void write(std::uint32_t off, std::uint32_t v) { flash.write(off, v, kAll); }
};

TEST(FlashInterface, ShouldEndFirmwareCacheSequenceWithCachesOnAndFourWaitStates) {
  FlashBench b;
  for (std::uint32_t v : {0x0u, 0x1800u, 0x0u, 0x700u}) b.write(ACR, v);
  b.write(ACR, b.flash.read(ACR) | 4);
  EXPECT_EQ(0x704u, b.flash.read(ACR));
  EXPECT_EQ(5u, b.flash.writes().size());
}

TEST(FlashInterface, ShouldIgnoreCacheResetWhileCacheIsEnabled) {
  FlashBench b;
  b.write(ACR, ACR_ICEN | ACR_DCEN);
  b.write(ACR, ACR_ICEN | ACR_DCEN | ACR_ICRST | ACR_DCRST);
  EXPECT_EQ(ACR_ICEN | ACR_DCEN, b.flash.read(ACR));
  b.write(ACR, ACR_ICRST);  // cache switched off by this write: still on while written
  EXPECT_EQ(0u, b.flash.read(ACR) & ACR_ICRST);
  b.write(ACR, ACR_ICRST);
  EXPECT_EQ(ACR_ICRST, b.flash.read(ACR) & ACR_ICRST);
}

// Too few wait states make fetches undefined on the chip: the run stops.
TEST(FlashInterface, ShouldStopRunWhenWaitStatesAreTooFewForCoreClock) {
  struct Case { std::uint32_t latency, hclk; bool fault; };
  const Case cases[] = {{0, 30'000'000, false}, {0, 30'000'001, true}, {4, 144'000'000, false},
                        {3, 144'000'000, true}, {5, 168'000'000, false}};
  for (const Case& c : cases) {
    FlashBench b;
    b.write(ACR, c.latency);
    b.clocks.t.hclk = c.hclk;
    b.flash.clocks_changed();
    EXPECT_EQ(c.fault, b.m.faulted()) << c.latency << " WS at " << c.hclk;
  }
}

TEST(FlashInterface, ShouldUnlockControlRegisterOnlyWithBothKeysInOrder) {
  FlashBench b;
  b.write(KEYR, kKey1);
  b.write(KEYR, kKey2);
  EXPECT_EQ(0u, b.flash.read(CR) & CR_LOCK);
  b.write(CR, CR_LOCK);
  EXPECT_EQ(CR_LOCK, b.flash.read(CR));

  FlashBench wrong;
  wrong.write(KEYR, kKey2);
  EXPECT_TRUE(wrong.m.faulted());
  EXPECT_EQ(CR_LOCK, wrong.flash.read(CR));
}

}  // namespace
}  // namespace vb
