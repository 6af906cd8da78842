// General-purpose I/O ports A-E: the register blocks (mode, output type,
// speed, pull, input and output data, bit set/reset, configuration lock,
// alternate function selection) and the pins behind them. Each pin's level
// is resolved from the port's configuration, the peripheral driving it in
// its alternate function, and whatever the board's parts do to it.
//
// What would harm or garble a real board stops the run with a report: an
// output driving one level while something else drives the other (a short
// circuit), and an output carrying a signal faster than its OSPEEDR speed
// allows (2, 25, 50, 100 MHz at 3.3 V), whether the firmware toggles it
// (a full period between three changes of the output stage) or a
// peripheral puts a wave on it (set_alternate_rate).
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/pins.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace gpio_reg {
inline constexpr std::uint32_t MODER = 0x00;
inline constexpr std::uint32_t OTYPER = 0x04;
inline constexpr std::uint32_t OSPEEDR = 0x08;
inline constexpr std::uint32_t PUPDR = 0x0C;
inline constexpr std::uint32_t IDR = 0x10;
inline constexpr std::uint32_t ODR = 0x14;
inline constexpr std::uint32_t BSRR = 0x18;
inline constexpr std::uint32_t LCKR = 0x1C;
inline constexpr std::uint32_t AFRL = 0x20;  // AFR[0]: pins 0-7
inline constexpr std::uint32_t AFRH = 0x24;  // AFR[1]: pins 8-15
inline constexpr std::uint32_t LCKK = 1u << 16;

// Register map of port `port` (0 = A). Ports A and B leave reset with their
// debug pins (PA13-PA15, PB3-PB4) in alternate function with pulls; IDR's
// reset value is what those pulls make the pins read with nothing attached.
constexpr std::array<RegDef, 10> map(int port) {
  const std::uint32_t moder = port == 0 ? 0xA8000000 : port == 1 ? 0x00000280 : 0;
  const std::uint32_t ospeedr = port == 0 ? 0x0C000000 : port == 1 ? 0x000000C0 : 0;
  const std::uint32_t pupdr = port == 0 ? 0x64000000 : port == 1 ? 0x00000100 : 0;
  const std::uint32_t idr = port == 0 ? 0x0000A000 : port == 1 ? 0x00000010 : 0;
  return {{
      {"MODER", MODER, moder, 0xFFFFFFFF},
      {"OTYPER", OTYPER, 0, 0x0000FFFF},
      {"OSPEEDR", OSPEEDR, ospeedr, 0xFFFFFFFF},
      {"PUPDR", PUPDR, pupdr, 0xFFFFFFFF},
      {"IDR", IDR, idr, 0},
      {"ODR", ODR, 0, 0x0000FFFF},
      {"BSRR", BSRR, 0, 0},  // write-only action register, reads 0
      {"LCKR", LCKR, 0, 0x0001FFFF},
      {"AFRL", AFRL, 0, 0xFFFFFFFF},
      {"AFRH", AFRH, 0, 0xFFFFFFFF},
  }};
}
inline constexpr std::array<std::array<RegDef, 10>, 5> kMaps{map(0), map(1), map(2), map(3), map(4)};
}  // namespace gpio_reg

class Gpio;

// One port's register block (GPIOA at 0x40020000, then every 0x400).
class GpioPort : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0x40020000;
  static constexpr std::uint32_t kStride = 0x400;

  GpioPort(Gpio& owner, int index);

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  int index() const { return index_; }
  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }
  bool locked() const { return lck_state_ == Lock::kLocked; }

protected:
  void on_attach() override;

private:
  friend class Gpio;
  enum class Lock { kIdle, kFirst, kSecond, kThird, kLocked };

  void write_config(std::uint32_t offset, std::uint32_t value, std::uint32_t mask);
  void write_bsrr(std::uint32_t value, std::uint32_t mask);
  void write_lckr(std::uint32_t value, std::uint32_t mask);
  std::uint32_t locked_bits(std::uint32_t offset) const;

  Gpio& owner_;
  int index_;
  RegBank regs_;
  Lock lck_state_ = Lock::kIdle;
  std::uint16_t lck_key_ = 0;  // LCKR[15:0] during the lock sequence
};

class Gpio : public PinIo {
public:
  static constexpr int kPorts = 5;
  enum class Mode : std::uint8_t { kInput = 0, kOutput = 1, kAlternate = 2, kAnalog = 3 };

