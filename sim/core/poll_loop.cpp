// Fast-forward of short counted polling loops: waits for a ready bit with a
// time-out counter, and waits without one.
//
// Such a loop is found by its reads: a block that reads the same peripheral
// register with the same value several times in a row becomes the head.
// Its passes are then recorded from head to head as the main loop's are
// (idle_loop.cpp): no event, exception or engine stop inside, the same
// peripheral reads with the same values, each one of a register whose model
// says a repeat is invisible, the same cycles and instructions. Once two
// passes in a row agree, the pass is proven with LoopPass from the core's
// registers at the head: every register changes by the same amount each
// pass, and the pass takes the same way until a counter reaches the value
// that ends the loop (counters may be registers or RAM words). The clock then jumps whole passes up to that pass or
// one pass before the next event or the run's end, whichever comes first;
// the registers and flags are set to what those passes would have left,
// and their cycles and instructions are counted. The remaining passes run.
#include <algorithm>
#include <cstring>

#include "sim/core/counted_loop.hpp"
#include "sim/core/machine_impl.hpp"

namespace vb {

namespace {

// Reads in a row from one block before it is taken as a loop head.
constexpr unsigned kArmReads = 3;
// Heads remembered as unprovable (the first ones; later ones are retried).
constexpr std::size_t kMaxRejected = 64;
constexpr std::uint32_t kNone = 0xFFFFFFFF;

constexpr int kLoopRegs[LoopPass::kRegs] = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,
    UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP,
    UC_ARM_REG_LR,
};

}  // namespace

void Machine::Impl::poll_forget() {
  poll.head = kNone;
  poll_head = kNone;
  poll.open = false;
  poll.repeats = 0;
  poll_candidate = {};
  poll_rejected.clear();
}

void Machine::Impl::poll_read(std::uint32_t addr, std::uint32_t value) {
  PollCandidate& c = poll_candidate;
  const std::uint32_t block = cur_block;
  if (block == poll.head || block == idle.head) return;
  if (block != c.block || addr != c.addr || value != c.value) {
    c = {block, addr, value, 1};
    return;
  }
  if (++c.streak < kArmReads) return;
  if (std::find(poll_rejected.begin(), poll_rejected.end(), block) != poll_rejected.end()) return;
  poll.head = block;
  poll_head = block;
  poll.open = false;
  poll.repeats = 0;
  c = {};
}

bool Machine::Impl::poll_visit() {
  IdleLoop& s = poll;
  const std::uint64_t events = m.sched_.dispatched();
  if (s.open && s.clean && events == s.start_events && s.watch_hits == 0) {
    const cycles_t cycles = m.sched_.now() - s.start_cycle;
    const std::uint64_t n = m.stats_.instructions - s.start_instructions;
    if (s.repeats > 0 && cycles == s.ref_cycles && n == s.ref_instructions && s.trace == s.ref_trace) {
      ++s.repeats;
    } else {
      std::swap(s.trace, s.ref_trace);
      s.ref_cycles = cycles;
      s.ref_instructions = n;
      s.repeats = 1;
    }
  } else {
    s.repeats = 0;
  }
  const bool jumped = s.repeats >= 2 && poll_jump();
  s.open_pass(m.sched_.now(), m.stats_.instructions, events);
  return jumped;
}

bool Machine::Impl::poll_jump() {
  IdleLoop& s = poll;
  const cycles_t room = room_for(s.ref_cycles);
  if (room < 2) return false;

  std::vector<LoopRead> reads;
  bool provable = true;
  for (const IdleAccess& a : s.ref_trace) {
    provable &= !a.write;
    reads.push_back({a.addr, a.value, a.size});
  }
  LoopPass::Regs regs{};
  int ids[LoopPass::kRegs];
  void* out[LoopPass::kRegs];
  for (std::size_t i = 0; i < LoopPass::kRegs; ++i) {
    ids[i] = kLoopRegs[i];
    out[i] = &regs[i];
  }
  uc_reg_read_batch(uc, ids, out, LoopPass::kRegs);
  const auto fetch = [this](std::uint32_t a) -> std::optional<std::uint16_t> {
    const std::uint8_t* h = host(a, 2);
    if (!h) return std::nullopt;
    std::uint16_t v;
    std::memcpy(&v, h, 2);
    return v;
  };
  // Memory stays as it is while no event or exception runs, but for the
  // counters the pass keeps in RAM (LoopPass follows those).
  const auto writable = [this](std::uint32_t a) {
    const Memory* mm = memory_at(a);
    return mm && mm->writable;
  };
  const auto load = [this](std::uint32_t a, unsigned size) -> std::optional<std::uint32_t> {
    const std::uint8_t* h = host(a, size);
    if (!h) return std::nullopt;
    std::uint32_t v = 0;
    std::memcpy(&v, h, size);
    return v;
  };
  std::optional<LoopPass> proof;
  if (provable) proof = LoopPass::prove(s.head, regs, reg(UC_ARM_REG_XPSR), reads, fetch, load, writable);
  if (!proof || proof->instructions() != s.ref_instructions) {
    if (poll_rejected.size() < kMaxRejected) poll_rejected.push_back(s.head);
    s.head = kNone;
    poll_head = kNone;
    return false;
  }
  const std::uint64_t passes = std::min<std::uint64_t>(room, proof->same_passes());
  if (passes < 2) return false;

  // Only the counters change (never SP: the pass cannot write it).
  LoopPass::Regs after = proof->regs_after(passes);
  int changed_ids[LoopPass::kRegs];
  void* in[LoopPass::kRegs];
  int changed = 0;
  for (std::size_t i = 0; i < LoopPass::kRegs; ++i) {
    if (after[i] == regs[i]) continue;
    changed_ids[changed] = ids[i];
    in[changed++] = &after[i];
  }
  if (changed) uc_reg_write_batch(uc, changed_ids, in, changed);
  if (const std::uint32_t xpsr = proof->xpsr_after(passes); xpsr != reg(UC_ARM_REG_XPSR)) set_reg(UC_ARM_REG_XPSR, xpsr);
  for (const LoopPass::Slot& slot : proof->slots_after(passes)) {
    std::memcpy(host(slot.addr, 4), &slot.value, 4);
    mark_ram(slot.addr, 4);
  }
  m.sched_.advance(passes * s.ref_cycles);
  m.stats_.instructions += passes * s.ref_instructions;
  m.stats_.skipped_passes += passes;
  m.stats_.skipped_cycles += passes * s.ref_cycles;
  // The head block runs again from the new state when the engine restarts.
  stop_in_hook(HookStop::kCheck);
  return true;
}

}  // namespace vb
