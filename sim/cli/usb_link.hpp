// The board's USB virtual COM port on the host: a pseudo-terminal bridged to
// the USB host model's CDC ACM client. Opening the printed path opens the
// port as the cdc_acm driver does (DTR and RTS on, bulk IN reads queued);
// closing it closes the port (DTR and RTS off, no more reads). What a
// terminal program writes goes to the device as bulk OUT data; what the
// device sends on bulk IN comes out. Nothing is dropped: when the device
// holds off (NAK), the bytes wait in the pty; when the pty is full, the
// device's bytes wait here.
#pragma once
#include <functional>
#include <string>

#include "sim/cli/runner.hpp"

namespace vb {
class UsbHost;
}

namespace vb::cli {

class UsbPty : public HostLink {
public:
  explicit UsbPty(UsbHost& host);
  ~UsbPty() override;
  const std::string& path() const { return path_; }
  void poll(Board& board) override;
  // Host-bound bytes not yet taken by the pty's reader.
  std::size_t backlog() const { return to_pty_.size(); }
  // Another user of the port (the front panel's page): while it says so the
  // port stays open even with no program on the pty.
  void share_with(std::function<bool()> in_use) { other_user_ = std::move(in_use); }

private:
  void flush();
  bool program_attached() const;  // a program has the path open

  UsbHost& host_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::string to_pty_;
  std::function<bool()> other_user_;
};

// Ctrl-] u: the cable out when it is in, in when it is out; says which.
std::string toggle_usb_cable(UsbHost& host);

}  // namespace vb::cli
