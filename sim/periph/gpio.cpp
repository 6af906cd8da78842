#include "sim/periph/gpio.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "sim/core/machine.hpp"

namespace vb {

using namespace gpio_reg;

namespace {

const char kPortLetter[] = "ABCDE";

std::string pin_name(int port, int pin) { return std::string("P") + kPortLetter[port] + std::to_string(pin); }

// Spreads a 16-bit pin mask to the pin fields of a register with `width`
// bits per pin starting at pin `first`.
std::uint32_t pin_fields(std::uint16_t pins, unsigned width, unsigned first) {
  std::uint32_t m = 0;
  const std::uint32_t ones = (1u << width) - 1;
  for (unsigned p = first; p < 16 && (p - first) * width < 32; ++p)
    if (pins >> p & 1) m |= ones << ((p - first) * width);
  return m;
}

}  // namespace

PinResolution resolve_pin(bool chip_low, bool chip_high, Drive chip_pull, Drive external) {
  const bool low = chip_low || external == Drive::kLow;
  const bool high = chip_high || external == Drive::kHigh;
  if (low) return {false, high};
  if (high) return {true, false};
  if (external == Drive::kPullUp || external == Drive::kPullDown) return {external == Drive::kPullUp, false};
  if (chip_pull == Drive::kPullUp || chip_pull == Drive::kPullDown) return {chip_pull == Drive::kPullUp, false};
  return {false, false};  // floating: defined as low
}

// --- GpioPort: decoding -------------------------------------------------------

GpioPort::GpioPort(Gpio& owner, int index)
    : RegModel(std::string("GPIO") + kPortLetter[index], kBase + kStride * index, kStride,
                 ClockGate{ClockGate::kAHB1, static_cast<std::uint8_t>(index)}),
      owner_(owner),
      index_(index),
      regs_(kMaps[index]) {}

void GpioPort::on_attach() { owner_.machine_ = &machine(); }

std::uint32_t GpioPort::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  switch (offset) {
    case IDR: return owner_.input_data(index_);
    case BSRR: return 0;
    case LCKR:
      // The read after the third key write completes the sequence.
      if (lck_state_ == Lock::kThird) lck_state_ = Lock::kLocked;
      return regs_[LCKR] | (locked() ? LCKK : 0);
    default: return regs_[offset];
  }
}

void GpioPort::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 1)) return;
  switch (offset) {
    case IDR: report("write to read-only IDR"); return;
    case BSRR: write_bsrr(value, mask); break;
    case LCKR: write_lckr(value, mask); return;
    case ODR: regs_.store(ODR, value, mask); break;
    default: write_config(offset, value, mask); break;
  }
  owner_.update_pins(index_);
}

void GpioPort::reset() {
  regs_.reset();
  lck_state_ = Lock::kIdle;
  lck_key_ = 0;
  owner_.update_pins(index_);
}

// Mode, type, speed, pull and alternate function: fields of locked pins keep
// their value (the hardware ignores the write).
void GpioPort::write_config(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t frozen = locked_bits(offset) & mask;
  const std::uint32_t old = regs_[offset];
  std::uint32_t v = regs_.store(offset, value, mask);
  if ((v ^ old) & frozen) {
    owner_.note(name() + ": write to " + regs_.def(offset).name + " changes locked pins; ignored for them");
    v = (v & ~frozen) | (old & frozen);
    regs_[offset] = v;
  }
  if (offset == PUPDR)
    for (int p = 0; p < 16; ++p)
      if ((v >> (2 * p) & 3) == 3 && ((old >> (2 * p) & 3) != 3))
        owner_.note(name() + ": PUPDR value 11 (reserved) on " + pin_name(index_, p) + "; treated as no pull");
}

std::uint32_t GpioPort::locked_bits(std::uint32_t offset) const {
  if (!locked()) return 0;
  const auto pins = static_cast<std::uint16_t>(regs_[LCKR]);
  switch (offset) {
    case MODER: case OSPEEDR: case PUPDR: return pin_fields(pins, 2, 0);
    case OTYPER: return pins;
    case AFRL: return pin_fields(pins, 4, 0);
    case AFRH: return pin_fields(pins, 4, 8);
    default: return 0;
  }
}

// Bits 15:0 set, bits 31:16 reset the output latch; when both are written
// for one pin, set wins.
void GpioPort::write_bsrr(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t v = value & mask;
  const std::uint32_t set = v & 0xFFFF, clr = v >> 16;
  regs_[ODR] = (regs_[ODR] & ~clr) | set;
}

