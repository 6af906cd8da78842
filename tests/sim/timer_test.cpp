#include "sim/periph/timer.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace tim_reg;
using test::run_for;
using test::run_to;

constexpr std::uint32_t kAll = 0xFFFFFFFF;
constexpr int kUpIrq = 25, kCcIrq = 27;

// A timer on the firmware's clocks: 144 MHz core, 144 MHz APB2 timer clock,
// 72 MHz APB1 timer clock. TIM1 unless told otherwise.
struct TimerBench {
  Machine m;
  test::FixedClocks clocks;
  Timer tim;
  explicit TimerBench(std::uint32_t base = 0x40010000, int irq = kUpIrq)
      : tim("TIM", base, {ClockGate::kAPB2, 0}, irq, base == 0x40010000) {
    clocks.t.hclk = clocks.t.sysclk = 144'000'000;
    clocks.t.tim_apb2 = 144'000'000;
    clocks.t.tim_apb1 = 72'000'000;
    m.set_clock_control(&clocks);
    m.attach(tim);
  }
  void write(std::uint32_t off, std::uint32_t v) { tim.write(off, v, kAll); }
  std::uint32_t read(std::uint32_t off) { return tim.read(off); }
  // Sets the auto-reload and starts counting with `cr1`.
  void start(std::uint32_t arr, std::uint32_t cr1 = CR1_CEN) {
    write(ARR, arr);
    write(CR1, cr1);
  }
};

TEST(Timer, ShouldTakeRegisterSetOfItsKindByAddress) {
  struct Case { std::uint32_t base; bool advanced; TimerKind kind; };
  const Case cases[] = {{0x40010400, true, TimerKind::kAdvanced},  // TIM8
                        {0x40000800, false, TimerKind::kGeneral},  // TIM4
                        {0x40001000, false, TimerKind::kBasic},    // TIM6
                        {0x40014400, false, TimerKind::kOneChannel}};  // TIM10
  for (const Case& c : cases) {
    Timer t("TIM", c.base, {}, -1, c.advanced);
    EXPECT_EQ(c.kind, t.kind()) << std::hex << c.base;
    EXPECT_EQ(timer_map(c.kind).data(), t.reg_map().data()) << std::hex << c.base;
  }
}

TEST(Timer, ShouldUpdate8000TimesPerSecondWithFirmwareSettings) {
  TimerBench b;
  b.write(ARR, 17999);
  b.write(CR2, 0x20);
  b.write(DIER, DIER_UIE);
  b.write(SR, 0);
  b.write(CR1, 1);
  std::vector<cycles_t> times;
  b.tim.on_update([&] { if (times.size() < 2) times.push_back(b.m.now()); });
  run_for(b.m, 144'000'000);
  EXPECT_EQ(8000u, b.tim.update_events());
  EXPECT_EQ((std::vector<cycles_t>{18000, 36000}), times);
  EXPECT_EQ(SR_UIF, b.read(SR) & SR_UIF);
  EXPECT_TRUE(b.tim.irq_level(kUpIrq));
}

// TIM1's update and TIM10 share IRQ 25: one timer clearing its flag leaves
// the other's request on the line.
TEST(Timer, ShouldKeepSharedLineHighWhileTheOtherTimerRequests) {
  struct Case { const char* what; bool clear_tim1, clear_tim10; bool line; };
  const Case cases[] = {{"TIM1 cleared, TIM10 still requests", true, false, true},
                        {"TIM10 cleared, TIM1 still requests", false, true, true},
                        {"both cleared", true, true, false}};
  for (const Case& c : cases) {
    TimerBench b;  // TIM1
    Timer tim10("TIM10", 0x40014400, {ClockGate::kAPB2, 17}, kUpIrq, false);
    b.m.attach(tim10);
    for (Timer* t : {&b.tim, &tim10}) {
      t->write(DIER, DIER_UIE, kAll);
      t->write(ARR, 99, kAll);
      t->write(CR1, CR1_CEN, kAll);
    }
    run_for(b.m, 1000);
    ASSERT_TRUE(b.m.nvic().irq_level(kUpIrq)) << c.what;
    if (c.clear_tim1) b.write(SR, 0);
    if (c.clear_tim10) tim10.write(SR, 0, kAll);
    EXPECT_EQ(c.line, b.m.nvic().irq_level(kUpIrq)) << c.what;
  }
}

