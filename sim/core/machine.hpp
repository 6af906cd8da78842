// The emulated Cortex-M4 with its memories, the system control space (NVIC,
// SCB, SysTick), the bus that dispatches MMIO to the models, the cycle clock
// with its event queue, and the means to drive and observe the firmware.
//
// Where the emulation differs from the chip, on purpose:
// - Time advances by whole translated blocks (one cycle per instruction
//   times cpi); an MMIO access sees the block's start plus one instruction
//   per access before it in the block. Events and interrupts are handled at
//   block boundaries, so an interrupt the firmware pends with a store is
//   taken at the end of that block rather than a few cycles later.
// - Exception entry and return are done here, not by the engine; the
//   engine's IPSR is set to the active exception, so MRS of IPSR and xPSR
//   read it as on the chip. Only the main stack is supported. The FP part of
//   an extended frame is saved at entry rather than lazily.
// - CPU faults (undefined instruction, bad access, ...), the trap handler
//   and dead peripherals stop the run with a report instead of being taken.
// - Idle passes of the main loop are not executed one by one (see
//   set_idle_loop), nor are the passes of short polling loops that wait
//   for a ready bit while counting a time-out (found by their repeated
//   peripheral reads): the clock and the instruction count jump over passes
//   that provably repeat or only advance their counters, so the firmware
//   sees exactly what it would see.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/clock_tree.hpp"
#include "sim/core/peripheral.hpp"
#include "sim/core/pins.hpp"
#include "sim/core/scheduler.hpp"

namespace vb {

class Elf;       // sim/core/elf.hpp
class Nvic;      // sim/core/nvic.hpp

// Why a run ended: the cycle limit, the condition (or break address), a
// fault report, the end of a function called with call(), or a debugger's
// breakpoint, watchpoint or single step (debug_run).
enum class Stop { kLimit, kCondition, kFault, kReturned, kDebug };

// A debugger's stop: what made debug_run return Stop::kDebug.
enum class WatchKind { kWrite, kRead, kAccess };
struct DebugEvent {
  enum class Kind { kNone, kBreakpoint, kWatchpoint, kStep } kind = Kind::kNone;
  WatchKind watch = WatchKind::kWrite;  // kWatchpoint: which kind fired
  std::uint32_t addr = 0;               // kWatchpoint: the address accessed
};

// The core registers a debugger sees, in this order: r0-r15, xPSR, MSP, PSP,
// PRIMASK, BASEPRI, FAULTMASK, CONTROL, s0-s31, FPSCR.
inline constexpr int kDebugRegCount = 16 + 7 + 32 + 1;

struct Stats {
  std::uint64_t instructions = 0;
  std::uint64_t cycles = 0;
  struct Exception { std::uint64_t entries = 0; std::uint64_t cycles = 0; };
  // By exception number (16 + IRQ); cycles exclude nested exceptions.
  // Entry 0 counts the cycles spent in thread mode.
  Exception exceptions[16 + 82]{};
  // Lowest stack pointer seen: sampled at events and exception entries, and
  // the deepest word written below the initial stack pointer (the stack is
  // painted at reset), whichever is lower.
  std::uint32_t lowest_sp = 0xFFFFFFFF;
  // Worst cycles between two passes of watch_pc (0 until two passes were seen).
  std::uint32_t watch_pc = 0;
  std::uint64_t worst_pass_cycles = 0;
  // Passes of the idle main loop and of polling loops the clock jumped
  // over, and their cycles (also counted in cycles and instructions as if
  // they had run).
  std::uint64_t skipped_passes = 0;
  std::uint64_t skipped_cycles = 0;
};

class Machine {
public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // --- set-up -------------------------------------------------------------
  // Loads the image (load segments at their load addresses) and its symbols;
  // throws std::runtime_error with a clear message when it cannot.
  void load_elf(const std::string& path);
  // Maps a model's window; the machine keeps a non-owning pointer.
  void attach(Peripheral& p);
  void set_clock_control(ClockControl* cc) { clock_control_ = cc; }
  void set_pins(PinIo* pins) { pins_ = pins; }
  // Cycles per instruction (default 1).
  void set_cpi(unsigned cpi);
  unsigned cpi() const;
  // Raw bytes into flash or RAM (hand-assembled test programs, patches);
  // throws when the range is not memory.
  void load_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes);
  // Entering this address is a fault (load_elf sets it to hndl_TRAP).
  void set_trap_address(std::uint32_t addr);
  // Board messages also go here as they happen (vboard prints them).
  void set_message_sink(std::function<void(const std::string&)> sink);
  // Power-up: SRAM, CCM RAM and the backup SRAM take arbitrary contents, and
  // the sources of what each reset leaves UNKNOWN (r0-r12, the FP registers,
  // SysTick LOAD and VAL) are seeded, all from `seed`
  // (the constructor powers up with kDefaultSeed). Call before load_elf and
  // reset; the memories keep their contents through later resets.
  void power_on(std::uint64_t seed);
  // System reset: every attached model and the system control space back to
  // their reset state, r0-r12 and the FP registers arbitrary, the rest of
  // the core as the architecture defines it, SP and PC from the vector
  // table at 0. The cycle clock keeps counting.
  void reset();

