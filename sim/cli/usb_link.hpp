// The board's USB virtual COM port on the host: a pseudo-terminal bridged to
// the USB host model's CDC ACM client. Opening the printed path opens the
// port as the cdc_acm driver does (DTR and RTS on, bulk IN reads queued);
// closing it closes the port (DTR and RTS off, no more reads). What a
// terminal program writes goes to the device as bulk OUT data; what the
// device sends on bulk IN comes out. Nothing is dropped: when the device
// holds off (NAK), the bytes wait in the pty; when the pty is full, the
// device's bytes wait here.
#pragma once
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

private:
  void flush();
  bool program_attached() const;  // a program has the path open

  UsbHost& host_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::string to_pty_;
};

// Ctrl-] u: the cable out when it is in, in when it is out; says which.
std::string toggle_usb_cable(UsbHost& host);

}  // namespace vb::cli
