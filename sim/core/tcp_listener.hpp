// TCP listening sockets and peer names for the board's servers (the GDB
// server and the USB/IP server).
#pragma once

#include <sys/socket.h>

#include <string>

namespace vb {

struct TcpListener {
  int fd = -1;   // non-blocking, close-on-exec
  int port = 0;  // the port it listens on (the one picked when asked for 0)
};

// Listens on `bind` (a numeric IPv4 or IPv6 address) and `port` (0: any free
// one). Throws std::runtime_error naming `what` ("GDB server") on failure.
TcpListener listen_tcp(const std::string& bind, int port, int backlog, const std::string& what);

// "127.0.0.1:40312", "[::1]:40312".
std::string peer_text(const sockaddr_storage& a);

}  // namespace vb
