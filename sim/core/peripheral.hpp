// Base of every memory-mapped model. The bus hands a model aligned 32-bit
// accesses with byte lanes, as the AHB/APB buses of the chip do: a byte or
// half-word write arrives as write(offset & ~3, value << shift, lane mask).
// Models decode the offset and store in read()/write(); behaviour lives in
// update_* helpers of the model.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/core/clock_tree.hpp"

namespace vb {

class Machine;

// One register of a model's map: declared once, used by the model and by its
// tests (reset values, read-only and write-1-to-clear bits).
struct RegDef {
  const char* name;
  std::uint32_t offset;
  std::uint32_t reset;
  std::uint32_t writable;   // bits a write changes (plain read/write bits)
  std::uint32_t w1c = 0;    // bits cleared by writing 1 ("rc_w1")
  std::uint32_t w0c = 0;    // bits cleared by writing 0 ("rc_w0", e.g. USART SR, TIM SR)
};

// Looks up a register by offset in a map; nullptr when the map has none.
inline const RegDef* find_reg(std::span<const RegDef> map, std::uint32_t offset) {
  for (const auto& r : map)
    if (r.offset == offset) return &r;
  return nullptr;
}

// The value a register takes after a write of `value` on lanes `mask`,
// following the register's bit kinds.
inline std::uint32_t apply_write(const RegDef& r, std::uint32_t old, std::uint32_t value, std::uint32_t mask) {
  std::uint32_t v = old;
  const std::uint32_t plain = r.writable & mask;
  v = (v & ~plain) | (value & plain);
  v &= ~(r.w1c & mask & value);
  v &= ~(r.w0c & mask & ~value);
  return v;
}

class Peripheral {
public:
  Peripheral(std::string name, std::uint32_t base, std::uint32_t size, ClockGate gate = {})
      : name_(std::move(name)), base_(base), size_(size), gate_(gate) {}
  virtual ~Peripheral() = default;
  Peripheral(const Peripheral&) = delete;
  Peripheral& operator=(const Peripheral&) = delete;

  const std::string& name() const { return name_; }
  std::uint32_t base() const { return base_; }
  std::uint32_t size() const { return size_; }
  ClockGate gate() const { return gate_; }

  // offset is 4-byte aligned and below size(). Reads return the whole word;
  // the bus picks the bytes the core asked for.
  virtual std::uint32_t read(std::uint32_t offset) = 0;
  // mask: 0xFF << 8k for a byte, 0xFFFF << 16k for a half-word, ~0u for a word;
  // value is already shifted to its lanes.
  virtual void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) = 0;
  // The register as a debugger reads it: the same value as read() but
  // without its side effects (flags cleared by reading, FIFOs popped).
  // Models whose reads change state override it; nullopt: nothing to show.
  virtual std::optional<std::uint32_t> debug_peek(std::uint32_t offset) { return read(offset); }
  // Back to the reset state (RCC reset pulse, board reset).
  virtual void reset() {}

  // Whether the core may leave out repeats of this access when it
  // fast-forwards an idle main loop: true when the same access, repeated with
  // no event in between, reads the same value and leaves the model as it was.
  // A register that follows the clock between events (a free-running counter,
  // a calendar brought up to date on access) or a model that records every
  // access answers false. The default, false, keeps any loop pass that touches
  // the register running instruction by instruction.
  virtual bool idle_repeatable(std::uint32_t /*offset*/, bool /*is_write*/) const { return false; }

  // How much history the model keeps (log entries, frames on a line, bytes
  // captured): whatever the traffic, this must stay bounded.
  virtual std::size_t retained() const { return 0; }

  // Called once when the machine maps the block.
  void attach(Machine& m) { machine_ = &m; on_attach(); }

protected:
  virtual void on_attach() {}
  Machine& machine() const { return *machine_; }
  // A firmware mistake or a gap of the model: stops the run with a report.
  void report(const std::string& what) const;
  // Reports an access to an offset the model does not implement.
  void report_unimplemented(std::uint32_t offset, bool is_write) const;

private:
  std::string name_;
  std::uint32_t base_, size_;
  ClockGate gate_;
  Machine* machine_ = nullptr;
};

}  // namespace vb
