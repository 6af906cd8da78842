// The image from reset to its main loop on the virtual board: the reset
// sequence, the clock tree, the 1 ms SysTick time base with its callback
// chain, the busy-wait delays, and the trap for interrupts without handler.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/core/nvic.hpp"
#include "sim/periph/rcc.hpp"
#include "sim/periph/reg_bank.hpp"
#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"
#include "tests/support/thumb.hpp"

namespace vb::test {
namespace {

constexpr std::uint32_t kVtor = 0xE000ED08, kCpacr = 0xE000ED88;
constexpr std::uint32_t kSysTickCtrl = 0xE000E010, kSysTickLoad = 0xE000E014, kSysTickVal = 0xE000E018;
constexpr std::uint32_t kIser0 = 0xE000E100, kIspr0 = 0xE000E200;
constexpr cycles_t kTick = 144'000;  // cycles per ms at 144 MHz

class Reset : public BoardTest {};

TEST_F(Reset, ShouldReachMainWithVtorOnFlashFpuEnabledAndTheClocksTheFirmwareIsBuiltFor) {
  ASSERT_TRUE(run_to("main"));
  EXPECT_EQ(0x08000000u, m().read32(kVtor));
  EXPECT_EQ(0x00F00000u, m().read32(kCpacr) & 0x00F00000u);
  const ClockTree& t = m().clocks();
  const std::pair<std::uint32_t, std::uint32_t> clocks[] = {
      {144'000'000, t.sysclk}, {144'000'000, t.hclk},     {36'000'000, t.pclk1}, {72'000'000, t.pclk2},
      {72'000'000, t.tim_apb1}, {144'000'000, t.tim_apb2}, {48'000'000, t.clk48}};
  for (std::size_t i = 0; i < std::size(clocks); ++i)
    EXPECT_EQ(clocks[i].first, clocks[i].second) << "SYSCLK HCLK PCLK1 PCLK2 TIMAPB1 TIMAPB2 CLK48, #" << i;
}

TEST_F(Reset, ShouldCopyDataAndClearBssAndTouchNothingBeyond) {
  const std::uint32_t sdata = m().symbol("_sdata"), edata = m().symbol("_edata");
  const std::uint32_t sbss = m().symbol("_sbss"), ebss = m().symbol("_ebss"), sidata = m().symbol("_sidata");
  for (std::uint32_t a = sdata; a < ebss + 64; ++a) m().write8(a, 0xA5);  // what RAM holds at power-on

  ASSERT_TRUE(run_to("main"));

  for (std::uint32_t a = sdata; a < edata; ++a)
    ASSERT_EQ(m().read8(sidata + (a - sdata)), m().read8(a)) << ".data at " << std::hex << a;
  for (std::uint32_t a = sbss; a < ebss; ++a) ASSERT_EQ(0u, m().read8(a)) << ".bss at " << std::hex << a;
  for (std::uint32_t a = ebss; a < ebss + 64; ++a) ASSERT_EQ(0xA5u, m().read8(a)) << "beyond .bss at " << std::hex << a;
}

// The RAMs' power-up contents and SysTick's reset values (UNKNOWN on the
// chip) come from the board's seed; what the firmware does must not depend
// on them.
class PowerUp : public BoardTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
  PowerUp() { options.seed = GetParam(); }
};

TEST_P(PowerUp, ShouldTickFirstOneReloadAfterInitSysTickWhateverValHeld) {
  ASSERT_TRUE(run_to("init_SysTick"));
  ASSERT_NE(0u, m().read32(kSysTickVal)) << "the board leaves VAL arbitrary at reset";
  const cycles_t started = m().now();
  const std::uint32_t count = m().symbol("count_SysTick_Reloaded");

  ASSERT_EQ(Stop::kCondition, m().run_until([&] { return m().read32(count) == 2; }, 200 * kTick));

  EXPECT_LE(kTick, m().now() - started);
  EXPECT_GE(kTick + 100, m().now() - started);
}

TEST_P(PowerUp, ShouldBootToTheSameConsoleAtTheSameCycleAsAnyOtherPowerUp) {
  static const std::pair<std::string, cycles_t> reference = [] {
    Board b;
    EXPECT_TRUE(b.boot());
    return std::pair{b.usart3_output(), b.m().now()};
  }();
  ASSERT_TRUE(boot());
  EXPECT_EQ(reference.first, board().usart3_output());
  EXPECT_EQ(reference.second, m().now());
}

INSTANTIATE_TEST_SUITE_P(Boot, PowerUp, ::testing::Values(1u, 0xFFFFFFFFFFFFFFFFull, 20261207u));

// The boot with and without fast-forward of idle and polling loops: the same
// console bytes written at the same cycles, the same clock-tree register
// writes at the same cycles, the same counts. Without the LSE the 100,000,000
// polls of its wait are cut to a few hundred thousand in the image, so that
// the run without skipping stays short; the loop ends at its count.
struct SkipCase {
  const char* name;
  bool lse;
};
void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.name; }

