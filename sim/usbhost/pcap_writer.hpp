// Capture files of the board's USB bus in the Linux usbmon binary format
// (pcap link type 220, the "mmapped" 64-byte event header): a submit event
// when a transfer is handed to the host controller and a complete event when
// it ends, with setup bytes, status, lengths and data, as the kernel's usbmon
// records them. Wireshark and tshark decode these files. Every event is
// flushed as it is written, so the file is a valid capture while it grows;
// the destructor closes it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim/usbhost/usb_host.hpp"

namespace vb {

class PcapWriter {
public:
  // Opens (truncates) `path`; throws std::runtime_error when it cannot.
  explicit PcapWriter(const std::string& path);
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Records every transfer of `host` from now on.
  void attach(UsbHost& host);
  // One transfer event: submitted (status pending) or ended. `devnum` is
  // the device address the transfer goes to.
  void record(const UsbTransfer& t, std::uint8_t devnum);
  std::size_t events() const { return events_; }
  const std::string& path() const { return path_; }

  static constexpr std::uint32_t kLinkType = 220;  // USB packets with the 64-byte usbmon header
  static constexpr std::size_t kHeaderSize = 64;
  // The event header as the kernel lays it out (little-endian here, like the
  // file's own header), followed by the captured data.
  static std::vector<std::uint8_t> event(const UsbTransfer& t, std::uint8_t devnum, std::uint16_t busnum);

private:
  std::FILE* f_ = nullptr;
  std::string path_;
  std::size_t events_ = 0;
  std::map<std::uint64_t, std::uint8_t> devnums_;  // pending transfers: the address at submission
};

}  // namespace vb
