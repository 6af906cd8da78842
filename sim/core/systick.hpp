// The core's 24-bit SysTick down-counter (CTRL, LOAD, VAL, CALIB at
// 0xE000E010). It counts the processor clock (CLKSOURCE = 1) or the chip's
// external reference, HCLK / 8 (CLKSOURCE = 0). When the count moves from 1
// to 0 it sets COUNTFLAG and, with TICKINT, pends the SysTick exception; the
// next tick reloads LOAD. The counter is not stepped: its value is computed
// from the cycle clock, and one event per wrap is queued.
#pragma once
#include <cstdint>
#include <functional>

#include "sim/core/scheduler.hpp"
#include "sim/core/unknown_values.hpp"

namespace vb {

namespace systick_reg {
inline constexpr std::uint32_t CTRL = 0x0;
inline constexpr std::uint32_t LOAD = 0x4;
inline constexpr std::uint32_t VAL = 0x8;
inline constexpr std::uint32_t CALIB = 0xC;
inline constexpr std::uint32_t CTRL_ENABLE = 1u << 0;
inline constexpr std::uint32_t CTRL_TICKINT = 1u << 1;
inline constexpr std::uint32_t CTRL_CLKSOURCE = 1u << 2;
inline constexpr std::uint32_t CTRL_COUNTFLAG = 1u << 16;
inline constexpr std::uint32_t kCount = 0x00FFFFFF;
// No separate reference flag (NOREF = 0), inexact (SKEW = 1), 18750 ticks of
// the HCLK / 8 reference = 1 ms at 150 MHz.
inline constexpr std::uint32_t kCalib = 0x40000000 | 18750;
}  // namespace systick_reg

class SysTickTimer {
public:
  // `pend` is called at every wrap with TICKINT set.
  SysTickTimer(Scheduler& sched, std::function<void()> pend);
  ~SysTickTimer();
  SysTickTimer(const SysTickTimer&) = delete;
  SysTickTimer& operator=(const SysTickTimer&) = delete;

  // Register access at offsets 0x0-0xC of the block; reading CTRL clears
  // COUNTFLAG, any write of VAL clears VAL and COUNTFLAG.
  std::uint32_t read(std::uint32_t offset);
  // As read(), but a read of CTRL leaves COUNTFLAG set (a debugger's view).
  std::uint32_t peek(std::uint32_t offset) const;
  void write(std::uint32_t offset, std::uint32_t value);
  // LOAD and VAL are UNKNOWN after a reset: each reset takes the next
  // values of this source (seeded at power-on).
  void reset();
  void set_unknown_source(std::uint64_t seed) { unknown_ = UnknownValues(seed); }

  // Without side effects, for reports and tests.
  bool countflag() const { return countflag_; }

private:
  std::uint32_t divider() const { return (ctrl_ & systick_reg::CTRL_CLKSOURCE) ? 1 : 8; }
  bool running() const { return ctrl_ & systick_reg::CTRL_ENABLE; }
  std::uint32_t value_at(cycles_t t) const;
  // Restarts the arithmetic at now with the current value (after any write).
  void reanchor();
  void schedule();
  void wrap(cycles_t when);

  Scheduler& sched_;
  std::function<void()> pend_;
  std::uint32_t ctrl_ = 0;
  std::uint32_t load_ = 0;
  bool countflag_ = false;
  // Counting state: at cycle anchor_ the counter held anchor_value_.
  cycles_t anchor_ = 0;
  std::uint32_t anchor_value_ = 0;
  Scheduler::Handle event_ = 0;
  UnknownValues unknown_;
};

}  // namespace vb
