// Fast-forward of the firmware's idle main loop.
//
// The main loop polls: while nothing arrives and no tick is due, each pass
// runs the same instructions on the same state with the same result. Such a
// pass is recognised at the loop head, and the clock then jumps over whole
// passes up to the next moment something can change (the next event on the
// queue or the end of the run), keeping one real pass before it.
//
// A pass counts as repeating when, at the head visits v-2, v-1 and v:
// - the passes [v-2, v-1] and [v-1, v] ran without an event, an exception
//   entry or return, or any other stop of the engine, made the same MMIO
//   accesses with the same values, took the same cycles and instructions,
//   and touched only registers whose model says a repeat is invisible;
// - the core registers are the same at all three visits;
// - SRAM and CCM RAM are the same at v-1 and v (the backup SRAM is a
//   model: its accesses are in the trace).
// The state at v then equals the state at v-1 in everything the next pass
// depends on, so every following pass repeats too until an event runs.
// Checks go from cheap to costly: the trace first, registers only after a
// clean pass, RAM only once the registers repeat.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "sim/core/machine_impl.hpp"

namespace vb {

namespace {

// Longest MMIO trace of a pass that may still be skipped.
constexpr std::size_t kMaxTrace = 64;
// Longest wait between RAM comparisons of a loop whose RAM keeps changing.
constexpr unsigned kMaxRamWait = 1023;
constexpr std::uint32_t kRamChunk = 4096;
constexpr std::uint64_t kNoVisit = ~std::uint64_t{0};  // kNoVisit + 1 matches no visit
constexpr std::uint32_t kControlFpca = 1u << 2;

constexpr int kIntRegs[] = {
    UC_ARM_REG_R0,   UC_ARM_REG_R1,  UC_ARM_REG_R2,      UC_ARM_REG_R3,        UC_ARM_REG_R4,
    UC_ARM_REG_R5,   UC_ARM_REG_R6,  UC_ARM_REG_R7,      UC_ARM_REG_R8,        UC_ARM_REG_R9,
    UC_ARM_REG_R10,  UC_ARM_REG_R11, UC_ARM_REG_R12,     UC_ARM_REG_SP,        UC_ARM_REG_LR,
    UC_ARM_REG_XPSR, UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI, UC_ARM_REG_FAULTMASK, UC_ARM_REG_CONTROL,
};
constexpr int kControlSlot = 19;

}  // namespace

void Machine::Impl::idle_restart() {
  idle.open = false;
  idle.repeats = 0;
  idle.core_same = 0;
  idle.core_visit = kNoVisit;
  idle.ram_visit = kNoVisit;
  poll.open = false;
  poll.repeats = 0;
}

void Machine::Impl::idle_note(const Peripheral* p, std::uint32_t addr, unsigned size, std::uint32_t value,
                              bool is_write) {
  const bool repeatable = p && p->idle_repeatable((addr - p->base()) & ~3u, is_write);
  for (IdleLoop* l : {&idle, &poll}) {
    if (!l->open || !l->clean) continue;
    if (!repeatable || l->trace.size() >= kMaxTrace) {
      l->clean = false;
      continue;
    }
    l->trace.push_back({p, addr, value, static_cast<std::uint8_t>(size), is_write});
  }
}

void Machine::Impl::idle_read_core(IdleCore& c) const {
  static_assert(std::size(kIntRegs) == IdleCore::kInt && kIntRegs[kControlSlot] == UC_ARM_REG_CONTROL);
  int ids[IdleCore::kInt];
  void* out[IdleCore::kInt];
  for (int i = 0; i < IdleCore::kInt; ++i) {
    ids[i] = kIntRegs[i];
    out[i] = &c.r[static_cast<std::size_t>(i)];
  }
  uc_reg_read_batch(uc, ids, out, IdleCore::kInt);
  c.exception = nvic.current();
  // The FP registers only count once the code has used the FPU (an FP
  // instruction sets CONTROL.FPCA; only exception entry clears it).
  if (c.r[kControlSlot] & kControlFpca) {
    int fp_ids[IdleCore::kFp];
    void* fp_out[IdleCore::kFp];
    for (int i = 0; i < IdleCore::kFp; ++i) {
      fp_ids[i] = i < 32 ? UC_ARM_REG_S0 + i : UC_ARM_REG_FPSCR;
      fp_out[i] = &c.r[static_cast<std::size_t>(IdleCore::kInt + i)];
    }
    uc_reg_read_batch(uc, fp_ids, fp_out, IdleCore::kFp);
  }
}

bool Machine::Impl::idle_ram_unchanged() {
  std::size_t total = 0;
  for (const Memory& mm : memories)
    if (mm.writable) total += mm.size;
  if (idle.ram.size() != total) {
    idle.ram.assign(total, 0);
    idle.ram_visit = kNoVisit;
  }
  // Compared chunk by chunk; only chunks that differ are copied, so the
  // image of this visit costs little when most of the RAM stayed as it was.
  bool same = idle.ram_visit + 1 == idle.visit;
  std::uint8_t* image = idle.ram.data();
  for (const Memory& mm : memories) {
    if (!mm.writable) continue;
    for (std::uint32_t off = 0; off < mm.size; off += kRamChunk) {
      const std::uint32_t n = std::min(kRamChunk, mm.size - off);
      if (std::memcmp(image + off, mm.host + off, n) != 0) {
        std::memcpy(image + off, mm.host + off, n);
        same = false;
      }
    }
    image += mm.size;
  }
  idle.ram_visit = idle.visit;
  return same;
}

cycles_t Machine::Impl::idle_room() const {
  // Nothing can change before the next event or the end of the run; stop
  // one whole pass short of it, so that pass and whatever follows run
  // exactly as they would have.
  return room_for(idle.ref_cycles);
}

cycles_t Machine::Impl::room_for(cycles_t pass) const {
  const cycles_t now = m.sched_.now();
  const cycles_t next = std::min(m.sched_.next_due(), end);
  if (next == kNever || next <= now || pass == 0) return 0;
  const cycles_t room = (next - now) / pass;
  return room < 2 ? 0 : room - 1;
}

void Machine::Impl::idle_jump(cycles_t passes) {
  const cycles_t pass = idle.ref_cycles;
  m.sched_.advance(passes * pass);
  m.stats_.instructions += passes * idle.ref_instructions;
  m.stats_.skipped_passes += passes;
  m.stats_.skipped_cycles += passes * pass;
  // The watched block ran in each skipped pass at the same place: the worst
  // gap between two runs of it is already known; only the last run moves.
  if (idle.ref_watch_hits > 0) last_pass += passes * pass;
}

void Machine::Impl::idle_visit() {
  IdleLoop& s = idle;
  const cycles_t now = m.sched_.now();
  const std::uint64_t instructions = m.stats_.instructions;
  const std::uint64_t events = m.sched_.dispatched();
  ++s.visit;

  // The pass that ends here: clean, and equal to the one before?
  if (s.open && s.clean && events == s.start_events) {
    const cycles_t cycles = now - s.start_cycle;
    const std::uint64_t n = instructions - s.start_instructions;
    if (s.repeats > 0 && cycles == s.ref_cycles && n == s.ref_instructions && s.watch_hits == s.ref_watch_hits &&
        s.trace == s.ref_trace) {
      ++s.repeats;
    } else {
      std::swap(s.trace, s.ref_trace);
      s.ref_cycles = cycles;
      s.ref_instructions = n;
      s.ref_watch_hits = s.watch_hits;
      s.repeats = 1;
    }
  } else {
    s.repeats = 0;
  }

  // The registers, after clean passes only.
  if (s.repeats > 0) {
    IdleCore c;
    idle_read_core(c);
    s.core_same = (s.core_visit + 1 == s.visit && c == s.core) ? s.core_same + 1 : 1;
    s.core = c;
    s.core_visit = s.visit;
  } else {
    s.core_same = 0;
  }

  // The RAM, once the registers repeat and a jump would fit before the next
  // event (right after a jump it would not); the jump once everything repeats.
  const cycles_t room = s.core_same >= 2 ? idle_room() : 0;
  if (room > 0) {
    if (s.ram_wait > 0) {
      --s.ram_wait;
    } else {
      const bool comparable = s.ram_visit + 1 == s.visit;
      const bool same = idle_ram_unchanged();
      if (same && s.repeats >= 2 && s.core_same >= 3) {
        s.ram_backoff = 0;
        idle_jump(room);
      } else if (comparable && !same) {
        s.ram_wait = s.ram_backoff;
        s.ram_backoff = std::min(2 * s.ram_backoff + 1, kMaxRamWait);
      }
    }
  }

  // The next pass starts here (after the jump, if there was one).
  s.open_pass(m.sched_.now(), m.stats_.instructions, events);
}

// --- Machine's API ------------------------------------------------------------

void Machine::set_idle_loop(std::uint32_t addr) {
  impl_->idle.head = addr & ~1u;
  impl_->idle_restart();
}

void Machine::set_idle_skip(bool on) {
  impl_->idle.skip = on;
  impl_->idle_restart();
}

bool Machine::idle_skip() const { return impl_->idle.skip; }

}  // namespace vb
