// A minimal GDB remote-protocol client for tests: talks to a gdb::Server on
// the loopback interface in the test's own thread, letting the server serve
// between what it sends and what it reads back. Every wait is bounded.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "sim/gdb/gdb_server.hpp"

namespace vb::test {

class GdbClient {
public:
  GdbClient(gdb::Server& server) : server_(server) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect failed");
    for (int i = 0; i < 50 && !server.connected(); ++i) server.serve(10);
  }
  ~GdbClient() { close(fd_); }

  // "$payload#cc" with the right checksum (payload bytes as given).
  static std::string packet(const std::string& payload) {
    unsigned sum = 0;
    for (const unsigned char c : payload) sum += c;
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02x", sum & 0xFF);
    return "$" + payload + "#" + tail;
  }

  void send_raw(const std::string& bytes) {
    if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("send failed");
  }

  // Lets the server serve until `done(received)` holds or a few rounds
  // without progress went by; returns everything received.
  template <typename Done>
  std::string receive(Done done, int rounds = 40) {
    std::string got;
    for (int i = 0; i < rounds && !done(got); ++i) {
      server_.serve(5);
      pollfd p{fd_, POLLIN, 0};
      while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        char buf[8192];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got;
  }
  // Received bytes up to and including one complete packet.
  std::string receive_packet() {
    return receive([](const std::string& s) {
      const auto hash = s.find('#', s.find('$'));
      return s.find('$') != std::string::npos && hash != std::string::npos && s.size() >= hash + 3;
    });
  }
  // Sends a packet and returns the raw answer ("+$...#cc" in ack mode).
  std::string exchange(const std::string& payload) {
    send_raw(packet(payload));
    return receive_packet();
  }
  // The payload of the answer to `payload`.
  std::string ask(const std::string& payload) {
    const std::string raw = exchange(payload);
    const auto dollar = raw.find('$'), hash = raw.rfind('#');
    if (dollar == std::string::npos || hash == std::string::npos || hash < dollar) return "<no reply: " + raw + ">";
    return raw.substr(dollar + 1, hash - dollar - 1);
  }

private:
  gdb::Server& server_;
  int fd_ = -1;
};

}  // namespace vb::test
