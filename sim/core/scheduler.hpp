// One event queue for every model of the virtual board. Time is the core's
// cycle counter (HCLK cycles since reset); models convert their own clocks
// into cycles with the frequencies the RCC model publishes.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

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
    queue_.emplace(Key{when, h}, std::move(fn));
    return h;
  }
  Handle after(cycles_t delay, std::function<void()> fn) { return at(now_ + delay, std::move(fn)); }

  // Removes a pending event; false when it already ran or never existed.
  bool cancel(Handle h) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
      if (it->first.second == h) { queue_.erase(it); return true; }
    return false;
  }

  cycles_t next_due() const { return queue_.empty() ? kNever : queue_.begin()->first.first; }
  bool empty() const { return queue_.empty(); }
  std::size_t pending() const { return queue_.size(); }

  // Core only: the clock moves forward by executed cycles.
  void advance(cycles_t delta) { now_ += delta; }
  void set_now(cycles_t t) { now_ = t; }

  // Runs every event due at or before now, in time order, then insertion order.
  // Events may schedule further events; those due now run in the same call.
  void run_due() {
    while (!queue_.empty() && queue_.begin()->first.first <= now_) {
      auto node = queue_.extract(queue_.begin());
      ++dispatched_;
      node.mapped()();
    }
  }

  // Events run so far: the core compares it to see whether any ran meanwhile.
  std::uint64_t dispatched() const { return dispatched_; }

private:
  using Key = std::pair<cycles_t, Handle>;
  std::map<Key, std::function<void()>> queue_;
  cycles_t now_ = 0;
  Handle last_ = 0;
  std::uint64_t dispatched_ = 0;
};

}  // namespace vb
