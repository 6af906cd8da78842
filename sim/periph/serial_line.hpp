// One direction of an asynchronous serial line: the waveform a sender puts on
// the wire (8N1 frames, least significant bit first) and a receiver that
// samples it the way a 16x-oversampling UART does. Sender and receiver each
// use their own bit time, so a rate mismatch turns into framing errors, noise
// flags and wrong data exactly where a real line would produce them.
//
// Times are core cycles held as doubles (a bit rarely lasts a whole number of
// cycles). The receiver only decodes a frame once the clock has passed all of
// its sample points, so later additions to the waveform (which always start at
// or after "now") never change a decision already taken.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>

#include "sim/core/scheduler.hpp"

namespace vb {

constexpr double kLineNever = std::numeric_limits<double>::infinity();

struct LineFrame {
  double start = 0;          // cycles: leading edge of the start bit
  double bit = 0;            // cycles per bit at the sender's rate
  std::uint16_t levels = 0;  // bit i = line level during bit i (bit 0 is the start bit)
  std::uint8_t nbits = 10;
  bool low_before = false;   // the line was still low right up to `start`
  // The level is inverted in [glitch_from, glitch_to): a noise spike. Given
  // relative to `start` when pushed; LineWave stores absolute times.
  double glitch_from = 0, glitch_to = 0;
  // The receiver reports a parity failure for this frame. There is no parity
  // bit on an 8N1 wire; this marks a frame the far end sent with bad parity.
  bool parity_error = false;

  double end() const { return start + bit * nbits; }
};

// Start bit, eight data bits, one stop bit.
constexpr std::uint16_t frame_levels(std::uint8_t data) {
  return static_cast<std::uint16_t>(1u << 9 | static_cast<unsigned>(data) << 1);
}

class LineWave {
public:
  // Appends a frame; it starts no earlier than the end of the previous one.
  void push(LineFrame f);
  double end() const { return frames_.empty() ? 0.0 : frames_.back().end(); }
  bool empty() const { return frames_.empty(); }
  std::size_t frames() const { return frames_.size(); }

  // Line level at t (idle lines are high).
  bool level(double t) const;
  // First falling edge at or after t; kLineNever when there is none (yet).
  double falling_edge_from(double t) const;
  // The frame whose start bit begins exactly at t, if any.
  const LineFrame* frame_starting_at(double t) const;

  // Drops frames that ended before t (nothing will sample them again).
  void forget_before(double t);
  // The sender stops driving at t (peripheral reset): later bits are idle.
  void cut_from(double t);
  void clear() { frames_.clear(); }

private:
  std::deque<LineFrame> frames_;
};

struct LineByte {
  std::uint8_t data = 0;
  bool framing_error = false;  // stop bit sampled low
  bool noise = false;          // the three samples of some bit disagreed
  bool parity_error = false;
};

// A receiver on a LineWave. `bit_time` gives the receiver's current bit time
// in cycles (0 = not receiving); it is read when a start edge is detected, so
// a rate change takes effect from the next frame, as on the chip.
class LineReceiver {
public:
  LineReceiver(Scheduler& sched, LineWave& wave, std::function<double()> bit_time,
               std::function<void(const LineByte&)> deliver)
      : sched_(sched), wave_(wave), bit_time_(std::move(bit_time)), deliver_(std::move(deliver)) {}
  ~LineReceiver() { stop(); }
  LineReceiver(const LineReceiver&) = delete;
  LineReceiver& operator=(const LineReceiver&) = delete;

  // Starts looking for a start bit from now on (receiver enabled).
  void listen();
  // Abandons the frame being received and stops (receiver disabled).
  void stop();
  bool listening() const { return listening_; }
  // The wave grew: look for a start edge if idle.
  void poke();
  // Start edge of the frame being received, kLineNever when none.
  double receiving_since() const { return pending_ ? edge_ : kLineNever; }
  // Clean frames are decoded whole instead of sample by sample (the same
  // result, cheaper); off samples every frame.
  void set_whole_frames(bool on) { whole_frames_ = on; }
  std::uint64_t frames_decoded_whole() const { return decoded_whole_; }

private:
  void search();
  void sample();
  // Sample point s (of 16) of bit k of the frame being received.
  double sample_time(int k, int s) const { return edge_ + (k + s / 16.0) * bit_; }
  // Decodes a clean frame without sampling the wave; false when sampling
  // could read it differently.
  bool decode_whole(const LineFrame& f, LineByte& b) const;

  Scheduler& sched_;
  LineWave& wave_;
  std::function<double()> bit_time_;
  std::function<void(const LineByte&)> deliver_;
  bool listening_ = false;
  double search_from_ = 0;
  Scheduler::Handle pending_ = 0;
  double edge_ = 0, bit_ = 0;
  bool whole_frames_ = true;
  std::uint64_t decoded_whole_ = 0;
};

}  // namespace vb
