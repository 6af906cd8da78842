// Digital-to-analog converter, channel 1 (output PA4).
//
// Registers: CR, SWTRIGR, the data holding registers of both channels and the
// dual ones, DOR1/DOR2, SR. Without a trigger (TEN1 = 0) a write to one of
// channel 1's holding registers (DHR12R1, DHR12L1, DHR8R1 or a dual one)
// reaches DOR1, the converter's input, one APB1 clock later; the output on
// PA4 follows DOR1 while EN1 is set. DHR8R1 byte b gives the 12-bit code 16 b.
// Every write that sets the output is told to the listeners with its time,
// and can be kept as a trace.
//
// The pin: the manual asks for PA4 in analog mode before the channel is
// enabled (else the pin's digital stage fights the output); the model
// reports an output while PA4 is in any other mode.
// Simplification: DOR1 takes the value at the write (the output change is
// stamped one APB1 clock later, as on the chip).
// Not modelled (reported when turned on): channel 2, triggers, noise and
// triangle generation, DMA requests of the DAC itself.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace dac_reg {
inline constexpr std::uint32_t CR = 0x00;
inline constexpr std::uint32_t SWTRIGR = 0x04;
inline constexpr std::uint32_t DHR12R1 = 0x08;
inline constexpr std::uint32_t DHR12L1 = 0x0C;
inline constexpr std::uint32_t DHR8R1 = 0x10;
inline constexpr std::uint32_t DHR12R2 = 0x14;
inline constexpr std::uint32_t DHR12L2 = 0x18;
inline constexpr std::uint32_t DHR8R2 = 0x1C;
inline constexpr std::uint32_t DHR12RD = 0x20;
inline constexpr std::uint32_t DHR12LD = 0x24;
inline constexpr std::uint32_t DHR8RD = 0x28;
inline constexpr std::uint32_t DOR1 = 0x2C;
inline constexpr std::uint32_t DOR2 = 0x30;
inline constexpr std::uint32_t SR = 0x34;

inline constexpr std::uint32_t CR_EN1 = 1u << 0;
inline constexpr std::uint32_t CR_TEN1 = 1u << 2;
inline constexpr std::uint32_t CR_WAVE1 = 3u << 6;
inline constexpr std::uint32_t CR_DMAEN1 = 1u << 12;
inline constexpr std::uint32_t CR_DMAUDRIE1 = 1u << 13;
inline constexpr std::uint32_t CR_EN2 = 1u << 16;
// CR bits that select behaviour the model does not have.
inline constexpr std::uint32_t kUnmodelledCr =
    CR_TEN1 | CR_WAVE1 | CR_DMAEN1 | CR_DMAUDRIE1 | (CR_EN1 | CR_TEN1 | CR_WAVE1 | CR_DMAEN1 | CR_DMAUDRIE1) << 16;

inline constexpr std::array<RegDef, 14> kMap{{
    {"CR", CR, 0, 0x3FFF3FFF},
    {"SWTRIGR", SWTRIGR, 0, 0},  // write-only trigger bits, read 0
    {"DHR12R1", DHR12R1, 0, 0x00000FFF},
    {"DHR12L1", DHR12L1, 0, 0x0000FFF0},
    {"DHR8R1", DHR8R1, 0, 0x000000FF},
    {"DHR12R2", DHR12R2, 0, 0x00000FFF},
    {"DHR12L2", DHR12L2, 0, 0x0000FFF0},
    {"DHR8R2", DHR8R2, 0, 0x000000FF},
    {"DHR12RD", DHR12RD, 0, 0x0FFF0FFF},
    {"DHR12LD", DHR12LD, 0, 0xFFF0FFF0},
    {"DHR8RD", DHR8RD, 0, 0x0000FFFF},
    {"DOR1", DOR1, 0, 0},
    {"DOR2", DOR2, 0, 0},
    {"SR", SR, 0, 0, 0x20002000},  // DMAUDR1/2, write 1 to clear
}};
}  // namespace dac_reg

class Dac : public RegModel {
public:
  // One change of channel 1's output: the 12-bit code from `time` on.
  struct Sample {
    cycles_t time;
    std::uint16_t code;
    bool operator==(const Sample&) const = default;
  };

  // pa4_analog: whether PA4 is in analog mode now (from the GPIO model).
  Dac(std::string name, std::uint32_t base, ClockGate gate, std::function<bool()> pa4_analog);

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // --- observation --------------------------------------------------------
  std::span<const RegDef> reg_map() const { return regs_.map(); }
  // Channel 1's 12-bit output code now (DOR1), and whether the channel is on.
  std::uint16_t code() const { return static_cast<std::uint16_t>(regs_[dac_reg::DOR1]); }
  bool enabled() const { return regs_[dac_reg::CR] & dac_reg::CR_EN1; }
  // Called on every write that sets the output (the value may repeat), with
  // the time it shows on the pin.
  // Returns an id for remove_output().
  int on_output(std::function<void(const Sample&)> fn) {
    listeners_.emplace(next_listener_, std::move(fn));
    return next_listener_++;
  }
  void remove_output(int id) { listeners_.erase(id); }
  // Keeps every output write in trace() and the data-register writes in
  // writes() (off by default: 8000 a second during playback).
  void record_trace(bool on) { recording_ = on; }
  const std::vector<Sample>& trace() const { return trace_; }
  void clear_trace() { trace_.clear(); }

private:
  void update_output(std::uint32_t dhr1);

  RegBank regs_;
  std::function<bool()> pa4_analog_;
  std::map<int, std::function<void(const Sample&)>> listeners_;
  int next_listener_ = 1;
  bool recording_ = false;
  bool reported_pin_ = false;
  std::vector<Sample> trace_;
};

}  // namespace vb
