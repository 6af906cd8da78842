// Keeps the clock logic of the image quiet from its first pass on, for tests
// and benchmarks of other parts that share its outputs: no start-up
// announcement (DAC and DMA stay free) and no chime or five-minute request
// (the first pass sees no change of minute). Call after the board booted to
// its main loop and before the first clock pass.
#pragma once
#include <cstdint>

#include "sim/board/board.hpp"
#include "sim/periph/rtc.hpp"

namespace vb::test {

inline void quiet_clock(Board& b) {
  const std::uint8_t min = b.rtc().calendar().min;  // BCD
  b.m().set_var32("prev_min", (min >> 4) * 10 + (min & 0xF));
  b.m().write8(b.m().symbol("ten_min_announce"), 0);
}

}  // namespace vb::test