// The lock sequence: LCKK=1, LCKK=0, LCKK=1, each with the same LCKR[15:0],
// then a read of LCKR; from that read on the configuration of the selected
// pins is frozen until the next reset. Any other write restarts it.
void GpioPort::write_lckr(std::uint32_t value, std::uint32_t mask) {
  if (locked()) return;  // LCKR itself is frozen once locked
  if (mask != 0xFFFFFFFF) {
    // The sequence must use word writes.
    lck_state_ = Lock::kIdle;
    regs_.store(LCKR, value, mask & 0xFFFF);
    return;
  }
  const bool lckk = value & LCKK;
  const auto key = static_cast<std::uint16_t>(value);
  const bool same = key == lck_key_;
  switch (lck_state_) {
    case Lock::kIdle: lck_state_ = lckk ? Lock::kFirst : Lock::kIdle; break;
    case Lock::kFirst: lck_state_ = (!lckk && same) ? Lock::kSecond : (lckk ? Lock::kFirst : Lock::kIdle); break;
    case Lock::kSecond: lck_state_ = (lckk && same) ? Lock::kThird : Lock::kIdle; break;
    case Lock::kThird: lck_state_ = lckk ? Lock::kFirst : Lock::kIdle; break;
    case Lock::kLocked: break;
  }
  lck_key_ = key;
  regs_[LCKR] = key;
}

// --- Gpio: pins ---------------------------------------------------------------

Gpio::Gpio() {
  for (int n = 0; n < kPorts; ++n) ports_[n] = std::make_unique<GpioPort>(*this, n);
  for (auto& port : drive_edges_)
    for (auto& pin : port) pin.fill(kNever);
  for (auto& port : af_out_)
    for (auto& pin : port) pin.fill(-1);
  for (int n = 0; n < kPorts; ++n) levels_[n] = static_cast<std::uint16_t>(kMaps[n][4].reset);
}

Gpio::~Gpio() = default;

std::vector<Peripheral*> Gpio::blocks() {
  std::vector<Peripheral*> v;
  for (auto& p : ports_) v.push_back(p.get());
  return v;
}

void Gpio::check(Pin p) const {
  if (p.port >= kPorts || p.num > 15)
    throw std::out_of_range("no pin P" + std::string(1, p.port < kPorts ? kPortLetter[p.port] : '?') +
                            std::to_string(p.num) + " on this chip");
}

bool Gpio::level(Pin p) const {
  check(p);
  return levels_[p.port] >> p.num & 1;
}

void Gpio::drive(Pin p, Drive d) {
  check(p);
  ext_[p.port][p.num] = d;
  update_pins(p.port);
}

int Gpio::watch(Pin p, std::function<void(bool)> fn) {
  check(p);
  const int id = next_watch_++;
  watchers_.emplace(id, Watcher{p, std::move(fn)});
  return id;
}

void Gpio::unwatch(int id) { watchers_.erase(id); }

void Gpio::set_alternate_output(Pin p, unsigned af, std::optional<bool> level) {
  check(p);
  if (af > 15) throw std::out_of_range("alternate function " + std::to_string(af));
  af_out_[p.port][p.num][af] = level ? static_cast<std::int8_t>(*level) : -1;
  update_pins(p.port);
}

Gpio::Mode Gpio::mode(Pin p) const {
  check(p);
  return static_cast<Mode>(ports_[p.port]->regs_[MODER] >> (2 * p.num) & 3);
}

unsigned Gpio::alternate_function(Pin p) const {
  check(p);
  const auto& r = ports_[p.port]->regs_;
  const std::uint32_t afr = p.num < 8 ? r[AFRL] : r[AFRH];
  return afr >> (4 * (p.num % 8)) & 0xF;
}

// What the chip's output stage does to a pin: push-pull drives both levels,
// open-drain only low; input and analog pins are not driven.
Gpio::ChipDrive Gpio::chip_drive(int port, int pin) const {
  const auto& r = ports_[port]->regs_;
  const Pin p{static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(pin)};
  bool out;
  switch (mode(p)) {
    case Mode::kOutput: out = r[ODR] >> pin & 1; break;
    case Mode::kAlternate: {
      const std::int8_t a = af_out_[port][pin][alternate_function(p)];
      if (a < 0) return ChipDrive::kNone;  // no peripheral drives this function
      out = a;
      break;
    }
    default: return ChipDrive::kNone;
  }
  const bool open_drain = r[OTYPER] >> pin & 1;
  if (open_drain) return out ? ChipDrive::kNone : ChipDrive::kLow;
  return out ? ChipDrive::kHigh : ChipDrive::kLow;
}

// The chip's pull resistor; analog mode disconnects it.
Drive Gpio::chip_pull(int port, int pin) const {
  if (mode({static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(pin)}) == Mode::kAnalog) return Drive::kNone;
  switch (ports_[port]->regs_[PUPDR] >> (2 * pin) & 3) {
    case 1: return Drive::kPullUp;
    case 2: return Drive::kPullDown;
    default: return Drive::kNone;
  }
}

std::uint16_t Gpio::input_data(int port) const {
  std::uint16_t analog = 0;
  const std::uint32_t moder = ports_.at(port)->regs_[MODER];
  for (int p = 0; p < 16; ++p)
    if ((moder >> (2 * p) & 3) == 3) analog |= 1u << p;
  return levels_[port] & ~analog;
}

double Gpio::speed_limit_hz(unsigned ospeedr) {
  constexpr double kLimit[4] = {2e6, 25e6, 50e6, 100e6};
  return kLimit[ospeedr & 3];
}

