#include "sim/gdb/rsp_framing.hpp"

#include <cstdio>

namespace vb::gdb {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint8_t checksum(std::string_view payload) {
  unsigned sum = 0;
  for (const char c : payload) sum += static_cast<std::uint8_t>(c);
  return static_cast<std::uint8_t>(sum);
}

std::string frame(std::string_view payload) {
  std::string body;
  body.reserve(payload.size() + 8);
  for (const char c : payload) {
    if (c == '#' || c == '$' || c == '}' || c == '*') {
      body += '}';
      body += static_cast<char>(c ^ 0x20);
    } else {
      body += c;
    }
  }
  char tail[4];
  std::snprintf(tail, sizeof tail, "%02x", checksum(body));
  return "$" + body + "#" + tail;
}

bool unescape(std::string_view in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '}') {
      out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    out += static_cast<char>(in[i] ^ 0x20);
  }
  return true;
}

void Deframer::feed(std::string_view bytes) {
  for (const char c : bytes) {
    switch (state_) {
      case State::kIdle:
        if (c == '$') {
          state_ = State::kBody;
          body_.clear();
          overflow_ = false;
        } else if (c == '+') {
          items_.push_back({Item::Kind::kAck, {}});
        } else if (c == '-') {
          items_.push_back({Item::Kind::kNack, {}});
        } else if (c == 0x03) {
          items_.push_back({Item::Kind::kInterrupt, {}});
        }
        // Anything else between packets is line noise.
        break;
      case State::kBody:
        if (c == '#') {
          state_ = State::kSum1;
        } else if (c == '$') {
          // A packet cut short by the start of the next: the first is lost.
          items_.push_back({Item::Kind::kBadPacket, {}});
          body_.clear();
          overflow_ = false;
        } else if (body_.size() >= kMaxPacket) {
          overflow_ = true;  // keep reading to the end, then drop it
        } else {
          body_ += c;
        }
        break;
      case State::kSum1:
        sum_hi_ = c;
        state_ = State::kSum2;
        break;
      case State::kSum2: {
        state_ = State::kIdle;
        const int hi = hex_digit(sum_hi_), lo = hex_digit(c);
        const bool ok = !overflow_ && hi >= 0 && lo >= 0 && checksum(body_) == hi * 16 + lo;
        items_.push_back({ok ? Item::Kind::kPacket : Item::Kind::kBadPacket, ok ? std::move(body_) : std::string{}});
        body_.clear();
        break;
      }
    }
  }
}

std::vector<Deframer::Item> Deframer::take() {
  std::vector<Item> out;
  out.swap(items_);
  return out;
}

}  // namespace vb::gdb
