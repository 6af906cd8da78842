#include "sim/usbhost/usb_host.hpp"

#include <algorithm>
#include <cstdio>

#include "sim/core/machine.hpp"

namespace vb {

namespace {
constexpr double kFrameUs = 1000;
constexpr double kFrameGuardUs = 10;  // end-of-frame guard before the next SOF
constexpr double kDebounceUs = 100'000;  // port connect debounce
constexpr double kResetUs = 10'000;      // SE0 of a port reset
constexpr double kRecoveryUs = 10'000;   // after reset and after SET_ADDRESS
constexpr double kSuspendIdleUs = 3000;
constexpr double kResumeUs = 20'000;
constexpr unsigned kMaxErrors = 3;
constexpr unsigned kNotifyInterval = 128;  // bInterval 255 ms, rounded down to a power of two
constexpr std::size_t kWriteSize = 64 * 20;
constexpr std::size_t kLogLimit = 400'000;
constexpr double kControlTimeoutUs = 5'000'000;

std::uint16_t le16(const std::vector<std::uint8_t>& d, std::size_t i) {
  return static_cast<std::uint16_t>(d.at(i) | d.at(i + 1) << 8);
}
// Bus time of a transaction with `bytes` of data (token, data, handshake,
// inter-packet gaps) at 12 Mbit/s.
double bus_time_us(std::size_t bytes) { return (static_cast<double>(bytes) + 16) * 8 / 12.0; }
}  // namespace

const char* transfer_status_name(UsbTransfer::Status s) {
  switch (s) {
    case UsbTransfer::Status::kPending: return "pending";
    case UsbTransfer::Status::kOk: return "ok";
    case UsbTransfer::Status::kStall: return "stall";
    case UsbTransfer::Status::kError: return "error";
    case UsbTransfer::Status::kTimeout: return "timed out";
    case UsbTransfer::Status::kCancelled: return "cancelled";
    case UsbTransfer::Status::kBabble: return "babble";
  }
  return "?";
}

struct UsbHost::Pending {
  UsbTransfer t;
  Done done;
  enum class Stage : std::uint8_t { kSetup, kData, kStatus } stage = Stage::kSetup;
  bool data_in = false;
  std::size_t offset = 0;
  unsigned errors = 0;
  bool waiting = false;   // NAKed: retried at the next frame or when the device gets ready
  int ctl_toggle = 1;
  unsigned interval = 0;  // interrupt transfers: polled every `interval` frames
  double deadline_us = 0;  // 0: none
};

UsbHost::UsbHost(Machine& m, OtgFs& dev) : m_(m), dev_(dev) {
  dev_.on_ready([this] { kick(); });
}

UsbHost::~UsbHost() {
  alive_ = false;
  dev_.on_ready({});
  for (Scheduler::Handle h : {frame_ev_, service_ev_, misc_ev_})
    if (h) m_.scheduler().cancel(h);
}

double UsbHost::now_us() const { return static_cast<double>(m_.now()) * 1e6 / m_.clocks().hclk; }
cycles_t UsbHost::us_to_cycles(double us) const {
  return std::max<cycles_t>(1, static_cast<cycles_t>(us * m_.clocks().hclk / 1e6));
}

std::string UsbHost::state_name() const {
  switch (state_) {
    case State::kUnplugged: return "unplugged";
    case State::kWaitingForDevice: return "waiting for the device";
    case State::kEnumerating: return "enumerating";
    case State::kConfigured: return "configured";
    case State::kFailed: return "enumeration failed";
  }
  return "?";
}

void UsbHost::event(const std::string& what) { events_.push_back({now_us(), what}); }
void UsbHost::say(const std::string& what) {
  if (message_) message_(what);
}

void UsbHost::clear_logs() {
  log_.clear();
  events_.clear();
  done_.clear();
}

void UsbHost::record(UsbTransaction::Token t, std::uint8_t ep, int pid, const std::vector<std::uint8_t>& data,
                     Handshake h) {
  if (h == Handshake::kNak && !log_naks_) return;
  if (log_.size() >= kLogLimit) log_.erase(log_.begin(), log_.begin() + kLogLimit / 2);
  log_.push_back({m_.now(), now_us(), address_, ep, t, pid, data, h});
}

// --- cable, frames, bus states -------------------------------------------------------

void UsbHost::plug() {
  if (plugged_) return;
  plugged_ = true;
  event("cable plugged");
  state_ = State::kWaitingForDevice;
  dev_.set_vbus(true);
  start_frames();
}

void UsbHost::unplug() {
  if (!plugged_) return;
  plugged_ = false;
  event("cable unplugged");
  dev_.set_vbus(false);
  on_device_gone();
  state_ = State::kUnplugged;
  if (frame_ev_) m_.scheduler().cancel(frame_ev_);
  frame_ev_ = 0;
}

void UsbHost::start_frames() {
  if (frame_ev_) return;
  next_frame_at_ = m_.now() + us_to_cycles(kFrameUs);
  frame_ev_ = m_.scheduler().at(next_frame_at_, [this] {
    frame_ev_ = 0;
    frame_tick();
  });
}

void UsbHost::frame_tick() {
  if (!plugged_) return;
  start_frames();
  const bool attached = dev_.attached();
  if (!device_seen_ && attached) {
    device_seen_ = true;
    attempts_ = 0;
    event("device connected");
    if (auto_enumerate_) {
      if (misc_ev_) m_.scheduler().cancel(misc_ev_);
      misc_ev_ = m_.scheduler().after(us_to_cycles(kDebounceUs), [this] {
        misc_ev_ = 0;
        enumerate();
      });
    }
  } else if (device_seen_ && !attached) {
    on_device_gone();
    return;
  }
  if (!port_enabled_ || suspended_ || in_reset_) return;
  const double now = now_us();
  for (std::size_t i = 0; i < queue_.size();) {
    Pending& p = *queue_[i];
    if (p.deadline_us != 0 && now >= p.deadline_us)
      finish(p, UsbTransfer::Status::kTimeout);
    else
      ++i;
  }
  ++frame_;
  dev_.sof(frame_ & 0x7FF);
  for (auto& p : queue_) p->waiting = false;
  service();
}

void UsbHost::on_device_gone() {
  if (device_seen_) event("device disconnected");
  device_seen_ = false;
  port_enabled_ = false;
  in_reset_ = false;
  suspended_ = false;
  port_open_ = false;
  reads_queued_ = 0;
  write_busy_ = false;
  notify_queued_ = false;
  script_.clear();
  mps0_ = 64;
  mps_in_.fill(0);
  mps_out_.fill(0);
  if (misc_ev_) m_.scheduler().cancel(misc_ev_);
  misc_ev_ = 0;
  if (state_ != State::kUnplugged) state_ = plugged_ ? State::kWaitingForDevice : State::kUnplugged;
  cancel_all();
  reads_queued_ = 0;
  write_busy_ = false;
  notify_queued_ = false;
}

void UsbHost::bus_reset(std::function<void()> done) {
  event("port reset");
  in_reset_ = true;
  port_enabled_ = false;
  dev_.bus_reset_begin();
  if (misc_ev_) m_.scheduler().cancel(misc_ev_);
  misc_ev_ = m_.scheduler().after(us_to_cycles(kResetUs), [this, done = std::move(done)] {
    in_reset_ = false;
    dev_.bus_reset_end();
    port_enabled_ = dev_.attached();
    address_ = 0;
    toggle_in_.fill(0);
    toggle_out_.fill(0);
    misc_ev_ = m_.scheduler().after(us_to_cycles(kRecoveryUs), [this, done] {
      misc_ev_ = 0;
      if (done) done();
    });
  });
}

void UsbHost::suspend() {
  if (suspended_) return;
  event("suspend");
  suspended_ = true;
  if (misc_ev_) m_.scheduler().cancel(misc_ev_);
  misc_ev_ = m_.scheduler().after(us_to_cycles(kSuspendIdleUs), [this] {
    misc_ev_ = 0;
    dev_.suspend();
  });
}

void UsbHost::resume() {
  if (!suspended_) return;
  event("resume");
  dev_.resume();
  if (misc_ev_) m_.scheduler().cancel(misc_ev_);
  misc_ev_ = m_.scheduler().after(us_to_cycles(kResumeUs), [this] {
    misc_ev_ = 0;
    suspended_ = false;
  });
}

void UsbHost::reset_toggle(std::uint8_t ep) {
  (ep & 0x80 ? toggle_in_ : toggle_out_)[ep & 0xF] = 0;
}

// --- transfers ---------------------------------------------------------------------

std::uint64_t UsbHost::submit(std::unique_ptr<Pending> p) {
  p->t.id = next_id_++;
  p->t.submitted_us = now_us();
  const std::uint64_t id = p->t.id;
  for (const auto& fn : observers_) fn(p->t);
  queue_.push_back(std::move(p));
  kick();
  return id;
}

std::uint64_t UsbHost::control(std::array<std::uint8_t, 8> setup, std::vector<std::uint8_t> out_data, Done done) {
  auto p = std::make_unique<Pending>();
  p->t.kind = UsbTransfer::Kind::kControl;
  p->t.setup = setup;
  p->data_in = (setup[0] & 0x80) != 0;
  p->t.length = static_cast<std::size_t>(setup[6] | setup[7] << 8);
  p->t.ep = p->data_in ? 0x80 : 0x00;
  p->deadline_us = now_us() + kControlTimeoutUs;
  if (!p->data_in) p->t.data = std::move(out_data);
  p->done = std::move(done);
  return submit(std::move(p));
}

std::uint64_t UsbHost::control(std::uint8_t bmRequest, std::uint8_t bRequest, std::uint16_t wValue,
                               std::uint16_t wIndex, std::uint16_t wLength, std::vector<std::uint8_t> out_data,
                               Done done) {
  const std::array<std::uint8_t, 8> s{bmRequest,
                                      bRequest,
                                      static_cast<std::uint8_t>(wValue),
                                      static_cast<std::uint8_t>(wValue >> 8),
                                      static_cast<std::uint8_t>(wIndex),
                                      static_cast<std::uint8_t>(wIndex >> 8),
                                      static_cast<std::uint8_t>(wLength),
                                      static_cast<std::uint8_t>(wLength >> 8)};
  if (!(bmRequest & 0x80)) out_data.resize(wLength);
  return control(s, std::move(out_data), std::move(done));
}

std::uint64_t UsbHost::bulk_out(std::uint8_t ep, std::vector<std::uint8_t> data, Done done) {
  auto p = std::make_unique<Pending>();
  p->t.kind = UsbTransfer::Kind::kBulk;
  p->t.ep = ep & 0x0F;
  p->t.length = data.size();
  p->t.data = std::move(data);
  p->stage = Pending::Stage::kData;
  p->done = std::move(done);
  return submit(std::move(p));
}

std::uint64_t UsbHost::bulk_in(std::uint8_t ep, std::size_t length, Done done) {
  auto p = std::make_unique<Pending>();
  p->t.kind = UsbTransfer::Kind::kBulk;
  p->t.ep = static_cast<std::uint8_t>(ep | 0x80);
  p->t.length = length;
  p->data_in = true;
  p->stage = Pending::Stage::kData;
  p->done = std::move(done);
  return submit(std::move(p));
}

std::uint64_t UsbHost::interrupt_in(std::uint8_t ep, std::size_t length, unsigned interval, Done done) {
  auto p = std::make_unique<Pending>();
  p->t.kind = UsbTransfer::Kind::kInterrupt;
  p->t.ep = static_cast<std::uint8_t>(ep | 0x80);
  p->t.length = length;
  p->data_in = true;
  p->stage = Pending::Stage::kData;
  p->interval = std::clamp(interval, 1u, 255u);
  p->done = std::move(done);
  return submit(std::move(p));
}

bool UsbHost::cancel(std::uint64_t id) {
  for (auto& p : queue_)
    if (p->t.id == id) {
      finish(*p, UsbTransfer::Status::kCancelled);
      return true;
    }
  return false;
}

const UsbTransfer* UsbHost::transfer(std::uint64_t id) const {
  for (const auto& p : queue_)
    if (p->t.id == id) return &p->t;
  for (const auto& t : done_)
    if (t.id == id) return &t;
  return nullptr;
}

unsigned UsbHost::max_packet(std::uint8_t ep) const {
  if ((ep & 0x0F) == 0) return mps0_;
  const unsigned m = (ep & 0x80 ? mps_in_ : mps_out_)[ep & 0x0F];
  return m != 0 ? m : 64;
}

// What the host keeps from the descriptors it reads, whoever asked for them
// (its own enumeration or a USB/IP client): the packet sizes.
void UsbHost::learn(const UsbTransfer& t) {
  if (t.kind != UsbTransfer::Kind::kControl || t.status != UsbTransfer::Status::kOk) return;
  if (t.setup[0] != 0x80 || t.setup[1] != 6) return;
  const std::vector<std::uint8_t>& d = t.data;
  if (t.setup[3] == 1 && d.size() >= 8 && (d[7] == 8 || d[7] == 16 || d[7] == 32 || d[7] == 64)) mps0_ = d[7];
  if (t.setup[3] == 2 && d.size() >= 4 && d.size() >= le16(d, 2)) {
    for (std::size_t i = 0; i + 1 < d.size() && d[i] >= 2; i += d[i])
      if (d[i + 1] == 5 && d[i] >= 7 && i + 6 < d.size()) {
        const std::uint8_t addr = d[i + 2];
        (addr & 0x80 ? mps_in_ : mps_out_)[addr & 0x0F] = le16(d, i + 4) & 0x7FF;
      }
  }
}

void UsbHost::finish(Pending& p, UsbTransfer::Status s) {
  p.t.status = s;
  p.t.done_us = now_us();
  learn(p.t);
  UsbTransfer t = p.t;
  Done done = std::move(p.done);
  for (auto it = queue_.begin(); it != queue_.end(); ++it)
    if (it->get() == &p) {
      queue_.erase(it);
      break;
    }
  if (done_.size() >= 4096) done_.pop_front();
  done_.push_back(t);
  for (const auto& fn : observers_) fn(t);
  if (done) done(t);
}

void UsbHost::cancel_all() {
  while (!queue_.empty()) finish(*queue_.front(), UsbTransfer::Status::kCancelled);
}

void UsbHost::kick() {
  for (auto& p : queue_) p->waiting = false;
  if (service_ev_ || !alive_) return;
  service_ev_ = m_.scheduler().after(us_to_cycles(1), [this] {
    service_ev_ = 0;
    service();
  });
}

// One transaction of the first transfer that can make progress; the next
// one follows after its bus time. Transfers on the same endpoint go in turn.
void UsbHost::service() {
  if (!port_enabled_ || suspended_ || in_reset_ || service_ev_) return;
  // Like a host controller, no transaction is started that could run into
  // the next SOF; the frame's start serves the queue again.
  if (m_.now() + us_to_cycles(bus_time_us(64) + kFrameGuardUs) > next_frame_at_) return;
  std::uint32_t busy = 0;  // endpoints already served in this round: OUT n at bit n, IN n at 16 + n
  for (std::size_t i = 0; i < queue_.size(); ++i) {
    Pending& p = *queue_[i];
    const std::uint8_t ep = p.t.kind == UsbTransfer::Kind::kControl ? 0 : p.t.ep;
    const std::uint32_t bit = 1u << ((ep & 0x0F) + (ep & 0x80 ? 16 : 0));
    if (busy & bit) continue;
    busy |= bit;
    if (p.waiting) continue;
    if (p.interval != 0 && frame_ % p.interval != 0) continue;
    double bus_us = 0;
    if (step(p, bus_us)) {
      service_ev_ = m_.scheduler().after(us_to_cycles(bus_us), [this] {
        service_ev_ = 0;
        service();
      });
      return;
    }
  }
}

// Runs the next transaction of `p`. True when it moved (an ACK, a stall or
// an error); false when it was NAKed.
bool UsbHost::step(Pending& p, double& bus_us) {
  using Token = UsbTransaction::Token;
  const std::uint8_t epn = p.t.ep & 0x0F;
  auto no_answer = [&] {
    if (++p.errors >= kMaxErrors) {
      finish(p, UsbTransfer::Status::kError);
    } else {
      p.waiting = true;
    }
    bus_us = bus_time_us(0);
    return true;
  };
  auto stalled = [&] {
    bus_us = bus_time_us(0);
    finish(p, UsbTransfer::Status::kStall);
    return true;
  };

  auto babble = [&](std::size_t bytes) {
    bus_us = bus_time_us(bytes);
    finish(p, UsbTransfer::Status::kBabble);
    return true;
  };
  // A data packet whose PID is not the one expected: a transaction error.
  // Its data is dropped and the token tried again, up to the host's error
  // limit, after which the transfer fails.
  auto wrong_pid = [&](std::size_t bytes) {
    bus_us = bus_time_us(bytes);
    if (++p.errors >= kMaxErrors) finish(p, UsbTransfer::Status::kError);
    return true;
  };

  if (p.t.kind == UsbTransfer::Kind::kControl) {
    const std::size_t mps0 = mps0_;
    // Without a data stage the status stage is an IN, as after an OUT data stage.
    const bool status_out = p.data_in && p.t.length > 0;
    switch (p.stage) {
      case Pending::Stage::kSetup: {
        const Handshake h = dev_.setup(address_, std::span<const std::uint8_t, 8>(p.t.setup));
        record(Token::kSetup, 0, 0, {p.t.setup.begin(), p.t.setup.end()}, h);
        if (h == Handshake::kNone) return no_answer();
        p.stage = (p.data_in ? p.t.length : p.t.data.size()) == 0 ? Pending::Stage::kStatus : Pending::Stage::kData;
        p.ctl_toggle = 1;  // the data stage starts with DATA1
        bus_us = bus_time_us(8);
        return true;
      }
      case Pending::Stage::kData:
        if (p.data_in) {
          std::vector<std::uint8_t> d;
          int pid = 0;
          const Handshake h = dev_.in(address_, 0, d, pid);
          record(Token::kIn, 0, h == Handshake::kAck ? pid : -1, d, h);
          if (h == Handshake::kNak) return false;
          if (h == Handshake::kStall) return stalled();
          if (h == Handshake::kNone) return no_answer();
          if (pid != p.ctl_toggle) return wrong_pid(d.size());
          if (d.size() > mps0 || d.size() > p.t.length - p.t.data.size()) return babble(d.size());
          p.ctl_toggle ^= 1;
          p.t.data.insert(p.t.data.end(), d.begin(), d.end());
          if (d.size() < mps0 || p.t.data.size() >= p.t.length) p.stage = Pending::Stage::kStatus;
          bus_us = bus_time_us(d.size());
          return true;
        } else {
          const std::size_t n = std::min<std::size_t>(mps0, p.t.data.size() - p.offset);
          const std::vector<std::uint8_t> d(p.t.data.begin() + static_cast<std::ptrdiff_t>(p.offset),
                                            p.t.data.begin() + static_cast<std::ptrdiff_t>(p.offset + n));
          const Handshake h = dev_.out(address_, 0, d, p.ctl_toggle);
          record(Token::kOut, 0, p.ctl_toggle, d, h);
          if (h == Handshake::kNak) return false;
          if (h == Handshake::kStall) return stalled();
          if (h == Handshake::kNone) return no_answer();
          p.offset += n;
          p.ctl_toggle ^= 1;
          if (p.offset >= p.t.data.size()) p.stage = Pending::Stage::kStatus;
          bus_us = bus_time_us(n);
          return true;
        }
      case Pending::Stage::kStatus: {
        // The status stage goes the other way, a zero-length DATA1 packet.
        Handshake h;
        std::vector<std::uint8_t> d;
        int pid = 1;
        if (status_out) {
          h = dev_.out(address_, 0, {}, 1);
          record(Token::kOut, 0, 1, {}, h);
        } else {
          h = dev_.in(address_, 0, d, pid);
          record(Token::kIn, 0, h == Handshake::kAck ? pid : -1, d, h);
        }
        if (h == Handshake::kNak) return false;
        if (h == Handshake::kStall) return stalled();
        if (h == Handshake::kNone) return no_answer();
        if (!status_out) {
          if (!d.empty()) return babble(d.size());  // data where only the status belongs
          if (pid != 1) return wrong_pid(0);
        }
        bus_us = bus_time_us(0);
        finish(p, UsbTransfer::Status::kOk);
        return true;
      }
    }
    return false;
  }

  // Bulk and interrupt.
  if (p.data_in) {
    std::vector<std::uint8_t> d;
    int pid = 0;
    const Handshake h = dev_.in(address_, epn, d, pid);
    record(Token::kIn, epn, h == Handshake::kAck ? pid : -1, d, h);
    if (h == Handshake::kNak) {
      p.waiting = true;
      return false;
    }
    if (h == Handshake::kStall) return stalled();
    if (h == Handshake::kNone) return no_answer();
    bus_us = bus_time_us(d.size());
    if (pid != toggle_in_[epn]) return wrong_pid(d.size());
    toggle_in_[epn] ^= 1;
    const std::size_t mps = max_packet(p.t.ep);
    if (d.size() > mps || d.size() > p.t.length - p.t.data.size()) return babble(d.size());
    p.t.data.insert(p.t.data.end(), d.begin(), d.end());
    if (d.size() < mps || p.t.data.size() >= p.t.length) finish(p, UsbTransfer::Status::kOk);
    return true;
  }
  const std::size_t n = std::min<std::size_t>(max_packet(p.t.ep), p.t.data.size() - p.offset);
  const std::vector<std::uint8_t> d(p.t.data.begin() + static_cast<std::ptrdiff_t>(p.offset),
                                    p.t.data.begin() + static_cast<std::ptrdiff_t>(p.offset + n));
  const Handshake h = dev_.out(address_, epn, d, toggle_out_[epn]);
  record(Token::kOut, epn, toggle_out_[epn], d, h);
  if (h == Handshake::kNak) {
    p.waiting = true;
    return false;
  }
  if (h == Handshake::kStall) return stalled();
  if (h == Handshake::kNone) return no_answer();
  toggle_out_[epn] ^= 1;
  p.offset += n;
  bus_us = bus_time_us(n);
  if (p.offset >= p.t.data.size()) finish(p, UsbTransfer::Status::kOk);
  return true;
}

// --- enumeration -----------------------------------------------------------------------

// As the Linux hub driver does, a failed enumeration is tried again after a
// port reset, up to kEnumerationTries times per connection.
void UsbHost::fail(const std::string& why) {
  failure_ = why;
  state_ = State::kFailed;
  script_.clear();
  event("enumeration failed: " + why);
  if (attempts_ < kEnumerationTries && plugged_ && device_seen_) {
    say("USB host: enumeration failed: " + why + "; resetting the port and trying again (attempt " +
        std::to_string(attempts_ + 1) + " of " + std::to_string(kEnumerationTries) + ")");
    if (misc_ev_) m_.scheduler().cancel(misc_ev_);
    misc_ev_ = m_.scheduler().after(us_to_cycles(kRecoveryUs), [this] {
      misc_ev_ = 0;
      enumerate();
    });
    return;
  }
  say("USB host: enumeration failed: " + why + "; unable to enumerate the device after " +
      std::to_string(attempts_) + " attempts");
}

void UsbHost::run_script(std::size_t i) {
  if (i >= script_.size()) return;
  auto fn = script_[i];
  fn([this, i] { run_script(i + 1); });
}

void UsbHost::enumerate() {
  state_ = State::kEnumerating;
  failure_.clear();
  ++enumerations_;
  ++attempts_;
  device_desc_.clear();
  config_desc_.clear();
  strings_.assign(4, {});
  auto ctl = [this](std::uint8_t bm, std::uint8_t req, std::uint16_t value, std::uint16_t index, std::uint16_t len,
                    std::string what, std::function<void(const UsbTransfer&)> ok = {},
                    std::vector<std::uint8_t> data = {}) {
    return [=, this](std::function<void()> next) {
      control(bm, req, value, index, len, data, [=, this](const UsbTransfer& t) {
        if (t.status == UsbTransfer::Status::kCancelled) return;
        if (t.status != UsbTransfer::Status::kOk) {
          fail(what + ": " + transfer_status_name(t.status));
          return;
        }
        if (ok) ok(t);
        if (state_ == State::kEnumerating) next();
      });
    };
  };
  auto string = [this, ctl](int which) {
    return [this, ctl, which](std::function<void()> next) {
      const std::uint8_t index = device_desc_.size() >= 17 ? device_desc_[14 + which] : 0;
      const std::uint16_t lang = strings_[0].size() >= 4 ? le16(strings_[0], 2) : 0;
      if (index == 0) return next();
      ctl(0x80, 6, static_cast<std::uint16_t>(0x0300 | index), lang, 255, "GET_DESCRIPTOR(string)",
          [this, index](const UsbTransfer& t) {
            if (strings_.size() <= index) strings_.resize(index + 1u);
            strings_[index] = t.data;
          })(next);
    };
  };
  const std::uint8_t new_address = next_address_;
  next_address_ = static_cast<std::uint8_t>(next_address_ % 127 + 1);
  script_ = {
      [this](std::function<void()> next) { bus_reset(next); },
      ctl(0x80, 6, 0x0100, 0, 64, "GET_DESCRIPTOR(device, 64)"),
      [this](std::function<void()> next) { bus_reset(next); },
      ctl(0x00, 5, new_address, 0, 0, "SET_ADDRESS",
          [this, new_address](const UsbTransfer&) { address_ = new_address; }),
      [this](std::function<void()> next) {
        misc_ev_ = m_.scheduler().after(us_to_cycles(kRecoveryUs), [this, next] {
          misc_ev_ = 0;
          next();
        });
      },
      ctl(0x80, 6, 0x0100, 0, 18, "GET_DESCRIPTOR(device)", [this](const UsbTransfer& t) { device_desc_ = t.data; }),
      // A USB 2.00 device may be high-speed capable: its device qualifier
      // is asked for; a full-speed-only device stalls, which is no failure.
      [this](std::function<void()> next) {
        if (device_desc_.size() < 4 || le16(device_desc_, 2) < 0x0200) return next();
        control(0x80, 6, 0x0600, 0, 10, {}, [this, next](const UsbTransfer& t) {
          if (t.status == UsbTransfer::Status::kCancelled) return;
          if (t.status != UsbTransfer::Status::kOk && t.status != UsbTransfer::Status::kStall) {
            fail(std::string("GET_DESCRIPTOR(device qualifier): ") + transfer_status_name(t.status));
            return;
          }
          if (state_ == State::kEnumerating) next();
        });
      },
      ctl(0x80, 6, 0x0200, 0, 9, "GET_DESCRIPTOR(configuration, 9)",
          [this](const UsbTransfer& t) { config_desc_ = t.data; }),
      [this, ctl](std::function<void()> next) {
        const std::uint16_t total = config_desc_.size() >= 4 ? le16(config_desc_, 2) : 9;
        ctl(0x80, 6, 0x0200, 0, total, "GET_DESCRIPTOR(configuration)",
            [this](const UsbTransfer& t) { config_desc_ = t.data; })(next);
      },
      ctl(0x80, 6, 0x0300, 0, 255, "GET_DESCRIPTOR(string 0)", [this](const UsbTransfer& t) { strings_[0] = t.data; }),
      string(1),  // product (iProduct at offset 15)
      string(0),  // manufacturer (offset 14)
      string(2),  // serial number (offset 16)
      ctl(0x00, 9, 1, 0, 0, "SET_CONFIGURATION",
          [this](const UsbTransfer&) {
            toggle_in_.fill(0);
            toggle_out_.fill(0);
          }),
      // cdc_acm probe: the line settings 9600 8N1.
      ctl(0x21, 0x20, 0, 0, 7, "SET_LINE_CODING", {}, {0x80, 0x25, 0, 0, 0, 0, 8}),
      [this](std::function<void()>) {
        state_ = State::kConfigured;
        event("configured");
        std::string product;
        if (strings_.size() > 2)
          for (std::size_t i = 2; i < strings_[2].size(); i += 2) product += static_cast<char>(strings_[2][i]);
        char ids[32] = "";
        if (device_desc_.size() >= 12)
          std::snprintf(ids, sizeof ids, "%04x:%04x", le16(device_desc_, 8), le16(device_desc_, 10));
        say(std::string("USB host: device ") + ids + " \"" + product + "\" enumerated at address " +
            std::to_string(address_));
        if (auto_open_) open_port();
        pump_writes();
      },
  };
  run_script(0);
}

// --- CDC ACM client ----------------------------------------------------------------------

void UsbHost::open_port() {
  if (port_open_) return;
  port_open_ = true;
  control(0x21, 0x22, 0x0003, 0, 0);  // DTR and RTS on
  refill_reads();
  if (!notify_queued_) {
    notify_queued_ = true;
    auto p = std::make_unique<Pending>();
    p->t.kind = UsbTransfer::Kind::kInterrupt;
    p->t.ep = 0x82;
    p->t.length = 8;
    p->data_in = true;
    p->stage = Pending::Stage::kData;
    p->interval = kNotifyInterval;
    p->done = [this](const UsbTransfer&) { notify_queued_ = false; };
    submit(std::move(p));
  }
}

void UsbHost::close_port() {
  if (!port_open_) return;
  port_open_ = false;
  control(0x21, 0x22, 0x0000, 0, 0);
  for (std::size_t i = 0; i < queue_.size();) {
    Pending& p = *queue_[i];
    if (p.t.kind != UsbTransfer::Kind::kControl && p.data_in)
      finish(p, UsbTransfer::Status::kCancelled);
    else
      ++i;
  }
  reads_queued_ = 0;
  notify_queued_ = false;
}

void UsbHost::refill_reads() {
  while (port_open_ && reads_queued_ < kReadUrbs) {
    ++reads_queued_;
    bulk_in(0x81, kReadSize, [this](const UsbTransfer& t) {
      if (reads_queued_ > 0) --reads_queued_;
      // A read cut short (the port closed, the cable went) still holds the
      // packets the device delivered before: they count as received.
      const std::string bytes(t.data.begin(), t.data.end());
      rx_stream_ += bytes;
      if (on_received_ && !bytes.empty()) on_received_(bytes);
      if (t.status == UsbTransfer::Status::kOk) refill_reads();
    });
  }
}

void UsbHost::write(const std::string& bytes) {
  tx_pending_ += bytes;
  pump_writes();
}

std::size_t UsbHost::write_pending() const {
  std::size_t sent = 0;
  if (write_busy_)
    for (const auto& p : queue_)
      if (p->t.id == write_id_) sent = p->offset;
  return tx_pending_.size() - sent;
}

void UsbHost::pump_writes() {
  if (write_busy_ || tx_pending_.empty() || state_ != State::kConfigured || !port_enabled_) return;
  const std::size_t n = std::min(kWriteSize, tx_pending_.size());
  std::vector<std::uint8_t> chunk(tx_pending_.begin(), tx_pending_.begin() + static_cast<std::ptrdiff_t>(n));
  write_busy_ = true;
  write_id_ = bulk_out(0x01, std::move(chunk), [this, n](const UsbTransfer& t) {
    write_busy_ = false;
    if (t.status == UsbTransfer::Status::kOk) tx_pending_.erase(0, n);
    if (t.status == UsbTransfer::Status::kOk || t.status == UsbTransfer::Status::kCancelled) pump_writes();
  });
}

}  // namespace vb
