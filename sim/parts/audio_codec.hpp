// The external audio DAC/amplifier (the SDAC) on its two-wire bus: clock PB6,
// data PB9, both open-drain lines with the board's pull-ups; reset PD4 (low =
// held in reset); master clock from PC7.
//
// A bus slave at 7-bit address 0x4A that only takes writes: after its
// address byte, the first data byte selects a register and every further
// byte is written to the selected register, which then moves on by one. It
// decodes start, repeated start and stop conditions and the bytes between
// them, and pulls SDA low in the ninth clock of each byte it takes while it
// is out of reset. Its register file (256 bytes, 0 after reset) holds what
// was written; the meaning of the registers is not modelled.
//
// Reset low stops the part at once: a transfer in progress is ignored from
// there on (no acknowledge, no register write) until the next start.
//
// The part also watches the bus as a logic analyser would: every condition
// and byte with its time and acknowledge, and the master clock's frequency
// when the first register is written (the converter needs its clock running
// before it is configured; a write without it is noted on the board). Once
// configured and out of reset it plays: the master clock stopping or
// changing its frequency then is noted too (the converter's rate detection
// would lose its lock and the sound break up).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/pins.hpp"
#include "sim/core/scheduler.hpp"

namespace vb {

class Machine;

struct AudioCodecOptions {
  bool present = true;          // false: nothing answers, the lines only have their pull-ups
  // At power-up SDA is held low until this many clock pulses have passed, as
  // by a bus interface left in the middle of a byte; the reset pin does not
  // clear it (the firmware frees the bus while the part is still in reset).
  unsigned hold_sda_clocks = 0;
  double stretch_us = 0;        // after each falling clock edge, hold SCL low this long
};

class AudioCodec {
public:
  static constexpr Pin kScl = PB(6);
  static constexpr Pin kSda = PB(9);
  static constexpr Pin kReset = PD(4);
  static constexpr std::uint8_t kAddress = 0x4A;

  struct BusEvent {
    enum Kind : std::uint8_t { kStart, kRepeatedStart, kStop, kByte };
    Kind kind;
    std::uint8_t byte = 0;  // kByte: the byte on the bus
    bool acked = false;     // kByte: SDA was low in the ninth clock
    cycles_t time = 0;
    bool operator==(const BusEvent& o) const { return kind == o.kind && byte == o.byte && acked == o.acked; }
  };

  // master_clock_hz: the frequency on the master clock input now.
  AudioCodec(Machine& m, PinIo& pins, std::function<double()> master_clock_hz, AudioCodecOptions opts = {});
  ~AudioCodec();
  AudioCodec(const AudioCodec&) = delete;
  AudioCodec& operator=(const AudioCodec&) = delete;

  const std::vector<BusEvent>& events() const { return events_; }
  std::uint8_t reg(unsigned r) const { return regs_.at(r); }
  // Register writes taken, in order: (register, value).
  const std::vector<std::pair<std::uint8_t, std::uint8_t>>& writes() const { return writes_; }
  bool in_reset() const { return in_reset_; }
  // Clock pulses seen while SDA was held at power-up.
  unsigned recovery_clocks() const { return recovery_clocks_; }
  // Shortest time SCL stayed high or low once the first start condition
  // was seen (kNever before two edges).
  cycles_t min_clock_phase() const { return min_phase_; }
  // The master clock at the first register write (-1 before one).
  double master_clock_at_config() const { return mclk_at_config_; }
  // The board calls this whenever the master clock may have changed.
  void master_clock_changed();

private:
  void on_scl(bool level);
  void on_sda(bool level);
  void on_reset(bool level);
  void byte_done(std::uint8_t b);
  void set_sda(bool low);
  void power_up_hold(bool level);

  Machine& m_;
  PinIo& pins_;
  std::function<double()> mclk_;
  AudioCodecOptions opts_;
  std::array<int, 3> watches_{};

  std::array<std::uint8_t, 256> regs_{};
  std::vector<std::pair<std::uint8_t, std::uint8_t>> writes_;
  std::vector<BusEvent> events_;
  bool in_reset_ = true;
  double mclk_at_config_ = -1;
  bool configured_ = false;     // a register written since the last reset
  double mclk_playing_ = 0;     // the master clock last seen while playing

  // Bus state.
  bool scl_ = true, sda_ = true;
  bool in_transfer_ = false;   // between a start and a stop
  unsigned bit_ = 0;           // bits of the current byte (9 = acknowledge clock)
  std::uint8_t shift_ = 0;
  bool addressed_ = false;     // this transfer is for us
  bool first_byte_ = true;     // the next byte is the address byte
  bool have_pointer_ = false;
  std::uint8_t pointer_ = 0;
  bool acking_ = false;        // we hold SDA low for the acknowledge
  bool driving_sda_ = false;
  unsigned hold_left_ = 0;
  unsigned recovery_clocks_ = 0;
  Scheduler::Handle stretch_ = 0;
  cycles_t last_scl_edge_ = kNever;
  cycles_t min_phase_ = kNever;
};

}  // namespace vb
