// The machine's bookkeeping and host services: instruction and cycle
// counting, calls of code on the core, the memory map as the host sees it,
// and the registers of the system control space.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>
#include <stdexcept>
#include <vector>

#include "sim/core/thumb.hpp"
#include "tests/sim/core_bench.hpp"

namespace vb::test {
namespace {

TEST(ThumbCounting, ShouldCountSixteenAndThirtyTwoBitEncodings) {
  const struct { std::vector<std::uint8_t> code; unsigned instructions; } cases[] = {
      {{0x00, 0xBF}, 1},                          // nop
      {{0x00, 0xBF, 0x70, 0x47}, 2},              // nop; bx lr
      {{0x40, 0xF2, 0x00, 0x01}, 1},              // movw (0xF240: top bits 11110)
      {{0x00, 0xEE, 0x10, 0x0A, 0x70, 0x47}, 2},  // vmov (0xEE00: 11101); bx lr
      {{0xBD, 0xE8, 0xF0, 0x81}, 1},              // pop.w (0xE8BD: 11101)
      {{0xFE, 0xE7}, 1},                          // b . (0xE7FE: 11100, 16-bit)
      {{0x00, 0xF0, 0x00, 0xF8, 0x08, 0xBD}, 2},  // bl; pop {r3, pc}
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.instructions, count_thumb_instructions(c.code.data(), c.code.size())) << c.code.size() << " bytes";
}

class CoreCycles : public CoreBench, public ::testing::WithParamInterface<unsigned> {};

TEST_P(CoreCycles, ShouldAdvanceTheClockByInstructionsTimesCpi) {
  m.set_cpi(GetParam());
  const std::uint32_t entry = t.here();
  Thumb::Label end;
  t.nop().nop().movw(0, 1234).movs(1, 1).mov32(2, 0x12345678).b(end);  // 7 instructions, 4 of them 32-bit
  t.bind(end);
  t.b_self();
  load(entry);
  const cycles_t t0 = m.now();

  ASSERT_EQ(Stop::kCondition, m.run_until_pc(end.addr, 1000));

  EXPECT_EQ(7u, m.stats().instructions);
  EXPECT_EQ(7u * GetParam(), m.now() - t0);
}

INSTANTIATE_TEST_SUITE_P(Core, CoreCycles, ::testing::Values(1u, 3u));

class CoreCalls : public CoreBench {};

TEST_F(CoreCalls, ShouldPassArgumentsInRegistersThenOnTheStackAndReturnR0) {
  const std::uint32_t entry = t.here();
  counting_loop();
  // sum6(a, b, c, d, e, f): a + b + c + d + e + f (e, f from the stack).
  const std::uint32_t sum6 = t.here();
  t.adds(0, 0, 1).adds(0, 0, 2).adds(0, 0, 3).ldr_sp(1, 0).adds(0, 0, 1).ldr_sp(1, 4).adds(0, 0, 1).bx(14);
  load(entry);
  // A call with two arguments leaves r2, r3 and the stack slots as they
  // were: arbitrary after reset and power-up, so cleared here.
  m.set_reg(2, 0);
  m.set_reg(3, 0);
  m.write32(kStackTop, 0);
  m.write32(kStackTop + 4, 0);

  EXPECT_EQ(5u, m.call(sum6, {2, 3}));
  EXPECT_EQ(21u, m.call(sum6, {1, 2, 3, 4, 5, 6}));
}

TEST_F(CoreCalls, ShouldRestoreTheInterruptedContextAfterACall) {
  const std::uint32_t entry = t.here();
  const std::uint32_t loop = counting_loop();
  const std::uint32_t clobber = t.here();
  t.movs(4, 99).movs(5, 99).mov32(0, 42).bx(14);
  load(entry);
  m.run_until_pc(loop, 1000);
  m.run_cycles(7);  // somewhere inside the loop
  const std::uint32_t pc = m.pc(), sp = m.reg(13), r4 = m.reg(4), r5 = m.reg(5);

  EXPECT_EQ(42u, m.call(clobber));

  EXPECT_EQ(pc, m.pc());
  EXPECT_EQ(sp, m.reg(13));
  EXPECT_EQ(r4, m.reg(4));
  EXPECT_EQ(r5, m.reg(5));
  const std::uint32_t before = m.read32(kCounter);
  m.run_cycles(200);
  EXPECT_GT(m.read32(kCounter), before) << "the thread loop carries on";
}

TEST_F(CoreCalls, ShouldKeepInterruptsRunningDuringACall) {
  const std::uint32_t entry = t.here();
  counting_loop();
  // spin(n): counts n down to 0, returns 7.
  const std::uint32_t spin = t.here();
  Thumb::Label again;
  t.bind(again);
  t.subs(0, 1).bne(again).movs(0, 7).bx(14);
  set_vector(exc::kSysTick, handler(15));
  load(entry);
  m.write32(kSysTickLoad, 999);
  m.write32(kSysTickVal, 0);  // VAL is arbitrary after reset
  m.write32(kSysTickCtrl, 7);

  EXPECT_EQ(7u, m.call(spin, {5000}));  // 10000 instructions

  EXPECT_GE(m.stats().exceptions[exc::kSysTick].entries, 9u);
}

TEST_F(CoreCalls, ShouldThrowWhenTheCalledCodeFaultsOrNeverReturns) {
  const std::uint32_t entry = t.here();
  counting_loop();
  const std::uint32_t forever = t.here();
  t.b_self();
  const std::uint32_t bad = t.here();
  t.udf();
  load(entry);

  EXPECT_THROW(m.call(forever, {}, 5000), std::runtime_error);
  EXPECT_THROW(m.call(bad), std::runtime_error);
  expect_fault();
}

class CoreMemory : public CoreBench {};

// RAM no store has touched yet is write-protected in the engine until the
// first store; every kind of store must land there as in any other page.
struct FreshStore {
  const char* name;
  std::uint32_t addr;                  // r0; r1 = 0x11223344, r2 = 0x55667788
  std::function<void(Thumb&)> store;
  struct Value { std::uint32_t addr, value; unsigned size; };
  std::vector<Value> expect;
};
void PrintTo(const FreshStore& c, std::ostream* os) { *os << c.name; }

class FreshPages : public CoreBench, public ::testing::WithParamInterface<FreshStore> {};

TEST_P(FreshPages, ShouldTakeEveryKindOfStoreIntoAPageNoStoreHasTouched) {
  const FreshStore& c = GetParam();
  const std::uint32_t entry = t.here();
  Thumb::Label end;
  t.mov32(0, c.addr).mov32(1, 0x11223344).mov32(2, 0x55667788);
  c.store(t);
  t.b(end);
  t.bind(end);
  t.b_self();
  load(entry);

  ASSERT_EQ(Stop::kCondition, m.run_until_pc(end.addr, 1000)) << c.name;

  for (const auto& e : c.expect) {
    const std::uint32_t got = e.size == 4 ? m.read32(e.addr) : m.read16(e.addr);
    EXPECT_EQ(e.value, got) << c.name << std::hex << " at " << e.addr;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Core, FreshPages,
    ::testing::Values(
        FreshStore{"a word", 0x2000C010, [](Thumb& a) { a.str(1, 0); }, {{0x2000C010, 0x11223344, 4}}},
        FreshStore{"an unaligned word across two fresh pages", 0x2000C3FE, [](Thumb& a) { a.str(1, 0); },
                   {{0x2000C3FE, 0x3344, 2}, {0x2000C400, 0x1122, 2}}},
        FreshStore{"two words across pages of CCM RAM", 0x1000A3FC,
                   [](Thumb& a) { a.word(0xBF00C006); },  // stmia r0!, {r1, r2}; nop
                   {{0x1000A3FC, 0x11223344, 4}, {0x1000A400, 0x55667788, 4}}},
        FreshStore{"an exclusive store after an exclusive load", 0x2000D020,
                   [](Thumb& a) {
                     a.word(0x2F00E850);  // ldrex r2, [r0]
                     a.word(0x1300E840);  // strex r3, r1, [r0]
                     a.mov32(0, 0x2000D024).str(3, 0);
                   },
                   {{0x2000D020, 0x11223344, 4}, {0x2000D024, 0, 4}}}));

TEST_F(CoreMemory, ShouldRejectHostAccessWhereNothingIsMapped) {
  EXPECT_THROW(m.read32(0x30000000), std::out_of_range);
  EXPECT_THROW(m.write32(0x40004800, 1), std::out_of_range);
  const std::uint8_t b[8] = {};
  EXPECT_THROW(m.load_bytes(0x2001FFFC, b), std::out_of_range) << "runs past the end of SRAM";
}

TEST_F(CoreMemory, ShouldLetTheBusReachMemoryButNotWriteFlash) {
  std::uint32_t v = 0xCAFEF00D;
  EXPECT_TRUE(m.bus_write(0x20000100, &v, 4));
  EXPECT_EQ(0xCAFEF00Du, m.read32(0x20000100));
  EXPECT_FALSE(m.bus_write(0x08000100, &v, 4));
  EXPECT_FALSE(m.bus_read(0x30000000, &v, 4));
  std::uint32_t cpuid = 0;
  EXPECT_TRUE(m.bus_read(0xE000ED00, &cpuid, 4));
  EXPECT_EQ(0x410FC241u, cpuid);
}

// System control space registers as the firmware sees them: each is written
// (as a word, unless no value is given) and read back.
TEST_F(CoreMemory, ShouldReadBackScsRegistersAsTheCoreDefinesThem) {
  const struct { const char* name; std::uint32_t addr; std::optional<std::uint32_t> write; std::uint32_t expected; } cases[] = {
      {"CPUID", 0xE000ED00, {}, 0x410FC241},
      {"ICTR: 96 lines", 0xE000E004, {}, 2},
      {"AIRCR without key ignored", kAircr, 0x00000300, 0xFA050000},
      {"AIRCR with key sets PRIGROUP", kAircr, 0x05FA0300, 0xFA050300},
      {"VTOR keeps bits 29:9 of an aligned table", 0xE000ED08, 0xFFFFFE7F, 0x3FFFFE00},
      {"IPR keeps 4 priority bits", kIpr0, 0xFFFFFFFF, 0xF0F0F0F0},
      {"IPR of IRQ 80/81 only", kIpr0 + 80, 0xFFFFFFFF, 0x0000F0F0},
      {"ISER of IRQ 64-81 only", kIser0 + 8, 0xFFFFFFFF, 0x0003FFFF},
      {"SHPR3: DebugMonitor, PendSV, SysTick", kShpr3, 0xFFFFFFFF, 0xF0F000F0},
      {"CPACR: CP10/CP11 fields", kCpacr, 0xFFFFFFFF, 0x00F00000},
      {"ICSR: PENDSTSET pends SysTick", kIcsr, 1u << 26, (1u << 26) | (15u << 12) | (1u << 11)},
      {"CCR resets with STKALIGN", 0xE000ED14, {}, 0x200},
  };
  for (const auto& c : cases) {
    if (c.write) m.write32(c.addr, *c.write);
    EXPECT_EQ(c.expected, m.read32(c.addr)) << c.name;
  }
}

}  // namespace
}  // namespace vb::test
