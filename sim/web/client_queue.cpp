#include "sim/web/client_queue.hpp"

namespace vb::web {

bool ClientQueue::push(Frame f) {
  const std::size_t n = f.data ? f.data->size() : 0;
  if (f.lossless) {
    if (lossless_bytes_ + n > lossless_budget_) return false;
    lossless_bytes_ += n;
    q_.push_back(std::move(f));
    return true;
  }
  lossy_bytes_ += n;
  q_.push_back(std::move(f));
  // Oldest lossy frames go first; the newest one always stays.
  for (auto it = q_.begin(); lossy_bytes_ > lossy_budget_ && it != q_.end();) {
    if (it->lossless || std::next(it) == q_.end()) {
      ++it;
      continue;
    }
    lossy_bytes_ -= it->data ? it->data->size() : 0;
    it = q_.erase(it);
    ++dropped_;
  }
  return true;
}

std::optional<Frame> ClientQueue::pop() {
  if (q_.empty()) return std::nullopt;
  Frame f = std::move(q_.front());
  q_.pop_front();
  (f.lossless ? lossless_bytes_ : lossy_bytes_) -= f.data ? f.data->size() : 0;
  return f;
}

void ClientQueue::clear() {
  q_.clear();
  lossless_bytes_ = lossy_bytes_ = 0;
}

}  // namespace vb::web
