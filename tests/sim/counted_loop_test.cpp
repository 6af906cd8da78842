// Proofs of polling loops from their instructions: the passes that go the
// same way and the counters after them, for the waits of the clock's
// start-up (encodings as the compiler emits them) and loops that must not
// be proven; and the pass at which a counter wraps to zero.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "sim/core/counted_loop.hpp"

namespace vb {
namespace {

constexpr std::uint32_t kHead = 0x08000100;
constexpr std::uint64_t kAll = LoopPass::kUnbounded;

struct ProofCase {
  const char* name;
  std::vector<std::uint16_t> code;                    // from the head on
  std::vector<std::pair<int, std::uint32_t>> regs;    // at the head (the rest 0)
  std::vector<LoopRead> reads;                        // the pass's peripheral reads
  std::optional<std::uint64_t> same;                  // nullopt: no proof
  std::vector<std::pair<int, std::uint32_t>> after;   // registers after `same` passes
  std::map<std::uint32_t, std::uint32_t> ram = {};    // RAM words, and after `same` passes below
  std::map<std::uint32_t, std::uint32_t> ram_after = {};
};
void PrintTo(const ProofCase& c, std::ostream* os) { *os << c.name; }

class LoopProof : public ::testing::TestWithParam<ProofCase> {};

TEST_P(LoopProof, ShouldFindThePassThatLeavesAndTheCountersThen) {
  const ProofCase& c = GetParam();
  LoopPass::Regs regs{};
  for (auto [n, v] : c.regs) regs[static_cast<std::size_t>(n)] = v;
  const auto fetch = [&](std::uint32_t a) -> std::optional<std::uint16_t> {
    const std::uint32_t i = (a - kHead) / 2;
    if (a < kHead || i >= c.code.size()) return std::nullopt;
    return c.code[i];
  };
  const auto load = [&](std::uint32_t a, unsigned) -> std::optional<std::uint32_t> {
    if (const auto it = c.ram.find(a); it != c.ram.end()) return it->second;
    return std::nullopt;
  };
  const auto writable = [&](std::uint32_t a) { return c.ram.count(a) > 0; };

  const auto proof = LoopPass::prove(kHead, regs, 0x01000000, c.reads, fetch, load, writable);

  ASSERT_EQ(c.same.has_value(), proof.has_value()) << c.name;
  if (!proof) return;
  EXPECT_EQ(*c.same, proof->same_passes()) << c.name;
  const std::uint64_t k = *c.same == kAll ? 1000 : *c.same;
  const LoopPass::Regs after = proof->regs_after(k);
  for (auto [n, v] : c.after) EXPECT_EQ(v, after[static_cast<std::size_t>(n)]) << c.name << ": r" << n;
  std::map<std::uint32_t, std::uint32_t> ram_after;
  for (const LoopPass::Slot& s : proof->slots_after(k)) ram_after[s.addr] = s.value;
  EXPECT_EQ(c.ram_after, ram_after) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Core, LoopProof,
    ::testing::Values(
        // ldr r0,[r3,#112]; lsls r0,r0,#30; bmi; cmp r2,r1; beq; adds r2,#1; b head.
        // BDCR reads LSEON | LSEBYP without LSERDY: r2 counts 10 up to 1000.
        ProofCase{"LSE wait: count up to the limit",
                  {0x6F18, 0x0780, 0xD403, 0x428A, 0xD00F, 0x3201, 0xE7F8},
                  {{0, 0x40000000}, {1, 1000}, {2, 10}, {3, 0x40023800}},
                  {{0x40023870, 0x00000005, 4}},
                  990,
                  {{0, 0x40000000}, {1, 1000}, {2, 1000}}},
        // ldr.w r1,[r2,#2164]; lsls r1,r1,#30; bmi; subs r3,#1; bne head.
        // CSR reads LSION without LSIRDY: r3 counts 5000 down to 1.
        ProofCase{"LSIRDY wait: count a time-out down",
                  {0xF8D2, 0x1874, 0x0789, 0xD401, 0x3B01, 0xD1F9},
                  {{1, 0x40000000}, {2, 0x40023000}, {3, 5000}},
                  {{0x40023874, 0x0E000001, 4}},
                  4999,
                  {{1, 0x40000000}, {3, 1}}},
        // ldr r2,[r3,#8]; and.w r2,r2,#12; cmp r2,#4; bne head: CFGR shows HSI as the clock.
        ProofCase{"clock switch wait: no counter",
                  {0x689A, 0xF002, 0x020C, 0x2A04, 0xD1FA},
                  {{3, 0x40023800}},
                  {{0x40023808, 0x00009401, 4}},
                  kAll,
                  {{2, 0}, {3, 0x40023800}}},
        ProofCase{"reads another register than the pass recorded",
                  {0x689A, 0xF002, 0x020C, 0x2A04, 0xD1FA},
                  {{3, 0x40023800}},
                  {{0x40023804, 0x00009401, 4}},
                  std::nullopt,
                  {}},
        // lsls r0,r3,#1; subs r3,#1; bne head.
        ProofCase{"shifts the counter", {0x0058, 0x3B01, 0xD1FC}, {{0, 200}, {3, 100}}, {}, std::nullopt, {}},
        // ldr r3,[r4]; subs r3,#1; str r3,[r4]; bne head: the counter lives in RAM.
        ProofCase{"counter in a RAM word",
                  {0x6823, 0x3B01, 0x6023, 0xD1FB},
                  {{3, 300}, {4, 0x20000100}},
                  {},
                  299,
                  {{3, 1}},
                  {{0x20000100, 300}},
                  {{0x20000100, 1}}},
        // The same loop storing to a peripheral: not a counter.
        ProofCase{"stores to a peripheral",
                  {0x6823, 0x3B01, 0x6023, 0xD1FB},
                  {{3, 300}, {4, 0x40000000}},
                  {{0x40000000, 300, 4}},
                  std::nullopt,
                  {}}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(LoopProof, ShouldSolveWhereACounterWrapsToZero) {
  struct Case {
    std::uint32_t c, d;
    std::uint64_t k;
  };
  const Case cases[] = {
      {5, 0xFFFFFFFF, 5},                   // counting down by one
      {0u - 21000, 3, 7000},                // up by three from -21000
      {48000, 0xFFFFFFFC, 12000},           // down by four
      {1, 2, kAll},                         // an odd value never reaches 0 in steps of two
      {0x40000000, 0x80000000, kAll},
      {0x80000000, 0x80000000, 1},
      {0, 5, std::uint64_t{1} << 32},       // from zero, back to zero after a full turn
      {7, 0, kAll},
  };
  for (const Case& t : cases) EXPECT_EQ(t.k, first_zero(t.c, t.d)) << t.c << " + k * " << t.d;
}

}  // namespace
}  // namespace vb
