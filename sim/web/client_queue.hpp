// What waits to be written to one page: console bytes, which are never
// dropped while the page is connected, and status and audio frames, of
// which only the latest few are worth sending to a page that reads slowly.
// The queue is bounded both ways: lossy frames beyond their budget go,
// oldest first; lossless bytes beyond theirs make push() fail, and the
// caller disconnects that page with a reason.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace vb::web {

struct Frame {
  std::shared_ptr<const std::string> data;  // shared by every page it goes to
  bool text = false;                        // JSON text, else binary
  bool lossless = false;                    // console bytes: never dropped
};

class ClientQueue {
public:
  ClientQueue(std::size_t lossless_budget, std::size_t lossy_budget)
      : lossless_budget_(lossless_budget), lossy_budget_(lossy_budget) {}

  // Queues `f` behind what waits. False when lossless bytes would pass their
  // budget (`f` is not queued: the page is too slow for the console).
  bool push(Frame f);
  std::optional<Frame> pop();
  void clear();

  std::size_t bytes() const { return lossless_bytes_ + lossy_bytes_; }
  std::size_t frames() const { return q_.size(); }
  std::uint64_t dropped() const { return dropped_; }  // lossy frames let go

private:
  std::deque<Frame> q_;
  std::size_t lossless_budget_, lossy_budget_;
  std::size_t lossless_bytes_ = 0, lossy_bytes_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace vb::web
