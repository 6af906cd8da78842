#include "sim/periph/dac.hpp"

#include <cstdio>

#include "sim/core/machine.hpp"

namespace vb {

using namespace dac_reg;

Dac::Dac(std::string name, std::uint32_t base, ClockGate gate, std::function<bool()> pa4_analog)
    : RegModel(std::move(name), base, 0x400, gate), regs_(kMap), pa4_analog_(std::move(pa4_analog)) {}

std::uint32_t Dac::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  return regs_[offset];
}

void Dac::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  // The data registers take 8000 writes a second during playback: they go to
  // the write log only while a trace is recorded.
  const bool data = offset >= DHR12R1 && offset <= DHR8RD;
  const RegDef* r = accept_write(regs_.map(), offset, value, mask, 1, recording_ || !data);
  if (!r) return;
  if (read_only(*r) && offset != SWTRIGR) {
    report(std::string("write to read-only ") + r->name);
    return;
  }
  const std::uint32_t v = regs_.store(offset, value, mask);
  switch (offset) {
    case CR:
      if (v & kUnmodelledCr) {
        char text[96];
        std::snprintf(text, sizeof text, "CR bits 0x%08X select a mode the model does not implement",
                      static_cast<unsigned>(v & kUnmodelledCr));
        report(text);
      }
      if (v & CR_EN1) update_output(regs_[DOR1]);
      break;
    case SWTRIGR:
      if (value & mask & 3) report("software triggers (SWTRIGR) are not modelled");
      break;
    case DHR12R1: update_output(v); break;
    case DHR12L1: update_output(v >> 4); break;
    case DHR8R1: update_output(v << 4); break;
    case DHR12RD: update_output(v & 0xFFF); break;
    case DHR12LD: update_output((v >> 4) & 0xFFF); break;
    case DHR8RD: update_output((v & 0xFF) << 4); break;
    default: break;  // channel 2's holding registers: stored, the channel is off
  }
}

void Dac::reset() {
  regs_.reset();
  reported_pin_ = false;
}

// Without a trigger the holding register moves to DOR1 one APB1 clock after
// the write; the output follows DOR1 while the channel is on. Every write is
// told, also one that repeats the value.
void Dac::update_output(std::uint32_t dhr1) {
  const std::uint32_t code = dhr1 & 0xFFF;
  regs_[DOR1] = code;
  if (!enabled()) return;
  if (!reported_pin_ && pa4_analog_ && !pa4_analog_()) {
    reported_pin_ = true;
    report("channel 1 drives PA4 while PA4 is not in analog mode");
  }
  const ClockTree& t = machine().clocks();
  const cycles_t apb1_clock = t.pclk1 ? (t.hclk + t.pclk1 - 1) / t.pclk1 : 0;
  const Sample s{machine().now() + apb1_clock, static_cast<std::uint16_t>(code)};
  if (recording_) trace_.push_back(s);
  for (auto& [id, fn] : listeners_) fn(s);
}

}  // namespace vb
