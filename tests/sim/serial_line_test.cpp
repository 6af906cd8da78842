// The serial line's receiver decodes clean frames whole instead of sampling
// them: with that on or off, every frame reads the same, whatever the rate
// mismatch, noise spikes, bad stop bits and gaps on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/core/scheduler.hpp"
#include "sim/periph/serial_line.hpp"

namespace vb::test {
namespace {

struct Decoded {
  std::uint8_t data;
  bool fe, nf, pe;
  double at;
  bool operator==(const Decoded&) const = default;
};

// The sender's frames: bytes of every shape, a noise spike on every 7th, a
// low stop bit on every 11th, a parity mark on every 13th and a gap of a
// few bit times after every 5th.
std::vector<LineFrame> frames(double bit) {
  std::vector<LineFrame> out;
  double t = 100;
  for (int i = 0; i < 96; ++i) {
    const auto data = static_cast<std::uint8_t>(i * 37 + (i % 3 == 0 ? 0xFF : 0x00));
    LineFrame f{.start = t, .bit = bit, .levels = frame_levels(data)};
    if (i % 7 == 3) {
      f.glitch_from = (4 + 7.5 / 16) * bit;
      f.glitch_to = (4 + 8.5 / 16) * bit;
    }
    if (i % 11 == 5) {
      f.levels = static_cast<std::uint16_t>((f.levels & ~(1u << 9)) | 1u << 10);
      f.nbits = 11;
    }
    f.parity_error = i % 13 == 6;
    out.push_back(f);
    t = f.end() + (i % 5 == 4 ? 2.5 * bit : 0);
  }
  return out;
}

struct Received {
  std::vector<Decoded> got;
  std::uint64_t whole = 0;
};

Received receive(double send_bit, double recv_bit, bool whole) {
  Scheduler sched;
  LineWave wave;
  Received r;
  LineReceiver rx(sched, wave, [&] { return recv_bit; },
                  [&](const LineByte& b) {
                    r.got.push_back({b.data, b.framing_error, b.noise, b.parity_error,
                                     static_cast<double>(sched.now())});
                  });
  rx.set_whole_frames(whole);
  rx.listen();
  for (const LineFrame& f : frames(send_bit)) {
    wave.push(f);
    rx.poke();
  }
  while (!sched.empty()) {
    if (sched.next_due() > sched.now()) sched.set_now(sched.next_due());
    sched.run_due();
  }
  r.whole = rx.frames_decoded_whole();
  return r;
}

TEST(SerialLine, ShouldDecodeTheSameWithWholeFrameDecodingOnAndOff) {
  // Receiver bit time over the sender's: equal, the firmware's 115200 bit/s
  // BRR against an exact peer, within and beyond the receiver's tolerance,
  // and far off.
  const double kRatios[] = {1.0, 1248.0 / 1250.0, 1250.0 / 1248.0, 1.03, 0.97, 1.05, 0.95, 1.2, 0.8, 2.0, 0.5};
  const double send_bit = 1250.0;
  for (double ratio : kRatios) {
    SCOPED_TRACE(ratio);
    const Received sampled = receive(send_bit, send_bit * ratio, false);
    const Received whole = receive(send_bit, send_bit * ratio, true);
    EXPECT_EQ(0u, sampled.whole);
    ASSERT_FALSE(sampled.got.empty());
    EXPECT_EQ(sampled.got, whole.got);
    if (ratio > 0.97 && ratio < 1.03) {
      EXPECT_GT(whole.whole, 60u) << "clean frames were not decoded whole";
    }
  }
}

}  // namespace
}  // namespace vb::test
