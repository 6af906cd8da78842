// Proof that a short polling loop goes on the same way pass after pass.
//
// A polling loop such as "read a status register, test a bit, count down a
// time-out, branch back" changes only its counters from one pass to the
// next. Given the core registers at the loop head and the values the pass's
// peripheral reads return, the pass is evaluated twice over a small subset
// of Thumb instructions: once with the registers as they are, which gives
// each register's change per pass, and once with every register an affine
// function c + k * d of the pass number k. When the pass ends at the head
// with every register at c + (k + 1) * d, each later pass repeats it, as
// long as its conditional branches go the same way; a branch on the Z flag
// of an affine value goes the other way first at the k where that value
// wraps to zero, which is solved exactly (a linear congruence modulo 2^32).
// Counters may also live in RAM words the pass loads and stores (whole
// aligned words), which are followed the same way.
// Anything outside the subset (other stores, shifts or logic on a counter, flags
// read before the pass sets them, IT blocks, other conditions on a counter)
// gives no proof, and the loop simply runs.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vb {

// A read of a peripheral register in the loop's pass, in program order.
struct LoopRead {
  std::uint32_t addr;
  std::uint32_t value;
  std::uint8_t size;
};

class LoopPass {
public:
  static constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};
  static constexpr int kRegs = 15;  // r0-r12, SP, LR
  using Regs = std::array<std::uint32_t, kRegs>;
  // Halfword of code at an address; nullopt where there is no code.
  using Fetch = std::function<std::optional<std::uint16_t>(std::uint32_t)>;
  // A load from memory (flash, RAM); nullopt when the address is not memory,
  // which makes it the next of the pass's peripheral reads.
  using Load = std::function<std::optional<std::uint32_t>(std::uint32_t addr, unsigned size)>;
  // Whether an address is RAM the pass may keep a counter in.
  using Writable = std::function<bool(std::uint32_t addr)>;
  // A RAM word the pass stores to (a counter kept on the stack or in a
  // variable) and its value.
  struct Slot {
    std::uint32_t addr, value;
  };

  // Evaluates the pass from `head` back to `head` with the registers and
  // flags (xPSR) found at the head. nullopt when the loop is not provably
  // affine, the pass does not come back within `max_instructions`, or its
  // peripheral reads differ from `reads`.
  static std::optional<LoopPass> prove(std::uint32_t head, const Regs& regs, std::uint32_t xpsr,
                                       std::span<const LoopRead> reads, const Fetch& fetch, const Load& load,
                                       const Writable& writable, unsigned max_instructions = 64);

  // Instructions of one pass.
  unsigned instructions() const { return instructions_; }
  // Passes, counted from the head visit the proof started at, that follow
  // the same path (kUnbounded: all of them). The pass with this number
  // takes another way.
  std::uint64_t same_passes() const { return same_passes_; }
  // The registers and xPSR at the head after `k` whole passes (k at most
  // same_passes()).
  Regs regs_after(std::uint64_t k) const;
  std::uint32_t xpsr_after(std::uint64_t k) const;
  // The RAM words the pass stores to, after `k` whole passes.
  std::vector<Slot> slots_after(std::uint64_t k) const;

  // One value of the pass: c + k * d at pass k (modulo 2^32).
  struct Affine {
    std::uint32_t c = 0, d = 0;
    std::uint32_t at(std::uint64_t k) const { return c + static_cast<std::uint32_t>(k) * d; }
  };
  // The N, Z, C, V flags (bits 3..0) as the pass leaves them: fixed ones in
  // `value`, those of an add or subtract of two affine values from `a`, `b`,
  // the rest as they were at the head.
  struct Flags {
    std::uint8_t fixed = 0, value = 0;
    std::uint8_t derived = 0;
    Affine a, b;
    bool subtract = false;
  };

private:
  Regs start_{};
  Regs delta_{};
  std::uint32_t xpsr_ = 0;
  Flags flags_;
  std::vector<std::pair<std::uint32_t, Affine>> slots_;  // address, value at the head
  unsigned instructions_ = 0;
  std::uint64_t same_passes_ = kUnbounded;
};

// The smallest k >= 1 with c + k * d == 0 modulo 2^32, or
// LoopPass::kUnbounded when there is none.
std::uint64_t first_zero(std::uint32_t c, std::uint32_t d);

}  // namespace vb
