#include "sim/cli/usb_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/cli/pty.hpp"
#include "sim/usbhost/usb_host.hpp"

namespace vb::cli {

namespace {
// Bytes written to the device but not yet acknowledged, above which the pty
// is not read (the program writing to it then blocks, as on a real port).
constexpr std::size_t kWriteWindow = 4096;
}  // namespace

UsbPty::UsbPty(UsbHost& host) : host_(host) {
  // Raw settings, then closed again: from now on the master reports a
  // hang-up exactly while no program has the path open.
  master_ = open_raw_pty(path_, slave_, false);
  host_.set_auto_open(false);
  host_.on_received([this](const std::string& bytes) {
    to_pty_ += bytes;
    flush();
  });
}

UsbPty::~UsbPty() {
  host_.on_received({});
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

void UsbPty::flush() {
  while (!to_pty_.empty()) {
    const ssize_t w = ::write(master_, to_pty_.data(), to_pty_.size());
    if (w <= 0) return;  // the pty is full: the rest waits for the next poll
    to_pty_.erase(0, static_cast<std::size_t>(w));
  }
}

bool UsbPty::program_attached() const {
  pollfd p{master_, POLLIN, 0};
  return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void UsbPty::poll(Board&) {
  const bool attached = program_attached();
  const bool wanted = attached || (other_user_ && other_user_());
  if (wanted && !host_.port_open() && host_.state() == UsbHost::State::kConfigured) host_.open_port();
  if (!wanted && host_.port_open()) host_.close_port();
  if (!attached) return;
  flush();
  if (host_.write_pending() >= kWriteWindow) return;
  char buf[512];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n > 0) host_.write(std::string(buf, static_cast<std::size_t>(n)));
}

std::string toggle_usb_cable(UsbHost& host) {
  if (host.plugged()) {
    host.unplug();
    return "USB cable unplugged";
  }
  host.plug();
  return "USB cable plugged in";
}

}  // namespace vb::cli
