// Pseudo-terminals for vboard's serial and USB ports.
#pragma once
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vb::cli {

// A new pseudo-terminal in raw mode (non-blocking master). Returns the
// master and sets `path`; `slave` is the far side, left open for the caller
// (or -1 when `keep_slave` is false: the master then reports a hang-up
// exactly while no program has the path open). Throws std::runtime_error.
inline int open_raw_pty(std::string& path, int& slave, bool keep_slave, speed_t speed = 0) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    const std::string why = std::strerror(errno);
    if (master >= 0) ::close(master);
    throw std::runtime_error("cannot create a pseudo-terminal: " + why);
  }
  path = ptsname(master);
  slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) {
    const std::string why = std::strerror(errno);
    ::close(master);
    throw std::runtime_error("cannot open " + path + ": " + why);
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  if (speed != 0) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  tcsetattr(slave, TCSANOW, &tio);
  if (!keep_slave) {
    ::close(slave);
    slave = -1;
  }
  return master;
}

}  // namespace vb::cli