  // --- for models ---------------------------------------------------------
  Scheduler& scheduler() { return sched_; }
  cycles_t now() const { return sched_.now(); }
  const ClockTree& clocks() const;
  // Device time: every cycle counted at the HCLK it ran at, in ms since
  // power-up (the cycle count divided by today's HCLK is not it once the
  // clock has changed). device_ms_at() converts an earlier cycle count,
  // exact across the latest kClockHistory changes of HCLK.
  double device_ms() const { return device_ms_at(now()); }
  double device_ms_at(cycles_t at) const;
  // The clock control calls this whenever it may have changed HCLK.
  void clocks_changed();
  static constexpr std::size_t kClockHistory = 16;
  ClockControl* clock_control() const { return clock_control_; }
  PinIo& pins() { return *pins_; }
  // Device interrupt line (IRQ 0..81): level-sensitive as on the chip; a line
  // that stays high pends again after its handler returns. A line shared by
  // several models is high while any of them asserts it: each passes itself
  // as `source` (callers without one count as a single source).
  void set_irq(int irq, bool level, const void* source = nullptr);
  // Memory as a DMA master sees it (SRAM, flash, peripherals). False on an
  // address nothing owns (the caller reports it).
  bool bus_read(std::uint32_t addr, void* buf, std::uint32_t n);
  bool bus_write(std::uint32_t addr, const void* buf, std::uint32_t n);
  // Stops the run at the next block boundary with this report; tests fail.
  void fault(const std::string& what);
  // A board message (stderr in vboard, collected in tests).
  void message(const std::string& what);

  // --- running ------------------------------------------------------------
  Stop run_cycles(cycles_t n);
  Stop run_ms(double ms);  // device time, in steps of 1 ms at whatever HCLK runs
  // Runs until pred() is true (checked at block boundaries), at most `limit` cycles.
  Stop run_until(const std::function<bool()>& pred, cycles_t limit);
  // Runs until the core is about to execute `addr` (which must start a
  // block: a function entry or a branch target), at most `limit` cycles.
  Stop run_until_pc(std::uint32_t addr, cycles_t limit);
  // The main loop's head: the start of a block that every pass of the
  // firmware's polling loop enters once (Board sets fast_loop). When the
  // passes between two heads repeat exactly (same MMIO accesses and values,
  // same cycles, no exception, same core registers, same RAM; no event
  // either, unless the pass reads no peripheral register) the clock jumps
  // whole passes ahead, up to one pass before the next event or the run's
  // end (see idle_loop.cpp). Runs with a condition (run_until) never jump: the
  // condition may look at the clock.
  void set_idle_loop(std::uint32_t addr);
  // A block that reads the same peripheral register with the same value
  // several times in a row is taken as the head of a polling loop: when its
  // passes repeat except for counters that change by the same amount each
  // pass, the clock jumps to the pass where a counter ends the loop or one
  // pass before the next event or the run's end. No jumps in runs with a
  // condition either.
  // Fast-forward of both kinds on (default) or off (every instruction runs).
  void set_idle_skip(bool on);
  bool idle_skip() const;

  bool faulted() const { return !fault_report_.empty(); }
  const std::string& fault_report() const { return fault_report_; }
  const std::vector<std::string>& messages() const { return messages_; }