TEST(Timer, ShouldCountAtTimerClockDividedByPrescaler) {
  struct Case { const char* what; std::uint32_t base; std::uint32_t psc, arr; cycles_t cycles; std::uint32_t cnt; };
  const Case cases[] = {
      {"APB2 timer, no prescaler", 0x40010000, 0, 0xFFFF, 1000, 1000},
      {"APB1 timer counts at half the core clock", 0x40000800, 0, 0xFFFF, 1000, 500},
      {"prescaler 9", 0x40010000, 8, 0xFFFF, 9005, 1000},
      {"wraps after ARR", 0x40010000, 0, 99, 250, 50},
  };
  for (const Case& c : cases) {
    TimerBench b(c.base, -1);
    b.write(PSC, c.psc);
    b.write(ARR, c.arr);
    b.write(EGR, 1);  // load the prescaler
    b.write(CR1, CR1_CEN);
    run_for(b.m, c.cycles);
    EXPECT_EQ(c.cnt, b.read(CNT)) << c.what;
  }
}

TEST(Timer, ShouldTakeNewPrescalerOnlyAtUpdateEvent) {
  TimerBench b;
  b.start(999);
  run_for(b.m, 500);
  b.write(PSC, 1);  // counts at half speed from the next period on
  run_for(b.m, 500);
  EXPECT_EQ(0u, b.read(CNT));
  run_for(b.m, 1000);
  EXPECT_EQ(500u, b.read(CNT));
  EXPECT_EQ(1u, b.tim.update_events());
}

TEST(Timer, ShouldBufferAutoReloadOnlyWithPreloadEnabled) {
  struct Case { std::uint32_t cr1; cycles_t first_update; };
  for (const Case& c : {Case{CR1_CEN, 500}, Case{CR1_CEN | CR1_ARPE, 1000}}) {
    TimerBench b;
    b.start(999, c.cr1);
    run_for(b.m, 100);
    b.write(ARR, 499);
    run_to(b.m, c.first_update - 1);
    EXPECT_EQ(0u, b.tim.update_events()) << std::hex << c.cr1;
    run_to(b.m, c.first_update);
    EXPECT_EQ(1u, b.tim.update_events()) << std::hex << c.cr1;
  }
}

TEST(Timer, ShouldClearStatusFlagsOnlyWhereZeroIsWritten) {
  TimerBench b;
  b.write(EGR, 0x03);  // UG, CC1G
  ASSERT_EQ(SR_UIF | SR_CCIF(0), b.read(SR));
  b.write(SR, ~SR_UIF);
  EXPECT_EQ(SR_CCIF(0), b.read(SR));
}

TEST(Timer, ShouldRestartCounterOnUgAndFlagItUnlessUrsIsSet) {
  for (bool urs : {false, true}) {
    TimerBench b;
    b.write(CR1, CR1_CEN | (urs ? CR1_URS : 0));
    run_for(b.m, 300);
    b.write(EGR, 1);
    EXPECT_EQ(0u, b.read(CNT));
    EXPECT_EQ(urs ? 0u : SR_UIF, b.read(SR) & SR_UIF) << "URS " << urs;
  }
}

TEST(Timer, ShouldRaiseUpdateInterruptOnlyWhenEnabled) {
  for (bool enabled : {false, true}) {
    TimerBench b;
    b.write(DIER, enabled ? DIER_UIE : 0);
    b.start(99);
    run_for(b.m, 100);
    EXPECT_EQ(SR_UIF, b.read(SR) & SR_UIF);
    EXPECT_EQ(enabled, b.tim.irq_level(kUpIrq));
    b.write(SR, 0);
    EXPECT_FALSE(b.tim.irq_level(kUpIrq));
  }
}

