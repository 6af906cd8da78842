// The SysTick timer: counting, COUNTFLAG, reload, clock source and its
// interrupt, driven through its registers with the cycle clock moved by hand.
#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"
#include "tests/sim/core_bench.hpp"

namespace vb::test {
namespace {

constexpr std::uint32_t kCountFlag = 1u << 16;

class CoreSysTick : public ::testing::Test {
protected:
  Machine m;
  // Moves the clock to `t` cycles after the timer was started, running the
  // events on the way as the core would.
  void at(cycles_t t) {
    Scheduler& s = m.scheduler();
    const cycles_t target = start_ + t;
    while (s.next_due() <= target) {
      if (s.next_due() > s.now()) s.set_now(s.next_due());
      s.run_due();
    }
    s.set_now(target);
  }
  void start(std::uint32_t load, std::uint32_t ctrl) {
    m.write32(kSysTickLoad, load);
    m.write32(kSysTickVal, 0);
    start_ = m.now();
    m.write32(kSysTickCtrl, ctrl);
  }
  bool countflag() { return m.read32(kSysTickCtrl) & kCountFlag; }
  cycles_t start_ = 0;
};

struct CountCase {
  cycles_t after;       // cycles since enabling with VAL = 0
  std::uint32_t val;    // VAL then
};

class SysTickCounting : public CoreSysTick, public ::testing::WithParamInterface<CountCase> {};

TEST_P(SysTickCounting, ShouldLoadOnFirstTickThenCountDownAndReload) {
  start(99, 5);  // LOAD 99, processor clock, no interrupt
  at(GetParam().after);
  EXPECT_EQ(GetParam().val, m.read32(kSysTickVal)) << "after " << GetParam().after << " cycles";
}

INSTANTIATE_TEST_SUITE_P(Core, SysTickCounting,
                         ::testing::Values(CountCase{0, 0}, CountCase{1, 99}, CountCase{50, 50}, CountCase{99, 1},
                                           CountCase{100, 0}, CountCase{101, 99}, CountCase{200, 0},
                                           CountCase{1001, 99}));

TEST_F(CoreSysTick, ShouldSetCountflagAtZeroAndClearItOnRead) {
  start(99, 5);
  at(99);
  EXPECT_FALSE(countflag());
  at(100);
  EXPECT_TRUE(countflag());
  EXPECT_FALSE(countflag()) << "reading CTRL clears COUNTFLAG";
}

TEST_F(CoreSysTick, ShouldClearValueAndCountflagOnAnyValWrite) {
  start(99, 5);
  at(130);
  m.write32(kSysTickVal, 12345);
  EXPECT_EQ(0u, m.read32(kSysTickVal));
  EXPECT_FALSE(countflag());
  at(131);
  EXPECT_EQ(99u, m.read32(kSysTickVal)) << "reloads on the next tick";
}

TEST_F(CoreSysTick, ShouldCountTheExternalReferenceAtAnEighthOfTheCoreClock) {
  start(9, 1);  // CLKSOURCE = 0: HCLK / 8
  at(8);
  EXPECT_EQ(9u, m.read32(kSysTickVal));
  at(8 * 10);
  EXPECT_TRUE(countflag());
}

TEST_F(CoreSysTick, ShouldPendItsExceptionAtEachWrapOnlyWithTickint) {
  start(99, 5);
  at(150);
  EXPECT_FALSE(m.nvic().pending(exc::kSysTick));
  m.write32(kSysTickCtrl, 7);
  at(200);
  EXPECT_TRUE(m.nvic().pending(exc::kSysTick));
}

TEST_F(CoreSysTick, ShouldTakeANewLoadAtTheNextReload) {
  start(99, 5);
  at(50);
  m.write32(kSysTickLoad, 9);
  at(99);
  EXPECT_EQ(1u, m.read32(kSysTickVal)) << "the running count is not cut short";
  at(101);
  EXPECT_EQ(9u, m.read32(kSysTickVal));
}

TEST_F(CoreSysTick, ShouldHoldItsValueWhileDisabled) {
  start(99, 5);
  at(30);
  m.write32(kSysTickCtrl, 4);
  at(500);
  EXPECT_EQ(70u, m.read32(kSysTickVal));
  m.write32(kSysTickCtrl, 5);
  at(510);
  EXPECT_EQ(60u, m.read32(kSysTickVal));
}

// A debugger reading CTRL sees COUNTFLAG without clearing it; the core's
// next read still finds it set (and clears it).
TEST_F(CoreSysTick, ShouldKeepCountFlagWhenDebuggerReadsCtrl) {
  start(99, 5);  // processor clock: wraps every 100 cycles
  at(150);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(kCountFlag, *m.peek(kSysTickCtrl, 4) & kCountFlag) << "debugger read " << i;
  EXPECT_TRUE(countflag());
  EXPECT_FALSE(countflag());
}

}  // namespace
}  // namespace vb::test
