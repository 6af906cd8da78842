#include "sim/core/thumb.hpp"

#include <algorithm>

namespace vb {

unsigned count_thumb_instructions(const std::uint8_t* code, std::size_t size) {
  unsigned n = 0;
  std::size_t i = 0;
  while (i + 1 < size) {
    const auto hw = static_cast<std::uint16_t>(code[i] | code[i + 1] << 8);
    i += is_thumb32(hw) ? 4 : 2;
    ++n;
  }
  if (i < size) ++n;  // an odd trailing byte: not a valid block, count it anyway
  return n;
}

bool has_thumb_sev(const std::uint8_t* code, std::size_t size) {
  constexpr std::uint16_t kSev16 = 0xBF40, kHint32 = 0xF3AF, kSev32 = 0x8004;
  std::size_t i = 0;
  while (i + 1 < size) {
    const auto hw = static_cast<std::uint16_t>(code[i] | code[i + 1] << 8);
    if (hw == kSev16) return true;
    if (is_thumb32(hw)) {
      if (hw == kHint32 && i + 3 < size && static_cast<std::uint16_t>(code[i + 2] | code[i + 3] << 8) == kSev32)
        return true;
      i += 4;
    } else {
      i += 2;
    }
  }
  return false;
}

BlockCounter::BlockCounter(std::uint32_t flash_base, std::uint32_t flash_size, std::uint32_t alias_size)
    : flash_base_(flash_base), flash_size_(flash_size), alias_size_(std::min(alias_size, flash_size)),
      flat_(flash_size / 2) {}

unsigned BlockCounter::fill(std::uint32_t addr, std::uint32_t size, const std::uint8_t* code) {
  unsigned n = code ? count_thumb_instructions(code, size) : 0;
  if (n == 0) n = 1;  // never 0: 0 means "not cached"
  const bool sev = code && has_thumb_sev(code, size);
  // Blocks are far below 64 KiB; anything that does not fit is just not cached.
  if (size > 0xFFFF || n > 0x7FFF) return n | (sev ? kSev : 0);
  const Entry e{static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(n | (sev ? 0x8000u : 0))};
  if (Entry* s = slot(addr))
    *s = e;
  else
    other_[addr] = e;
  return e.value();
}

void BlockCounter::invalidate(std::uint32_t addr, std::uint32_t size) {
  const std::uint64_t end = std::uint64_t{addr} + size;
  for (std::uint64_t a = addr & ~1u; a < end; a += 2)
    if (Entry* s = slot(static_cast<std::uint32_t>(a))) *s = Entry{};
  std::erase_if(other_, [&](const auto& kv) { return kv.first - addr < size; });
}

}  // namespace vb
