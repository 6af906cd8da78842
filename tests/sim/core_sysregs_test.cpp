// The core's special registers as programs see them: IPSR and its xPSR
// views through MRS, FAULTMASK across exception returns, VTOR alignment.
#include <gtest/gtest.h>

#include "tests/sim/core_bench.hpp"

namespace vb::test {
namespace {

constexpr int kApsr = 0, kXpsr = 3, kIpsr = 5, kEpsr = 6, kIepsr = 7, kFaultmask = 19;
constexpr std::uint32_t kIpsrBits = 0x1FF;
constexpr std::uint32_t kNmiPendSet = 1u << 31;  // ICSR
constexpr std::uint32_t kVtor = 0xE000ED08;

class CoreSpecialRegs : public CoreBench {
protected:
  // Logs MRS of special register `sysm` (r0-r3 clobbered).
  std::function<void(Thumb&)> log_mrs(int sysm) {
    return [this, sysm](Thumb& a) { a.mrs(0, sysm).bl(log_fn); };
  }
  // A branch to the next instruction: ends the block, so an interrupt
  // pended just before is taken here.
  static void block_end(Thumb& a) {
    Thumb::Label next;
    a.b(next);
    a.bind(next);
  }
};

// IRQ 0 (exception 16) reads IPSR, pends the more urgent IRQ 1 (17), and
// reads IPSR again once IRQ 1 has returned; the thread reads it before and
// after.
TEST_F(CoreSpecialRegs, ShouldReadActiveExceptionInIpsrThroughNestingAndReturn) {
  const std::uint32_t entry = t.here();
  log_mrs(kIpsr)(t);
  t.mov32(1, kIspr0).movs(2, 1).str(2, 1);  // pend IRQ 0
  block_end(t);
  log_mrs(kIpsr)(t);
  counting_loop();
  set_vector(exc::kIrq0 + 0, handler(0, [this](Thumb& a) {
               log_mrs(kIpsr)(a);
               store_bit(kIspr0, 1)(a);
               block_end(a);
               log_mrs(kIpsr)(a);
             }));
  set_vector(exc::kIrq0 + 1, handler(1, log_mrs(kIpsr)));
  load(entry);
  m.write8(kIpr0 + 0, 0x80);
  m.write8(kIpr0 + 1, 0x40);
  m.write32(kIser0, 0x3);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  EXPECT_EQ((std::vector<std::uint32_t>{0, 0, 16, 1, 17, 101, 16, 100, 0}), log());
}

// The views of the program status register that hold IPSR show it; EPSR
// and APSR do not (EPSR reads as zero through MRS).
TEST_F(CoreSpecialRegs, ShouldShowIpsrOnlyInTheViewsThatHoldIt) {
  struct Case { const char* name; int sysm; std::uint32_t ipsr_bits; };
  const Case cases[] = {{"IPSR", kIpsr, 19},  {"xPSR", kXpsr, 19}, {"IEPSR", kIepsr, 19},
                        {"EPSR", kEpsr, 0},   {"APSR", kApsr, 0}};
  const std::uint32_t entry = t.here();
  t.mov32(1, kIspr0).movs(2, 1 << 3).str(2, 1);  // pend IRQ 3 (exception 19)
  counting_loop();
  set_vector(exc::kIrq0 + 3, handler(3, [&](Thumb& a) {
               for (const Case& c : cases) log_mrs(c.sysm)(a);
             }));
  load(entry);
  m.write32(kIser0, 1u << 3);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  const std::vector<std::uint32_t> got = log();
  ASSERT_EQ(std::size(cases) + 2, got.size());
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].ipsr_bits, got[1 + i] & kIpsrBits) << cases[i].name;
}

// Every exception return but NMI's clears FAULTMASK.
struct FaultmaskCase {
  const char* name;
  bool nmi;  // the thread sets FAULTMASK and pends NMI; else IRQ 0's handler sets it
  std::uint32_t faultmask_after;
};

void PrintTo(const FaultmaskCase& c, std::ostream* os) { *os << c.name; }

class FaultmaskReturn : public CoreBench, public ::testing::WithParamInterface<FaultmaskCase> {};

TEST_P(FaultmaskReturn, ShouldClearFaultmaskOnReturnFromAnyExceptionButNmi) {
  const FaultmaskCase& c = GetParam();
  const std::uint32_t entry = t.here();
  if (c.nmi) t.cpsid_f().mov32(1, 0xE000ED04).mov32(2, kNmiPendSet).str(2, 1);
  else t.mov32(1, kIspr0).movs(2, 1).str(2, 1);
  Thumb::Label next;
  t.b(next);
  t.bind(next);
  t.mrs(0, kFaultmask).bl(log_fn);
  counting_loop();
  set_vector(exc::kNmi, handler(2));
  set_vector(exc::kIrq0, handler(0, [](Thumb& a) { a.cpsid_f(); }));
  load(entry);
  m.write32(kIser0, 1);

  EXPECT_EQ(Stop::kLimit, m.run_cycles(2000));

  const std::vector<std::uint32_t> got = log();
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(c.faultmask_after, got[2]);
}

INSTANTIATE_TEST_SUITE_P(Core, FaultmaskReturn,
                         ::testing::Values(FaultmaskCase{"set in an interrupt handler, cleared by its return", false, 0},
                                           FaultmaskCase{"set in thread mode, kept across an NMI", true, 1}));

// The vector table (98 entries) must sit on a 512-byte boundary.
TEST_F(CoreSpecialRegs, ShouldReportVectorTableOffsetNotAlignedTo512Bytes) {
  struct Case { std::uint32_t vtor; bool reported; };
  const Case cases[] = {{0x08000000, false}, {0x08000200, false}, {0x20000000, false},
                        {0x08000080, true},  {0x08000100, true},  {0x08000180, true}};
  for (const Case& c : cases) {
    Machine fresh;
    fresh.write32(kVtor, c.vtor);
    EXPECT_EQ(c.reported, fresh.faulted()) << std::hex << c.vtor;
  }
}

}  // namespace
}  // namespace vb::test
