// Interrupt lines with more than one source (TIM1 update and TIM10 on one
// line, TIM6 and the DAC on another): the line is the OR of its sources.
#include <gtest/gtest.h>

#include <vector>

#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"

namespace vb::test {
namespace {

constexpr int kSharedIrq = 25;

// Sources by index: 0 is "no source given", 1 and 2 are two models.
struct Step {
  int source;
  bool level;
  bool line_high;  // expected afterwards
  bool pends;      // expected: this step raised the line
};

struct LineCase {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SharedLine : public ::testing::TestWithParam<LineCase> {
protected:
  Machine m;
  const int a_ = 0, b_ = 0;
  const void* source(int i) const { return i == 1 ? static_cast<const void*>(&a_) : i == 2 ? &b_ : nullptr; }
};

TEST_P(SharedLine, ShouldStayHighWhileAnySourceAssertsIt) {
  const LineCase& c = GetParam();
  const int number = exc::kIrq0 + kSharedIrq;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    m.set_irq(kSharedIrq, s.level, source(s.source));
    EXPECT_EQ(s.line_high, m.nvic().irq_level(kSharedIrq)) << c.name << ", step " << i;
    EXPECT_EQ(s.pends, m.nvic().pending(number)) << c.name << ", step " << i;
    m.nvic().clear_pending(number);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Core, SharedLine,
    ::testing::Values(
        LineCase{"one source lowering leaves the other's request",
                 {{1, true, true, true}, {2, true, true, false}, {1, false, true, false}, {2, false, false, false}}},
        LineCase{"lowering twice does not take away another's request",
                 {{2, true, true, true}, {1, false, true, false}, {1, false, true, false}, {2, false, false, false}}},
        LineCase{"asserting twice is one request",
                 {{1, true, true, true}, {1, true, true, false}, {1, false, false, false}}},
        LineCase{"callers without a source are one source",
                 {{0, true, true, true}, {0, true, true, false}, {0, false, false, false}}},
        LineCase{"a named source and an unnamed one",
                 {{0, true, true, true}, {1, true, true, false}, {0, false, true, false}, {1, false, false, false}}},
        LineCase{"a new request after the line fell pends again",
                 {{1, true, true, true}, {1, false, false, false}, {2, true, true, true}}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace vb::test
