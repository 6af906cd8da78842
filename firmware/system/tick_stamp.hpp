// Reading the tick counter and the processor-cycle time stamp consistently.
// Register-free, so it builds for the host too.
//
// The SysTick interrupt increments a 64-bit tick count that the main context
// reads in two 32-bit halves, and a cycle stamp combines that count with the
// SysTick current value. Either reading can be torn by a reload in between;
// these helpers detect and repeat torn readings.
#pragma once
#include <cstdint>

namespace fw {

inline constexpr std::uint32_t kCyclesPerMicrosecond = 144;
inline constexpr std::uint32_t kCyclesPerTick = 144'000;  // 1 ms at 144 MHz
inline constexpr std::uint32_t kSysTickReload = kCyclesPerTick - 1;
inline constexpr std::uint32_t kSysTickValueMask = 0x00FFFFFF;
static_assert(kSysTickReload == 0x2327F);

// Cycles since the tick count was 0: within a tick the current value counts
// down, so the stamp grows by one per cycle and runs on across a reload.
constexpr std::uint64_t cycle_stamp(std::uint64_t ticks, std::uint32_t current) {
  return ticks * kCyclesPerTick - (current & kSysTickValueMask);
}

// Two stamps taken one right after the other belong together when the second
// is later than the first by less than half a tick. A stamp torn by a reload
// (count read before the increment, current value after the reload) is short
// by almost a whole tick, whichever of the two it is.
constexpr bool stamps_consistent(std::uint64_t first, std::uint64_t second) {
  return second > first && second - first < kCyclesPerTick / 2;
}

// Reads a 64-bit counter from its halves (high, low, high again) until both
// high readings agree, so a carry between the halves cannot tear it.
template <typename ReadHigh, typename ReadLow>
std::uint64_t read_split_counter(ReadHigh read_high, ReadLow read_low) {
  std::uint32_t high = read_high();
  for (;;) {
    const std::uint32_t low = read_low();
    const std::uint32_t again = read_high();
    if (again == high) return (static_cast<std::uint64_t>(high) << 32) | low;
    high = again;
  }
}

}  // namespace fw
