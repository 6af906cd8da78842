// A timer whose interrupt flag stays set (the firmware enabled the interrupt
// but never takes it, as it does with TIM1) goes on counting without an
// event per update; whatever the firmware reads and whatever the interrupt
// line does is the same as with an event at every update.
#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"
#include "sim/periph/timer.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace tim_reg;
using test::run_for;
using test::run_to;

constexpr std::uint32_t kAll = 0xFFFFFFFF;
constexpr int kUpIrq = 25;
constexpr cycles_t kPeriod = 1000;  // ARR 999 at a 144 MHz timer clock

struct Bench {
  Machine m;
  test::FixedClocks clocks;
  Timer tim{"TIM1", 0x40010000, {ClockGate::kAPB2, 0}, kUpIrq, true};
  Bench() {
    clocks.t.hclk = clocks.t.sysclk = 144'000'000;
    clocks.t.tim_apb2 = 144'000'000;
    clocks.t.tim_apb1 = 72'000'000;
    m.set_clock_control(&clocks);
    m.attach(tim);
  }
};

TEST(TimerFlag, ShouldSetTheFlagAgainAtTheFirstUpdateAfterTheFirmwareClearsIt) {
  struct Case { const char* what; std::uint32_t dier; std::uint32_t flag; cycles_t clear_at; };
  const Case cases[] = {
      {"update interrupt, cleared mid-period", DIER_UIE, SR_UIF, 500'123},
      {"update interrupt, cleared one cycle before an update", DIER_UIE, SR_UIF, 700'999},
      {"compare interrupt on channel 1, cleared mid-period", SR_CCIF(0), SR_CCIF(0), 333'777},
  };
  for (const Case& c : cases) {
    Bench b;
    b.tim.write(ARR, kPeriod - 1, kAll);
    b.tim.write(CCR1, 250, kAll);
    b.tim.write(CCMR1, 6u << 4, kAll);  // channel 1 as a PWM output: compares count
    b.tim.write(DIER, c.dier, kAll);
    const int irq = kUpIrq + (c.flag == SR_UIF ? 0 : 2);
    const cycles_t t0 = b.m.now();
    b.tim.write(CR1, CR1_CEN, kAll);
    // The first rise of the line, cycle by cycle, without touching the timer.
    while (!b.m.nvic().irq_level(irq) && b.m.now() < t0 + 2 * kPeriod) run_for(b.m, 1);
    ASSERT_TRUE(b.m.nvic().irq_level(irq)) << c.what;
    const cycles_t first = b.m.now();
    const std::uint64_t events = b.m.scheduler().dispatched();

    run_to(b.m, c.clear_at);
    EXPECT_EQ(events, b.m.scheduler().dispatched()) << c.what << ": no event while the flag stays set";
    EXPECT_EQ((c.clear_at - t0) % kPeriod, b.tim.read(CNT)) << c.what;
    b.tim.write(SR, ~c.flag & 0xFF, kAll);
    ASSERT_FALSE(b.m.nvic().irq_level(irq)) << c.what;

    // The line rises again at the next update (or match), to the cycle.
    const cycles_t next = first + ((c.clear_at - first) / kPeriod + 1) * kPeriod;
    run_to(b.m, next - 1);
    EXPECT_FALSE(b.m.nvic().irq_level(irq)) << c.what << ": not before " << next;
    run_to(b.m, next);
    EXPECT_TRUE(b.m.nvic().irq_level(irq)) << c.what << ": at " << next;
    EXPECT_EQ(c.flag, b.tim.read(SR) & c.flag) << c.what;
  }
}

}  // namespace
}  // namespace vb
