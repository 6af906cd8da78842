// Exception entry, priorities, nesting, tail-chaining and return on the
// emulated core, with hand-assembled programs.
#include <gtest/gtest.h>

#include "tests/sim/core_bench.hpp"

namespace vb::test {
namespace {

using Log = std::vector<std::uint32_t>;

class CoreExceptions : public CoreBench {
protected:
  void set_priority(int irq, std::uint8_t prio) { m.write8(kIpr0 + irq, prio); }
  void set_prigroup(std::uint32_t g) { m.write32(kAircr, 0x05FA0000 | g << 8); }
};

// IRQ 0's handler pends IRQ 1 from inside; whether IRQ 1 preempts depends on
// the group priorities under PRIGROUP.
struct PreemptCase {
  const char* name;
  std::uint32_t prigroup;
  std::uint8_t prio0, prio1;
  Log expected;  // 0/1: handler entry, 100/101: handler exit
};

class Preemption : public CoreExceptions, public ::testing::WithParamInterface<PreemptCase> {};

TEST_P(Preemption, ShouldPreemptOnlyWithAMoreUrgentGroupPriority) {
  const PreemptCase& c = GetParam();
  const std::uint32_t entry = t.here();
  counting_loop();
  set_vector(exc::kIrq0 + 0, handler(0, store_bit(kIspr0, 1)));
  set_vector(exc::kIrq0 + 1, handler(1));
  load(entry);
  set_prigroup(c.prigroup);
  set_priority(0, c.prio0);
  set_priority(1, c.prio1);
  m.write32(kIser0, 0x3);
  m.write32(kIspr0, 0x1);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  EXPECT_EQ(c.expected, log()) << c.name;
  EXPECT_EQ(exc::kThread, m.nvic().current());
  EXPECT_GT(m.read32(kCounter), 10u) << "the thread loop runs again after the handlers";
}

INSTANTIATE_TEST_SUITE_P(
    Core, Preemption,
    ::testing::Values(PreemptCase{"priority 0 preempts priority 2 under PRIGROUP 1", 1, 0x20, 0x00, {0, 1, 101, 100}},
                      PreemptCase{"equal priority waits", 1, 0x20, 0x20, {0, 100, 1, 101}},
                      PreemptCase{"less urgent waits", 1, 0x20, 0x40, {0, 100, 1, 101}},
                      PreemptCase{"same group under PRIGROUP 5 waits", 5, 0x20, 0x00, {0, 100, 1, 101}}));

TEST_F(CoreExceptions, ShouldHoldPendingInterruptWhilePrimaskIsSetAndTakeItAtCpsie) {
  const std::uint32_t entry = t.here();
  Thumb::Label spin;
  // Masked, the thread pends IRQ 0 itself and spins 100 instructions.
  t.cpsid_i().mov32(1, kIspr0).movs(2, 1).str(2, 1).movs(6, 50);
  t.bind(spin);
  t.subs(6, 1).bne(spin);
  t.movs(0, 55).bl(log_fn).cpsie_i().movs(0, 66).bl(log_fn);
  counting_loop();
  set_vector(exc::kIrq0, handler(0));
  load(entry);
  m.write32(kIser0, 0x1);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  EXPECT_EQ((Log{55, 0, 100, 66}), log());
}

// A line left pending while its interrupt is disabled (as TIM1's update is
// in the clock) asks for no attention; enabling it does, at once.
TEST_F(CoreExceptions, ShouldTakeAPendingInterruptRightAfterTheStoreThatEnablesIt) {
  const std::uint32_t entry = t.here();
  Thumb::Label spin;
  // IRQ 1 stays pending and disabled throughout; IRQ 0 is pended, then enabled.
  t.mov32(1, kIspr0).movs(2, 3).str(2, 1).movs(6, 50);
  t.bind(spin);
  t.subs(6, 1).bne(spin);
  t.movs(0, 55).bl(log_fn).mov32(1, kIser0).movs(2, 1).str(2, 1).movs(0, 66).bl(log_fn);
  counting_loop();
  set_vector(exc::kIrq0, handler(0));
  load(entry);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  EXPECT_EQ((Log{55, 0, 100, 66}), log());
  EXPECT_TRUE(m.nvic().pending(exc::kIrq0 + 1));
}

struct TailChainCase {
  const char* name;
  std::uint8_t prio0, prio1;
  Log expected;  // id, thread counter at entry, id + 100
};

class TailChaining : public CoreExceptions, public ::testing::WithParamInterface<TailChainCase> {};

TEST_P(TailChaining, ShouldRunPendingHandlersBackToBackInPriorityThenNumberOrder) {
  const TailChainCase& c = GetParam();
  const std::uint32_t entry = t.here();
  // Both interrupts pend from the thread once it has counted to 3.
  Thumb::Label loop, skip;
  t.bind(loop);
  t.mov32(4, kCounter).ldr(5, 4).adds(5, 1).str(5, 4).cmp(5, 3).bne(skip);
  t.mov32(1, kIspr0).movs(2, 3).str(2, 1);
  t.bind(skip);
  t.b(loop);
  set_vector(exc::kIrq0 + 0, handler(0, {}, true));
  set_vector(exc::kIrq0 + 1, handler(1, {}, true));
  load(entry);
  m.write32(kAircr, 0x05FA0100);
  set_priority(0, c.prio0);
  set_priority(1, c.prio1);
  m.write32(kIser0, 0x3);

  m.run_cycles(2000);

  EXPECT_EQ(c.expected, log()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Core, TailChaining,
                         ::testing::Values(TailChainCase{"same priority: lower number first", 0x20, 0x20,
                                                         {0, 3, 100, 1, 3, 101}},
                                           TailChainCase{"more urgent first", 0x40, 0x20, {1, 3, 101, 0, 3, 100}}));

TEST_F(CoreExceptions, ShouldAlignFrameTo8BytesAndRestoreStackOnReturn) {
  initial_sp = 0x20001004;  // 4 bytes off an 8-byte boundary
  const std::uint32_t entry = t.here();
  const std::uint32_t loop = counting_loop();
  const std::uint32_t h0 = handler(0);
  set_vector(exc::kIrq0, h0);
  load(entry);
  m.write32(kIser0, 0x1);
  m.write32(kIspr0, 0x1);

  ASSERT_EQ(Stop::kCondition, m.run_until_pc(h0, 1000));
  const std::uint32_t sp = m.reg(13);
  EXPECT_EQ(0x20000FE0u, sp);
  EXPECT_EQ(0xFFFFFFF9u, m.reg(14));
  EXPECT_NE(0u, m.read32(sp + 28) & (1u << 9)) << "stacked xPSR records the padding";
  EXPECT_NE(0u, m.read32(sp + 28) & (1u << 24)) << "stacked xPSR has the Thumb bit";
  EXPECT_EQ(loop, m.read32(sp + 24) & ~1u) << "return address in the thread loop";

  ASSERT_EQ(Stop::kCondition, m.run_until_pc(loop, 1000));
  EXPECT_EQ(0x20001004u, m.reg(13));
}

TEST_F(CoreExceptions, ShouldSaveFloatingPointContextInExtendedFrame) {
  const std::uint32_t entry = t.here();
  Thumb::Label done;
  // s0 = r4 before the interrupt; the handler overwrites s0; afterwards the
  // thread logs s0 (back in r6) once the handler has run.
  Thumb::Label taken;
  t.mov32(4, 0x3F800000).vmov_s_r(0, 4);
  t.mov32(1, kIspr0).movs(2, 1).str(2, 1).b(taken);  // the branch ends the block: the interrupt comes here
  t.bind(taken);
  t.vmov_r_s(6, 0).mov(0, 6).bl(log_fn);
  t.bind(done);
  t.b_self();
  set_vector(exc::kIrq0, handler(0, [this](Thumb& a) {
    a.ldr_sp(0, 0).bl(log_fn);  // EXC_RETURN, as pushed on entry
    a.mov32(5, 0x40000000).vmov_s_r(0, 5);
  }));
  load(entry);
  m.write32(kCpacr, 0x00F00000);
  m.write32(kIser0, 0x1);

  m.run_until_pc(done.addr, 2000);

  ASSERT_EQ(4u, log().size());
  EXPECT_EQ(0xFFFFFFE9u, log()[1]) << "EXC_RETURN of a frame with FP context";
  EXPECT_EQ(0x3F800000u, log()[3]) << "s0 restored on return";
}

TEST_F(CoreExceptions, ShouldReportFloatingPointUseWithoutCpacrAccess) {
  const std::uint32_t entry = t.here();
  t.mov32(4, 0x3F800000).vmov_s_r(0, 4);
  counting_loop();
  load(entry);
  expect_fault();

  EXPECT_EQ(Stop::kFault, m.run_cycles(1000));
  EXPECT_NE(std::string::npos, m.fault_report().find("CPACR")) << m.fault_report();
}

// A pulse on the line pends the interrupt once; a line held high pends it
// again after every return, until it goes low.
class LevelLines : public CoreExceptions, public ::testing::WithParamInterface<bool> {};

TEST_P(LevelLines, ShouldPendAgainWhileTheLineStaysHigh) {
  const bool pulse = GetParam();
  const std::uint32_t entry = t.here();
  counting_loop();
  set_vector(exc::kIrq0 + 5, handler(5));
  load(entry);
  m.write32(kIser0, 1u << 5);
  m.set_irq(5, true);
  if (pulse) m.set_irq(5, false);

  m.run_cycles(3000);

  const auto entries = m.stats().exceptions[exc::kIrq0 + 5].entries;
  if (pulse)
    EXPECT_EQ(1u, entries);
  else
    EXPECT_GT(entries, 5u);
  m.set_irq(5, false);
  m.run_cycles(500);
  const auto after = m.stats().exceptions[exc::kIrq0 + 5].entries;
  m.run_cycles(2000);
  EXPECT_EQ(after, m.stats().exceptions[exc::kIrq0 + 5].entries) << "no more entries once the line is low";
}

INSTANTIATE_TEST_SUITE_P(Core, LevelLines, ::testing::Bool());

TEST_F(CoreExceptions, ShouldSleepInWfiUntilTheNextInterruptAndChargeEveryCycle) {
  const std::uint32_t entry = t.here();
  Thumb::Label loop;
  t.bind(loop);
  t.wfi().b(loop);
  set_vector(exc::kSysTick, handler(15));
  load(entry);
  m.write32(kSysTickLoad, 999);
  m.write32(kSysTickVal, 0);  // VAL is arbitrary after reset
  m.write32(kSysTickCtrl, 7);

  m.run_cycles(10'050);

  const Stats& s = m.stats();
  EXPECT_EQ(10u, s.exceptions[exc::kSysTick].entries);
  EXPECT_LT(s.instructions, 500u) << "no instructions run while asleep";
  EXPECT_GT(s.exceptions[exc::kSysTick].cycles, 0u);
  EXPECT_EQ(s.cycles, s.exceptions[0].cycles + s.exceptions[exc::kSysTick].cycles)
      << "every cycle is charged to thread or handler";
}

// What ends a WFI or WFE: the program prepares (masks, pends IRQ 0 at
// priority 0x80), sleeps, then logs 55 once awake.
struct SleepCase {
  const char* name;
  std::function<void(Thumb&)> before;
  bool wfe;
  bool sevonpend_systick;  // SCR SEVONPEND set and SysTick pending 200 cycles in
  Log expected;
};

void PrintTo(const SleepCase& c, std::ostream* os) { *os << c.name; }

class SleepWake : public CoreExceptions, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(SleepWake, ShouldWakeOnlyForWhatTheArchitectureNames) {
  const SleepCase& c = GetParam();
  const std::uint32_t entry = t.here();
  if (c.before) c.before(t);
  Thumb::Label next;  // ends the block: an interrupt pended above is taken here
  t.b(next);
  t.bind(next);
  if (c.wfe) t.wfe();
  else t.wfi();
  t.movs(0, 55).bl(log_fn).b_self();
  set_vector(exc::kIrq0, handler(0));
  set_vector(exc::kSysTick, handler(15));
  load(entry);
  set_priority(0, 0x80);
  m.write32(kIser0, 1);
  if (c.sevonpend_systick) {
    m.write32(0xE000ED10, 1u << 4);  // SCR SEVONPEND
    m.write32(kSysTickLoad, 199);
    m.write32(kSysTickVal, 0);  // VAL is arbitrary after reset
    m.write32(kSysTickCtrl, 7);
  }

  EXPECT_EQ(Stop::kLimit, m.run_cycles(5000));

  EXPECT_EQ(c.expected, log());
}

const auto pend_irq0 = [](Thumb& a) { a.mov32(1, kIspr0).movs(2, 1).str(2, 1); };

INSTANTIATE_TEST_SUITE_P(
    Core, SleepWake,
    ::testing::Values(
        SleepCase{"WFI wakes for an interrupt masked only by PRIMASK",
                  [](Thumb& a) { a.cpsid_i(); pend_irq0(a); }, false, false, {55}},
        SleepCase{"WFI sleeps on through an interrupt masked by BASEPRI",
                  [](Thumb& a) { a.movs(0, 0x40).msr(17, 0); pend_irq0(a); }, false, false, {}},
        SleepCase{"WFI sleeps on through an interrupt masked by FAULTMASK",
                  [](Thumb& a) { a.cpsid_f(); pend_irq0(a); }, false, false, {}},
        SleepCase{"SEV then WFE goes straight on", [](Thumb& a) { a.sev(); }, true, false, {55}},
        SleepCase{"WFE sleeps without an event", {}, true, false, {}},
        SleepCase{"WFE sleeps on through an interrupt masked by PRIMASK",
                  [](Thumb& a) { a.cpsid_i(); pend_irq0(a); }, true, false, {}},
        SleepCase{"with SEVONPEND a masked exception becoming pending wakes WFE",
                  [](Thumb& a) { a.cpsid_i(); }, true, true, {55}},
        SleepCase{"an exception return leaves the event set for WFE", pend_irq0, true, false, {0, 100, 55}}));

}  // namespace
}  // namespace vb::test
