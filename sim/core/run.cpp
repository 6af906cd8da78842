// Running the core: the engine hooks, the run loop, exception entry and
// return, calls of firmware functions, and the fault reports.
//
// How time and interrupts meet the engine: the block hook runs before every
// translated block. It puts the previous block's instructions on the cycle
// clock and compares the clock with one precomputed "attention" cycle (the
// next event, the run's limit, or 0 when something must be looked at before
// each block). Only then does it run events and decide whether to stop. A
// stop in the block hook happens before the block executes, so interrupt
// entry always starts from a clean instruction boundary. MMIO callbacks never
// stop the engine (it would replay the access); they only record.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "sim/core/fault_locate.hpp"
#include "sim/core/machine_impl.hpp"

namespace vb {

namespace {

constexpr std::uint32_t kXpsrThumb = 1u << 24;
constexpr std::uint32_t kXpsrAligned = 1u << 9;  // stacked xPSR: 4 bytes of padding above the frame
constexpr std::uint32_t kXpsrIpsr = 0x1FF;
constexpr std::uint32_t kControlSpsel = 1u << 1;
constexpr std::uint32_t kControlFpca = 1u << 2;
constexpr std::uint32_t kBasicFrame = 0x20;     // r0-r3, r12, lr, pc, xPSR
constexpr std::uint32_t kExtendedFrame = 0x68;  // + s0-s15, FPSCR, reserved
constexpr std::uint32_t kExcReturnToHandler = 0xFFFFFFF1;
constexpr std::uint32_t kExcReturnToThread = 0xFFFFFFF9;
constexpr std::uint32_t kExcReturnBasicFrame = 1u << 4;

// The engine's exception numbers for the CPU exceptions it raises.
enum EngineException : std::uint32_t {
  kUndefined = 1,
  kSupervisorCall = 2,
  kPrefetchAbort = 3,
  kDataAbort = 4,
  kBreakpoint = 7,
  kNoCoprocessor = 17,
  kInvalidState = 18,
  kUnaligned = 22,
};

// EXC_RETURN values are 0xFFFFFFE1-0xFFFFFFFD; the PC shows them without bit 0.
bool is_exc_return(std::uint32_t pc) { return pc >= 0xFFFFFFE0; }

}  // namespace

// --- hooks --------------------------------------------------------------------

void Machine::Impl::on_block(uc_engine*, std::uint64_t addr64, std::uint32_t size, void* user) {
  Impl& s = *static_cast<Impl*>(user);
  // The previous block ran to its end.
  s.m.sched_.advance(s.block_cycles);
  s.m.stats_.instructions += s.block_instructions;
  const auto addr = static_cast<std::uint32_t>(addr64);
  unsigned n = s.counter.lookup(addr, size);
  if (n == 0) n = s.counter.fill(addr, size, s.host(addr, size));
  s.block_instructions = n & BlockCounter::kCountMask;
  s.block_end = addr + size;
  s.block_start = addr;
  s.block_cycles = cycles_t{s.block_instructions} * s.cpi;
  s.cur_block = addr;
  if (s.m.sched_.now() >= s.attention || addr == s.trap_addr || addr == s.break_addr || addr == s.idle_head ||
      addr == s.poll_head) {
    if (s.attend(addr)) return;
  } else if (addr == s.watched) {
    s.record_pass();
  }
  if (n & BlockCounter::kSev) s.nvic.signal_event();  // the block runs: its SEV sets the event register
}

void Machine::Impl::record_pass() {
  ++idle.watch_hits;
  ++poll.watch_hits;
  const cycles_t now = m.sched_.now();
  if (have_pass) m.stats_.worst_pass_cycles = std::max(m.stats_.worst_pass_cycles, now - last_pass);
  last_pass = now;
  have_pass = true;
}

void Machine::Impl::on_interrupt(uc_engine* uc, std::uint32_t intno, void* user) {
  Impl& s = *static_cast<Impl*>(user);
  s.intr_no = static_cast<int>(intno);
  uc_emu_stop(uc);
}

bool Machine::Impl::on_bad_access(uc_engine*, uc_mem_type type, std::uint64_t addr, int size, std::int64_t value,
                                  void* user) {
  Impl& s = *static_cast<Impl*>(user);
  // The first store to a RAM page: the page comes into use, the store goes on.
  if (type == UC_MEM_WRITE_PROT && s.unprotect_ram(static_cast<std::uint32_t>(addr), static_cast<std::uint32_t>(size)))
    return true;
  if (s.bad.seen) return false;
  s.bad = {true, type, static_cast<std::uint32_t>(addr), size, static_cast<std::uint32_t>(value)};
  // For finding the faulting instruction in its block (the engine reports
  // the block's start).
  for (int i = 0; i <= 12; ++i) s.bad.regs[i] = s.reg(UC_ARM_REG_R0 + i);
  s.bad.regs[13] = s.reg(UC_ARM_REG_SP);
  s.bad.regs[14] = s.reg(UC_ARM_REG_LR);
  s.bad.xpsr = s.reg(UC_ARM_REG_XPSR);
  return false;  // stops the engine with an error
}

void Machine::Impl::stop_in_hook(HookStop why) {
  hook_stop = why;
  // The block about to run does not run.
  block_instructions = 0;
  block_cycles = 0;
  uc_emu_stop(uc);
}

bool Machine::Impl::attend(std::uint32_t addr) {
  m.sched_.run_due();
  if (m.faulted()) {
    stop_in_hook(HookStop::kCheck);
    return true;
  }
  if (addr == trap_addr) {
    m.fault("the core entered hndl_TRAP (the default handler's endless loop)");
    stop_in_hook(HookStop::kCheck);
    return true;
  }
  if (addr == break_addr) {
    if (!break_skip) {
      stopped_at_break = true;
      stop_in_hook(HookStop::kCondition);
      return true;
    }
    break_skip = false;
  }
  if (pred && (*pred)()) {
    stop_in_hook(HookStop::kCondition);
    return true;
  }
  if (m.sched_.now() >= end || ready_exception()) {
    stop_in_hook(HookStop::kCheck);
    return true;
  }
  sample_sp();
  if (addr == watched) record_pass();  // only now that the block runs
  if (addr == idle_head) idle_visit();
  if (addr == poll_head && poll_visit()) return true;
  update_attention();
  return false;
}

void Machine::Impl::update_attention() {
  attention = (pred || masked_pending || m.faulted()) ? 0 : std::min(m.sched_.next_due(), end);
}

// --- interrupt decisions ----------------------------------------------------------

int Machine::Impl::ready_exception() {
  masked_pending = false;
  const int n = nvic.next_pending();
  if (n == 0) return 0;
  const int group = nvic.group_priority(nvic.priority(n));
  if (group >= nvic.active_priority()) return 0;  // waits for an exception return
  const bool primask = reg(UC_ARM_REG_PRIMASK) & 1;
  const auto basepri = static_cast<std::uint8_t>(reg(UC_ARM_REG_BASEPRI));
  const bool faultmask = reg(UC_ARM_REG_FAULTMASK) & 1;
  if (group >= nvic.execution_priority(primask, basepri, faultmask)) {
    masked_pending = true;  // look again after every block (CPSIE, MSR end blocks)
    return 0;
  }
  return n;
}

bool Machine::Impl::wakes_from_sleep() {
  // WFE wakes when the event register is set (and clears it).
  if (sleep_wfe && nvic.take_event()) return true;
  // WFI wakes for a pending exception that could preempt were PRIMASK
  // clear (BASEPRI and FAULTMASK still count); the masked one then waits
  // until it is unmasked. WFE wakes only for one that preempts now.
  const int n = nvic.next_pending();
  if (n == 0) return false;
  const bool primask = sleep_wfe && (reg(UC_ARM_REG_PRIMASK) & 1);
  const auto basepri = static_cast<std::uint8_t>(reg(UC_ARM_REG_BASEPRI));
  const bool faultmask = reg(UC_ARM_REG_FAULTMASK) & 1;
  return nvic.group_priority(nvic.priority(n)) < nvic.execution_priority(primask, basepri, faultmask);
}

// --- the run loop -------------------------------------------------------------------

Stop Machine::Impl::run(cycles_t end_cycle, const std::function<bool()>* condition, bool in_call) {
  if (running) throw std::logic_error("the machine is already running (a model or condition must not run it)");
  if (m.faulted()) return Stop::kFault;
  struct Guard {
    Impl& s;
    ~Guard() {
      s.running = false;
      s.pred = nullptr;
      s.end = kNever;
      s.idle_head = 0xFFFFFFFF;
      s.idle.open = false;
      s.poll_head = 0xFFFFFFFF;
      s.poll.open = false;
      s.may_skip = false;
    }
  } guard{*this};
  running = true;
  end = end_cycle;
  pred = condition;
  // The host may have changed anything since the last run: fresh proof
  // before the first jump. A condition may look at the clock: no jumps.
  idle_restart();
  may_skip = idle.skip && !condition;
  idle_head = may_skip ? idle.head : 0xFFFFFFFF;
  poll_head = may_skip ? poll.head : 0xFFFFFFFF;
  watched = m.stats_.watch_pc ? m.stats_.watch_pc & ~1u : 0xFFFFFFFF;
  // A run that ended at the break address does not end there again at once.
  break_skip = stopped_at_break && break_addr == (reg(UC_ARM_REG_PC) & ~1u);
  stopped_at_break = false;

  for (;;) {
    m.sched_.run_due();
    if (m.faulted()) return Stop::kFault;
    if (pred && (*pred)()) return Stop::kCondition;
    const cycles_t now = m.sched_.now();
    if (now >= end) return Stop::kLimit;
    if (sleeping) {
      if (!wakes_from_sleep()) {
        // Nothing to do until the next event: the clock jumps there.
        const cycles_t next = std::min(m.sched_.next_due(), end);
        if (next == kNever) throw std::logic_error("sleeping with no event and no limit");
        m.sched_.set_now(std::max(next, now));
        continue;
      }
      sleeping = false;
    }
    if (const int n = ready_exception()) {
      take_exception(n);
      continue;
    }
    update_attention();
    hook_stop = HookStop::kNone;
    intr_no = -1;
    bad.seen = false;
    const uc_err err = uc_emu_start(uc, reg(UC_ARM_REG_PC) | 1, 0, 0, 0);
    // Whatever stopped the engine (an exception, a sleep, an event) is not
    // part of an idle pass.
    idle_disturb();
    // The last block ran to its end, unless the hook stopped before it
    // (then the pending counts are already zero).
    m.sched_.advance(block_cycles);
    m.stats_.instructions += block_instructions;
    block_cycles = 0;
    block_instructions = 0;
    if (auto stop = after_engine(err, in_call)) return *stop;
  }
}

std::optional<Stop> Machine::Impl::after_engine(uc_err err, bool in_call) {
  // With the debugger's code hook in place, an engine stopped by the block
  // hook shows the PC of the last instruction it announced; the core is at
  // the start of the block that did not run.
  if (dbg.attached && (hook_stop == HookStop::kCheck || hook_stop == HookStop::kCondition))
    set_reg(UC_ARM_REG_PC, block_start | 1);
  const std::uint32_t pc = reg(UC_ARM_REG_PC);
  // The FPU may only be used once CPACR grants CP10 and CP11. The engine
  // does not enforce it; the first FP instruction shows in CONTROL.FPCA.
  if ((reg(UC_ARM_REG_CONTROL) & kControlFpca) && ((nvic.cpacr() >> 20 & 3) == 0 || (nvic.cpacr() >> 22 & 3) == 0)) {
    m.fault("a floating-point instruction ran while CPACR denies CP10/CP11 access (a NOCP UsageFault on the chip)");
    return Stop::kFault;
  }
  if (hook_stop == HookStop::kCondition) return Stop::kCondition;
  if (hook_stop == HookStop::kDebug) return Stop::kDebug;
  if (hook_stop == HookStop::kCheck) return std::nullopt;

  if (intr_no >= 0) {
    // Fetches from the never-executable system region show as prefetch
    // aborts: an EXC_RETURN value or the return address of call().
    if (is_exc_return(pc)) {
      exception_return(pc | 1);
      return m.faulted() ? std::optional<Stop>(Stop::kFault) : std::nullopt;
    }
    if (pc == kCallReturn && in_call) return Stop::kReturned;
    m.fault(cpu_fault_name(static_cast<std::uint32_t>(intr_no)) + " at PC " + hex(pc) + " (" + m.symbol_at(pc) + ")");
    return Stop::kFault;
  }
  if (bad.seen) {
    // A debugger sees the faulting instruction itself; without one it is
    // found in its block when the block's instructions tell it apart.
    std::optional<std::uint32_t> insn;
    if (dbg.attached) {
      insn = dbg.last_insn;
      set_reg(UC_ARM_REG_PC, dbg.last_insn | 1);
    } else if (bad.type != UC_MEM_FETCH_UNMAPPED && bad.type != UC_MEM_FETCH_PROT && block_end > block_start) {
      BadAccessProbe probe{host(block_start, block_end - block_start), block_start, block_end, {}, bad.xpsr, bad.addr,
                           bad.type == UC_MEM_WRITE_UNMAPPED || bad.type == UC_MEM_WRITE_PROT};
      std::copy(std::begin(bad.regs), std::end(bad.regs), probe.regs);
      insn = locate_bad_access(probe);
    }
    const std::string where = insn ? "at PC " + hex(*insn) + " (" + m.symbol_at(*insn) + ")"
                                   : "in the block starting at PC " + hex(pc) + " (" + m.symbol_at(pc) + ")";
    std::string what;
    switch (bad.type) {
      case UC_MEM_FETCH_UNMAPPED:
      case UC_MEM_FETCH_PROT:
        what = "BusFault (exception 5): instruction fetch from " + hex(bad.addr) + ", which holds no executable memory";
        break;
      case UC_MEM_WRITE_PROT:
        what = "BusFault (exception 5): " + std::to_string(bad.size * 8) + "-bit write of " + hex(bad.value) +
               " to flash at " + hex(bad.addr) + " (flash is written only through the FLASH interface)";
        break;
      case UC_MEM_WRITE_UNMAPPED:
        what = "BusFault (exception 5): " + std::to_string(bad.size * 8) + "-bit write of " + hex(bad.value) + " to " +
               hex(bad.addr) + ", where nothing is mapped";
        break;
      default:
        what = "BusFault (exception 5): " + std::to_string(bad.size * 8) + "-bit read of " + hex(bad.addr) +
               ", where nothing is mapped";
        break;
    }
    if (bad.addr >= 0x40000000 && bad.addr < 0x60000000) what += " (a peripheral no model owns)";
    m.fault(what + "; " + where);
    return Stop::kFault;
  }
  // WFI and WFE stop the engine right after themselves, at the end of their
  // block (WFE shows as an invalid instruction; a real one stops inside its
  // block, at its own address).
  std::uint16_t before[2] = {0, 0};
  if (const std::uint8_t* h = host(pc - 4, 4)) std::memcpy(before, h, 4);
  const bool wfi = before[1] == 0xBF30 || (before[0] == 0xF3AF && before[1] == 0x8003);
  const bool wfe = before[1] == 0xBF20 || (before[0] == 0xF3AF && before[1] == 0x8002);
  if ((err == UC_ERR_OK || err == UC_ERR_INSN_INVALID) && (wfi || wfe) && pc == block_end) {
    // WFE with the event register set clears it and goes on at once.
    if (wfe && nvic.take_event()) return std::nullopt;
    sleeping = true;
    sleep_wfe = wfe;
    return std::nullopt;
  }
  if (err == UC_ERR_INSN_INVALID) {
    std::uint16_t hw = 0;
    if (const std::uint8_t* h = host(pc & ~1u, 2)) std::memcpy(&hw, h, 2);
    char enc[8];
    std::snprintf(enc, sizeof enc, "%04x", hw);
    m.fault("UsageFault (exception 6): undefined instruction " + std::string(enc) + " at PC " + hex(pc) + " (" +
            m.symbol_at(pc) + ")");
    return Stop::kFault;
  }
  if (err != UC_ERR_OK) {
    m.fault(std::string("the emulator stopped with an error: ") + uc_strerror(err) + " at PC " + hex(pc));
    return Stop::kFault;
  }
  if (pc == 0) {
    m.fault("execution reached address 0x00000000 (a call through a null function pointer?)");
    return Stop::kFault;
  }
  m.fault("the emulator stopped at PC " + hex(pc) + " (" + m.symbol_at(pc) + ") for no known reason");
  return Stop::kFault;
}

std::string Machine::Impl::cpu_fault_name(std::uint32_t intno) const {
  switch (intno) {
    case kUndefined: return "UsageFault (exception 6): undefined instruction";
    case kSupervisorCall: return "SVC instruction (supervisor calls are not supported by the board)";
    case kPrefetchAbort: return "MemManage fault (exception 4): instruction fetch from a never-executable address";
    case kDataAbort: return "BusFault (exception 5): data access fault";
    case kBreakpoint: return "BKPT instruction (a debug halt on the chip; HardFault without a debugger)";
    case kNoCoprocessor: return "UsageFault (exception 6): coprocessor access denied (NOCP)";
    case kInvalidState: return "UsageFault (exception 6): invalid state (INVSTATE: a branch without the Thumb bit)";
    case kUnaligned: return "UsageFault (exception 6): unaligned multi-word or exclusive access";
    default: return "CPU exception " + std::to_string(intno) + " raised by the emulator";
  }
}

// --- exceptions ---------------------------------------------------------------

void Machine::Impl::set_xpsr(std::uint32_t v) {
  // IPSR first, on its own: engine versions differ in whether a write of
  // the whole xPSR takes the exception number. The whole write then sets
  // the flags and execution state.
  set_reg(UC_ARM_REG_IPSR, v & kXpsrIpsr);
  set_reg(UC_ARM_REG_XPSR, v);
}

void Machine::Impl::switch_context(int to_exception) {
  const cycles_t now = m.sched_.now();
  m.stats_.exceptions[ctx_exception].cycles += now - ctx_since;
  ctx_since = now;
  ctx_exception = to_exception;
}

void Machine::Impl::take_exception(int number) {
  // Names are built only for a report: exceptions come thousands of times a second.
  const auto name = [number] { return exception_name(number); };
  const std::uint32_t ret_pc = reg(UC_ARM_REG_PC) & ~1u;
  const std::uint32_t xpsr = reg(UC_ARM_REG_XPSR);
  const std::uint32_t control = reg(UC_ARM_REG_CONTROL);
  if (control & kControlSpsel) {
    m.fault("entry to " + name() + " from thread mode on the process stack, which the board does not support");
    return;
  }
  const bool fp = control & kControlFpca;
  if (fp && ((nvic.cpacr() >> 20 & 3) == 0 || (nvic.cpacr() >> 22 & 3) == 0)) {
    m.fault("a floating-point instruction ran while CPACR denies CP10/CP11 access (a NOCP UsageFault on the chip)");
    return;
  }

  // Push the frame on the main stack, 8-byte aligned with STKALIGN; xPSR
  // bit 9 records the padding. With an active FP context the frame has
  // s0-s15 and FPSCR too (saved at once: the chip's lazy preservation only
  // defers the same stores).
  const std::uint32_t sp = reg(UC_ARM_REG_SP);
  const std::uint32_t size = fp ? kExtendedFrame : kBasicFrame;
  const bool pad = nvic.stack_align8() && (sp & 4);
  const std::uint32_t frame = (sp - size) & (nvic.stack_align8() ? ~7u : ~3u);
  std::uint8_t* h = host(frame, size);
  const Memory* mm = memory_at(frame);
  if (!h || !mm->writable || frame > sp) {
    m.fault("stacking for " + name() + " failed: SP " + hex(sp) + " does not point into RAM (a HardFault on the chip)");
    return;
  }
  std::uint32_t w[kExtendedFrame / 4] = {};
  for (int i = 0; i < 4; ++i) w[i] = reg(UC_ARM_REG_R0 + i);
  w[4] = reg(UC_ARM_REG_R12);
  w[5] = reg(UC_ARM_REG_LR);
  w[6] = ret_pc;
  w[7] = (xpsr & ~(kXpsrIpsr | kXpsrAligned)) | static_cast<std::uint32_t>(nvic.current()) | (pad ? kXpsrAligned : 0);
  if (fp) {
    for (int i = 0; i < 16; ++i) w[8 + i] = reg(UC_ARM_REG_S0 + i);
    w[24] = reg(UC_ARM_REG_FPSCR);
  }
  std::memcpy(h, w, size);
  mark_ram(frame, size);

  std::uint32_t exc_return = nvic.current() == exc::kThread ? kExcReturnToThread : kExcReturnToHandler;
  if (fp) exc_return &= ~kExcReturnBasicFrame;

  const std::uint32_t slot = nvic.vtor() + 4 * static_cast<std::uint32_t>(number);
  const std::uint8_t* vh = host(slot, 4);
  if (!vh) {
    m.fault("the vector of " + name() + " at " + hex(slot) + " is not in memory (VTOR " + hex(nvic.vtor()) + ")");
    return;
  }
  std::uint32_t vector;
  std::memcpy(&vector, vh, 4);

  m.stats_.exceptions[number].entries++;
  switch_context(number);
  nvic.activate(number);
  nvic.signal_event();  // exception entry sets the event register
  set_reg(UC_ARM_REG_SP, frame);
  sample_sp();

  // Built only for a report: a symbol look-up on every exception costs time.
  auto interrupted = [&] { return "interrupted at PC " + hex(ret_pc) + " (" + m.symbol_at(ret_pc) + ")"; };
  if (!(vector & 1)) {
    m.fault(name() + ": vector " + hex(vector) + " at " + hex(slot) +
            " has no Thumb bit (an INVSTATE UsageFault on the chip); " + interrupted());
    return;
  }
  if ((vector & ~1u) == trap_addr) {
    m.fault(name() + " (exception " + std::to_string(number) + ") has no handler: its vector leads to hndl_TRAP; " +
            interrupted());
    return;
  }
  set_reg(UC_ARM_REG_LR, exc_return);
  set_reg(UC_ARM_REG_CONTROL, control & ~kControlFpca);
  // Flags kept, IT state cleared, IPSR = the exception: MRS of IPSR/xPSR in
  // the handler reads it, as on the chip.
  set_xpsr((xpsr & 0xF80F0000u) | kXpsrThumb | static_cast<std::uint32_t>(number));
  set_reg(UC_ARM_REG_PC, vector);
}

void Machine::Impl::exception_return(std::uint32_t exc_return) {
  const auto value = [exc_return] { return hex(exc_return); };
  if (nvic.active_stack().empty()) {
    m.fault("branch to EXC_RETURN value " + value() + " in thread mode (nothing to return from)");
    return;
  }
  const int current = nvic.current();
  const auto name = [current] { return exception_name(current); };
  const std::uint32_t kind = exc_return & 0xF;
  if ((exc_return & 0xFFFFFFE0u) != 0xFFFFFFE0u || (kind != 0x1 && kind != 0x9 && kind != 0xD)) {
    m.fault("return from " + name() + " with the invalid EXC_RETURN " + value() + " (an INVPC UsageFault on the chip)");
    return;
  }
  if (kind == 0xD) {
    m.fault("return from " + name() + " to the process stack (EXC_RETURN " + value() + "), which the board does not support");
    return;
  }
  const bool to_thread = kind == 0x9;
  if (to_thread != (nvic.active_stack().size() == 1)) {
    m.fault("return from " + name() + " with EXC_RETURN " + value() + " to " + (to_thread ? "thread" : "handler") +
            " mode, but the nesting says otherwise (an INVPC UsageFault on the chip)");
    return;
  }
  const bool fp = !(exc_return & kExcReturnBasicFrame);
  const std::uint32_t sp = reg(UC_ARM_REG_SP);
  const std::uint32_t size = fp ? kExtendedFrame : kBasicFrame;
  const std::uint8_t* h = host(sp, size);
  if (!h) {
    m.fault("return from " + name() + ": the frame at SP " + hex(sp) + " is not in RAM");
    return;
  }
  std::uint32_t w[kExtendedFrame / 4] = {};
  std::memcpy(w, h, size);
  if (!(w[7] & kXpsrThumb)) {
    m.fault("return from " + name() + ": the stacked xPSR " + hex(w[7]) +
            " has no Thumb bit (an INVSTATE UsageFault on the chip)");
    return;
  }

  const int returning = nvic.deactivate();
  nvic.signal_event();  // exception return sets the event register
  // Every exception return but NMI's clears FAULTMASK.
  if (returning != exc::kNmi) set_reg(UC_ARM_REG_FAULTMASK, 0);
  switch_context(nvic.current());
  for (int i = 0; i < 4; ++i) set_reg(UC_ARM_REG_R0 + i, w[i]);
  set_reg(UC_ARM_REG_R12, w[4]);
  set_reg(UC_ARM_REG_LR, w[5]);
  set_reg(UC_ARM_REG_PC, w[6]);
  set_xpsr((w[7] & ~(kXpsrIpsr | kXpsrAligned)) | static_cast<std::uint32_t>(nvic.current()));
  if (fp) {
    for (int i = 0; i < 16; ++i) set_reg(UC_ARM_REG_S0 + i, w[8 + i]);
    set_reg(UC_ARM_REG_FPSCR, w[24]);
  }
  const std::uint32_t control = reg(UC_ARM_REG_CONTROL);
  set_reg(UC_ARM_REG_CONTROL, fp ? control | kControlFpca : control & ~kControlFpca);
  set_reg(UC_ARM_REG_SP, sp + size + ((w[7] & kXpsrAligned) ? 4 : 0));
}

// --- reports ------------------------------------------------------------------

std::string Machine::Impl::context() const {
  const std::uint32_t pc = reg(UC_ARM_REG_PC) & ~1u, lr = reg(UC_ARM_REG_LR), sp = reg(UC_ARM_REG_SP);
  std::string s = "  PC " + hex(pc) + " (" + m.symbol_at(pc) + ")";
  if (in_mmio) s += ", the start of the block making the access";
  s += "\n  LR " + hex(lr) + (is_exc_return(lr) ? " (EXC_RETURN)" : " (" + m.symbol_at(lr & ~1u) + ")");
  s += ", SP " + hex(sp) + "\n  ";
  if (nvic.active_stack().empty()) {
    s += "thread mode";
  } else {
    s += "in " + exception_name(nvic.current()) + " (exception " + std::to_string(nvic.current()) + ")";
    if (nvic.active_stack().size() > 1) {
      s += ", preempting";
      for (auto it = nvic.active_stack().rbegin() + 1; it != nvic.active_stack().rend(); ++it)
        s += " " + exception_name(*it);
    }
  }
  char t[80];
  std::snprintf(t, sizeof t, ", device time %.3f ms (cycle %llu)", m.device_ms(),
                static_cast<unsigned long long>(m.sched_.now()));
  return s + t;
}

// --- Machine's running API ------------------------------------------------------

Stop Machine::run_cycles(cycles_t n) { return impl_->run(now() + n, nullptr, false); }

Stop Machine::run_ms(double ms) {
  // In steps of at most 1 ms, so a change of HCLK on the way counts.
  double left = ms;
  while (left > 0) {
    const double step = std::min(left, 1.0);
    const auto n = static_cast<cycles_t>(std::llround(step * clocks().hclk / 1000.0));
    const Stop s = run_cycles(std::max<cycles_t>(n, 1));
    if (s != Stop::kLimit) return s;
    left -= step;
  }
  return faulted() ? Stop::kFault : Stop::kLimit;
}

Stop Machine::run_until(const std::function<bool()>& pred, cycles_t limit) {
  return impl_->run(now() + limit, &pred, false);
}

Stop Machine::run_until_pc(std::uint32_t addr, cycles_t limit) {
  impl_->break_addr = addr & ~1u;
  struct Reset {
    Impl& s;
    ~Reset() { s.break_addr = 0xFFFFFFFF; }
  } reset{*impl_};
  return impl_->run(now() + limit, nullptr, false);
}

std::uint32_t Machine::call(const std::string& fn, std::initializer_list<std::uint32_t> args, cycles_t limit) {
  return call(symbol(fn), args, limit);
}

std::uint32_t Machine::call(std::uint32_t addr, std::initializer_list<std::uint32_t> args, cycles_t limit) {
  Impl& s = *impl_;
  const std::string what = "call of " + symbol_at(addr & ~1u);
  if (args.size() > 8) throw std::invalid_argument(what + ": at most 8 arguments");
  if (faulted()) throw std::runtime_error(what + ": the machine has already faulted:\n" + fault_report_);

  // The interrupted context, restored after the call.
  uc_context* saved = nullptr;
  if (uc_context_alloc(s.uc, &saved) != UC_ERR_OK || uc_context_save(s.uc, saved) != UC_ERR_OK)
    throw std::runtime_error(what + ": cannot save the core's context");
  struct Free {
    uc_context* c;
    ~Free() { uc_context_free(c); }
  } free_saved{saved};
  const bool was_sleeping = s.sleeping;
  s.sleeping = false;

  // AAPCS: r0-r3, then the stack, 8-byte aligned at the call.
  const std::vector<std::uint32_t> a(args);
  const std::uint32_t on_stack = a.size() > 4 ? static_cast<std::uint32_t>(a.size() - 4) : 0;
  const std::uint32_t sp = (s.reg(UC_ARM_REG_SP) - 4 * on_stack) & ~7u;
  for (std::uint32_t i = 0; i < on_stack; ++i) write32(sp + 4 * i, a[4 + i]);
  for (std::size_t i = 0; i < a.size() && i < 4; ++i) s.set_reg(UC_ARM_REG_R0 + static_cast<int>(i), a[i]);
  s.set_reg(UC_ARM_REG_SP, sp);
  s.set_reg(UC_ARM_REG_LR, kCallReturn | 1);
  s.set_xpsr((s.reg(UC_ARM_REG_XPSR) & (0xF80F0000u | kXpsrIpsr)) | kXpsrThumb);
  s.set_reg(UC_ARM_REG_PC, addr);

  const Stop stop = s.run(now() + limit, nullptr, true);
  if (stop == Stop::kReturned) {
    const std::uint32_t r0 = s.reg(UC_ARM_REG_R0);
    uc_context_restore(s.uc, saved);
    s.sleeping = was_sleeping;
    return r0;
  }
  if (stop == Stop::kFault) throw std::runtime_error(what + " faulted:\n" + fault_report_);
  throw std::runtime_error(what + " did not return within " + std::to_string(limit) + " cycles; the core is at\n" +
                           s.context());
}

}  // namespace vb
