#include "sim/parts/tcxo_rtc.hpp"

#include <algorithm>

#include "sim/core/machine.hpp"

namespace vb {

namespace {
std::array<std::uint8_t, 7> as_bytes(const BcdCalendar& c) {
  return {c.sec, c.min, c.hour, c.wday, c.mday, c.mon, c.year};
}
BcdCalendar from_bytes(const std::uint8_t* r) { return {r[0], r[1], r[2], r[3], r[4], r[5], r[6]}; }
constexpr std::uint8_t kHour12Select = 0x40;  // 12-hour mode on chips of this kind
}  // namespace

TcxoRtc::TcxoRtc(Machine& m, PinIo& pins, TcxoRtcOptions opts) : m_(m), pins_(pins), opts_(opts) {
  const auto t = as_bytes(opts_.start);
  std::copy(t.begin(), t.end(), regs_.begin());
  last_sync_ = m_.now();
  hclk_ = m_.clocks().hclk;
  cs_ = pins_.level(kCs);
  sck_ = pins_.level(kSck);
  watches_[0] = pins_.watch(kCs, [this](bool l) { on_cs(l); });
  watches_[1] = pins_.watch(kSck, [this](bool l) { on_sck(l); });
  watches_[2] = pins_.watch(kMosi, [this](bool l) { on_mosi(l); });
  drive_miso();
}

TcxoRtc::~TcxoRtc() {
  for (int id : watches_) pins_.unwatch(id);
  pins_.drive(kMiso, Drive::kNone);
}

// The chip counts from its own oscillator; board time comes in core cycles,
// converted at the HCLK that ran during the interval (clocks_changed() closes
// an interval when HCLK changes).
void TcxoRtc::sync() {
  const cycles_t now = m_.now();
  const cycles_t elapsed = now - last_sync_;
  last_sync_ = now;
  if (elapsed && hclk_) {
    const unsigned __int128 acc = static_cast<unsigned __int128>(elapsed) * kOscillatorHz + frac_;
    frac_ = acc % hclk_;
    divider_ += static_cast<std::uint64_t>(acc / hclk_);
    BcdCalendar c = from_bytes(regs_.data());
    for (; divider_ >= kOscillatorHz; divider_ -= kOscillatorHz) tick_second(c);
    const auto b = as_bytes(c);
    std::copy(b.begin(), b.end(), regs_.begin());
  }
  const std::uint32_t h = m_.clocks().hclk;
  if (h != hclk_ && hclk_ != 0) frac_ = frac_ * h / hclk_;
  hclk_ = h;
}

BcdCalendar TcxoRtc::time() {
  sync();
  return from_bytes(regs_.data());
}

void TcxoRtc::set_time(const BcdCalendar& t) {
  sync();
  const auto b = as_bytes(t);
  std::copy(b.begin(), b.end(), regs_.begin());
  divider_ = 0;
}

std::uint8_t TcxoRtc::reg(unsigned addr) {
  sync();
  return addr < kRegisters ? regs_[addr] : 0;
}

void TcxoRtc::set_reg(unsigned addr, std::uint8_t v) {
  sync();
  if (addr >= kRegisters) return;
  regs_[addr] = v;
  if (addr == 0) divider_ = 0;
}

unsigned TcxoRtc::count(Violation v) const {
  return static_cast<unsigned>(std::count_if(violations_.begin(), violations_.end(),
                                             [v](const Event& e) { return e.what == v; }));
}

void TcxoRtc::drive_miso() {
  using Fit = TcxoRtcOptions::Fit;
  Drive d = Drive::kPullUp;  // the board's pull-up while the chip's output is off
  if (opts_.fit == Fit::kStuckLow) d = Drive::kLow;
  else if (present() && in_frame_) d = ((out_ << bit_) & 0x80) ? Drive::kHigh : Drive::kLow;
  pins_.drive(kMiso, d);
}

void TcxoRtc::note_edge() {
  const cycles_t now = m_.now();
  Frame& f = frames_.back();
  f.min_phase = std::min(f.min_phase, now - last_edge_);
  last_edge_ = now;
}

void TcxoRtc::on_cs(bool level) {
  if (level == cs_) return;
  cs_ = level;
  if (!level) {  // frame starts
    in_frame_ = true;
    frames_.push_back(Frame{});
    frames_.back().start = m_.now();
    last_edge_ = m_.now();
    bit_ = 0;
    in_ = sampled_ = 0;
    addressed_ = writing_ = false;
    out_ = 0x00;  // what the chip shifts out during the address byte
    if (present()) {
      sync();
      buffer_ = regs_;
      dirty_ = 0;
    }
    drive_miso();
    return;
  }
  if (!in_frame_) return;
  note_edge();
  frames_.back().end = m_.now();
  if (bit_ != 0) violations_.push_back({m_.now(), Violation::kPartialByte});
  in_frame_ = false;
  if (present() && dirty_) {
    sync();
    for (unsigned i = 0; i < kTimeRegisters; ++i)
      if (dirty_ & (1u << i)) regs_[i] = buffer_[i];
    if (dirty_ & 1u) divider_ = 0;  // writing the seconds restarts the divider
  }
  drive_miso();
}

void TcxoRtc::on_sck(bool level) {
  if (level == sck_) return;
  sck_ = level;
  if (!in_frame_) {
    if (level && sck_fell_) violations_.push_back({m_.now(), Violation::kClockWithoutCs});
    sck_fell_ = !level;
    return;
  }
  sck_fell_ = !level;
  note_edge();
  if (!level) {  // falling edge: the chip puts its next bit out
    drive_miso();
    return;
  }
  // Rising edge: the chip takes MOSI; the firmware samples MISO right after.
  in_ = static_cast<std::uint8_t>(in_ << 1 | (pins_.level(kMosi) ? 1 : 0));
  sampled_ = static_cast<std::uint8_t>(sampled_ << 1 | (pins_.level(kMiso) ? 1 : 0));
  ++frames_.back().bits;
  if (++bit_ < 8) return;
  frames_.back().mosi.push_back(in_);
  frames_.back().miso.push_back(sampled_);
  bit_ = 0;
  if (present()) byte_done(in_);
  in_ = sampled_ = 0;
}

void TcxoRtc::on_mosi(bool) {
  if (in_frame_ && sck_) violations_.push_back({m_.now(), Violation::kMosiWhileSckHigh});
}

// A complete byte inside a frame: the address byte picks the register and the
// direction; each further byte reads or writes one register, then the
// pointer moves on (wrapping after the last register).
void TcxoRtc::byte_done(std::uint8_t in) {
  auto next = [](unsigned p) { return p + 1 >= kRegisters ? 0u : p + 1; };
  if (!addressed_) {
    addressed_ = true;
    writing_ = in & 0x80;
    ptr_ = in & 0x7F;
  } else if (writing_) {
    if (ptr_ < kRegisters) {
      buffer_[ptr_] = in;
      if (ptr_ < kTimeRegisters) dirty_ |= 1u << ptr_;
      else regs_[ptr_] = in;
      if (ptr_ == 2 && (in & kHour12Select))
        m_.message("TCXO RTC: hours written with the 12-hour select bit; only the 24-hour mode is modelled");
    }
    ptr_ = next(ptr_);
  } else {
    ptr_ = next(ptr_);
  }
  out_ = ptr_ < kRegisters ? buffer_[ptr_] : 0x00;
}

}  // namespace vb
