// Register storage shared by the models: one value per entry of a model's
// RegDef table (so the table is the single declaration of the map), and the
// write log that tests and traces read.
#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"

namespace vb {

// One firmware write as the model saw it.
struct RegWrite {
  std::uint32_t offset;  // register offset in the block
  std::uint32_t value;   // the bus value (already on its byte lanes)
  std::uint32_t mask;    // byte lanes written
  cycles_t time;         // machine cycle of the access
  bool operator==(const RegWrite&) const = default;
};
using WriteLog = std::deque<RegWrite>;

// "0x0000ABCD": register values and offsets in messages.
inline std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

// Bytes a bus write touches, from its lane mask: 1, 2 or 4.
constexpr unsigned access_bytes(std::uint32_t mask) { return static_cast<unsigned>(std::popcount(mask)) / 8; }

// Checks a write against the narrowest access a block accepts; a narrower
// one is a firmware mistake (on the chip the bus bridge replicates the byte
// or half-word into the other lanes, or ignores it).
inline bool width_ok(std::uint32_t mask, unsigned min_bytes) { return access_bytes(mask) >= min_bytes; }
inline std::string width_error(const char* reg, std::uint32_t mask, unsigned min_bytes) {
  return std::to_string(access_bytes(mask) * 8) + "-bit write to " + reg + " (this block takes " +
         (min_bytes == 4 ? "32-bit" : "16- or 32-bit") + " writes only)";
}

// True when no bit of the register can be changed by a write.
constexpr bool read_only(const RegDef& r) { return r.writable == 0 && r.w1c == 0 && r.w0c == 0; }

class RegBank {
public:
  explicit RegBank(std::span<const RegDef> map) : map_(map), values_(map.size()) {
    // Word offset -> register, so that every access finds its register in
    // one step (a model reads its own registers on every bus access).
    std::uint32_t top = 0;
    for (const RegDef& r : map_) top = std::max(top, r.offset / 4 + 1);
    slot_.assign(top, kNoSlot);
    for (std::size_t i = 0; i < map_.size(); ++i)
      if (map_[i].offset % 4 == 0 && slot_[map_[i].offset / 4] == kNoSlot)
        slot_[map_[i].offset / 4] = static_cast<std::uint16_t>(i);
    reset();
  }

  void reset() {
    for (std::size_t i = 0; i < map_.size(); ++i) values_[i] = map_[i].reset;
  }
  std::span<const RegDef> map() const { return map_; }
  const RegDef* find(std::uint32_t offset) const { return find_reg(map_, offset); }
  const RegDef& def(std::uint32_t offset) const { return map_[index(offset)]; }

  std::uint32_t& operator[](std::uint32_t offset) { return values_[index(offset)]; }
  std::uint32_t operator[](std::uint32_t offset) const { return values_[index(offset)]; }

  // Stores a firmware write following the register's bit kinds; returns the
  // new value.
  std::uint32_t store(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
    const std::size_t i = index(offset);
    values_[i] = apply_write(map_[i], values_[i], value, mask);
    return values_[i];
  }

private:
  static constexpr std::uint16_t kNoSlot = 0xFFFF;
  std::size_t index(std::uint32_t offset) const {
    if (offset % 4 == 0 && offset / 4 < slot_.size() && slot_[offset / 4] != kNoSlot) return slot_[offset / 4];
    for (std::size_t i = 0; i < map_.size(); ++i)
      if (map_[i].offset == offset) return i;
    // Only the model itself names offsets here: a miss is a bug of the model.
    throw std::logic_error("register map has no offset " + hex32(offset));
  }

  std::span<const RegDef> map_;
  std::vector<std::uint32_t> values_;
  std::vector<std::uint16_t> slot_;
};

// Base of the models that keep a write log and decode by a RegDef map: the
// checks every write goes through before the model's own handling.
class RegModel : public Peripheral {
public:
  using Peripheral::Peripheral;
  // The write log keeps the most recent kWriteLogKeep writes.
  static constexpr std::size_t kWriteLogKeep = 4096;
  const WriteLog& writes() const { return writes_; }
  void clear_writes() { writes_.clear(); }
  // Writes dropped from the front of the log so far.
  std::uint64_t dropped_writes() const { return dropped_writes_; }
  std::size_t retained() const override { return writes_.size(); }

protected:
  // Logs the write (when `log`), then reports an offset `map` lacks or an
  // access narrower than `min_bytes`. Returns the register, or nullptr when
  // the write must go no further.
  const RegDef* accept_write(std::span<const RegDef> map, std::uint32_t offset, std::uint32_t value,
                             std::uint32_t mask, unsigned min_bytes, bool log = true);
  // Appends to the write log, dropping the oldest entry when it is full.
  void log_write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask);

private:
  WriteLog writes_;
  std::uint64_t dropped_writes_ = 0;
};

}  // namespace vb