  // --- driving the firmware ----------------------------------------------
  // Symbol address (functions with the Thumb bit cleared); throws when absent.
  std::uint32_t symbol(const std::string& name) const;
  std::optional<std::uint32_t> find_symbol(const std::string& name) const;
  std::string symbol_at(std::uint32_t addr) const;  // "name+0x12" or hex
  // Memory and registers as a debugger sees them: RAM and flash directly,
  // peripheral registers through their models (read side effects included).
  // Throw std::out_of_range for an address nothing owns.
  std::uint32_t read32(std::uint32_t addr);
  std::uint16_t read16(std::uint32_t addr);
  std::uint8_t read8(std::uint32_t addr);
  void write32(std::uint32_t addr, std::uint32_t v);
  void write16(std::uint32_t addr, std::uint16_t v);
  void write8(std::uint32_t addr, std::uint8_t v);
  std::uint32_t var32(const std::string& sym, std::uint32_t byte_offset = 0) { return read32(symbol(sym) + byte_offset); }
  void set_var32(const std::string& sym, std::uint32_t v, std::uint32_t byte_offset = 0) { write32(symbol(sym) + byte_offset, v); }
  // Calls a firmware function with up to 8 word arguments (AAPCS) on the
  // emulated core from the current context and returns r0. Interrupts keep
  // running during the call unless masked. Afterwards the core's registers
  // are back as they were. Throws on fault or time-out (the machine is then
  // left where it stopped).
  std::uint32_t call(const std::string& fn, std::initializer_list<std::uint32_t> args = {},
                     cycles_t limit = 10'000'000'000ull);
  std::uint32_t call(std::uint32_t addr, std::initializer_list<std::uint32_t> args = {},
                     cycles_t limit = 10'000'000'000ull);
  std::uint32_t reg(int n);            // r0..r15
  void set_reg(int n, std::uint32_t v);
  std::uint32_t pc();
  std::uint32_t xpsr();                // flags, execution state and IPSR
  std::uint32_t primask();
  std::uint32_t control();
  // Where the core is: PC and LR with symbols, SP, the current exception.
  std::string where();

  // --- debugging (a debugger halting and stepping the core) ---------------
  // On: the core notes every instruction it starts, so breakpoints may sit
  // anywhere, steps stop after one instruction and a bad access reports the
  // exact instruction (off: the start of its block). Slower while on.
  void debug_attach(bool on);
  bool debug_attached() const;
  // Breakpoints at instruction addresses (bit 0 ignored) and watchpoints on
  // [addr, addr + len); false when the request cannot be met.
  bool add_breakpoint(std::uint32_t addr);
  bool remove_breakpoint(std::uint32_t addr);
  bool add_watchpoint(std::uint32_t addr, std::uint32_t len, WatchKind kind);
  bool remove_watchpoint(std::uint32_t addr, std::uint32_t len, WatchKind kind);
  // Runs until a breakpoint, a watchpoint (reported after the accessing
  // instruction, as the chip's data watchpoints do), the end of one
  // instruction (step), a fault or `limit` cycles. An exception taken before
  // a step's instruction ends the step at the handler's first instruction.
  // A breakpoint at the PC the run starts from does not stop it at once.
  Stop debug_run(cycles_t limit, bool step);
  const DebugEvent& debug_event() const;
  std::uint32_t debug_reg(int n);  // n as in kDebugRegCount's order
  void set_debug_reg(int n, std::uint32_t v);
  // A register or memory as a debugger reads it, without side effects (a
  // read of USART DR leaves RXNE set); nullopt where nothing is or the model
  // has nothing to show. Never faults the board.
  std::optional<std::uint32_t> peek(std::uint32_t addr, unsigned size);
  // Flash as a probe programs it: bytes replaced, code translations dropped.
  bool program_flash(std::uint32_t addr, std::span<const std::uint8_t> bytes);
  // Forgets a fault report so the board can run again (after a reset).
  void clear_fault() { fault_report_.clear(); }

  // --- observation --------------------------------------------------------
  // Brought up to date on each call (cycles, time per context, stack depth).
  Stats& stats();
  // The model whose register window holds addr, or nullptr.
  const Peripheral* model_at(std::uint32_t addr) const;
  // History the models and the event queue keep (see Peripheral::retained):
  // stays bounded however long the board runs and whatever its traffic.
  std::size_t retained_state() const;
  Nvic& nvic();

private:
  struct Impl;
  Scheduler sched_;  // before impl_: the SysTick model holds on to it
  ClockControl* clock_control_ = nullptr;
  PinIo* pins_ = nullptr;
  Stats stats_;
  std::string fault_report_;
  std::vector<std::string> messages_;
  // From cycle `from` on the core ran at `hz`; `ms` is the device time then.
  struct ClockSpan {
    cycles_t from;
    double ms;
    std::uint32_t hz;
  };
  std::vector<ClockSpan> clock_spans_{{0, 0.0, ClockTree{}.hclk}};
  std::unique_ptr<Impl> impl_;
};

}  // namespace vb
