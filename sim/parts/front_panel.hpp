// The parts a person sees, hears and touches: four LEDs on PD12-PD15 (TIM4
// channels 1-4 through alternate function 2), the beeper on PB8 (TIM10
// channel 1 through alternate function 3) and the push button on PA0.
//
// LEDs and beeper are observers: their state is computed from the timer
// channel behind the pin (frequency and duty, not edge by edge) whenever the
// timer's outputs change, and recorded with its time when it differs from
// the last record. A pin leaving its alternate function is seen at the
// timer's next change (the firmware never does it while the timer runs).
// A trace keeps its latest kTraceKeep records (or as set) (the LEDs breathe: about 176
// records a second), so a long run holds bounded memory; trace_dropped()
// counts the records let go from its front.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/core/pins.hpp"
#include "sim/core/scheduler.hpp"

namespace vb {

class Machine;
class Gpio;
class Timer;

inline constexpr std::size_t kTraceKeep = std::size_t{1} << 16;

// The records of one part, newest last, at most `keep` of them.
template <typename Record>
class PartTrace {
public:
  void push(const Record& r) {
    records_.push_back(r);
    while (records_.size() > keep_) {
      records_.pop_front();
      ++dropped_;
    }
  }
  const std::deque<Record>& records() const { return records_; }
  std::uint64_t dropped() const { return dropped_; }
  void set_keep(std::size_t n) { keep_ = n; }

private:
  std::deque<Record> records_;
  std::uint64_t dropped_ = 0;
  std::size_t keep_ = kTraceKeep;
};

class Leds {
public:
  static constexpr int kCount = 4;
  // Brightness of each LED: the share of time it is lit (0 dark, 1 full).
  using Levels = std::array<double, kCount>;
  struct Record { cycles_t at; Levels levels; };

  Leds(Machine& m, Gpio& gpio, Timer& tim4);
  Levels levels() const { return current_; }
  const std::deque<Record>& trace() const { return trace_.records(); }
  std::uint64_t trace_dropped() const { return trace_.dropped(); }
  // How many records the trace keeps (default kTraceKeep).
  void set_trace_keep(std::size_t n) { trace_.set_keep(n); }

private:
  void refresh();
  Machine& m_;
  Gpio& gpio_;
  Timer& tim_;
  Levels current_{};
  PartTrace<Record> trace_;
};

class Beeper {
public:
  // A tone sounds while the pin carries a wave; hz 0 = silent.
  struct Tone {
    double hz = 0;
    double duty = 0;
    bool operator==(const Tone&) const = default;
  };
  struct Record { cycles_t at; Tone tone; };

  Beeper(Machine& m, Gpio& gpio, Timer& tim10);
  Tone tone() const { return current_; }
  const std::deque<Record>& trace() const { return trace_.records(); }
  std::uint64_t trace_dropped() const { return trace_.dropped(); }
  void set_trace_keep(std::size_t n) { trace_.set_keep(n); }
  // Calls fn(record) for each record past position `seen` (counted since
  // power-up) and moves `seen` on; a tone that lasted under `brief` cycles
  // before the next change (the first period after a new prescaler) is
  // skipped.
  template <class Fn>
  void for_each_new_tone(std::uint64_t& seen, cycles_t brief, Fn fn) const {
    const auto& records = trace();
    const std::uint64_t base = trace_dropped();
    if (seen < base) seen = base;
    for (; seen < base + records.size(); ++seen) {
      const std::size_t i = static_cast<std::size_t>(seen - base);
      if (i + 1 < records.size() && records[i + 1].at - records[i].at < brief) continue;
      fn(records[i]);
    }
  }

private:
  void refresh();
  Machine& m_;
  Gpio& gpio_;
  Timer& tim_;
  Tone current_{};
  PartTrace<Record> trace_;
};

// The push button: pressed connects PA0 to the supply (reads high); released,
// the board's pull-down holds it low.
class Button {
public:
  static constexpr Pin kPin = PA(0);
  Button(Machine& m, PinIo& pins);
  // Pressed `after_ms` from now for `hold_ms`. With bounce_ms > 0 the contact
  // chatters at both edges: it opens and closes every bounce_ms / 4 for
  // bounce_ms before settling.
  void press(double after_ms, double hold_ms, double bounce_ms = 0);
  bool pressed() const { return pressed_; }
  // Pressed or released now, for as long as a person holds it.
  void set(bool pressed);

private:
  void chatter(cycles_t at, bool settle_to, double bounce_ms);
  Machine& m_;
  PinIo& pins_;
  bool pressed_ = false;
};

}  // namespace vb
