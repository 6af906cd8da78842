#include "sim/usbhost/usbip_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/core/machine.hpp"
#include "sim/core/tcp_listener.hpp"
#include "sim/periph/otg_fs.hpp"
#include "sim/usbhost/usb_host.hpp"

namespace vb {

using namespace usbip;

namespace {
constexpr double kAttachWaitMs = 2000;  // an import waits this long for the device to connect
constexpr double kReplugMs = 100;       // cable out after a client went away
constexpr std::size_t kReadChunk = 64 * 1024;
// A client may keep this many URBs pending (cdc_acm keeps 18); more, or more
// unread input than one largest request, closes the connection instead of
// letting it take the host's memory.
constexpr std::size_t kMaxPendingUrbs = 1024;
constexpr std::size_t kMaxBuffered = kMaxTransfer + kUrbHeaderSize + kReadChunk + 4096;

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
void put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
void put_text(std::vector<std::uint8_t>& b, const std::string& s, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) b.push_back(i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0);
}
std::uint16_t le16(const std::vector<std::uint8_t>& d, std::size_t i) {
  return static_cast<std::uint16_t>(d[i] | d[i + 1] << 8);
}
std::int32_t urb_status(UsbTransfer::Status s) {
  switch (s) {
    case UsbTransfer::Status::kOk: return 0;
    case UsbTransfer::Status::kStall: return kEPipe;
    case UsbTransfer::Status::kError: return kEProto;
    case UsbTransfer::Status::kBabble: return kEOverflow;
    case UsbTransfer::Status::kCancelled: return kEShutdown;
    case UsbTransfer::Status::kTimeout: return kETimedOut;
    case UsbTransfer::Status::kPending: break;
  }
  return kEProto;
}
std::string hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}
}  // namespace

struct UsbIpServer::Conn {
  ConnId id = 0;
  int fd = -1;
  std::string peer;
  enum class State : std::uint8_t { kOp, kWaiting, kUrbs, kClosed } state = State::kOp;
  std::vector<std::uint8_t> in, out;
  bool close_after_flush = false;
  std::map<std::uint32_t, std::uint64_t> pending;  // seqnum -> host transfer id
};

UsbIpServer::UsbIpServer(Machine& m, UsbHost& host, OtgFs& dev, UsbIpOptions opts)
    : m_(m), host_(host), dev_(dev), bind_(opts.bind) {
  if (opts.port < 0 || opts.port > 65535) throw std::runtime_error("USB/IP port " + std::to_string(opts.port) + " is out of range");
  const TcpListener l = listen_tcp(opts.bind, opts.port, 4, "USB/IP server");
  listen_fd_ = l.fd;
  port_ = l.port;
}