TEST(Timer, ShouldFlagCompareMatchOnCaptureCompareLine) {
  TimerBench b;
  b.write(CCR1, 100);
  b.write(DIER, 1u << 1);  // CC1IE
  b.write(CR1, CR1_CEN);
  run_to(b.m, 99);
  EXPECT_FALSE(b.tim.irq_level(kCcIrq));
  run_to(b.m, 100);
  EXPECT_TRUE(b.tim.irq_level(kCcIrq));
  EXPECT_FALSE(b.tim.irq_level(kUpIrq));
}

// Time already counted stays at the old rate; a gated clock counts nothing.
TEST(Timer, ShouldCountAtTheRateOfEachStretchOfTime) {
  TimerBench b;
  b.write(CR1, CR1_CEN);
  run_for(b.m, 1000);
  b.clocks.t.tim_apb2 = 72'000'000;  // APB2 prescaler changed
  b.tim.clocks_changed();
  run_for(b.m, 1000);
  EXPECT_EQ(1500u, b.read(CNT));
  b.clocks.gates_on = false;
  b.tim.clocks_changed();
  run_for(b.m, 1000);
  b.clocks.gates_on = true;
  b.tim.clocks_changed();
  EXPECT_EQ(1500u, b.read(CNT));
}

TEST(Timer, ShouldStopAtFirstUpdateInOnePulseMode) {
  TimerBench b;
  b.start(99, CR1_CEN | CR1_OPM);
  run_for(b.m, 1000);
  EXPECT_EQ(1u, b.tim.update_events());
  EXPECT_EQ(0u, b.read(CR1) & CR1_CEN);
  EXPECT_EQ(0u, b.read(CNT));
}

TEST(Timer, ShouldUpdateOnceEveryRepetitionCountPlusOneOverflows) {
  TimerBench b;
  b.write(ARR, 9);
  b.write(RCR, 2);
  b.write(EGR, 1);  // load RCR
  b.write(CR1, CR1_CEN);
  run_for(b.m, 89);
  EXPECT_EQ(3u, b.tim.update_events());  // UG, then overflows 3 and 6 (9 not yet)
  run_for(b.m, 1);
  EXPECT_EQ(4u, b.tim.update_events());
}

TEST(Timer, ShouldCatchUpManyPeriodsInOneRead) {
  TimerBench b;
  b.start(11);  // 12 MHz, nobody waiting for its events
  run_for(b.m, 144'000'000 + 5);
  EXPECT_EQ(5u, b.read(CNT));
  EXPECT_EQ(12'000'000u, b.tim.update_events());
}

TEST(Timer, ShouldReportUnmodelledCountingModes) {
  TimerBench b;
  b.write(CR1, CR1_CEN | CR1_DIR);
  EXPECT_TRUE(b.m.faulted());
}

