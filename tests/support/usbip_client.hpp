// A USB/IP client on plain sockets, for tests and the benchmark: builds the
// requests a Linux vhci host sends, and splits what comes back into replies.
// Never blocks: pump() takes what has arrived, the caller runs the board in
// between.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vb::test {

class UsbIpClient {
public:
  using Bytes = std::vector<std::uint8_t>;
  struct Ret {
    std::uint32_t command = 0, seqnum = 0, devid = 0, direction = 0, ep = 0;
    std::int32_t status = 0, actual_length = 0;
    Bytes data;
  };

  explicit UsbIpClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~UsbIpClient() { close(); }
  UsbIpClient(const UsbIpClient&) = delete;
  UsbIpClient& operator=(const UsbIpClient&) = delete;

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void send(const Bytes& b) {
    std::size_t off = 0;
    while (off < b.size()) {
      const ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;  // the server closed: seen by pump()
      off += static_cast<std::size_t>(n);
    }
  }
  // Takes what has arrived; true while the connection is open.
  bool pump() {
    std::uint8_t buf[4096];
    while (fd_ >= 0 && !eof_) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        in_.insert(in_.end(), buf, buf + n);
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        eof_ = true;
      } else {
        break;
      }
    }
    return !eof_;
  }
  bool closed_by_server() const { return eof_; }
  Bytes& received() { return in_; }

  // --- requests --------------------------------------------------------------
  static Bytes op(std::uint16_t code, const std::string& busid = {}) {
    Bytes b;
    put16(b, 0x0111);
    put16(b, code);
    put32(b, 0);
    if (code == 0x8003) {
      Bytes id(32, 0);
      std::copy(busid.begin(), busid.end(), id.begin());
      b.insert(b.end(), id.begin(), id.end());
    }
    return b;
  }
  static Bytes submit(std::uint32_t seq, std::uint32_t devid, std::uint32_t dir, std::uint32_t ep, std::uint32_t length,
                      std::array<std::uint8_t, 8> setup = {}, const Bytes& out = {}, std::uint32_t interval = 0) {
    Bytes b;
    for (std::uint32_t v : {1u, seq, devid, dir, ep, 0u, length, 0u, 0xFFFFFFFFu, interval}) put32(b, v);
    b.insert(b.end(), setup.begin(), setup.end());
    b.insert(b.end(), out.begin(), out.end());
    return b;
  }
  static Bytes unlink(std::uint32_t seq, std::uint32_t devid, std::uint32_t victim) {
    Bytes b;
    for (std::uint32_t v : {2u, seq, devid, 0u, 0u, victim}) put32(b, v);
    b.resize(48, 0);
    return b;
  }
  static std::array<std::uint8_t, 8> setup(std::uint8_t bm, std::uint8_t req, std::uint16_t value, std::uint16_t index,
                                           std::uint16_t length) {
    return {bm, req, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
  }

  // Sends a URB and remembers its direction, for splitting the reply.
  std::uint32_t urb(std::uint32_t dir, std::uint32_t ep, std::uint32_t length, std::array<std::uint8_t, 8> setup = {},
                    const Bytes& out = {}, std::uint32_t interval = 0) {
    const std::uint32_t seq = next_seq_++;
    dirs_[seq] = dir;
    send(submit(seq, devid, dir, ep, length, setup, out, interval));
    return seq;
  }
  std::uint32_t control(std::array<std::uint8_t, 8> s, const Bytes& out = {}) {
    const std::uint32_t len = static_cast<std::uint32_t>(s[6] | s[7] << 8);
    return urb(s[0] & 0x80 ? 1 : 0, 0, len, s, out);
  }
  std::uint32_t send_unlink(std::uint32_t victim) {
    const std::uint32_t seq = next_seq_++;
    send(unlink(seq, devid, victim));
    return seq;
  }

  // --- replies ---------------------------------------------------------------
  // The next complete RET_SUBMIT or RET_UNLINK, if one has arrived.
  std::optional<Ret> next_ret() {
    if (in_.size() < 48) return std::nullopt;
    Ret r;
    r.command = be32(0);
    r.seqnum = be32(4);
    r.devid = be32(8);
    r.direction = be32(12);
    r.ep = be32(16);
    r.status = static_cast<std::int32_t>(be32(20));
    r.actual_length = static_cast<std::int32_t>(be32(24));
    std::size_t data = 0;
    if (r.command == 3 && dirs_[r.seqnum] == 1 && r.actual_length > 0) data = static_cast<std::size_t>(r.actual_length);
    if (in_.size() < 48 + data) return std::nullopt;
    r.data.assign(in_.begin() + 48, in_.begin() + 48 + static_cast<std::ptrdiff_t>(data));
    in_.erase(in_.begin(), in_.begin() + 48 + static_cast<std::ptrdiff_t>(data));
    return r;
  }

  std::uint32_t be32(std::size_t i) const {
    return static_cast<std::uint32_t>(in_[i]) << 24 | static_cast<std::uint32_t>(in_[i + 1]) << 16 |
           static_cast<std::uint32_t>(in_[i + 2]) << 8 | in_[i + 3];
  }
  static void put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  }
  static void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  }

  std::uint32_t devid = 0;

private:
  int fd_ = -1;
  bool eof_ = false;
  Bytes in_;
  std::uint32_t next_seq_ = 1;
  std::map<std::uint32_t, std::uint32_t> dirs_;
};

}  // namespace vb::test
