// Fast-forward of an idle main loop: which loops may be skipped, and that a
// run with skipping gives exactly the cycles, registers, RAM and statistics
// of the same run executed instruction by instruction.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "tests/sim/core_bench.hpp"

namespace vb::test {
namespace {

constexpr std::uint32_t kSram = 0x20000000;
constexpr std::uint32_t kCcm = 0x10000000;
constexpr std::uint32_t kFlag = 0x20008000;   // set by handlers and events, seen by the loop
constexpr std::uint32_t kProbe = 0x40000000;  // the probe model below
constexpr std::uint32_t kIcer0 = 0xE000E180;
constexpr int kInputIrq = 3;

// A test model with a time-stamping register and two registers that claim
// repeated reads are invisible: one is, the other changes on every read
// (so only the comparison of the pass traces can tell).
class Probe : public Peripheral {
public:
  static constexpr std::uint32_t kStamp = 0x0, kSteady = 0x4, kFlip = 0x8;
  Probe() : Peripheral("PROBE", kProbe, 0x400) {}

  std::uint32_t read(std::uint32_t offset) override {
    if (offset == kSteady) return steady;
    if (offset == kFlip) return flips_++ & 1;
    return 0;
  }
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t) override {
    if (offset == kStamp) stamps.emplace_back(machine().now(), value);
  }
  bool idle_repeatable(std::uint32_t offset, bool is_write) const override {
    return !is_write && (offset == kSteady || offset == kFlip);
  }

  std::vector<std::pair<cycles_t, std::uint32_t>> stamps;
  std::uint32_t steady = 0x5A;  // changed only by the test's events

private:
  std::uint32_t flips_ = 0;
};

class CoreIdle : public CoreBench {
protected:
  CoreIdle() { m.attach(probe); }

  // r4: kFlag, r5: ICER0, r6: the input IRQ's bit, r7: ISER0; then the loop
  // at `head`: `body`, and back.
  std::uint32_t idle_loop(const std::function<void(Thumb&)>& body, Thumb::Label& head) {
    const std::uint32_t entry = t.here();
    t.mov32(4, kFlag).mov32(5, kIcer0).mov32(6, 1u << kInputIrq).mov32(7, kIser0);
    t.bind(head);
    body(t);
    t.b(head);
    return entry;
  }
  // The same image on a second machine that never skips.
  std::unique_ptr<Machine> twin(Probe& twin_probe) {
    auto other = std::make_unique<Machine>();
    other->attach(twin_probe);
    other->set_cpi(m.cpi());
    Thumb table(kFlash);
    for (std::uint32_t v : vectors) table.word(v);
    other->load_bytes(kFlash, table.bytes());
    other->load_bytes(kCode, t.bytes());
    other->set_trap_address(trap.addr);
    other->reset();
    clear_variables(*other);
    other->set_idle_skip(false);
    return other;
  }
  void clear_variables(Machine& mm) override {
    CoreBench::clear_variables(mm);
    mm.write32(kFlag, 0);
  }

  Probe probe;
};

// --- which passes are idle ----------------------------------------------------

struct LoopCase {
  const char* name;
  std::function<void(Thumb&)> body;
  bool skipped;
  std::function<void(Machine&)> setup = {};
};

void PrintTo(const LoopCase& c, std::ostream* os) { *os << c.name; }

class IdleDetection : public CoreIdle, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(IdleDetection, ShouldSkipOnlyPassesThatProvablyRepeat) {
  const LoopCase& c = GetParam();
  Thumb::Label head;
  const std::uint32_t entry = idle_loop(c.body, head);
  load(entry);
  if (c.setup) c.setup(m);
  m.set_idle_loop(head.addr);
  Probe raw_probe;
  auto raw = twin(raw_probe);
  if (c.setup) c.setup(*raw);

