#include "sim/core/tcp_listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace vb {

TcpListener listen_tcp(const std::string& bind, int port, int backlog, const std::string& what) {
  sockaddr_storage ss{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  socklen_t len = 0;
  if (inet_pton(AF_INET, bind.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *v4;
  } else if (inet_pton(AF_INET6, bind.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *v6;
  } else {
    throw std::runtime_error(what + " bind address '" + bind + "' is not a numeric IPv4 or IPv6 address");
  }
  TcpListener l;
  l.fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (l.fd < 0) throw std::runtime_error(what + ": no socket: " + std::strerror(errno));
  const int one = 1;
  setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(l.fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(l.fd, backlog) != 0) {
    const std::string why = std::strerror(errno);
    ::close(l.fd);
    throw std::runtime_error(what + " cannot listen on " + bind + " port " + std::to_string(port) + ": " + why);
  }
  getsockname(l.fd, reinterpret_cast<sockaddr*>(&ss), &len);
  l.port = ntohs(ss.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  return l;
}

std::string peer_text(const sockaddr_storage& a) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  return host;
}

}  // namespace vb
