// The framing of GDB's remote serial protocol: "$payload#cc" packets with a
// two-digit hex checksum (sum of the payload bytes, modulo 256), '+'/'-'
// acknowledgements, and the interrupt byte 0x03 outside a packet. Binary
// payloads escape '#', '$', '}' and '*' as '}' followed by the byte XOR 0x20.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vb::gdb {

// Longest payload the server takes (announced as PacketSize); longer ones
// are dropped whole and answered with '-'.
inline constexpr std::size_t kMaxPacket = 4096;

std::uint8_t checksum(std::string_view payload);
// "$payload#cc" with the payload's special bytes escaped.
std::string frame(std::string_view payload);
// Undoes the '}' escapes of a binary payload; false on a dangling '}'.
bool unescape(std::string_view in, std::string& out);

// Splits the byte stream from the debugger into what it means.
class Deframer {
public:
  struct Item {
    enum class Kind { kPacket, kBadPacket, kAck, kNack, kInterrupt } kind;
    std::string payload;  // kPacket: the payload as sent (escapes kept)
  };
  // Takes received bytes; the items they complete come out of take().
  void feed(std::string_view bytes);
  std::vector<Item> take();

private:
  enum class State { kIdle, kBody, kSum1, kSum2 } state_ = State::kIdle;
  std::string body_;
  bool overflow_ = false;
  char sum_hi_ = 0;
  std::vector<Item> items_;
};

}  // namespace vb::gdb
