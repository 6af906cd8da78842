// One event queue for every model of the virtual board. Time is the core's
// cycle counter (HCLK cycles since reset); models convert their own clocks
// into cycles with the frequencies the RCC model publishes.
#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace vb {

using cycles_t = std::uint64_t;
constexpr cycles_t kNever = ~cycles_t{0};

class Scheduler {
public:
  using Handle = std::uint64_t;  // 0 is never a valid handle

  cycles_t now() const { return now_; }

  // Runs fn once the clock has reached `when` (at the next block boundary or
  // MMIO access). A time in the past runs at the next dispatch.
  Handle at(cycles_t when, std::function<void()> fn) {
    Handle h = ++last_;
    // Latest first; a new event goes behind those due at the same time.
    const auto pos = std::lower_bound(queue_.begin(), queue_.end(), when,
                                      [](const Event& e, cycles_t t) { return e.when > t; });
    queue_.insert(pos, Event{when, h, std::move(fn)});
    return h;
  }
  Handle after(cycles_t delay, std::function<void()> fn) { return at(now_ + delay, std::move(fn)); }

  // Removes a pending event; false when it already ran or never existed.
  bool cancel(Handle h) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
      if (it->handle == h) { queue_.erase(it); return true; }
    return false;
  }

  cycles_t next_due() const { return queue_.empty() ? kNever : queue_.back().when; }
  bool empty() const { return queue_.empty(); }
  std::size_t pending() const { return queue_.size(); }

  // Core only: the clock moves forward by executed cycles.
  void advance(cycles_t delta) { now_ += delta; }
  void set_now(cycles_t t) { now_ = t; }

  // Runs every event due at or before now, in time order, then insertion order.
  // Events may schedule further events; those due now run in the same call.
  void run_due() {
    while (!queue_.empty() && queue_.back().when <= now_) {
      const std::function<void()> fn = std::move(queue_.back().fn);
      queue_.pop_back();
      ++dispatched_;
      fn();
    }
  }

  // Events run so far: the core compares it to see whether any ran meanwhile.
  std::uint64_t dispatched() const { return dispatched_; }

private:
  struct Event {
    cycles_t when;
    Handle handle;
    std::function<void()> fn;
  };
  // Sorted latest first, so the next event is taken from the back without
  // moving the others; the storage is kept, so queuing allocates nothing
  // once the queue has reached its usual length.
  std::vector<Event> queue_;
  cycles_t now_ = 0;
  Handle last_ = 0;
  std::uint64_t dispatched_ = 0;
};

}  // namespace vb
