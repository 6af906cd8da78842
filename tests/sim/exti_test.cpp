#include "sim/periph/exti.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace exti_reg;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

struct ExtiBench {
  Machine m;
  Exti exti;
  ExtiBench() { m.attach(exti); }
  void write(std::uint32_t off, std::uint32_t v) { exti.write(off, v, kAll); }
  std::uint32_t read(std::uint32_t off) { return exti.read(off); }
};

TEST(Exti, ShouldSetPendingOnlyOnSelectedEdgeOfUnmaskedLine) {
  struct Case { const char* what; bool rising, falling, masked, from, to, pending; };
  const Case cases[] = {
      {"rising edge selected", true, false, false, false, true, true},
      {"falling edge not selected", true, false, false, true, false, false},
      {"falling edge selected", false, true, false, true, false, true},
      {"both edges, rising", true, true, false, false, true, true},
      {"no edge selected", false, false, false, false, true, false},
      {"masked line", true, true, true, false, true, false},
      {"no change of level", true, true, false, true, true, false},
  };
  for (const Case& c : cases) {
    ExtiBench b;
    const int line = 3;
    b.exti.set_line(line, c.from);
    b.write(RTSR, c.rising ? 1u << line : 0);
    b.write(FTSR, c.falling ? 1u << line : 0);
    b.write(IMR, c.masked ? 0 : 1u << line);
    b.exti.set_line(line, c.to);
    EXPECT_EQ(c.pending ? 1u << line : 0, b.read(PR)) << c.what;
  }
}

TEST(Exti, ShouldSetPendingFromSoftwareOnlyWhenUnmasked) {
  for (bool unmasked : {true, false}) {
    ExtiBench b;
    b.write(IMR, unmasked ? 1u << 18 : 0);
    b.write(SWIER, 1u << 18);
    EXPECT_EQ(unmasked ? 1u << 18 : 0, b.read(PR)) << "unmasked " << unmasked;
  }
}

TEST(Exti, ShouldClearPendingAndSoftwareTriggerOnlyWhereOneIsWritten) {
  ExtiBench b;
  b.write(IMR, 0x3);
  b.write(SWIER, 0x3);
  b.write(PR, 0);
  EXPECT_EQ(0x3u, b.read(PR));
  b.write(PR, 0x1);
  EXPECT_EQ(0x2u, b.read(PR));
  EXPECT_EQ(0x2u, b.read(SWIER));
}

TEST(Exti, ShouldRaiseNvicInterruptOfEachLine) {
  const std::pair<int, int> cases[] = {{0, 6}, {4, 10}, {5, 23}, {9, 23}, {10, 40}, {15, 40},
                                       {16, 1}, {17, 41}, {18, 42}, {22, 3}};
  for (auto [line, irq] : cases) {
    ExtiBench b;
    b.write(IMR, 1u << line);
    b.write(SWIER, 1u << line);
    EXPECT_TRUE(b.exti.irq_level(irq)) << "line " << line;
    b.write(PR, 1u << line);
    EXPECT_FALSE(b.exti.irq_level(irq)) << "line " << line;
  }
}

TEST(Exti, ShouldKeepSharedInterruptHighWhileAnyOfItsLinesIsPending) {
  ExtiBench b;
  b.write(IMR, (1u << 5) | (1u << 7));
  b.write(SWIER, (1u << 5) | (1u << 7));
  b.write(PR, 1u << 5);
  EXPECT_TRUE(b.exti.irq_level(23));
  b.write(PR, 1u << 7);
  EXPECT_FALSE(b.exti.irq_level(23));
}

}  // namespace
}  // namespace vb