  ASSERT_EQ(Stop::kLimit, m.run_cycles(100'000));
  ASSERT_EQ(Stop::kLimit, raw->run_cycles(100'000));

  EXPECT_EQ(c.skipped, m.stats().skipped_passes > 0) << c.name;
  EXPECT_EQ(0u, raw->stats().skipped_passes);
  EXPECT_EQ(raw->now(), m.now()) << c.name;
  EXPECT_EQ(raw->stats().instructions, m.stats().instructions) << c.name;
  for (int r = 0; r <= 15; ++r) EXPECT_EQ(raw->reg(r), m.reg(r)) << c.name << ": r" << r;
  EXPECT_EQ(raw->read32(kFlag), m.read32(kFlag)) << c.name;
  for (std::uint32_t a : {kSram + 0xC004, kCcm + 0x7FF0, kSram + 0xD000})
    EXPECT_EQ(raw->read32(a), m.read32(a)) << c.name << ": RAM at " << std::hex << a;
}

const std::function<void(Machine&)> kFpuOn = [](Machine& mm) { mm.write32(kCpacr, 0xFu << 20); };
const std::function<void(Machine&)> kSysTickFree = [](Machine& mm) {
  mm.write32(kSysTickLoad, 0xFFFFFF);
  mm.write32(kSysTickVal, 0);
  mm.write32(kSysTickCtrl, 5);  // enabled on the processor clock, no interrupt
};

INSTANTIATE_TEST_SUITE_P(
    Core, IdleDetection,
    ::testing::Values(
        LoopCase{"registers only", [](Thumb& a) { a.movs(1, 5).adds(2, 1, 1); }, true},
        LoopCase{"masks and unmasks an interrupt, stores a constant",
                 [](Thumb& a) { a.str(6, 5).movs(1, 0).str(1, 4).str(6, 7); }, true},
        LoopCase{"polls a RAM flag that stays clear", [](Thumb& a) { a.ldr(1, 4).cmp(1, 0).nop(); }, true},
        LoopCase{"reads an enable register", [](Thumb& a) { a.ldr(1, 7).movs(1, 0); }, true},
        LoopCase{"reads a steady model register",
                 [](Thumb& a) { a.mov32(2, kProbe).ldr(1, 2, Probe::kSteady).movs(1, 0).movs(2, 0); }, true},
        LoopCase{"counts in RAM", [](Thumb& a) { a.ldr(1, 4).adds(1, 1).str(1, 4).movs(1, 0); }, false},
        // Pages only the loop itself stores to: the first store finds them
        // unwritten since power-up.
        LoopCase{"counts in an SRAM page no other store touches",
                 [](Thumb& a) { a.mov32(2, kSram + 0xC004).ldr(1, 2).adds(1, 1).str(1, 2).movs(1, 0).movs(2, 0); },
                 false},
        LoopCase{"counts in a CCM RAM page no other store touches",
                 [](Thumb& a) { a.mov32(2, kCcm + 0x7FF0).ldr(1, 2).adds(1, 1).str(1, 2).movs(1, 0).movs(2, 0); },
                 false},
        LoopCase{"stores a constant into a page no other store touches",
                 [](Thumb& a) { a.mov32(2, kSram + 0xD000).movs(1, 9).str(1, 2).movs(1, 0).movs(2, 0); }, true},
        LoopCase{"counts in a register", [](Thumb& a) { a.adds(3, 1); }, false},
        LoopCase{"reads SysTick VAL", [](Thumb& a) { a.mov32(2, kSysTickVal).ldr(1, 2).movs(1, 0).movs(2, 0); },
                 false, kSysTickFree},
        LoopCase{"reads a register that changes on every read",
                 [](Thumb& a) { a.mov32(2, kProbe).ldr(1, 2, Probe::kFlip).movs(1, 0).movs(2, 0); }, false},
        LoopCase{"writes a register whose model records every write",
                 [](Thumb& a) { a.mov32(2, kProbe).str(1, 2, Probe::kStamp).movs(2, 0); }, false},
        LoopCase{"counts in an FP register",
                 [](Thumb& a) { a.vmov_r_s(1, 0).adds(1, 1).vmov_s_r(0, 1).movs(1, 0); }, false, kFpuOn},
        LoopCase{"keeps a constant in an FP register", [](Thumb& a) { a.movs(1, 7).vmov_s_r(0, 1); }, true,
                 kFpuOn}));

// --- exactness ----------------------------------------------------------------

struct Outcome {
  std::vector<std::pair<cycles_t, std::uint32_t>> stamps;
  std::vector<std::uint32_t> regs, ram;
  std::vector<std::uint64_t> stats;
};

Outcome outcome(Machine& mm, const Probe& p) {
  Outcome o;
  o.stamps = p.stamps;
  for (int r = 0; r <= 15; ++r) o.regs.push_back(mm.reg(r));
  o.regs.push_back(mm.xpsr());
  o.regs.push_back(mm.primask());
  for (std::uint32_t a = kSram; a < kStackTop; a += 4) o.ram.push_back(mm.read32(a));
  for (std::uint32_t a = kCcm; a < kCcm + 0x10000; a += 4) o.ram.push_back(mm.read32(a));
  const Stats& s = mm.stats();
  o.stats = {s.instructions,
             s.cycles,
             s.exceptions[exc::kThread].cycles,
             s.exceptions[exc::kSysTick].entries,
             s.exceptions[exc::kSysTick].cycles,
             s.exceptions[exc::kIrq0 + kInputIrq].entries,
             s.exceptions[exc::kIrq0 + kInputIrq].cycles,
             s.worst_pass_cycles,
             s.lowest_sp};
  return o;
}

class IdleExactness : public CoreIdle, public ::testing::WithParamInterface<unsigned> {};

// The scenario: a 1 kHz-like SysTick whose handler stamps the probe; a loop
// that masks and unmasks the input interrupt on every pass (as the serial
// drivers do around a ring update) and, when kFlag is set, stamps its value
// and clears it; an interrupt pulse and a RAM write from scheduled events.
TEST_P(IdleExactness, ShouldGiveTheCyclesRegistersRamAndStatisticsOfARunWithoutSkipping) {
  m.set_cpi(GetParam());
  Thumb::Label head, work;
  const std::uint32_t entry = idle_loop(
      [&](Thumb& a) { a.str(6, 5).ldr(1, 4).str(6, 7).cmp(1, 0).bne(work); }, head);
  t.bind(work);
  t.mov(0, 1).bl(log_fn).mov32(2, kProbe).str(0, 2).movs(1, 0).str(1, 4).b(head);
  const auto stamp = [](std::uint8_t v) {
    return [v](Thumb& a) { a.mov32(1, kProbe).movs(2, v).str(2, 1); };
  };
  set_vector(exc::kSysTick, handler(15, stamp(0xF0)));
  set_vector(exc::kIrq0 + kInputIrq, handler(kInputIrq, [&](Thumb& a) {
               stamp(0x33)(a);
               a.mov32(1, kFlag).movs(2, 0x30).str(2, 1);
             }));
  load(entry);
  Probe raw_probe;
  auto raw = twin(raw_probe);

  std::vector<Outcome> results;
  for (Machine* mm : {&m, raw.get()}) {
    mm->set_idle_loop(head.addr);
    mm->stats().watch_pc = head.addr;
    mm->write32(kSysTickLoad, 9'999);
    mm->write32(kSysTickVal, 0);  // VAL is arbitrary after reset
    mm->write32(kSysTickCtrl, 7);
    mm->scheduler().at(123'457, [mm] { mm->set_irq(kInputIrq, true); });
    mm->scheduler().at(123'458, [mm] { mm->set_irq(kInputIrq, false); });
    mm->scheduler().at(777'777, [mm] { mm->write32(kFlag, 0x77); });
    for (cycles_t n : {300'000ull, 700'001ull, 999'999ull}) ASSERT_EQ(Stop::kLimit, mm->run_cycles(n));
    mm->write32(kFlag, 5);
    ASSERT_EQ(Stop::kCondition, mm->run_until_pc(work.addr, 10'000)) << "the loop still reacts";
    results.push_back(outcome(*mm, mm == &m ? probe : raw_probe));
  }

  const Outcome& skipped = results[0];
  const Outcome& full = results[1];
  EXPECT_EQ(full.stamps, skipped.stamps);
  EXPECT_EQ(full.regs, skipped.regs);
  EXPECT_EQ(full.ram, skipped.ram);
  EXPECT_EQ(full.stats, skipped.stats);
  EXPECT_GT(m.stats().skipped_cycles, m.now() / 2) << "most of the idle time was skipped";
  EXPECT_EQ(0u, raw->stats().skipped_passes);
  // The scenario itself: 200 ticks, the pulse's handler, and the loop's
  // reactions to the handler's flag and to the event's write were all seen.
  EXPECT_GE(probe.stamps.size(), 200u + 3u);
}

INSTANTIATE_TEST_SUITE_P(Core, IdleExactness, ::testing::Values(1u, 3u));

// Events in the middle of passes that read no peripheral register: what an
// event changes shows at the same cycle as without skipping, whether the
// loop never looks at it (the skip goes on across it), finds it in RAM (as
// a DMA transfer leaves it), or takes an interrupt for it.
struct EventCase {
  const char* name;
  std::function<void(Machine&, Probe&, int)> fire;  // the k-th event
};
void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class IdleEvents : public CoreIdle, public ::testing::WithParamInterface<EventCase> {};

TEST_P(IdleEvents, ShouldShowWhatAnEventChangesAtTheCycleOfARunWithoutSkipping) {
  const EventCase& c = GetParam();
  Thumb::Label head, work;
  const std::uint32_t entry = idle_loop(
      [&](Thumb& a) { a.str(6, 5).ldr(1, 4).str(6, 7).cmp(1, 0).bne(work); }, head);
  t.bind(work);
  t.mov32(2, kProbe).str(1, 2).movs(1, 0).str(1, 4).b(head);
  set_vector(exc::kIrq0 + kInputIrq, handler(kInputIrq, [](Thumb& a) {
               a.mov32(1, kProbe).movs(2, 0x33).str(2, 1);
             }));
  load(entry);
  Probe raw_probe;
  auto raw = twin(raw_probe);

  std::vector<Outcome> results;
  for (auto [mm, p] : {std::pair{&m, &probe}, std::pair{raw.get(), &raw_probe}}) {
    mm->set_idle_loop(head.addr);
    for (int k = 0; k < 40; ++k) {
      Probe* pp = p;
      Machine* mp = mm;
      mm->scheduler().at(5'000 + 2'377 * static_cast<cycles_t>(k), [mp, pp, k, &c] { c.fire(*mp, *pp, k); });
    }
    for (cycles_t n : {40'000ull, 70'001ull}) ASSERT_EQ(Stop::kLimit, mm->run_cycles(n)) << c.name;
    results.push_back(outcome(*mm, *p));
  }

  EXPECT_EQ(results[1].stamps, results[0].stamps) << c.name;
  EXPECT_EQ(results[1].regs, results[0].regs) << c.name;
  EXPECT_EQ(results[1].ram, results[0].ram) << c.name;
  EXPECT_EQ(results[1].stats, results[0].stats) << c.name;
  EXPECT_GT(m.stats().skipped_passes, 0u) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Core, IdleEvents,
    ::testing::Values(
        EventCase{"changes a model register the loop never reads",
                  [](Machine&, Probe& p, int k) { p.steady = static_cast<std::uint32_t>(k); }},
        EventCase{"writes the loop's flag in RAM through the bus every fifth time",
                  [](Machine& mm, Probe&, int k) {
                    const std::uint32_t v = static_cast<std::uint32_t>(k + 1);
                    if (k % 5 == 4) mm.bus_write(kFlag, &v, 4);
                  }},
        EventCase{"writes RAM nothing reads through the bus",
                  [](Machine& mm, Probe&, int k) {
                    const std::uint32_t v = static_cast<std::uint32_t>(k);
                    mm.bus_write(kSram + 0xE000, &v, 4);
                  }},
        EventCase{"pulses an interrupt line that is not enabled",
                  [](Machine& mm, Probe&, int k) { mm.set_irq(kInputIrq + 1, k % 2 == 0); }},
        EventCase{"pulses the interrupt line the loop enables",
                  [](Machine& mm, Probe&, int k) { mm.set_irq(kInputIrq, k % 2 == 0); }}));

// An event that changes only a model (no interrupt, no RAM) in the middle of
// a pass: the loop must see the new value on its next pass, not after a jump.
TEST_F(CoreIdle, ShouldSeeAModelChangeMadeByAnEventOnTheNextPass) {
  Thumb::Label head, changed;
  const std::uint32_t entry = idle_loop(
      [&](Thumb& a) { a.mov32(2, kProbe).ldr(1, 2, Probe::kSteady).cmp(1, 0x5A).bne(changed).nop().nop(); }, head);
  t.bind(changed);
  t.str(1, 2, Probe::kStamp).b(head);
  load(entry);
  Probe raw_probe;
  auto raw = twin(raw_probe);

  for (auto [mm, p] : {std::pair{&m, &probe}, std::pair{raw.get(), &raw_probe}}) {
    mm->set_idle_loop(head.addr);
    mm->scheduler().at(40'003, [p] { p->steady = 0x66; });
    ASSERT_EQ(Stop::kLimit, mm->run_cycles(100'000));
  }

  ASSERT_FALSE(raw_probe.stamps.empty());
  EXPECT_EQ(raw_probe.stamps.front(), probe.stamps.front());
  EXPECT_GT(m.stats().skipped_passes, 0u) << "the passes before the change were skipped";
}

// --- counted polling loops -------------------------------------------------------

// A wait on the probe's steady register (0x5A: not ready) with r3 as its
// counter, r2 the probe; on leaving, the loop stamps r3. A 10,000-cycle
// SysTick interrupts it throughout.
struct PollCase {
  const char* name;
  std::function<void(Thumb&)> setup;                               // before the head
  std::function<void(Thumb&, Thumb::Label&, Thumb::Label&)> body;  // head bound; branch to out to leave
  bool skipped;
  cycles_t ready_at = kNever;  // the steady register reads 0x66 from then on
};
void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }

const auto kReadyCheck = [](Thumb& a, Thumb::Label& out) { a.ldr(1, 2, Probe::kSteady).cmp(1, 0x5A).bne(out); };

class PollExactness : public CoreIdle, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollExactness, ShouldLeaveTheLoopAtTheCycleAndWithTheStateOfARunWithoutSkipping) {
  const PollCase& c = GetParam();
  Thumb::Label head, out;
  const std::uint32_t entry = t.here();
  t.mov32(2, kProbe).mov32(4, kFlag);
  c.setup(t);
  t.bind(head);
  c.body(t, head, out);
  t.bind(out);
  t.str(3, 2, Probe::kStamp).b_self();
  set_vector(exc::kSysTick, handler(15));
  load(entry);
  Probe raw_probe;
  auto raw = twin(raw_probe);

  for (auto [mm, p] : {std::pair{&m, &probe}, std::pair{raw.get(), &raw_probe}}) {
    mm->write32(kSysTickLoad, 9'999);
    mm->write32(kSysTickVal, 0);
    mm->write32(kSysTickCtrl, 7);
    if (c.ready_at != kNever) mm->scheduler().at(c.ready_at, [p] { p->steady = 0x66; });
    for (cycles_t n : {40'000ull, 60'001ull}) ASSERT_EQ(Stop::kLimit, mm->run_cycles(n)) << c.name;
  }

  EXPECT_EQ(c.skipped, m.stats().skipped_passes > 0) << c.name;
  EXPECT_EQ(raw_probe.stamps, probe.stamps) << c.name;
  EXPECT_EQ(raw->now(), m.now()) << c.name;
  EXPECT_EQ(raw->stats().instructions, m.stats().instructions) << c.name;
  for (int r = 0; r <= 15; ++r) EXPECT_EQ(raw->reg(r), m.reg(r)) << c.name << ": r" << r;
  EXPECT_EQ(raw->xpsr(), m.xpsr()) << c.name;
  EXPECT_EQ(raw->read32(kFlag), m.read32(kFlag)) << c.name;
  for (int n : {exc::kThread, exc::kSysTick}) {
    EXPECT_EQ(raw->stats().exceptions[n].entries, m.stats().exceptions[n].entries) << c.name;
    EXPECT_EQ(raw->stats().exceptions[n].cycles, m.stats().exceptions[n].cycles) << c.name;
  }
  EXPECT_EQ(raw->read32(kLog), m.read32(kLog)) << c.name;
  EXPECT_LE(2u * 9, m.read32(kLog)) << "the tick's handler ran throughout";
}

INSTANTIATE_TEST_SUITE_P(
    Core, PollExactness,
    ::testing::Values(
        PollCase{"counts a time-out down to zero",
                 [](Thumb& a) { a.mov32(3, 15'000); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) { kReadyCheck(a, out); a.subs(3, 1).bne(head); },
                 true},
        PollCase{"counts up by three until the counter wraps to zero",
                 [](Thumb& a) { a.mov32(3, 0u - 3 * 14'001); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) { kReadyCheck(a, out); a.adds(3, 3).bne(head); },
                 true},
        PollCase{"counts up by two from an odd value: never zero",
                 [](Thumb& a) { a.movs(3, 1); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) { kReadyCheck(a, out); a.adds(3, 2).bne(head); },
                 true},
        PollCase{"counts up to a limit compared each pass",
                 [](Thumb& a) { a.movs(3, 0).movs(5, 0); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) {
                   kReadyCheck(a, out);
                   a.adds(3, 1).adds(5, 3).cmp(3, 250).bne(head);
                 },
                 true},
        PollCase{"ready bit set by an event before the time-out",
                 [](Thumb& a) { a.mov32(3, 90'000); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) { kReadyCheck(a, out); a.subs(3, 1).bne(head); },
                 true, 33'333},
        PollCase{"waits without a counter until an event",
                 [](Thumb& a) { a.movs(3, 9); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) { kReadyCheck(a, out); a.b(head); },
                 true, 71'111},
        PollCase{"shifts its counter: not affine",
                 [](Thumb& a) { a.mov32(3, 15'000); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) {
                   kReadyCheck(a, out);
                   a.lsls(0, 3, 1).subs(3, 1).bne(head);
                 },
                 false},
        PollCase{"counts in RAM, loaded and stored back each pass",
                 [](Thumb& a) { a.mov32(3, 11'000).str(3, 4); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label& out) {
                   kReadyCheck(a, out);
                   a.ldr(3, 4).subs(3, 1).str(3, 4).bne(head);
                 },
                 true},
        PollCase{"reads a register that changes on every read",
                 [](Thumb& a) { a.mov32(3, 15'000); },
                 [](Thumb& a, Thumb::Label& head, Thumb::Label&) {
                   a.ldr(1, 2, Probe::kFlip).subs(3, 1).bne(head);
                 },
                 false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(CoreIdle, ShouldNotSkipWhileAConditionIsWatched) {
  Thumb::Label head;
  const std::uint32_t entry = idle_loop([](Thumb& a) { a.str(6, 5).str(6, 7); }, head);
  load(entry);
  m.set_idle_loop(head.addr);
  const cycles_t target = 50'000;

  ASSERT_EQ(Stop::kCondition, m.run_until([&] { return m.now() >= target; }, 100'000));

  EXPECT_EQ(0u, m.stats().skipped_passes);
  EXPECT_LT(m.now() - target, 4u) << "stopped at the first block boundary past the target";
}

}  // namespace
}  // namespace vb::test
