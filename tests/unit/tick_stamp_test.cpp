// Consistent readings of the SysTick tick count and cycle stamp: a reload
// between the parts of a reading must never produce a value that runs ahead
// or falls a tick behind unnoticed.
#include <gtest/gtest.h>

#include <cstdint>

#include "system/tick_stamp.hpp"

namespace {

using fw::kCyclesPerTick;

TEST(CycleStamp, ShouldAdvanceOneCyclePerCountAcrossAReload) {
  // Consecutive SysTick states around the reload from tick 5 to tick 6:
  // the current value counts down to 0, then reloads to 143999.
  struct State {
    std::uint64_t ticks;
    std::uint32_t current;
  };
  const State states[] = {{5, 2}, {5, 1}, {5, 0}, {6, 143999}, {6, 143998}};
  for (std::size_t i = 1; i < std::size(states); ++i) {
    EXPECT_EQ(fw::cycle_stamp(states[i - 1].ticks, states[i - 1].current) + 1,
              fw::cycle_stamp(states[i].ticks, states[i].current))
        << "step " << i;
  }
}

TEST(CycleStamp, ShouldIgnoreBitsAboveTheCounterWidth) {
  EXPECT_EQ(fw::cycle_stamp(3, 100), fw::cycle_stamp(3, 0xFF000000u | 100));
}

TEST(StampsConsistent, ShouldRejectAPairWithATornOrLateStamp) {
  const std::uint64_t t = 7 * kCyclesPerTick + 500;  // a true "now"
  // A stamp torn by a reload: tick count read before the increment, current
  // value after the reload, i.e. almost one tick short.
  const std::uint64_t torn = t - kCyclesPerTick + 40;
  struct Case {
    const char* what;
    std::uint64_t first, second;
    bool consistent;
  };
  const Case cases[] = {
      {"back-to-back readings", t, t + 30, true},
      {"readings just under half a tick apart", t, t + kCyclesPerTick / 2 - 1, true},
      {"same value twice (counter not running)", t, t, false},
      {"second reading torn", t, torn + 30, false},
      {"first reading torn", torn, t + 30, false},
      {"interrupted for half a tick or more", t, t + kCyclesPerTick / 2, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.consistent, fw::stamps_consistent(c.first, c.second)) << c.what;
}

// A 64-bit counter read through its halves while an "interrupt" increments
// it right after a chosen read.
struct SplitCounter {
  std::uint64_t value;
  int reads = 0;
  int increment_after;  // read number after which the counter steps; -1: never
  std::uint32_t read(bool high) {
    const std::uint32_t half = high ? static_cast<std::uint32_t>(value >> 32) : static_cast<std::uint32_t>(value);
    if (reads++ == increment_after) ++value;
    return half;
  }
};

TEST(ReadSplitCounter, ShouldReturnTheOldOrNewValueWhenTheLowHalfWraps) {
  const std::uint64_t before = 0x00000000FFFFFFFFull, after = before + 1;
  struct Case {
    int increment_after;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {-1, before},  // no increment during the reading
      {0, after},    // between the first high half and the low half
      {1, after},    // between the low half and the second high half
      {2, before},   // after the reading was complete
  };
  for (const auto& c : cases) {
    SplitCounter counter{before, 0, c.increment_after};
    const std::uint64_t got =
        fw::read_split_counter([&] { return counter.read(true); }, [&] { return counter.read(false); });
    EXPECT_EQ(c.expected, got) << "increment after read " << c.increment_after;
  }
}

}  // namespace
