#include "sim/web/protocol.hpp"

#include "sim/web/json.hpp"

namespace vb::web {
namespace {

constexpr std::size_t kMaxReason = 123;

Refusal refuse(std::uint16_t code, std::string reason) {
  if (reason.size() > kMaxReason) reason.resize(kMaxReason);
  return {code, std::move(reason)};
}

template <typename T>
const T* member(const JsonObject& o, const char* name) {
  const auto it = o.find(name);
  return it == o.end() ? nullptr : std::get_if<T>(&it->second);
}

}  // namespace

Parsed parse_text(std::string_view text) {
  std::string error;
  const auto obj = parse_object(text, error);
  if (!obj) return refuse(kCloseBadPayload, "not a JSON object: " + error);
  const std::string* type = member<std::string>(*obj, "type");
  if (!type) return refuse(kClosePolicy, "message without a \"type\" string");
  if (*type == "take") return Request{TakeControls{}};
  if (*type == "button") {
    const bool* pressed = member<bool>(*obj, "pressed");
    if (!pressed) return refuse(kClosePolicy, "button message without \"pressed\": true or false");
    ButtonEdge b{*pressed, std::nullopt};
    if (obj->count("t")) {
      const double* t = member<double>(*obj, "t");
      if (!t) return refuse(kClosePolicy, "button message whose \"t\" is not a number");
      b.t = *t;
    }
    return Request{b};
  }
  if (*type == "cable") {
    const bool* plugged = member<bool>(*obj, "plugged");
    if (!plugged) return refuse(kClosePolicy, "cable message without \"plugged\": true or false");
    return Request{CableSwitch{*plugged}};
  }
  std::string shown = type->substr(0, 40);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return refuse(kClosePolicy, "unknown message type '" + shown + "'");
}

Parsed parse_binary(std::string_view bytes) {
  if (bytes.empty()) return refuse(kCloseUnsupported, "empty binary message (the first byte names the channel)");
  const auto ch = static_cast<std::uint8_t>(bytes[0]);
  if (ch != static_cast<std::uint8_t>(Channel::kConsole) && ch != static_cast<std::uint8_t>(Channel::kUsb))
    return refuse(kCloseUnsupported, "binary message for channel " + std::to_string(ch) +
                                         " (1: console, 2: USB are the ones a page may type into)");
  return Request{Typed{static_cast<Channel>(ch), std::string(bytes.substr(1))}};
}

std::string console_frame(Channel port, std::string_view bytes) {
  std::string f(1, static_cast<char>(port));
  f.append(bytes);
  return f;
}

std::string audio_frame(std::uint64_t first_sample, std::span<const std::uint8_t> samples) {
  std::string f(1, static_cast<char>(Channel::kAudio));
  for (int i = 0; i < 8; ++i) f += static_cast<char>(first_sample >> (8 * i) & 0xFF);
  f.append(reinterpret_cast<const char*>(samples.data()), samples.size());
  return f;
}

}  // namespace vb::web
