// One direction of full-rate traffic through the firmware's serial bridge:
// the peer of one port keeps its line busy with a known byte stream, the
// peer of the other port checks that the stream arrives complete and in
// order. Only a few frames are queued ahead and nothing received is kept, so
// the stream itself holds the same small state however long it runs.
#pragma once
#include <cstdint>

#include "sim/core/machine.hpp"
#include "sim/periph/usart.hpp"

namespace vb::test {

class BridgeStream {
public:
  // Printable bytes in a fixed order (Ctrl-A is the console's escape);
  // `salt` tells the directions apart.
  static std::uint8_t byte_at(std::uint64_t i, unsigned salt) {
    return static_cast<std::uint8_t>(' ' + (i * 7 + salt) % 95);
  }

  BridgeStream(Machine& m, Usart& from, Usart& to, unsigned salt, double bps = 115200)
      : m_(m), from_(from), to_(to), salt_(salt), bps_(bps) {
    to_.set_peer_baud(bps);
    to_.on_peer_byte([this](const LineByte& b) {
      if (b.data != byte_at(received_, salt_) || b.framing_error || b.noise) ++wrong_;
      ++received_;
    });
  }
  ~BridgeStream() { to_.on_peer_byte({}); }
  BridgeStream(const BridgeStream&) = delete;
  BridgeStream& operator=(const BridgeStream&) = delete;

  // Queues bytes until the sending peer's line is busy for `ahead` cycles.
  void top_up(cycles_t ahead) {
    from_.set_peer_baud(bps_);
    while (from_.peer_done_at() < m_.now() + ahead) from_.peer_send_byte(byte_at(sent_++, salt_));
  }
  std::uint64_t sent() const { return sent_; }
  std::uint64_t received() const { return received_; }
  std::uint64_t wrong() const { return wrong_; }

private:
  Machine& m_;
  Usart& from_;
  Usart& to_;
  unsigned salt_;
  double bps_;
  std::uint64_t sent_ = 0, received_ = 0, wrong_ = 0;
};

// Runs `ms` of device time in 10 ms steps, keeping 20 ms of bytes queued on
// each stream's line. False when the firmware faulted.
template <typename... Streams>
bool run_streaming(Machine& m, double ms, Streams&... streams) {
  const auto ahead = static_cast<cycles_t>(m.clocks().hclk / 50);
  for (double done = 0; done < ms; done += 10) {
    (streams.top_up(ahead), ...);
    if (m.run_ms(10) == Stop::kFault) return false;
  }
  return true;
}

}  // namespace vb::test