class BootSkip : public BoardTest, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(BootSkip, ShouldBootExactlyAsWithoutSkipping) {
  struct Outcome {
    std::string console;
    WriteLog usart3, rcc;
    cycles_t now;
    std::uint64_t instructions, skipped_in_boot;
    std::vector<std::uint64_t> exceptions;
  };
  std::vector<Outcome> outcomes;
  for (bool skip : {true, false}) {
    BoardOptions o;
    o.lse_clock = GetParam().lse;
    o.idle_skip = skip;
    Board b(o);
    if (!GetParam().lse) {
      // The poll limit is a literal of setup_RTC.
      const std::uint32_t fn = b.m().symbol("setup_RTC");
      std::uint32_t at = 0;
      for (std::uint32_t a = fn; a < fn + 0x200 && !at; a += 4)
        if (b.m().read32(a) == 100'000'000) at = a;
      ASSERT_NE(0u, at) << "the LSE poll limit in setup_RTC";
      b.m().write32(at, 300'000);
    }
    ASSERT_TRUE(b.boot(2000)) << b.m().where();
    const std::uint64_t skipped_in_boot = b.m().stats().skipped_passes;  // the polling loops' passes
    ASSERT_EQ(Stop::kLimit, b.m().run_ms(30));
    const Stats& s = b.m().stats();
    Outcome out{b.usart3_output(), b.usart3().writes(), b.rcc().writes(), b.m().now(), s.instructions,
                skipped_in_boot, {}};
    for (const auto& e : s.exceptions) out.exceptions.insert(out.exceptions.end(), {e.entries, e.cycles});
    outcomes.push_back(std::move(out));
  }
  const Outcome& skipped = outcomes[0];
  const Outcome& full = outcomes[1];
  EXPECT_EQ(full.console, skipped.console);
  EXPECT_TRUE(full.usart3 == skipped.usart3) << "USART3 writes (the console's bytes) at other cycles";
  EXPECT_TRUE(full.rcc == skipped.rcc) << "RCC writes at other cycles";
  EXPECT_EQ(full.now, skipped.now);
  EXPECT_EQ(full.instructions, skipped.instructions);
  EXPECT_EQ(full.exceptions, skipped.exceptions);
  EXPECT_LT(GetParam().lse ? 0u : 250'000u, skipped.skipped_in_boot) << "passes of the start-up's polling loops";
  EXPECT_NE(std::string::npos, skipped.console.find(GetParam().lse ? "is LSE" : "is LSI")) << skipped.console;
}

INSTANTIATE_TEST_SUITE_P(Boot, BootSkip,
                         ::testing::Values(SkipCase{"with_LSE", true}, SkipCase{"without_LSE", false}),
                         [](const auto& info) { return std::string(info.param.name); });

class WithoutHse : public BoardTest {
protected:
  WithoutHse() { options.hse_clock = false; }
};

TEST_F(WithoutHse, ShouldWaitInSetupRccAndSaySo) {
  EXPECT_FALSE(board().boot(5));
  EXPECT_FALSE(m().faulted()) << m().fault_report();
  EXPECT_EQ(0u, m().symbol_at(m().pc() & ~1u).rfind("setup_RCC", 0)) << m().where();
  bool said = false;
  for (const std::string& msg : m().messages()) said |= msg.find("setup_RCC") != std::string::npos;
  EXPECT_TRUE(said) << "a board message names where the core waits";
}

TEST_F(Reset, ShouldReportAnInterruptEnabledWithoutItsHandler) {
  ASSERT_TRUE(run_to("main"));
  m().write32(kIser0, 1u << 0);  // WWDG has no handler of its own
  m().write32(kIspr0, 1u << 0);
  expect_fault();

  EXPECT_EQ(Stop::kFault, m().run_cycles(10'000));

  EXPECT_NE(std::string::npos, m().fault_report().find("WWDG")) << m().fault_report();
  EXPECT_NE(std::string::npos, m().fault_report().find("hndl_TRAP")) << m().fault_report();
}

// The SysTick service driven from main's entry with calls: callback records
// and their functions live in free SRAM; each function logs its id and the
// tick count it sees. Time passes in a spin loop in SRAM.
class SysTickService : public BoardTest {
protected:
  std::uint32_t code_ = 0, log_ = 0, records_ = 0, spin_ = 0;
  std::vector<std::uint32_t> funcs_;

  void SetUp() override {
    BoardTest::SetUp();
    ASSERT_TRUE(run_to("main"));
    code_ = scratch();
    records_ = code_ + 0x400;
    log_ = code_ + 0x800;
    Thumb t(code_);
    Thumb::Label log_fn;
    // Three callbacks: log(id) with id 1, 2, 3.
    for (int id = 1; id <= 3; ++id) {
      funcs_.push_back(t.here());
      t.movs(0, static_cast<std::uint8_t>(id)).b(log_fn);
    }
    t.bind(log_fn);  // log(r0): appends {r0, low word of the tick count}
    t.mov32(1, log_).ldr(2, 1).lsls(3, 2, 3).adds(3, 3, 1).str(0, 3, 4);
    t.mov32(0, m().symbol("count_SysTick_Reloaded")).ldr(0, 0).str(0, 3, 8);
    t.adds(2, 1).str(2, 1).bx(14);
    Thumb::Label again;  // spin(n): n / 2 passes of two instructions
    spin_ = t.here();
    t.bind(again);
    t.subs(0, 2).bne(again).bx(14);
    m().load_bytes(code_, t.bytes());
    m().write32(log_, 0);  // free SRAM holds whatever power-up left
  }

  // Lets about n cycles pass on the core (the tick interrupt keeps running).
  void wait_cycles(cycles_t n) { m().call(spin_, {static_cast<std::uint32_t>(n & ~cycles_t{1})}); }

  std::uint32_t add(int slot, std::uint32_t expires, int id) {
    const std::uint32_t rec = records_ + 16 * static_cast<std::uint32_t>(slot);
    m().write32(rec + 0, 0xDEADBEEF);  // next: the add must clear it
    m().write32(rec + 4, expires);
    m().write32(rec + 8, funcs_.at(id - 1) | 1);
    EXPECT_EQ(0u, m().call("add_SysTick_callback", {rec}));
    return rec;
  }
  // {id, tick count} per callback call.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> log() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> v;
    const std::uint32_t n = m().read32(log_);
    for (std::uint32_t i = 0; i < n && i < 200; ++i) v.emplace_back(m().read32(log_ + 4 + 8 * i), m().read32(log_ + 8 + 8 * i));
    return v;
  }
};

TEST_F(SysTickService, ShouldReloadEveryMillisecondAndCountTicks) {
  m().call("init_SysTick");
  const cycles_t started = m().now();
  EXPECT_EQ(143'999u, m().read32(kSysTickLoad));
  EXPECT_EQ(7u, m().read32(kSysTickCtrl) & 7u);
  EXPECT_EQ(1u, var64("count_SysTick_Reloaded"));

  wait_cycles(10 * kTick + 5000);

  const cycles_t elapsed = m().now() - started;
  const std::uint64_t ticks = var64("count_SysTick_Reloaded") - 1;
  EXPECT_LE(elapsed / kTick, ticks);
  EXPECT_GE((elapsed + 200) / kTick, ticks);
  EXPECT_EQ(ticks, m().stats().exceptions[exc::kSysTick].entries);
}

TEST_F(SysTickService, ShouldCallPeriodicRecordsEveryTickInRegistrationOrder) {
  add(0, 0xFFFFFFFF, 2);
  add(1, 0xFFFFFFFF, 1);
  m().call("init_SysTick");
  wait_cycles(3 * kTick + 5000);

  const auto l = log();
  ASSERT_GE(l.size(), 6u);
  for (std::size_t i = 0; i + 1 < l.size(); i += 2) {
    EXPECT_EQ(2u, l[i].first) << "registered first, called first";
    EXPECT_EQ(1u, l[i + 1].first);
    EXPECT_EQ(l[i].second, l[i + 1].second) << "both in the same tick";
  }
  EXPECT_EQ(2u, l[0].second) << "a record added before init_SysTick is served from the first tick";
  EXPECT_EQ(0xFFFFFFFFu, m().read32(records_ + 4)) << "periodic expires stays";
}

TEST_F(SysTickService, ShouldCallAOneShotRecordOnceOnTheFifthTick) {
  m().call("init_SysTick");
  wait_cycles(2 * kTick);
  const std::uint32_t rec = add(0, 5, 3);
  const std::uint32_t added_at = m().read32(m().symbol("count_SysTick_Reloaded"));
  wait_cycles(10 * kTick);

  const auto l = log();
  ASSERT_EQ(1u, l.size());
  EXPECT_EQ(3u, l[0].first);
  EXPECT_EQ(added_at + 5, l[0].second);
  EXPECT_EQ(0u, m().read32(rec + 4)) << "expires stays 0 afterwards";
}

struct DelayCase {
  const char* fn;
  std::uint32_t arg;
  cycles_t min, max;
};
void PrintTo(const DelayCase& c, std::ostream* os) { *os << c.fn << "(" << c.arg << ")"; }

class Delays : public SysTickService, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(Delays, ShouldWaitTheirTimeInCycles) {
  const DelayCase& c = GetParam();
  m().call("init_SysTick");
  wait_cycles(kTick + 1000);  // away from the start of the time base
  const cycles_t t0 = m().now();

  m().call(c.fn, {c.arg});

  const cycles_t waited = m().now() - t0;
  EXPECT_LE(c.min, waited) << c.fn << "(" << c.arg << ")";
  EXPECT_GE(c.max, waited) << c.fn << "(" << c.arg << ")";
}

INSTANTIATE_TEST_SUITE_P(
    Boot, Delays,
    ::testing::Values(DelayCase{"delay_msec", 0, 0, 100}, DelayCase{"delay_usec", 0, 0, 100},
                      DelayCase{"delay_with_SysTick_timer", 15, 0, 100},
                      DelayCase{"delay_with_SysTick_timer", 16, 16, 300},
                      DelayCase{"delay_msec", 1, kTick, 2 * kTick},
                      DelayCase{"delay_usec", 3000, 3 * kTick, 3 * kTick + 1000},
                      DelayCase{"delay_usec", 3001, 3 * kTick, 4 * kTick},
                      DelayCase{"delay_usec", 3999, 3 * kTick, 4 * kTick}),
    [](const auto& info) { return std::string(info.param.fn) + "_" + std::to_string(info.param.arg); });

}  // namespace
}  // namespace vb::test
