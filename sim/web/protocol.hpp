// The front panel's WebSocket protocol: what a page (or a script) may send
// and what the board sends back. Control messages are JSON text frames;
// console bytes and audio are binary frames whose first byte names the
// channel. README.md ("The front panel in a browser") documents it.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace vb::web {

inline constexpr int kProtocolVersion = 1;

// First byte of a binary frame.
enum class Channel : std::uint8_t {
  kConsole = 1,  // USART3 service console bytes (both directions)
  kUsb = 2,      // USB virtual COM port bytes (both directions)
  kAudio = 3,    // board to page: u64 LE index of the first sample, then u8 samples at 8000/s
};

// Close codes (RFC 6455, section 7.4.1) the server gives with a reason.
inline constexpr std::uint16_t kCloseUnsupported = 1003;  // a binary channel that does not exist
inline constexpr std::uint16_t kCloseBadPayload = 1007;   // text that is not a JSON object
inline constexpr std::uint16_t kClosePolicy = 1008;       // unknown or ill-formed message; too slow a reader
inline constexpr std::uint16_t kCloseTooBig = 1009;       // a message over kMaxMessage
inline constexpr std::uint16_t kCloseGoingAway = 1001;    // the board's run ended

// Largest message a client may send (a pasted text fits easily).
inline constexpr std::size_t kMaxMessage = 64 * 1024;

// What a page asks for.
struct TakeControls {};  // {"type":"take"}: this page holds the controls from now on
struct ButtonEdge {          // {"type":"button","pressed":true,"t":1234.5}
  bool pressed = false;
  std::optional<double> t;  // the page's clock in ms, to keep the hold's length exact
};
struct CableSwitch {  // {"type":"cable","plugged":false}
  bool plugged = false;
};
struct Typed {  // binary [1 or 2][bytes]
  Channel port = Channel::kConsole;
  std::string bytes;
};
using Request = std::variant<TakeControls, ButtonEdge, CableSwitch, Typed>;

// Why a message ends the connection: the close code and a one-line reason
// (a close frame's reason holds at most 123 bytes).
struct Refusal {
  std::uint16_t code = kClosePolicy;
  std::string reason;
};

using Parsed = std::variant<Request, Refusal>;
Parsed parse_text(std::string_view text);
Parsed parse_binary(std::string_view bytes);

// Board to page frames.
std::string console_frame(Channel port, std::string_view bytes);
std::string audio_frame(std::uint64_t first_sample, std::span<const std::uint8_t> samples);

}  // namespace vb::web