void Gpio::set_alternate_rate(Pin p, unsigned af, double hz) {
  check(p);
  if (af > 15) throw std::out_of_range("alternate function " + std::to_string(af));
  auto& rates = af_rate_[p.port][p.num];
  if (rates[af] == hz) return;
  rates[af] = hz;
  const bool rated = std::any_of(rates.begin(), rates.end(), [](double r) { return r > 0; });
  const auto bit = static_cast<std::uint16_t>(1u << p.num);
  rated_[p.port] = rated ? rated_[p.port] | bit : rated_[p.port] & ~bit;
  check_speed(p.port, 0);
}

// Each output's signal against its speed setting: the wave a peripheral puts
// on the selected alternate function, and the last full period the output
// stage made by itself (`drive_changed`: the pins whose stage just changed).
void Gpio::check_speed(int port, std::uint16_t drive_changed) {
  // Only pins that carry a peripheral's wave or whose stage just changed.
  const std::uint16_t pins = rated_[port] | drive_changed;
  if (!machine_ || pins == 0) return;
  const cycles_t now = machine_->now();
  const double hclk = machine_->clocks().hclk;
  const std::uint32_t ospeedr = ports_[port]->regs_[OSPEEDR];
  const auto where = [&](int p) {
    const unsigned speed = ospeedr >> (2 * p) & 3;
    return "GPIO: " + pin_name(port, p) + " (OSPEEDR " + std::to_string(speed) + ", up to " +
           std::to_string(static_cast<int>(speed_limit_hz(speed) / 1e6)) + " MHz)";
  };
  for (int p = 0; p < 16; ++p) {
    if (!(pins >> p & 1)) continue;
    const Pin pin{static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(p)};
    const double limit = speed_limit_hz(ospeedr >> (2 * p) & 3);
    if (mode(pin) == Mode::kAlternate) {
      const double hz = af_rate_[port][p][alternate_function(pin)];
      if (hz > limit) {
        fault(where(p) + " carries a " + std::to_string(hz / 1e6) + " MHz signal, faster than its speed allows");
        return;
      }
    }
    if (!(drive_changed >> p & 1)) continue;
    auto& edges = drive_edges_[port][p];
    // Two changes before this one make a full period of the signal.
    if (edges[0] != kNever && static_cast<double>(now - edges[0]) * limit < hclk) {
      fault(where(p) + " toggles with a period of " + std::to_string(now - edges[0]) +
            " cycles, faster than its speed allows");
      return;
    }
    edges[0] = edges[1];
    edges[1] = now;
  }
}

void Gpio::update_pins(int port) {
  std::uint16_t levels = 0, contention = 0, drive_changed = 0;
  for (int p = 0; p < 16; ++p) {
    const ChipDrive c = chip_drive(port, p);
    if (c != last_drive_[port][p]) {
      last_drive_[port][p] = c;
      drive_changed |= 1u << p;
    }
    const PinResolution r = resolve_pin(c == ChipDrive::kLow, c == ChipDrive::kHigh, chip_pull(port, p), ext_[port][p]);
    if (r.level) levels |= 1u << p;
    if (r.contention) contention |= 1u << p;
  }
  const std::uint16_t new_contention = contention & ~contention_[port];
  contention_[port] = contention;
  for (int p = 0; p < 16; ++p)
    if (new_contention >> p & 1)
      fault("GPIO: " + pin_name(port, p) + " is driven high and low at once: a short circuit on the board");
  check_speed(port, drive_changed);

  const std::uint16_t changed = levels ^ levels_[port];
  levels_[port] = levels;
  for (int p = 0; p < 16; ++p)
    if (changed >> p & 1)
      changes_.push_back({Pin{static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(p)}, bool(levels >> p & 1)});
  // Watchers may drive pins (a part answering on a bus) or (un)watch; changes
  // they cause are queued and told in order by the outermost call.
  if (dispatching_) return;
  struct Dispatching {
    bool& flag;
    explicit Dispatching(bool& f) : flag(f) { flag = true; }
    ~Dispatching() { flag = false; }
  } guard(dispatching_);  // a throwing watcher must not block later changes
  while (!changes_.empty()) {
    const auto [pin, level] = changes_.front();
    changes_.pop_front();
    std::vector<int> ids;
    for (const auto& [id, w] : watchers_)
      if (w.pin == pin) ids.push_back(id);
    for (int id : ids) {
      auto it = watchers_.find(id);
      if (it == watchers_.end()) continue;
      auto fn = it->second.fn;  // the watcher may unwatch itself while running
      fn(level);
    }
  }
}

void Gpio::note(const std::string& what) const {
  if (machine_) machine_->message(what);
}

void Gpio::fault(const std::string& what) const {
  if (machine_) machine_->fault(what);
}

// --- PinTrace -----------------------------------------------------------------

PinTrace::PinTrace(Machine& m, Pin p) : m_(m), pin_(p) {
  edges_.push_back({m.now(), m.pins().level(p)});
  id_ = m.pins().watch(p, [this](bool level) { edges_.push_back({m_.now(), level}); });
}

PinTrace::~PinTrace() { m_.pins().unwatch(id_); }

}  // namespace vb
