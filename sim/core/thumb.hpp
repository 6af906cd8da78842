// Instruction counting for translated blocks. The engine reports each block
// it is about to run with its start address and byte size; the number of
// Thumb instructions in it comes from the encodings (a half-word whose top
// five bits are 0b11101, 0b11110 or 0b11111 starts a 32-bit instruction).
// Counts are cached per block start: a flat table over flash (where the
// firmware runs), a map for code anywhere else.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vb {

// True when `first_halfword` is the first half of a 32-bit Thumb-2 encoding.
constexpr bool is_thumb32(std::uint16_t first_halfword) {
  const unsigned top5 = first_halfword >> 11;
  return top5 == 0x1D || top5 == 0x1E || top5 == 0x1F;
}

// Instructions in `size` bytes of little-endian Thumb code. A trailing lone
// half-word counts as one instruction.
unsigned count_thumb_instructions(const std::uint8_t* code, std::size_t size);

// Whether `size` bytes of Thumb code hold a SEV (16- or 32-bit encoding).
bool has_thumb_sev(const std::uint8_t* code, std::size_t size);

class BlockCounter {
public:
  // Set in the value of lookup() and fill() when the block holds a SEV: the
  // engine treats SEV as a no-op, so the core sets the event register for it
  // when the block runs. (A SEV skipped by its IT condition sets it too: a
  // spurious event, which WFE allows.)
  static constexpr unsigned kSev = 1u << 16;
  static constexpr unsigned kCountMask = kSev - 1;

  // The flat table covers [flash_base, flash_base + flash_size); `alias_size`
  // bytes from address 0 show the same code (boot alias).
  BlockCounter(std::uint32_t flash_base, std::uint32_t flash_size, std::uint32_t alias_size);

  // Cached count of the block at `addr` of `size` bytes (with kSev), or 0
  // when unknown.
  unsigned lookup(std::uint32_t addr, std::uint32_t size) const {
    const Entry* e = slot(addr);
    if (e) return e->size == size ? e->value() : 0;
    auto it = other_.find(addr);
    return it != other_.end() && it->second.size == size ? it->second.value() : 0;
  }
  // Counts the block from its code bytes and caches the result (with kSev).
  unsigned fill(std::uint32_t addr, std::uint32_t size, const std::uint8_t* code);
  // Forgets blocks starting in [addr, addr + size) (code was rewritten).
  void invalidate(std::uint32_t addr, std::uint32_t size);

private:
  struct Entry {
    std::uint16_t size = 0;
    std::uint16_t count = 0;  // bit 15: the block holds a SEV
    unsigned value() const { return (count & 0x7FFFu) | (count & 0x8000u ? kSev : 0); }
  };
  const Entry* slot(std::uint32_t addr) const { return const_cast<BlockCounter*>(this)->slot(addr); }
  Entry* slot(std::uint32_t addr) {
    if (addr - flash_base_ < flash_size_) return &flat_[(addr - flash_base_) >> 1];
    if (addr < alias_size_) return &flat_[addr >> 1];
    return nullptr;
  }

  std::uint32_t flash_base_, flash_size_, alias_size_;
  std::vector<Entry> flat_;
  std::unordered_map<std::uint32_t, Entry> other_;
};

}  // namespace vb
