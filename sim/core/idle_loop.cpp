// Fast-forward of the firmware's idle main loop.
//
// The main loop polls: while nothing arrives and no tick is due, each pass
// runs the same instructions on the same state with the same result. Such a
// pass is recognised at the loop head, and the clock then jumps over whole
// passes up to the next moment something can change (the next event on the
// queue or the end of the run), keeping one real pass before it.
//
// The pass that ends at head visit c, begun at visit b, proves the loop when
// - it ran without an exception entry or return or any other stop of the
//   engine, and touched only registers whose model says a repeat is
//   invisible; events may have run during it only when it read no
//   peripheral register and made the same accesses as the passes before;
// - either it read no peripheral register, or the pass before it made the
//   same MMIO accesses with the same values and took the same cycles and
//   instructions (a second pass also shows that the reads really repeat);
// - the core registers are the same at b and c;
// - SRAM and CCM RAM are the same at b and c (the backup SRAM is a model:
//   its accesses are in the trace). Only pages in use are compared: the
//   others have provably not been written (see Machine::Impl::mark_ram).
// The next pass then starts from the state the proving pass started from:
// the same registers and RAM, and models that answer its reads as before
// (it reads none, or nothing but its own writes could change them and the
// pass already ran once after them with the same result). Repeated writes
// leave a model as it was. So every following pass repeats too, until an
// event runs.
// The images of registers and RAM are taken only at visits from which the
// next one may jump (passes fit before the next event, or the next pass
// meets one), and less often while they keep leading to no jump.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "sim/core/machine_impl.hpp"

namespace vb {

namespace {

// Longest MMIO trace of a pass that may still be skipped.
constexpr std::size_t kMaxTrace = 64;
// Images without a jump before they are taken only every kImageEvery visits.
constexpr unsigned kImageMissesBeforeBackoff = 8;
constexpr std::uint64_t kImageEvery = 16;
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
  if (idle.ram.size() != std::size_t{kRamPages} * mem::kPage) {
    idle.ram.assign(std::size_t{kRamPages} * mem::kPage, 0);
    idle.ram_visit = kNoVisit;
  }
  // Pages that came into use since the last image were not in it.
  bool same = idle.ram_visit + 1 == idle.visit && idle.ram_pages == used_pages.size();
  // Only pages that differ are copied, so the image of this visit costs
  // little when most of the RAM stayed as it was.
  for (const int p : used_pages) {
    std::uint8_t* image = idle.ram.data() + std::size_t{static_cast<std::uint32_t>(p)} * mem::kPage;
    const std::uint8_t* now = ram_page_host(p);
    if (std::memcmp(image, now, mem::kPage) != 0) {
      std::memcpy(image, now, mem::kPage);
      same = false;
    }
  }
  idle.ram_pages = used_pages.size();
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

  // The pass that ends here: clean, and equal to the one before? Events
  // that ran during it without stopping the engine (no interrupt came of
  // them) are no disturbance to a pass that reads no peripheral register,
  // as long as it made the same accesses as the proven pass: what it does
  // depends on the registers and RAM alone, which are compared below.
  if (s.open && s.clean) {
    const cycles_t cycles = now - s.start_cycle;
    const std::uint64_t n = instructions - s.start_instructions;
    const bool same = s.repeats > 0 && cycles == s.ref_cycles && n == s.ref_instructions &&
                      s.watch_hits == s.ref_watch_hits && s.trace == s.ref_trace;
    if (events != s.start_events) {
      s.repeats = same && s.ref_no_reads ? s.repeats : 0;
    } else if (same) {
      ++s.repeats;
    } else {
      std::swap(s.trace, s.ref_trace);
      s.ref_cycles = cycles;
      s.ref_instructions = n;
      s.ref_watch_hits = s.watch_hits;
      s.ref_no_reads = std::all_of(s.ref_trace.begin(), s.ref_trace.end(), [](const IdleAccess& a) { return a.write; });
      s.repeats = 1;
    }
  } else {
    s.repeats = 0;
  }

  // Images of this visit only when the next visit may jump: passes like
  // the last clean one fit before the next event, or the next pass meets an
  // event that may leave it as it was (not the end of the run).
  const cycles_t room = idle_room();
  const bool event_next = room == 0 && m.sched_.next_due() < end;
  const bool take = (room > 0 || event_next) &&
                    (s.image_misses < kImageMissesBeforeBackoff || s.visit % kImageEvery == 0 ||
                     s.ram_visit + 1 == s.visit);
  if (!take) {
    s.core_visit = kNoVisit;
    s.ram_visit = kNoVisit;
  } else {
    IdleCore c;
    idle_read_core(c);
    const bool core_same = s.core_visit + 1 == s.visit && c == s.core;
    s.core = c;
    s.core_visit = s.visit;
    const bool proven = s.repeats >= (s.ref_no_reads ? 1u : 2u);
    // The RAM is imaged at every such visit, for the comparison at the next.
    const bool ram_same = idle_ram_unchanged();
    if (proven && core_same && ram_same && room > 0) {
      s.image_misses = 0;
      idle_jump(room);
    } else {
      ++s.image_misses;
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
