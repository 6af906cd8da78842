// The source of the values the reference manual calls UNKNOWN after reset
// or power-up (SRAM and CCM RAM contents, the backup SRAM on a first
// power-up, SysTick LOAD and VAL). A chip shows some arbitrary pattern
// there; the board shows a pseudo-random one from a seed, so that firmware
// which relies on zero is caught and every run with the same seed is the
// same run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vb {

// The seed a board uses unless told otherwise.
inline constexpr std::uint64_t kDefaultSeed = 0x7A1C0C4B5EEDull;

// splitmix64: a 64-bit state stepped by a constant, then mixed.
class UnknownValues {
public:
  explicit UnknownValues(std::uint64_t seed = kDefaultSeed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  void fill(std::uint8_t* p, std::size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
      const std::uint64_t v = next();
      std::memcpy(p, &v, 8);
    }
    if (n) {
      const std::uint64_t v = next();
      std::memcpy(p, &v, n);
    }
  }

private:
  std::uint64_t state_;
};

}  // namespace vb