UsbIpServer::~UsbIpServer() {
  alive_.reset();  // callbacks of transfers still on the bus find the server gone
  for (auto& [id, c] : conns_) {
    auto pending = std::move(c->pending);
    for (auto& [seq, tid] : pending) host_.cancel(tid);
    if (c->fd >= 0) ::close(c->fd);
  }
  if (replug_ev_) m_.scheduler().cancel(replug_ev_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void UsbIpServer::say(const std::string& what) {
  if (message_) message_("[usbip] " + what);
}

UsbIpServer::Conn* UsbIpServer::find(ConnId id) {
  auto it = conns_.find(id);
  return it == conns_.end() || it->second->state == Conn::State::kClosed ? nullptr : it->second.get();
}

void UsbIpServer::poll() {
  accept_clients();
  if (preparing_ && m_.now() >= attach_deadline_ && !dev_.attached()) {
    preparing_ = false;
    auto waiters = std::move(prepare_waiters_);
    for (auto& w : waiters) w(false);
  } else if (preparing_ && attach_deadline_ != 0 && dev_.attached()) {
    attach_deadline_ = 0;  // the device is there: reset it and give it its address
    probe_next([this](bool ok) {
      preparing_ = false;
      auto waiters = std::move(prepare_waiters_);
      for (auto& w : waiters) w(ok);
    });
  }
  for (auto& [id, c] : conns_) {
    if (c->state == Conn::State::kClosed) continue;
    read_from(*c);
    if (c->state != Conn::State::kClosed) parse(*c);
    if (c->state != Conn::State::kClosed) flush(*c);
  }
  reap();
}

void UsbIpServer::accept_clients() {
  for (;;) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->id = next_conn_++;
    c->fd = fd;
    c->peer = peer_text(a);
    say("client " + c->peer + " connected");
    conns_.emplace(c->id, std::move(c));
  }
}

void UsbIpServer::read_from(Conn& c) {
  std::uint8_t buf[4096];
  for (std::size_t total = 0; total < kReadChunk;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.in.insert(c.in.end(), buf, buf + n);
      total += static_cast<std::size_t>(n);
      if (c.in.size() > kMaxBuffered) {
        close_conn(c, "more than " + std::to_string(kMaxBuffered) + " bytes sent ahead of the replies");
        return;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    // End of stream: whatever is complete is still answered, a partial request is not.
    parse(c);
    if (c.state == Conn::State::kClosed) return;
    if (n == 0 && !c.in.empty())
      close_conn(c, "connection closed in the middle of a request (" + std::to_string(c.in.size()) + " bytes)");
    else
      close_conn(c, n == 0 ? "client closed the connection" : std::string("receive failed: ") + std::strerror(errno));
    return;
  }
}

void UsbIpServer::parse(Conn& c) {
  while (c.state != Conn::State::kClosed) {
    if (c.state == Conn::State::kOp) {
      if (!parse_op(c)) return;
    } else if (c.state == Conn::State::kUrbs) {
      if (!parse_urb(c)) return;
    } else {
      return;  // waiting for the device before the next request is read
    }
  }
}

bool UsbIpServer::parse_op(Conn& c) {
  if (c.close_after_flush || c.in.size() < kOpHeaderSize) return false;
  const std::uint16_t version = be16(&c.in[0]);
  const std::uint16_t code = be16(&c.in[2]);
  if (version >> 8 != kVersion >> 8) {
    close_conn(c, "protocol version " + hex(version) + " is not 1.x");
    return false;
  }
  if (code == kOpReqDevlist) {
    c.in.erase(c.in.begin(), c.in.begin() + kOpHeaderSize);
    c.state = Conn::State::kWaiting;
    const ConnId id = c.id;
    if (!device_desc_.empty() || !dev_.attached()) {
      reply_devlist(c);
      return false;
    }
    prepare_device([this, id](bool) {
      if (Conn* cc = find(id)) reply_devlist(*cc);
    });
    return false;
  }
  if (code == kOpReqImport) {
    if (c.in.size() < kOpHeaderSize + kBusIdSize) return false;
    std::string busid(reinterpret_cast<const char*>(&c.in[kOpHeaderSize]), kBusIdSize);
    busid = busid.substr(0, busid.find('\0'));
    c.in.erase(c.in.begin(), c.in.begin() + kOpHeaderSize + kBusIdSize);
    c.state = Conn::State::kWaiting;
    if (busid != kBusId) {
      say("client " + c.peer + " asked for bus id '" + busid + "', which is not exported");
      reply_import(c, kStatusNoDevice);
      return false;
    }
    if (attached_conn_ != 0) {
      say("client " + c.peer + " refused: the device is in use by another client");
      reply_import(c, kStatusBusy);
      return false;
    }
    attached_conn_ = c.id;  // held from now on, so a second import is refused
    const ConnId id = c.id;
    device_desc_.clear();   // read again: the import resets the device
    prepare_device([this, id](bool ok) {
      Conn* cc = find(id);
      if (!cc) return;
      reply_import(*cc, ok ? kStatusOk : kStatusNoDevice);
    });
    return false;
  }
  close_conn(c, "unknown request code " + hex(code));
  return false;
}

bool UsbIpServer::parse_urb(Conn& c) {
  if (c.in.size() < kUrbHeaderSize) return false;
  const std::uint8_t* h = c.in.data();
  const std::uint32_t command = be32(h), seqnum = be32(h + 4), direction = be32(h + 12), ep = be32(h + 16);
  if (command == kCmdUnlink) {
    const std::uint32_t victim = be32(h + 20);
    c.in.erase(c.in.begin(), c.in.begin() + kUrbHeaderSize);
    std::int32_t status = 0;  // already finished: its RET_SUBMIT went (or goes) first
    if (auto it = c.pending.find(victim); it != c.pending.end()) {
      const std::uint64_t tid = it->second;
      c.pending.erase(it);
      host_.cancel(tid);
      status = kEConnReset;
    }
    std::vector<std::uint8_t> r;
    put32(r, kRetUnlink);
    put32(r, seqnum);
    put32(r, 0);
    put32(r, 0);
    put32(r, 0);
    put32(r, static_cast<std::uint32_t>(status));
    r.resize(kUrbHeaderSize, 0);
    c.out.insert(c.out.end(), r.begin(), r.end());
    return true;
  }
  if (command != kCmdSubmit) {
    close_conn(c, "unknown command " + hex(command));
    return false;
  }
  const std::uint32_t length = be32(h + 24), packets = be32(h + 32);
  if (ep > 15 || direction > 1) {
    close_conn(c, "CMD_SUBMIT with endpoint " + std::to_string(ep) + " direction " + std::to_string(direction));
    return false;
  }
  if (length > kMaxTransfer) {
    close_conn(c, "CMD_SUBMIT of " + std::to_string(length) + " bytes, more than " + std::to_string(kMaxTransfer));
    return false;
  }
  if (packets != 0 && packets != 0xFFFFFFFF) {
    close_conn(c, "isochronous CMD_SUBMIT (" + std::to_string(packets) + " packets): the device has no such endpoint");
    return false;
  }
  const bool out_data = direction == 0 && length > 0;
  if (out_data && c.in.size() < kUrbHeaderSize + length) return false;
  std::vector<std::uint8_t> header(h, h + kUrbHeaderSize);
  std::vector<std::uint8_t> out;
  if (out_data) out.assign(c.in.begin() + kUrbHeaderSize, c.in.begin() + kUrbHeaderSize + length);
  c.in.erase(c.in.begin(), c.in.begin() + kUrbHeaderSize + (out_data ? length : 0));
  if (c.pending.size() >= kMaxPendingUrbs) {
    close_conn(c, "more than " + std::to_string(kMaxPendingUrbs) + " URBs pending");
    return false;
  }
  if (c.pending.count(seqnum)) {
    close_conn(c, "CMD_SUBMIT reuses sequence number " + std::to_string(seqnum) + " of a pending URB");
    return false;
  }
  submit(c, header.data(), std::move(out));
  return true;
}

// One URB becomes one transfer of the host controller.
void UsbIpServer::submit(Conn& c, const std::uint8_t* h, std::vector<std::uint8_t> out) {
  const std::uint32_t seqnum = be32(h + 4), direction = be32(h + 12), ep = be32(h + 16);
  const std::uint32_t length = be32(h + 24);
  const auto interval = static_cast<std::int32_t>(be32(h + 36));
  std::array<std::uint8_t, 8> setup{};
  std::copy(h + 40, h + 48, setup.begin());
  const ConnId id = c.id;
  std::weak_ptr<bool> alive = alive_;
  auto done = [this, alive, id, seqnum, direction, length, setup](const UsbTransfer& t) {
    if (alive.expired()) return;
    Conn* cc = find(id);
    if (!cc) return;
    auto it = cc->pending.find(seqnum);
    if (it == cc->pending.end()) return;  // unlinked: RET_UNLINK answered it
    cc->pending.erase(it);
    const bool ok = t.status == UsbTransfer::Status::kOk;
    if (ok && t.kind == UsbTransfer::Kind::kControl && (setup[0] & 0x60) == 0) {
      // Standard requests that change what the host controller keeps.
      if (setup[1] == 5 && setup[0] == 0x00) host_.set_address(setup[2] & 0x7F);
      if (setup[1] == 9 && setup[0] == 0x00)
        for (std::uint8_t e = 1; e < 16; ++e) {
          host_.reset_toggle(e);
          host_.reset_toggle(static_cast<std::uint8_t>(e | 0x80));
        }
      // SET_INTERFACE: the endpoints of that interface only, as the
      // configuration descriptor lists them after its interface descriptor.
      if (setup[1] == 11 && setup[0] == 0x01) {
        bool in_interface = false;
        for (std::size_t i = 0; i + 1 < config_desc_.size() && config_desc_[i] >= 2; i += config_desc_[i]) {
          if (config_desc_[i + 1] == 4 && i + 2 < config_desc_.size()) in_interface = config_desc_[i + 2] == setup[4];
          if (config_desc_[i + 1] == 5 && i + 2 < config_desc_.size() && in_interface)
            host_.reset_toggle(config_desc_[i + 2]);
        }
      }
      if (setup[1] == 1 && setup[0] == 0x02 && setup[2] == 0) host_.reset_toggle(setup[4]);
    }
    std::size_t actual = 0;
    if (direction == 1) actual = std::min<std::size_t>(t.data.size(), length);
    else if (ok) actual = t.kind == UsbTransfer::Kind::kControl ? t.data.size() : t.length;
    std::vector<std::uint8_t> r;
    put32(r, kRetSubmit);
    put32(r, seqnum);
    put32(r, 0);
    put32(r, 0);
    put32(r, 0);
    put32(r, static_cast<std::uint32_t>(urb_status(t.status)));
    put32(r, static_cast<std::uint32_t>(actual));
    put32(r, 0);           // start_frame
    put32(r, 0xFFFFFFFF);  // number_of_packets: not isochronous
    put32(r, 0);           // error_count
    r.resize(kUrbHeaderSize, 0);
    if (direction == 1) r.insert(r.end(), t.data.begin(), t.data.begin() + static_cast<std::ptrdiff_t>(actual));
    cc->out.insert(cc->out.end(), r.begin(), r.end());
  };

  std::uint64_t tid = 0;
  c.pending[seqnum] = 0;  // before submitting: a transfer may end at once
  if (ep == 0) {
    tid = host_.control(setup, std::move(out), done);
  } else {
    // The transfer type comes from the endpoint's descriptor.
    const std::uint8_t addr = static_cast<std::uint8_t>(ep | (direction ? 0x80 : 0));
    bool interrupt = false;
    unsigned b_interval = 1;
    for (std::size_t i = 0; i + 1 < config_desc_.size() && config_desc_[i] >= 2; i += config_desc_[i])
      if (config_desc_[i + 1] == 5 && i + 6 < config_desc_.size() && config_desc_[i + 2] == addr) {
        interrupt = (config_desc_[i + 3] & 3) == 3;
        b_interval = config_desc_[i + 6];
      }
    if (interrupt && direction == 1)
      tid = host_.interrupt_in(addr, length, interval > 0 ? static_cast<unsigned>(interval) : b_interval, done);
    else if (direction == 1)
      tid = host_.bulk_in(addr, length, done);
    else
      tid = host_.bulk_out(addr, std::move(out), done);
  }
  if (auto it = c.pending.find(seqnum); it != c.pending.end()) it->second = tid;
}

// --- the device ------------------------------------------------------------------------

void UsbIpServer::prepare_device(std::function<void(bool)> done) {
  prepare_waiters_.push_back(std::move(done));
  if (preparing_) return;
  preparing_ = true;
  attach_deadline_ = m_.now() + static_cast<cycles_t>(kAttachWaitMs * 1e-3 * m_.clocks().hclk);
}

// Port reset, SET_ADDRESS, then the device and configuration descriptors
// (for the device list and the import reply).
void UsbIpServer::probe_next(std::function<void(bool)> done) {
  std::weak_ptr<bool> alive = alive_;
  host_.bus_reset([this, alive, done] {
    if (alive.expired()) return;
    // The device keeps one number for as long as it is exported, so the
    // device list and every import name the same device.
    const std::uint8_t a = kDevNum;
    host_.control(0x00, 5, a, 0, 0, {}, [this, alive, done, a](const UsbTransfer& t) {
      if (alive.expired()) return;
      if (t.status != UsbTransfer::Status::kOk) return done(false);
      host_.set_address(a);
      host_.control(0x80, 6, 0x0100, 0, 18, {}, [this, alive, done](const UsbTransfer& t) {
        if (alive.expired()) return;
        if (t.status != UsbTransfer::Status::kOk || t.data.size() < 18) return done(false);
        device_desc_ = t.data;
        host_.control(0x80, 6, 0x0200, 0, 9, {}, [this, alive, done](const UsbTransfer& t) {
          if (alive.expired()) return;
          if (t.status != UsbTransfer::Status::kOk || t.data.size() < 9) return done(false);
          host_.control(0x80, 6, 0x0200, 0, le16(t.data, 2), {}, [this, alive, done](const UsbTransfer& t) {
            if (alive.expired()) return;
            if (t.status != UsbTransfer::Status::kOk) return done(false);
            config_desc_ = t.data;
            done(true);
          });
        });
      });
    });
  });
}

std::vector<std::uint8_t> UsbIpServer::device_info() const {
  std::vector<std::uint8_t> b;
  put_text(b, "/sys/devices/platform/vboard/usb1/1-1", kPathSize);
  put_text(b, kBusId, kBusIdSize);
  put32(b, kBusNum);
  put32(b, kDevNum);
  put32(b, kSpeedFull);
  const auto& d = device_desc_;
  put16(b, le16(d, 8));   // idVendor
  put16(b, le16(d, 10));  // idProduct
  put16(b, le16(d, 12));  // bcdDevice
  b.push_back(d[4]);      // class, subclass, protocol
  b.push_back(d[5]);
  b.push_back(d[6]);
  b.push_back(config_desc_.size() >= 6 ? config_desc_[5] : 0);  // bConfigurationValue
  b.push_back(d[17]);     // bNumConfigurations
  b.push_back(config_desc_.size() >= 5 ? config_desc_[4] : 0);  // bNumInterfaces
  return b;
}

void UsbIpServer::reply_devlist(Conn& c) {
  std::vector<std::uint8_t> r;
  put16(r, kVersion);
  put16(r, kOpRepDevlist);
  put32(r, 0);
  const bool have = device_desc_.size() >= 18;
  put32(r, have ? 1 : 0);
  if (have) {
    const auto info = device_info();
    r.insert(r.end(), info.begin(), info.end());
    for (std::size_t i = 0; i + 1 < config_desc_.size() && config_desc_[i] >= 2; i += config_desc_[i])
      if (config_desc_[i + 1] == 4 && i + 7 < config_desc_.size()) {
        r.push_back(config_desc_[i + 5]);
        r.push_back(config_desc_[i + 6]);
        r.push_back(config_desc_[i + 7]);
        r.push_back(0);
      }
  }
  c.out.insert(c.out.end(), r.begin(), r.end());
  c.close_after_flush = true;  // one request per connection, as usbipd does
}

void UsbIpServer::reply_import(Conn& c, std::uint32_t status) {
  std::vector<std::uint8_t> r;
  put16(r, kVersion);
  put16(r, kOpRepImport);
  put32(r, status);
  if (status == kStatusOk && device_desc_.size() >= 18) {
    const auto info = device_info();
    r.insert(r.end(), info.begin(), info.end());
    c.state = Conn::State::kUrbs;
    say("client " + c.peer + " imported " + kBusId);
  } else {
    if (attached_conn_ == c.id) attached_conn_ = 0;
    c.close_after_flush = true;
  }
  c.out.insert(c.out.end(), r.begin(), r.end());
}

void UsbIpServer::flush(Conn& c) {
  while (!c.out.empty()) {
    const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c.out.erase(c.out.begin(), c.out.begin() + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    close_conn(c, std::string("send failed: ") + std::strerror(errno));
    return;
  }
  if (c.close_after_flush) close_conn(c, "request answered");
}

void UsbIpServer::close_conn(Conn& c, const std::string& why) {
  if (c.state == Conn::State::kClosed) return;
  c.state = Conn::State::kClosed;
  say("client " + c.peer + ": " + why + "; connection closed");
  ::close(c.fd);
  c.fd = -1;
  auto pending = std::move(c.pending);
  for (auto& [seq, tid] : pending) host_.cancel(tid);
  if (attached_conn_ == c.id) {
    attached_conn_ = 0;
    detach();
  }
}

// The client is gone: the cable comes out (the firmware sees a disconnect)
// and goes back in a little later, ready for the next import.
void UsbIpServer::detach() {
  if (!host_.plugged()) return;
  say("device detached");
  host_.unplug();
  device_desc_.clear();
  if (replug_ev_) m_.scheduler().cancel(replug_ev_);
  replug_ev_ = m_.scheduler().after(static_cast<cycles_t>(kReplugMs * 1e-3 * m_.clocks().hclk), [this] {
    replug_ev_ = 0;
    host_.plug();
  });
}

void UsbIpServer::reap() {
  for (auto it = conns_.begin(); it != conns_.end();)
    if (it->second->state == Conn::State::kClosed)
      it = conns_.erase(it);
    else
      ++it;
}

}  // namespace vb