// Edge-aligned up-counting, as the reference manual describes the output
// modes: PWM mode 1 is active while CNT < CCRx, mode 2 while CNT >= CCRx;
// CCRx above ARR keeps mode 1 active all period, CCRx = 0 keeps it inactive;
// CCxP inverts the pin; forced modes hold a level. TIM4 here: 72 MHz APB1
// timer clock, PSC 35, so the counter runs at 2 MHz.
TEST(Timer, ShouldPutOutTheWaveOrLevelOfEachOutputMode) {
  struct Case { const char* what; std::uint32_t ccmr1, ccer, arr, ccr1; bool run; ChannelOutput out; };
  const Case cases[] = {
      {"PWM 1, a quarter", 0x60, 0x1, 399, 100, true, {true, 5000.0, 0.25}},
      {"PWM 2, a quarter", 0x70, 0x1, 399, 100, true, {true, 5000.0, 0.75}},
      {"PWM 1, active low", 0x60, 0x3, 399, 100, true, {true, 5000.0, 0.75}},
      {"PWM 1, CCR above ARR", 0x60, 0x1, 399, 400, true, {true, 0, 1}},
      {"PWM 1, CCR 0", 0x60, 0x1, 399, 0, true, {true, 0, 0}},
      {"PWM 2, CCR 0", 0x70, 0x1, 399, 0, true, {true, 0, 1}},
      {"PWM 1, stopped at 0 below CCR", 0x60, 0x1, 399, 100, false, {true, 0, 1}},
      {"forced active", 0x50, 0x1, 399, 100, true, {true, 0, 1}},
      {"forced inactive", 0x40, 0x1, 399, 100, true, {true, 0, 0}},
      {"toggle", 0x30, 0x1, 399, 100, true, {true, 2500.0, 0.5}},
      {"output disabled", 0x60, 0x0, 399, 100, true, {false, 0, 0}},
  };
  for (const Case& c : cases) {
    TimerBench b(0x40000800, -1);
    b.m.reset();
    b.write(PSC, 35);
    b.write(EGR, 1);  // the prescaler takes effect at the update
    b.write(CCMR1, c.ccmr1);
    b.write(CCER, c.ccer);
    b.write(CCR1, c.ccr1);
    b.write(ARR, c.arr);
    if (c.run) b.write(CR1, CR1_CEN);
    EXPECT_EQ(c.out, b.tim.output(0)) << c.what << ": hz " << b.tim.output(0).hz << " duty " << b.tim.output(0).duty;
    EXPECT_FALSE(b.m.faulted()) << c.what;
  }
}

TEST(Timer, ShouldDriveAdvancedOutputsOnlyWithTheMainOutputEnabled) {
  for (const bool moe : {false, true}) {
    TimerBench b;  // TIM1
    b.m.reset();
    b.write(CCMR1, 0x60);
    b.write(CCER, 0x1);
    b.write(CCR1, 9000);
    b.write(BDTR, moe ? BDTR_MOE : 0);
    b.start(17999);
    const ChannelOutput want = moe ? ChannelOutput{true, 8000.0, 0.5} : ChannelOutput{};
    EXPECT_EQ(want, b.tim.output(0)) << "MOE " << moe;
  }
}

// The beeper's change from 1000 Hz to 4000 Hz (TIM10 at 9 MHz) with the
// counter at 8000, above the new period: without preload the counter runs
// on to 0xFFFF first and the pin holds a level until it wraps; with
// preload and UG the new wave starts at once.
TEST(Timer, ShouldHoldTheOutputWhileTheCounterRunsOnAboveALoweredArr) {
  struct Case { const char* what; std::uint32_t cr1; bool ug; cycles_t silent; };
  constexpr cycles_t kWrap = (0x10000 - 8000) * 16;  // counts left to 0xFFFF, 16 core cycles each
  const Case cases[] = {
      {"no preload", CR1_CEN, false, kWrap},
      {"preload, update event", CR1_CEN | CR1_ARPE, true, 0},
  };
  for (const Case& c : cases) {
    TimerBench b(0x40014400, -1);
    b.m.reset();
    std::vector<std::pair<cycles_t, double>> heard;
    b.tim.on_output_change([&] {
      const double hz = b.tim.output(0).hz;
      if (heard.empty() || heard.back().second != hz) heard.push_back({b.m.now(), hz});
    });
    b.write(PSC, 15);
    b.write(EGR, 1);
    b.write(CCMR1, 0x60);
    b.write(CCER, 0x1);
    b.write(ARR, 8999);
    b.write(CCR1, 4500);
    b.write(CR1, c.cr1);
    run_for(b.m, 8000 * 16);
    ASSERT_EQ(8000u, b.read(CNT)) << c.what;
    const cycles_t changed = b.m.now();
    b.write(ARR, 2249);
    b.write(CCR1, 1125);
    if (c.ug) b.write(EGR, 1);
    run_for(b.m, kWrap + 16 * 3000);
    ASSERT_FALSE(heard.empty()) << c.what;
    EXPECT_EQ(4000.0, heard.back().second) << c.what;
    EXPECT_EQ(changed + c.silent, heard.back().first) << c.what << ": the new wave starts";
    if (c.silent != 0) {
      ASSERT_GE(heard.size(), 2u);
      EXPECT_EQ(0.0, heard[heard.size() - 2].second) << c.what << ": a level while running on";
    }
  }
}

