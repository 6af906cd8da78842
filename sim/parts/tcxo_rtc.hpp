// The external TCXO real-time clock on its software SPI bus: chip select
// PC13 (active low), clock PE6, data into the chip PE4, data out of the chip
// PE5. SPI mode 3: the clock idles high, the chip takes a bit on each rising
// edge and puts its next bit out on each falling edge, most significant bit
// first. A frame is one chip-select period: an address byte (bit 7 set for a
// write) and data bytes for consecutive registers. Registers 0x00-0x06 hold
// seconds, minutes, hours (24-hour), weekday (1-7), date, month and year in
// BCD and keep counting from the chip's own 32.768 kHz oscillator in board
// time; the chip copies them into a transfer buffer when a frame starts and
// takes written time registers over when it ends.
//
// The part also watches the bus as a logic analyser would: every frame with
// the bytes in both directions and its timing, and protocol violations.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/pins.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/bcd_calendar.hpp"

namespace vb {

class Machine;

struct TcxoRtcOptions {
  enum class Fit : std::uint8_t {
    kPresent,   // the chip answers
    kAbsent,    // nothing drives MISO; the board's pull-up makes it read high
    kStuckLow,  // MISO shorted low
  };
  Fit fit = Fit::kPresent;
  // What the chip holds when the board powers up: 2026-01-01 12:00:00, a Thursday.
  BcdCalendar start{0x00, 0x00, 0x12, 4, 0x01, 0x01, 0x26};
};

class TcxoRtc {
public:
  static constexpr Pin kCs = PC(13);
  static constexpr Pin kSck = PE(6);
  static constexpr Pin kMosi = PE(4);
  static constexpr Pin kMiso = PE(5);
  static constexpr unsigned kRegisters = 0x13;  // 0x07-0x12: plain storage
  static constexpr unsigned kTimeRegisters = 7;
  static constexpr std::uint32_t kOscillatorHz = 32768;

  struct Frame {
    cycles_t start = 0;                // chip select fell
    cycles_t end = 0;                  // chip select rose (0 while open)
    std::vector<std::uint8_t> mosi;    // complete bytes to the chip
    std::vector<std::uint8_t> miso;    // complete bytes as the firmware sampled them
    unsigned bits = 0;                 // clock pulses inside the frame
    cycles_t min_phase = kNever;       // shortest time between two bus edges
  };
  enum class Violation : std::uint8_t {
    kMosiWhileSckHigh,  // data changed with the clock high inside a frame
    kClockWithoutCs,    // a clock pulse (fall, then rise) with chip select high:
                        // the chip ignores it; the start-up burst of 128 pulses
                        // is made of these by design
    kPartialByte,       // chip select rose in the middle of a byte
  };
  struct Event {
    cycles_t when;
    Violation what;
  };

  TcxoRtc(Machine& m, PinIo& pins, TcxoRtcOptions opts = {});
  ~TcxoRtc();
  TcxoRtc(const TcxoRtc&) = delete;
  TcxoRtc& operator=(const TcxoRtc&) = delete;

  // The time registers now, and loading them (the divider restarts).
  BcdCalendar time();
  void set_time(const BcdCalendar& t);
  // Raw register access for tests (no counting side effects besides the
  // divider restart on register 0).
  std::uint8_t reg(unsigned addr);
  void set_reg(unsigned addr, std::uint8_t v);

  // Must be called when HCLK changes (the board hooks it to the RCC), so the
  // cycles before the change count at the old rate.
  void clocks_changed() { sync(); }

  const std::vector<Frame>& frames() const { return frames_; }
  const std::vector<Event>& violations() const { return violations_; }
  unsigned count(Violation v) const;
  bool in_frame() const { return in_frame_; }

private:
  void sync();
  void on_cs(bool level);
  void on_sck(bool level);
  void on_mosi(bool level);
  void drive_miso();
  void byte_done(std::uint8_t in);
  void note_edge();
  bool present() const { return opts_.fit == TcxoRtcOptions::Fit::kPresent; }

  Machine& m_;
  PinIo& pins_;
  TcxoRtcOptions opts_;
  std::array<int, 3> watches_{};

  // Chip.
  std::array<std::uint8_t, kRegisters> regs_{};
  std::array<std::uint8_t, kRegisters> buffer_{};  // transfer buffer of the current frame
  unsigned dirty_ = 0;                              // time registers written in this frame
  cycles_t last_sync_ = 0;
  std::uint32_t hclk_ = 0;
  unsigned __int128 frac_ = 0;
  std::uint64_t divider_ = 0;  // oscillator cycles within the current second

  // Bus state.
  bool cs_ = true, sck_ = true;
  bool sck_fell_ = false;      // a clock pulse needs a falling edge first
  bool in_frame_ = false;
  unsigned bit_ = 0;           // bits of the current byte received
  std::uint8_t in_ = 0, sampled_ = 0, out_ = 0;
  bool addressed_ = false, writing_ = false;
  unsigned ptr_ = 0;
  cycles_t last_edge_ = 0;
  std::vector<Frame> frames_;
  std::vector<Event> violations_;
};

}  // namespace vb