  Gpio();
  ~Gpio() override;

  std::vector<Peripheral*> blocks();
  GpioPort& port(int n) { return *ports_.at(n); }

  // --- PinIo ----------------------------------------------------------------
  bool level(Pin p) const override;
  void drive(Pin p, Drive d) override;
  int watch(Pin p, std::function<void(bool level)> fn) override;
  void unwatch(int id) override;

  // --- peripherals ----------------------------------------------------------
  // A peripheral's output signal for alternate function `af` of pin p (USART
  // TX, timer channel): used while the pin is in alternate-function mode with
  // that function selected. nullopt: the peripheral does not drive it.
  void set_alternate_output(Pin p, unsigned af, std::optional<bool> level);
  // The frequency of the wave a peripheral puts on alternate function `af`
  // of pin p, for peripherals modelled by what they put out rather than
  // edge by edge (timer channels); 0 for a steady level.
  void set_alternate_rate(Pin p, unsigned af, double hz);
  // The highest frequency an output carries at its OSPEEDR setting (3.3 V).
  static double speed_limit_hz(unsigned ospeedr);

  // --- observation ----------------------------------------------------------
  Mode mode(Pin p) const;
  unsigned alternate_function(Pin p) const;
  Drive external(Pin p) const { return ext_.at(p.port).at(p.num); }
  // The port's input data as IDR reads it (analog pins read 0).
  std::uint16_t input_data(int port) const;

  // Re-resolves every pin of a port and tells the watchers of changed pins.
  void update_pins(int port);

private:
  friend class GpioPort;
  enum class ChipDrive : std::uint8_t { kNone, kLow, kHigh };

  ChipDrive chip_drive(int port, int pin) const;
  Drive chip_pull(int port, int pin) const;
  void check(Pin p) const;
  void note(const std::string& what) const;
  void fault(const std::string& what) const;
  void check_speed(int port, std::uint16_t drive_changed);

  struct Watcher {
    Pin pin;
    std::function<void(bool)> fn;
  };

  std::array<std::unique_ptr<GpioPort>, kPorts> ports_;
  std::array<std::array<Drive, 16>, kPorts> ext_{};
  // Alternate-function outputs: -1 not driven, else the level.
  std::array<std::array<std::array<std::int8_t, 16>, 16>, kPorts> af_out_;
  std::array<std::uint16_t, kPorts> levels_{};
  std::array<std::uint16_t, kPorts> contention_{};
  // Frequencies of the waves on alternate functions (set_alternate_rate).
  std::array<std::array<std::array<double, 16>, 16>, kPorts> af_rate_{};
  std::array<std::uint16_t, kPorts> rated_{};  // pins with a wave on any alternate function
  // What the output stage did last, and when it changed the two times before.
  std::array<std::array<ChipDrive, 16>, kPorts> last_drive_{};
  std::array<std::array<std::array<cycles_t, 2>, 16>, kPorts> drive_edges_{};
  std::map<int, Watcher> watchers_;
  int next_watch_ = 1;
  std::deque<std::pair<Pin, bool>> changes_;  // level changes still to tell
  bool dispatching_ = false;
  Machine* machine_ = nullptr;  // from the ports once attached, for messages
};

// The resolved level of a pin from its drivers. Strong drivers (the chip's
// output stage, a part driving low or high) beat pulls; when they disagree
// the low one wins, as on an open-drain bus, and `contention` tells. Among
// pulls an external one (a board resistor, stronger than the chip's ~40 kOhm)
// wins. A pin nothing drives or pulls reads low.
struct PinResolution {
  bool level;
  bool contention;
};
PinResolution resolve_pin(bool chip_low, bool chip_high, Drive chip_pull, Drive external);

// Records the level changes of one pin with their times, for tests and
// traces. The first entry is the level when recording started.
class PinTrace {
public:
  struct Edge {
    cycles_t time;
    bool level;
    bool operator==(const Edge&) const = default;
  };

  PinTrace(Machine& m, Pin p);
  ~PinTrace();
  PinTrace(const PinTrace&) = delete;
  PinTrace& operator=(const PinTrace&) = delete;

  const std::vector<Edge>& edges() const { return edges_; }
  Pin pin() const { return pin_; }
  // Level changes so far, not counting the starting entry.
  std::size_t changes() const { return edges_.size() - 1; }

private:
  Machine& m_;
  Pin pin_;
  int id_;
  std::vector<Edge> edges_;
};

}  // namespace vb
