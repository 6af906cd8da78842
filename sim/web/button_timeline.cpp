#include "sim/web/button_timeline.hpp"

#include <algorithm>

namespace vb::web {

std::optional<cycles_t> ButtonTimeline::place(cycles_t now, double cycles_per_ms, int page, bool pressed,
                                              std::optional<double> page_ms) {
  // Not before an edge already placed, whichever gesture it belonged to
  // (every placed edge waits in pending_, the latest last, until due).
  cycles_t floor = now;
  if (!pending_.empty()) floor = std::max(floor, pending_.back().first + 1);
  while (!pending_.empty() && pending_.front().first <= now) pending_.pop_front();

  const auto cycles = [cycles_per_ms](double ms) { return static_cast<cycles_t>(ms * cycles_per_ms); };
  const bool continues = page_ms && gesture_ && gesture_->page == page && *page_ms >= gesture_->last_page &&
                         *page_ms - gesture_->last_page <= kGestureGapMs;
  cycles_t at = floor;
  if (continues) {
    const cycles_t want = gesture_->at + cycles(*page_ms - gesture_->page_ms);
    if (want < floor) gesture_->at += floor - want;
    at = std::max(want, floor);
  } else if (page_ms) {
    at = std::max(now + cycles(kFirstEdgeDelayMs), floor);
  }

  if (pending_.size() >= kMaxPending) {
    // Full: only the release of a press already waiting is still taken.
    if (pressed || !pending_.back().second) return std::nullopt;
  }
  if (!page_ms)
    gesture_.reset();
  else if (continues)
    gesture_->last_page = *page_ms;
  else
    gesture_ = Gesture{page, at, *page_ms, *page_ms};
  pending_.emplace_back(at, pressed);
  return at;
}

}  // namespace vb::web
