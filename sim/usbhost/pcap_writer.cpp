#include "sim/usbhost/pcap_writer.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vb {

namespace {
// Linux errno values, as usbmon reports URB status.
constexpr std::int32_t kEInProgress = -115, kEPipe = -32, kEProto = -71, kEConnReset = -104,
                         kEOverflow = -75, kENoEnt = -2;

void put(std::vector<std::uint8_t>& b, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path_(path) {
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) throw std::runtime_error("cannot write the USB capture " + path + ": " + std::strerror(errno));
  std::vector<std::uint8_t> h;
  put(h, 0xA1B2C3D4, 4);  // microsecond timestamps, written in this machine's order
  put(h, 2, 2);           // version 2.4
  put(h, 4, 2);
  put(h, 0, 4);           // time zone offset
  put(h, 0, 4);           // timestamp accuracy
  put(h, 65535 + kHeaderSize, 4);  // snapshot length: a whole control transfer fits
  put(h, kLinkType, 4);
  std::fwrite(h.data(), 1, h.size(), f_);
  std::fflush(f_);
}

PcapWriter::~PcapWriter() {
  if (f_) std::fclose(f_);
}

void PcapWriter::attach(UsbHost& host) {
  host.add_transfer_observer([this, &host](const UsbTransfer& t) {
    std::uint8_t dev = host.address();
    if (t.status == UsbTransfer::Status::kPending) {
      devnums_[t.id] = dev;
    } else if (auto it = devnums_.find(t.id); it != devnums_.end()) {
      dev = it->second;
      devnums_.erase(it);
    }
    record(t, dev);
  });
}

std::vector<std::uint8_t> PcapWriter::event(const UsbTransfer& t, std::uint8_t devnum, std::uint16_t busnum) {
  const bool submit = t.status == UsbTransfer::Status::kPending;
  const bool in = (t.ep & 0x80) != 0;
  const bool control = t.kind == UsbTransfer::Kind::kControl;
  // Data carried by the event: OUT data on submission, IN data on completion.
  const std::vector<std::uint8_t> none;
  const std::vector<std::uint8_t>& data = (submit != in) ? t.data : none;
  std::int32_t status = 0;
  switch (t.status) {
    case UsbTransfer::Status::kPending: status = kEInProgress; break;
    case UsbTransfer::Status::kOk: status = 0; break;
    case UsbTransfer::Status::kStall: status = kEPipe; break;
    case UsbTransfer::Status::kError: status = kEProto; break;
    case UsbTransfer::Status::kBabble: status = kEOverflow; break;
    case UsbTransfer::Status::kCancelled: status = kEConnReset; break;
    // A request that timed out is killed by the host: its URB completes as killed.
    case UsbTransfer::Status::kTimeout: status = kENoEnt; break;
  }
  // urb length: the buffer on submission, what was transferred on completion.
  std::size_t length = t.length;
  if (!submit) length = in ? t.data.size() : (t.status == UsbTransfer::Status::kOk ? t.length : 0);
  const double us = submit ? t.submitted_us : t.done_us;
  const auto sec = static_cast<std::int64_t>(std::floor(us / 1e6));
  const auto usec = static_cast<std::int32_t>(us - static_cast<double>(sec) * 1e6);

  std::vector<std::uint8_t> b;
  b.reserve(kHeaderSize + data.size());
  put(b, t.id, 8);                                      // URB tag
  b.push_back(submit ? 'S' : 'C');                      // event type
  b.push_back(control ? 2 : t.kind == UsbTransfer::Kind::kBulk ? 3 : 1);  // transfer type
  b.push_back(t.ep);                                    // endpoint with its direction bit
  b.push_back(devnum);
  put(b, busnum, 2);
  b.push_back(submit && control ? 0 : '-');             // setup bytes present: 0
  b.push_back(!data.empty() ? 0 : in ? '<' : '>');      // data present: 0
  put(b, static_cast<std::uint64_t>(sec), 8);
  put(b, static_cast<std::uint32_t>(usec), 4);
  put(b, static_cast<std::uint32_t>(status), 4);
  put(b, length, 4);
  put(b, data.size(), 4);                               // captured length
  if (submit && control) {
    b.insert(b.end(), t.setup.begin(), t.setup.end());
  } else {
    put(b, 0, 8);
  }
  put(b, t.kind == UsbTransfer::Kind::kInterrupt ? 1 : 0, 4);  // interval
  put(b, 0, 4);                                         // start frame
  put(b, in ? 0x200 : 0, 4);                            // transfer flags: IN transfers on the urb's direction
  put(b, 0, 4);                                         // isochronous descriptors
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

void PcapWriter::record(const UsbTransfer& t, std::uint8_t devnum) {
  if (!f_) return;
  const std::vector<std::uint8_t> ev = event(t, devnum, 1);
  const double us = t.status == UsbTransfer::Status::kPending ? t.submitted_us : t.done_us;
  const auto sec = static_cast<std::uint32_t>(us / 1e6);
  std::vector<std::uint8_t> rec;
  put(rec, sec, 4);
  put(rec, static_cast<std::uint32_t>(us - sec * 1e6), 4);
  put(rec, ev.size(), 4);
  put(rec, ev.size(), 4);
  rec.insert(rec.end(), ev.begin(), ev.end());
  if (std::fwrite(rec.data(), 1, rec.size(), f_) != rec.size() || std::fflush(f_) != 0) {
    std::fclose(f_);
    f_ = nullptr;  // a full disk ends the capture, not the run
    return;
  }
  ++events_;
}

}  // namespace vb