// The prescaler written while counting takes effect at the next update: a
// watcher hears of the new wave then, without anything else waiting for the
// update.
TEST(Timer, ShouldTellOutputWatchersWhenAPreloadedPrescalerTakesEffect) {
  TimerBench b(0x40014400, -1);  // TIM10 on the 144 MHz APB2 timer clock
  b.m.reset();
  std::vector<double> heard;
  b.tim.on_output_change([&] { heard.push_back(b.tim.output(0).hz); });
  b.write(PSC, 15);
  b.write(CCMR1, 0x60);
  b.write(CCER, 0x1);
  b.write(ARR, 2249);
  b.write(CCR1, 1125);
  b.write(CR1, CR1_CEN);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(64000.0, heard.back()) << "the first period still counts at 144 MHz";
  run_for(b.m, 2250);
  EXPECT_EQ(4000.0, heard.back());
}

// A timer whose interrupt flag stays set (the firmware enabled the interrupt
// but never takes it, as it does with TIM1) goes on counting without an
// event per update; whatever the firmware reads and whatever the interrupt
// line does is the same as with an event at every update.
constexpr cycles_t kFlagPeriod = 1000;  // ARR 999 at a 144 MHz timer clock

TEST(TimerFlag, ShouldSetTheFlagAgainAtTheFirstUpdateAfterTheFirmwareClearsIt) {
  struct Case { const char* what; std::uint32_t dier; std::uint32_t flag; cycles_t clear_at; };
  const Case cases[] = {
      {"update interrupt, cleared mid-period", DIER_UIE, SR_UIF, 500'123},
      {"update interrupt, cleared one cycle before an update", DIER_UIE, SR_UIF, 700'999},
      {"compare interrupt on channel 1, cleared mid-period", SR_CCIF(0), SR_CCIF(0), 333'777},
  };
  for (const Case& c : cases) {
    TimerBench b;
    b.tim.write(ARR, kFlagPeriod - 1, kAll);
    b.tim.write(CCR1, 250, kAll);
    b.tim.write(CCMR1, 6u << 4, kAll);  // channel 1 as a PWM output: compares count
    b.tim.write(DIER, c.dier, kAll);
    const int irq = kUpIrq + (c.flag == SR_UIF ? 0 : 2);
    const cycles_t t0 = b.m.now();
    b.tim.write(CR1, CR1_CEN, kAll);
    // The first rise of the line, cycle by cycle, without touching the timer.
    while (!b.m.nvic().irq_level(irq) && b.m.now() < t0 + 2 * kFlagPeriod) run_for(b.m, 1);
    ASSERT_TRUE(b.m.nvic().irq_level(irq)) << c.what;
    const cycles_t first = b.m.now();
    const std::uint64_t events = b.m.scheduler().dispatched();

    run_to(b.m, c.clear_at);
    EXPECT_EQ(events, b.m.scheduler().dispatched()) << c.what << ": no event while the flag stays set";
    EXPECT_EQ((c.clear_at - t0) % kFlagPeriod, b.tim.read(CNT)) << c.what;
    b.tim.write(SR, ~c.flag & 0xFF, kAll);
    ASSERT_FALSE(b.m.nvic().irq_level(irq)) << c.what;

    // The line rises again at the next update (or match), to the cycle.
    const cycles_t next = first + ((c.clear_at - first) / kFlagPeriod + 1) * kFlagPeriod;
    run_to(b.m, next - 1);
    EXPECT_FALSE(b.m.nvic().irq_level(irq)) << c.what << ": not before " << next;
    run_to(b.m, next);
    EXPECT_TRUE(b.m.nvic().irq_level(irq)) << c.what << ": at " << next;
    EXPECT_EQ(c.flag, b.tim.read(SR) & c.flag) << c.what;
  }
}

}  // namespace
}  // namespace vb
