// The whole virtual board: the emulated chip (core + peripheral models) and
// the parts soldered around it. A test or vboard builds one Board per run.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/machine.hpp"

namespace vb {

class Rcc;
class FlashInterface;
class Pwr;
class Dbgmcu;
class Exti;
class Gpio;
class Timer;

struct BoardOptions {
  std::string elf;            // empty: the image built by this tree
  bool hse_clock = true;      // the 8 MHz oscillator signal on OSC_IN
  bool lse_clock = true;      // the 32.768 kHz signal on OSC32_IN
  unsigned cpi = 1;           // cycles per instruction
};

class Board {
public:
  explicit Board(BoardOptions opts = {});
  ~Board();

  Machine& m() { return machine_; }
  const BoardOptions& options() const { return opts_; }

  Rcc& rcc() { return *rcc_; }
  Gpio& gpio() { return *gpio_; }
  Exti& exti() { return *exti_; }
  Timer& tim1() { return *tim1_; }

  // Runs until the firmware's main loop is reached (first pass of fast_loop),
  // at most `limit_ms` of device time. False when the limit or a fault ended
  // it; on the limit the board says where the core is.
  bool boot(double limit_ms = 2000);
  // Runs until the core is about to execute `addr` (a function entry or
  // branch target), at most `limit_ms` of device time at whatever HCLK runs.
  bool run_to(std::uint32_t addr, double limit_ms);

private:
  BoardOptions opts_;
  Machine machine_;
  std::unique_ptr<Rcc> rcc_;
  std::unique_ptr<FlashInterface> flash_;
  std::unique_ptr<Pwr> pwr_;
  std::unique_ptr<Dbgmcu> dbgmcu_;
  std::unique_ptr<Exti> exti_;
  std::unique_ptr<Gpio> gpio_;
  std::unique_ptr<Timer> tim1_;
  // Later models and parts (serial, timekeeping, voice, timers, USB) are
  // added here by their owners.
};

// Path of the image this tree builds (build/firmware/talking-clock.elf).
std::string default_firmware_elf();

}  // namespace vb
