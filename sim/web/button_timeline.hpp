// The push button as a page holds it. The page stamps each press and
// release with its own clock (ms); the board keeps those intervals in
// device time, whatever delays the messages meet on the way:
//  - the first edge of a gesture takes effect kFirstEdgeDelayMs after it
//    arrives, so that the edges after it, with delays of their own, still
//    land as far apart as the page saw them;
//  - an edge that arrives too late for its place moves the gesture's
//    origin, so that the edges after it keep their spacing;
//  - edges further apart than kGestureGapMs, from another page, or without
//    a page time start over (an edge without one takes effect at once);
//  - edges never overtake one another;
//  - at most kMaxPending edges wait for their time (a page cannot fill the
//    board's event queue); past that only the release of a press already
//    waiting is taken.
#pragma once
#include <cstddef>
#include <deque>
#include <optional>

#include "sim/core/scheduler.hpp"

namespace vb::web {

class ButtonTimeline {
public:
  static constexpr double kFirstEdgeDelayMs = 40;
  static constexpr double kGestureGapMs = 2000;
  static constexpr std::size_t kMaxPending = 32;

  // When (device cycles) the edge from `page` arriving at `now` is to take
  // effect, with `cycles_per_ms` the core's clock; nullopt when it is
  // refused because too many edges wait.
  std::optional<cycles_t> place(cycles_t now, double cycles_per_ms, int page, bool pressed,
                                std::optional<double> page_ms);
  // A gesture is under way (its edges may still be waiting).
  bool active() const { return gesture_.has_value(); }

private:
  struct Gesture {
    int page = 0;          // the page whose clock page_ms is on
    cycles_t at = 0;       // device time of the gesture's origin
    double page_ms = 0;    // the page's time of that origin
    double last_page = 0;  // the page's time of its latest edge
  };
  std::optional<Gesture> gesture_;
  std::deque<std::pair<cycles_t, bool>> pending_;  // edges placed and not yet due: time, pressed
};

}  // namespace vb::web
