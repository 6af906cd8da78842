#include "sim/core/systick.hpp"

namespace vb {

using namespace systick_reg;

SysTickTimer::SysTickTimer(Scheduler& sched, std::function<void()> pend) : sched_(sched), pend_(std::move(pend)) {}

SysTickTimer::~SysTickTimer() {
  if (event_) sched_.cancel(event_);
}

void SysTickTimer::reset() {
  if (event_) sched_.cancel(event_);
  event_ = 0;
  ctrl_ = 0;
  // LOAD and VAL are UNKNOWN after reset: whatever the counter held. The
  // firmware must write both before it enables the counter.
  load_ = static_cast<std::uint32_t>(unknown_.next()) & kCount;
  countflag_ = false;
  anchor_ = sched_.now();
  anchor_value_ = static_cast<std::uint32_t>(unknown_.next()) & kCount;
}

std::uint32_t SysTickTimer::value_at(cycles_t t) const {
  if (!running() || t <= anchor_) return anchor_value_;
  const cycles_t ticks = (t - anchor_) / divider();
  if (ticks <= anchor_value_) return anchor_value_ - static_cast<std::uint32_t>(ticks);
  if (load_ == 0) return 0;  // reloading 0 stops the counter at 0
  const cycles_t since_zero = ticks - anchor_value_ - 1;
  return load_ - static_cast<std::uint32_t>(since_zero % (cycles_t{load_} + 1));
}

void SysTickTimer::reanchor() {
  anchor_value_ = value_at(sched_.now());
  anchor_ = sched_.now();
}

void SysTickTimer::schedule() {
  if (event_) sched_.cancel(event_);
  event_ = 0;
  if (!running()) return;
  // Ticks from the anchor to the next 1 -> 0 step: the counter first runs
  // down from its value; from 0 it reloads and needs LOAD + 1 ticks.
  cycles_t ticks;
  if (anchor_value_ > 0)
    ticks = anchor_value_;
  else if (load_ > 0)
    ticks = cycles_t{load_} + 1;
  else
    return;  // 0 reloads 0: no further wrap
  const cycles_t when = anchor_ + ticks * divider();
  event_ = sched_.at(when, [this, when] { wrap(when); });
}

void SysTickTimer::wrap(cycles_t when) {
  event_ = 0;
  anchor_ = when;
  anchor_value_ = 0;
  countflag_ = true;
  if (ctrl_ & CTRL_TICKINT) pend_();
  schedule();
}

std::uint32_t SysTickTimer::peek(std::uint32_t offset) const {
  if (offset == CTRL) return ctrl_ | (countflag_ ? CTRL_COUNTFLAG : 0);
  return const_cast<SysTickTimer*>(this)->read(offset);
}

std::uint32_t SysTickTimer::read(std::uint32_t offset) {
  switch (offset) {
    case CTRL: {
      const std::uint32_t v = ctrl_ | (countflag_ ? CTRL_COUNTFLAG : 0);
      countflag_ = false;  // COUNTFLAG clears when CTRL is read
      return v;
    }
    case LOAD: return load_;
    case VAL: return value_at(sched_.now());
    default: return kCalib;
  }
}

void SysTickTimer::write(std::uint32_t offset, std::uint32_t value) {
  switch (offset) {
    case CTRL:
      reanchor();  // the value so far, at the old clock source
      ctrl_ = value & (CTRL_ENABLE | CTRL_TICKINT | CTRL_CLKSOURCE);
      break;
    case LOAD:
      reanchor();  // a new LOAD takes effect at the next reload
      load_ = value & kCount;
      break;
    case VAL:
      anchor_ = sched_.now();
      anchor_value_ = 0;  // any write clears the counter and COUNTFLAG
      countflag_ = false;
      break;
    default:
      return;  // CALIB is read-only
  }
  schedule();
}

}  // namespace vb
