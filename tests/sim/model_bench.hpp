// Helpers for testing models alone on a machine without an image: moving
// the cycle clock through the event queue, fixed clocks, reset-value checks.
#pragma once
#include <gtest/gtest.h>

#include <span>

#include "sim/core/machine.hpp"

namespace vb::test {

// Moves the clock to `t`, running every event at its own time on the way, as
// the core does between instructions.
inline void run_to(Machine& m, cycles_t t) {
  Scheduler& s = m.scheduler();
  while (s.next_due() <= t) {
    if (s.next_due() > s.now()) s.set_now(s.next_due());
    s.run_due();
  }
  s.set_now(t);
}
inline void run_for(Machine& m, cycles_t n) { run_to(m, m.now() + n); }

// A clock tree set by the test, every gate running unless switched off.
struct FixedClocks : ClockControl {
  ClockTree t;
  bool gates_on = true;
  const ClockTree& tree() const override { return t; }
  bool running(ClockGate) const override { return gates_on; }
};

// Every register of `map` reads its reset value.
inline void expect_reset_values(Peripheral& p, std::span<const RegDef> map) {
  for (const RegDef& r : map) EXPECT_EQ(r.reset, p.read(r.offset)) << p.name() << " " << r.name;
}

}  // namespace vb::test
