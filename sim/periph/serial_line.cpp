#include "sim/periph/serial_line.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vb {
namespace {

bool bit_level(const LineFrame& f, int i) { return (f.levels >> i) & 1u; }

bool in_glitch(const LineFrame& f, double t) { return t >= f.glitch_from && t < f.glitch_to; }

// Which bit of a frame is on the wire at t (start <= t < end).
int bit_index(const LineFrame& f, double t) {
  return std::clamp(static_cast<int>(std::floor((t - f.start) / f.bit)), 0, f.nbits - 1);
}

// Level inside a frame at t (start <= t < end).
bool level_in(const LineFrame& f, double t) { return bit_level(f, bit_index(f, t)) != in_glitch(f, t); }

// Frames ordered by start time: the first that starts after t.
template <typename It>
It first_after(It begin, It end, double t) {
  return std::upper_bound(begin, end, t, [](double x, const LineFrame& f) { return x < f.start; });
}

// The frame's level changes, in time order: bit boundaries and glitch ends.
struct Step { double at; bool level; };
constexpr std::size_t kMaxSteps = 16 + 2;

std::size_t steps_of(const LineFrame& f, std::array<Step, kMaxSteps>& out) {
  std::size_t n = 0;
  for (int i = 0; i < f.nbits && n < kMaxSteps - 2; ++i) {
    const double at = f.start + i * f.bit;
    // Bit boundaries take the bit's own level (no floor() rounding at the edge).
    out[n++] = {at, bit_level(f, i) != in_glitch(f, at)};
  }
  if (f.glitch_to > f.glitch_from) {
    for (double at : {f.glitch_from, f.glitch_to})
      if (at > f.start && at < f.end()) out[n++] = {at, level_in(f, at)};
    std::sort(out.begin(), out.begin() + n, [](const Step& a, const Step& b) { return a.at < b.at; });
  }
  return n;
}

}  // namespace

void LineWave::push(LineFrame f) {
  if (!frames_.empty()) {
    const LineFrame& last = frames_.back();
    const double prev_end = last.end();
    if (f.start < prev_end) f.start = prev_end;
    f.low_before = f.start == prev_end && !bit_level(last, last.nbits - 1);
  }
  if (f.glitch_to > f.glitch_from) {  // glitch given relative to the frame start
    f.glitch_from += f.start;
    f.glitch_to += f.start;
  }
  frames_.push_back(f);
}

bool LineWave::level(double t) const {
  auto it = first_after(frames_.begin(), frames_.end(), t);
  if (it == frames_.begin()) return true;
  const LineFrame& f = *std::prev(it);
  return t < f.end() ? level_in(f, t) : true;
}

double LineWave::falling_edge_from(double t) const {
  std::array<Step, kMaxSteps> steps;
  for (const LineFrame& f : frames_) {
    if (f.end() <= t) continue;
    const std::size_t n = steps_of(f, steps);
    bool before = !f.low_before;
    for (std::size_t i = 0; i < n; ++i) {
      if (before && !steps[i].level && steps[i].at >= t) return steps[i].at;
      before = steps[i].level;
    }
  }
  return kLineNever;
}

const LineFrame* LineWave::frame_starting_at(double t) const {
  auto it = first_after(frames_.begin(), frames_.end(), t);
  if (it == frames_.begin()) return nullptr;
  const LineFrame& f = *std::prev(it);
  return f.start == t ? &f : nullptr;
}

void LineWave::forget_before(double t) {
  while (!frames_.empty() && frames_.front().end() < t) frames_.pop_front();
}

void LineWave::cut_from(double t) {
  while (!frames_.empty() && frames_.back().start >= t) frames_.pop_back();
  if (frames_.empty()) return;
  LineFrame& f = frames_.back();
  if (f.end() <= t) return;
  // The bit being sent is finished as it was; every later bit is idle high.
  const int cur = static_cast<int>(std::floor((t - f.start) / f.bit));
  for (int i = cur + 1; i < f.nbits; ++i) f.levels |= static_cast<std::uint16_t>(1u << i);
  if (f.glitch_from >= t) f.glitch_from = f.glitch_to = 0;
}

void LineReceiver::listen() {
  stop();
  listening_ = true;
  search_from_ = static_cast<double>(sched_.now());
  search();
}

void LineReceiver::stop() {
  if (pending_) sched_.cancel(pending_);
  pending_ = 0;
  listening_ = false;
}

void LineReceiver::poke() {
  if (listening_ && !pending_) search();
}

void LineReceiver::search() {
  wave_.forget_before(search_from_);
  const double edge = wave_.falling_edge_from(search_from_);
  if (edge == kLineNever) return;
  const double bit = bit_time_();
  if (!(bit > 0)) return;
  edge_ = edge;
  bit_ = bit;
  // Decide once the last sample point of the stop bit has passed.
  const double last = edge + (9.0 + 9.0 / 16.0) * bit;
  pending_ = sched_.at(static_cast<cycles_t>(std::ceil(last)), [this] {
    pending_ = 0;
    sample();
  });
}

bool LineReceiver::decode_whole(const LineFrame& f, LineByte& b) const {
  if (f.glitch_to > f.glitch_from || f.nbits < 10 || bit_level(f, 0)) return false;
  // Sample times grow with (k, s), and so does the bit they fall in: the
  // first and last sample of each bit bound the middle one.
  for (int k = 0; k <= 9; ++k)
    for (int s : {7, 9}) {
      const double t = sample_time(k, s);
      if (!(t < f.end()) || bit_index(f, t) != k) return false;
    }
  b.data = static_cast<std::uint8_t>(f.levels >> 1);
  b.framing_error = !bit_level(f, 9);
  b.noise = false;
  return true;
}

void LineReceiver::sample() {
  // Each bit is sampled at 7/16, 8/16 and 9/16 of its time and decided by
  // majority; disagreeing samples raise the noise flag. (The chip also checks
  // the start bit with extra samples and detects the edge to 1/16 of a bit;
  // here the edge is taken at its exact time.) A clean frame that starts at
  // the edge and holds every sample point in its own bit reads as sent:
  // decoded whole, with the same result as sampling it.
  LineByte b;
  const LineFrame* f = wave_.frame_starting_at(edge_);
  if (whole_frames_ && f != nullptr && decode_whole(*f, b)) {
    ++decoded_whole_;
  } else {
    bool noise = false;
    auto bit_at = [&](int k) {
      int highs = 0;
      for (int s = 7; s <= 9; ++s) highs += wave_.level(sample_time(k, s)) ? 1 : 0;
      if (highs != 0 && highs != 3) noise = true;
      return highs >= 2;
    };
    if (bit_at(0)) {  // start bit not low at its middle: a spike, not a frame
      search_from_ = edge_ + (9.0 / 16.0) * bit_;
      search();
      return;
    }
    for (int k = 1; k <= 8; ++k)
      if (bit_at(k)) b.data |= static_cast<std::uint8_t>(1u << (k - 1));
    b.framing_error = !bit_at(9);
    b.noise = noise;
  }
  b.parity_error = f != nullptr && f->parity_error;
  search_from_ = edge_ + (9.0 + 9.0 / 16.0) * bit_;

  deliver_(b);
  if (listening_) search();
}

}  // namespace vb
