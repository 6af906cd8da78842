// What a debugger does with the core: breakpoints, watchpoints, single
// steps, registers and side-effect-free reads.
//
// While a debugger is attached a code hook sees every instruction before it
// runs. Stopping there leaves the instruction unexecuted, so a breakpoint or
// a step ends exactly at an instruction boundary; the block hook's count of
// the stopped block is cut back to the instructions that did run. A
// watchpoint's memory hook only notes the access: the run stops before the
// next instruction, after the accessing one completed, as the chip's data
// watchpoints do.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/core/machine_impl.hpp"

namespace vb {

namespace {

// Engine ids of the registers after r0-r15 and xPSR, in the debugger's order.
constexpr int kSpecial[] = {UC_ARM_REG_MSP,       UC_ARM_REG_PSP,       UC_ARM_REG_PRIMASK, UC_ARM_REG_BASEPRI,
                            UC_ARM_REG_FAULTMASK, UC_ARM_REG_CONTROL};
constexpr int kFirstS = 16 + 1 + 6;
constexpr int kFpscr = kFirstS + 32;
static_assert(kFpscr + 1 == kDebugRegCount);

}  // namespace

void Machine::Impl::on_debug_code(uc_engine*, std::uint64_t addr64, std::uint32_t, void* user) {
  Impl& s = *static_cast<Impl*>(user);
  const auto addr = static_cast<std::uint32_t>(addr64);
  s.dbg.last_insn = addr;
  if (!s.dbg.active) return;
  const bool first = s.dbg.first;
  s.dbg.first = false;
  if (s.dbg.watch_hit) {
    s.debug_stop(addr, s.dbg.hit);
    return;
  }
  // The instruction a run starts with executes: a step's one instruction,
  // or the one under the breakpoint the debugger resumes from.
  if (first && addr == s.dbg.resume_pc) return;
  if (s.dbg.stepping) {
    s.debug_stop(addr, {DebugEvent::Kind::kStep});
    return;
  }
  if (std::find(s.dbg.breakpoints.begin(), s.dbg.breakpoints.end(), addr) != s.dbg.breakpoints.end())
    s.debug_stop(addr, {DebugEvent::Kind::kBreakpoint});
}

void Machine::Impl::drop_translations() {
  // Code runs only from the memories; dropping their translations is much
  // cheaper than flushing the engine's whole translation buffer.
  for (const Memory& mm : memories) uc_ctl_remove_cache(uc, mm.base, std::uint64_t{mm.base} + mm.size);
  uc_ctl_remove_cache(uc, 0, mem::kFlashSize);  // the boot alias of flash
}

void Machine::Impl::debug_stop(std::uint32_t addr, DebugEvent event) {
  // The instructions of this block before addr ran; the rest did not.
  const std::uint64_t ran = addr >= block_start && addr < block_end
                                ? count_thumb_instructions(host(block_start, addr - block_start), addr - block_start)
                                : 0;
  const cycles_t consumed = cycles_t{block_instructions} * cpi - block_cycles;  // already on the clock (MMIO)
  block_instructions = ran;
  block_cycles = ran * cpi > consumed ? ran * cpi - consumed : 0;
  dbg.event = event;
  dbg.watch_hit = false;
  hook_stop = HookStop::kDebug;
  uc_emu_stop(uc);
}

// --- Machine's debugging API ------------------------------------------------------

void Machine::debug_attach(bool on) {
  Impl& s = *impl_;
  if (on == s.dbg.attached) return;
  if (on) {
    if (uc_hook_add(s.uc, &s.dbg.trace, UC_HOOK_CODE, reinterpret_cast<void*>(&Impl::on_debug_code), &s, 1, 0) !=
        UC_ERR_OK)
      throw std::runtime_error("cannot add the debugger's code hook");
  } else {
    uc_hook_del(s.uc, s.dbg.trace);
    for (auto& w : s.dbg.watchpoints) uc_hook_del(s.uc, w.hook);
    s.dbg.watchpoints.clear();
    s.dbg.breakpoints.clear();
  }
  s.dbg.attached = on;
  // Code already translated has no calls to the hook (or stale ones).
  s.drop_translations();
}

bool Machine::debug_attached() const { return impl_->dbg.attached; }

bool Machine::add_breakpoint(std::uint32_t addr) {
  Impl& s = *impl_;
  if (!s.dbg.attached) return false;
  addr &= ~1u;
  if (std::find(s.dbg.breakpoints.begin(), s.dbg.breakpoints.end(), addr) == s.dbg.breakpoints.end())
    s.dbg.breakpoints.push_back(addr);
  return true;
}

bool Machine::remove_breakpoint(std::uint32_t addr) {
  auto& b = impl_->dbg.breakpoints;
  const auto it = std::find(b.begin(), b.end(), addr & ~1u);
  if (it == b.end()) return false;
  b.erase(it);
  return true;
}

bool Machine::add_watchpoint(std::uint32_t addr, std::uint32_t len, WatchKind kind) {
  Impl& s = *impl_;
  if (!s.dbg.attached || len == 0 || len > 0x10000 || addr + len < addr) return false;
  const int types = kind == WatchKind::kWrite  ? UC_HOOK_MEM_WRITE
                    : kind == WatchKind::kRead ? UC_HOOK_MEM_READ
                                               : UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE;
  Impl::Watchpoint w{addr, len, kind, 0};
  auto cb = +[](uc_engine*, uc_mem_type type, std::uint64_t a, int, std::int64_t, void* user) {
    auto* impl = static_cast<Impl*>(user);
    if (!impl->dbg.active || impl->dbg.watch_hit) return;
    const auto at = static_cast<std::uint32_t>(a);
    // Several watchpoints may cover the address: the first that takes the
    // access's kind reports it.
    for (const auto& wp : impl->dbg.watchpoints) {
      if (at - wp.addr >= wp.len) continue;
      const bool write = type == UC_MEM_WRITE;
      if (wp.kind == WatchKind::kWrite && !write) continue;
      if (wp.kind == WatchKind::kRead && write) continue;
      impl->dbg.watch_hit = true;
      impl->dbg.hit = {DebugEvent::Kind::kWatchpoint, wp.kind, at};
      return;
    }
  };
  if (uc_hook_add(s.uc, &w.hook, types, reinterpret_cast<void*>(cb), &s, addr, std::uint64_t{addr} + len - 1) !=
      UC_ERR_OK)
    return false;
  s.dbg.watchpoints.push_back(w);
  s.drop_translations();
  return true;
}

bool Machine::remove_watchpoint(std::uint32_t addr, std::uint32_t len, WatchKind kind) {
  Impl& s = *impl_;
  auto& ws = s.dbg.watchpoints;
  const auto it = std::find_if(ws.begin(), ws.end(),
                               [&](const Impl::Watchpoint& w) { return w.addr == addr && w.len == len && w.kind == kind; });
  if (it == ws.end()) return false;
  uc_hook_del(s.uc, it->hook);
  ws.erase(it);
  s.drop_translations();
  return true;
}

Stop Machine::debug_run(cycles_t limit, bool step) {
  Impl& s = *impl_;
  if (!s.dbg.attached) throw std::logic_error("debug_run without debug_attach");
  s.dbg.active = true;
  s.dbg.stepping = step;
  s.dbg.first = true;
  s.dbg.watch_hit = false;
  s.dbg.resume_pc = s.reg(UC_ARM_REG_PC) & ~1u;
  s.dbg.event = {};
  // Idle passes are not jumped over while the debugger looks for a stop
  // inside them.
  const bool skip = s.idle.skip;
  if (step || !s.dbg.breakpoints.empty() || !s.dbg.watchpoints.empty()) s.idle.skip = false;
  struct Restore {
    Impl& s;
    bool skip;
    ~Restore() {
      s.idle.skip = skip;
      s.dbg.active = false;
      s.dbg.stepping = false;
    }
  } restore{s, skip};
  return s.run(now() + limit, nullptr, false);
}

const DebugEvent& Machine::debug_event() const { return impl_->dbg.event; }

std::uint32_t Machine::debug_reg(int n) {
  Impl& s = *impl_;
  if (n < 0 || n >= kDebugRegCount) throw std::out_of_range("debugger register " + std::to_string(n));
  if (n < 16) return reg(n);
  if (n == 16) return xpsr();
  if (n < kFirstS) {
    const std::uint32_t v = s.reg(kSpecial[n - 17]);
    // The main stack is the only one the board runs on: MSP is SP.
    return kSpecial[n - 17] == UC_ARM_REG_MSP ? s.reg(UC_ARM_REG_SP) : v;
  }
  if (n < kFpscr) return s.reg(UC_ARM_REG_S0 + (n - kFirstS));
  return s.reg(UC_ARM_REG_FPSCR);
}

void Machine::set_debug_reg(int n, std::uint32_t v) {
  Impl& s = *impl_;
  if (n < 0 || n >= kDebugRegCount) throw std::out_of_range("debugger register " + std::to_string(n));
  if (n < 16) return set_reg(n, n == 15 ? v | 1 : v);
  if (n == 16) return s.set_xpsr(v);
  if (n < kFirstS) {
    const int id = kSpecial[n - 17];
    return s.set_reg(id == UC_ARM_REG_MSP ? UC_ARM_REG_SP : id, v);
  }
  if (n < kFpscr) return s.set_reg(UC_ARM_REG_S0 + (n - kFirstS), v);
  s.set_reg(UC_ARM_REG_FPSCR, v);
}

std::optional<std::uint32_t> Machine::peek(std::uint32_t addr, unsigned size) {
  Impl& s = *impl_;
  if (size != 1 && size != 2 && size != 4) return std::nullopt;
  if (const std::uint8_t* h = s.host(addr, size)) {
    std::uint32_t v = 0;
    std::memcpy(&v, h, size);
    return v;
  }
  Peripheral* p = s.model_at(addr);
  if (!p || (addr & 3) + size > 4) return std::nullopt;
  s.dbg.peeking = true;
  s.dbg.peek_failed = false;
  std::optional<std::uint32_t> word;
  try {
    word = p->debug_peek((addr - p->base()) & ~3u);
  } catch (...) {
    s.dbg.peeking = false;
    throw;
  }
  s.dbg.peeking = false;
  if (!word || s.dbg.peek_failed) return std::nullopt;
  const unsigned shift = (addr & 3) * 8;
  const std::uint32_t mask = size == 4 ? ~0u : ((1u << (8 * size)) - 1);
  return (*word >> shift) & mask;
}

bool Machine::program_flash(std::uint32_t addr, std::span<const std::uint8_t> bytes) {
  Impl& s = *impl_;
  if (bytes.empty()) return true;
  if (addr - mem::kFlashBase >= mem::kFlashSize || bytes.size() > mem::kFlashBase + mem::kFlashSize - addr)
    return false;
  std::memcpy(s.flash.get() + (addr - mem::kFlashBase), bytes.data(), bytes.size());
  s.invalidate_code(addr, static_cast<std::uint32_t>(bytes.size()));
  return true;
}

}  // namespace vb
