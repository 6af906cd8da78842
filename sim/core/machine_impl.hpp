// Inside of Machine, shared by its source files: the engine handle, the
// memories, the MMIO regions, the exception bookkeeping and the run state
// the engine's hooks work on.
#pragma once
#include <unicorn/unicorn.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/core/elf.hpp"
#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"
#include "sim/core/thumb.hpp"
#include "sim/core/unknown_values.hpp"

namespace vb {

// The chip's memories.
namespace mem {
inline constexpr std::uint32_t kFlashBase = 0x08000000, kFlashSize = 1u << 20;  // aliased at 0
inline constexpr std::uint32_t kSramBase = 0x20000000, kSramSize = 128u << 10;   // SRAM1 + SRAM2
inline constexpr std::uint32_t kCcmBase = 0x10000000, kCcmSize = 64u << 10;
inline constexpr std::uint32_t kPage = 1024;  // the engine's mapping granule
}  // namespace mem

// Where a called firmware function returns to: in the never-executable
// system region, so the fetch stops the engine with this exact PC.
inline constexpr std::uint32_t kCallReturn = 0xF0F0F0F0;
// Stack paint, to find the deepest stack use afterwards.
inline constexpr std::uint32_t kStackPaint = 0xC5C5C5C5;

struct Machine::Impl {
  explicit Impl(Machine& owner);
  ~Impl();

  // --- memories ------------------------------------------------------------
  struct Memory {
    const char* name;
    std::uint32_t base, size;
    std::uint8_t* host;
    bool writable;
  };
  // Host bytes of [addr, addr + n) when that lies inside one memory.
  std::uint8_t* host(std::uint32_t addr, std::uint32_t n) const;
  const Memory* memory_at(std::uint32_t addr) const;
  // Code was rewritten: drop translations and cached counts.
  void invalidate_code(std::uint32_t addr, std::uint32_t n);

  // --- RAM pages in use ------------------------------------------------------
  // SRAM and CCM RAM start write-protected in the engine. The core's first
  // store to a page stops in on_bad_access, which marks the page in use,
  // lifts the protection and lets the store go on; what the board itself
  // stores into RAM while it runs (DMA, exception frames, the debugger, the
  // counted-loop jump) marks its pages too. A page not in use has not been
  // written since power-up, so the idle proof compares only pages in use.
  static constexpr std::uint32_t kSramPages = mem::kSramSize / mem::kPage;
  static constexpr std::uint32_t kRamPages = kSramPages + mem::kCcmSize / mem::kPage;
  // Page index of a RAM address (SRAM first, then CCM RAM), or -1.
  static int ram_page(std::uint32_t addr);
  std::uint8_t* ram_page_host(int page) const;
  // Marks the pages of [addr, addr + n) that are RAM as in use.
  void mark_ram(std::uint32_t addr, std::uint32_t n);
  // A core store hit a protected RAM page: true when it may go on.
  bool unprotect_ram(std::uint32_t addr, std::uint32_t n);
  std::array<bool, kRamPages> page_used{};
  std::array<bool, kRamPages> page_open{};  // protection lifted in the engine
  std::vector<int> used_pages;             // in the order they came into use

  // --- MMIO ----------------------------------------------------------------
  struct Region {
    Impl* impl;
    std::uint32_t base, size;
    std::vector<Peripheral*> models;  // usually one
    Peripheral* find(std::uint32_t addr) const;
  };
  Peripheral* model_at(std::uint32_t addr) const;
  bool gate_running(const Peripheral& p) const;
  static std::uint64_t mmio_read_cb(uc_engine* uc, std::uint64_t offset, unsigned size, void* user);
  static void mmio_write_cb(uc_engine* uc, std::uint64_t offset, unsigned size, std::uint64_t value, void* user);
  std::uint32_t mmio_read(Region& r, std::uint32_t addr, unsigned size);
  void mmio_write(Region& r, std::uint32_t addr, unsigned size, std::uint32_t value);
  void bad_mmio(const Peripheral* p, std::uint32_t addr, unsigned size, bool is_write, std::uint32_t value);
  // A model register as a debugger or DMA sees it; false when nothing owns
  // addr or the access is not within one aligned word.
  bool model_read(std::uint32_t addr, unsigned size, std::uint32_t& value, bool check_gate);
  bool model_write(std::uint32_t addr, unsigned size, std::uint32_t value, bool check_gate);
  template <typename T>
  T debug_read(std::uint32_t addr);
  template <typename T>
  void debug_write(std::uint32_t addr, T value);
  // The clock moves to this access within the running block.
  void clock_to_access();

  // --- registers -----------------------------------------------------------
  std::uint32_t reg(int uc_reg) const;
  void set_reg(int uc_reg, std::uint32_t v);
  static int core_reg(int n);  // r0..r15 -> engine register id
  // xPSR with IPSR (the engine's exception number, which MRS reads).
  void set_xpsr(std::uint32_t v);

  // --- running -------------------------------------------------------------
  // Why the block hook stopped the engine: to look at the state between
  // blocks (events, interrupts, limits, faults), or the run's condition.
  enum class HookStop { kNone, kCheck, kCondition, kDebug };
  static void on_block(uc_engine* uc, std::uint64_t addr, std::uint32_t size, void* user);
  static void on_interrupt(uc_engine* uc, std::uint32_t intno, void* user);
  static bool on_bad_access(uc_engine* uc, uc_mem_type type, std::uint64_t addr, int size, std::int64_t value,
                            void* user);
  // Block hook beyond the fast path; true when the run stops before the block.
  bool attend(std::uint32_t addr);
  void update_attention();
  void record_pass();  // the block at stats.watch_pc runs now
  void stop_in_hook(HookStop why);
  // Exception ready to preempt now, or 0. Sets masked_pending_ when one
  // waits only for PRIMASK/BASEPRI/FAULTMASK.
  int ready_exception();
  bool wakes_from_sleep();

  Stop run(cycles_t end, const std::function<bool()>* pred, bool in_call);
  // Classifies how the engine stopped; returns a Stop when the run ends.
  std::optional<Stop> after_engine(uc_err err, bool in_call);

  // --- exceptions ----------------------------------------------------------
  void take_exception(int number);
  void exception_return(std::uint32_t exc_return);
  void switch_context(int to_exception);  // statistics bookkeeping
  std::string context() const;
  std::string cpu_fault_name(std::uint32_t intno) const;

  // --- idle-loop fast-forward (idle_loop.cpp) ------------------------------
  // One MMIO access of a loop pass.
  struct IdleAccess {
    const Peripheral* model;
    std::uint32_t addr, value;
    std::uint8_t size;
    bool write;
    bool operator==(const IdleAccess&) const = default;
  };
  // The core's registers at a visit of the loop head.
  struct IdleCore {
    static constexpr int kInt = 20, kFp = 33;  // r0-r12, sp, lr, xPSR, masks, CONTROL; s0-s31, FPSCR
    std::array<std::uint32_t, kInt + kFp> r{};
    int exception = 0;
    bool operator==(const IdleCore&) const = default;
  };
  struct IdleLoop {
    std::uint32_t head = 0xFFFFFFFF;  // set_idle_loop
    bool skip = true;                 // set_idle_skip
    // The pass being recorded since the last head visit; `open` is false
    // until a head visit starts one.
    bool open = false;
    bool clean = false;  // nothing but the pass's own instructions ran
    std::vector<IdleAccess> trace;
    cycles_t start_cycle = 0;
    std::uint64_t start_instructions = 0, start_events = 0;
    unsigned watch_hits = 0;
    // The last clean pass and how many clean passes in a row were equal to it.
    std::vector<IdleAccess> ref_trace;
    cycles_t ref_cycles = 0;
    std::uint64_t ref_instructions = 0;
    unsigned ref_watch_hits = 0;
    unsigned repeats = 0;
    // The pass read no peripheral register: it depends on the core and RAM
    // alone, and one pass proves the loop.
    bool ref_no_reads = false;
    // Head visits are numbered; the core and RAM images are kept from the
    // visit they were taken at.
    std::uint64_t visit = 0;
    IdleCore core;
    std::uint64_t core_visit = 0;
    std::vector<std::uint8_t> ram;  // the pages in use, by page index
    std::uint64_t ram_visit = 0;
    std::size_t ram_pages = 0;      // pages in use when the image was taken
    // Images taken in a row that no jump followed; past a few, images are
    // taken only now and then (a loop whose passes keep changing would
    // otherwise pay for one at every visit).
    unsigned image_misses = 0;
    // A head visit starts recording the next pass from here.
    void open_pass(cycles_t now, std::uint64_t instructions, std::uint64_t events) {
      open = true;
      clean = true;
      trace.clear();
      start_cycle = now;
      start_instructions = instructions;
      start_events = events;
      watch_hits = 0;
    }
  };
  // Forgets what the passes so far showed; the next skip needs fresh proof.
  void idle_restart();
  // Something other than the pass's own instructions happened (the engine
  // stopped for an exception, a sleep, a limit): the open pass is not idle.
  void idle_disturb() {
    idle.clean = false;
    poll.clean = false;
  }
  void idle_note(const Peripheral* p, std::uint32_t addr, unsigned size, std::uint32_t value, bool is_write);
  void idle_visit();  // the block at the loop head is about to run
  void idle_read_core(IdleCore& c) const;
  // Compares RAM with the image of the last visit and takes the new image.
  bool idle_ram_unchanged();
  // Whole passes that fit before the next event with one to spare, or 0.
  cycles_t idle_room() const;
  // Whole passes of `pass` cycles that fit before the next event or the
  // run's end with one to spare, or 0.
  cycles_t room_for(cycles_t pass) const;
  void idle_jump(cycles_t passes);

  // --- counted polling loops (poll_loop.cpp) -------------------------------
  // A block that reads the same peripheral register with the same result
  // several times in a row is taken as the head of a polling loop; its
  // passes are recorded like the main loop's and, once two repeat, the loop
  // is proven (LoopPass) and the clock jumps whole passes ahead.
  struct PollCandidate {
    std::uint32_t block = 0xFFFFFFFF, addr = 0, value = 0;
    unsigned streak = 0;
  };
  void poll_read(std::uint32_t addr, std::uint32_t value);  // a peripheral read of the running block
  bool poll_visit();  // the head is about to run; true when the engine was stopped after a jump
  bool poll_jump();
  void poll_forget();  // code or state changed: no head, nothing rejected

  // --- debugger support (debug.cpp) -----------------------------------------
  struct Watchpoint {
    std::uint32_t addr, len;
    WatchKind kind;
    uc_hook hook;
  };
  struct Debug {
    bool attached = false;
    uc_hook trace = 0;                   // code hook on every instruction
    std::vector<std::uint32_t> breakpoints;
    std::vector<Watchpoint> watchpoints;
    std::uint32_t last_insn = 0;         // the instruction the core started last
    // The run in progress.
    bool active = false, stepping = false, first = false;
    std::uint32_t resume_pc = 0;
    bool watch_hit = false;
    DebugEvent hit;                      // the watchpoint access seen
    DebugEvent event;                    // why the last debug_run stopped
    // A debugger's read: a model's report becomes a failed read.
    bool peeking = false, peek_failed = false;
  } dbg;
  static void on_debug_code(uc_engine* uc, std::uint64_t addr, std::uint32_t size, void* user);
  void debug_stop(std::uint32_t addr, DebugEvent event);
  void drop_translations();  // after hooks were added or removed

  // --- statistics ----------------------------------------------------------
  void sample_sp();
  void paint_stack();
  std::uint32_t painted_low_water() const;

  Machine& m;
  // Fast-path state of the block hook.
  std::uint64_t block_instructions = 0;  // the block that runs now
  cycles_t block_cycles = 0;             // its cycles not yet on the clock
  std::uint32_t block_end = 0;           // the address after its last instruction
  std::uint32_t block_start = 0;         // its first instruction
  cycles_t attention = 0;                // the hook looks closer from this cycle on
  std::uint32_t idle_head = 0xFFFFFFFF;  // loop head this run may fast-forward at
  std::uint32_t poll_head = 0xFFFFFFFF;  // polling loop head this run may fast-forward at
  std::uint32_t cur_block = 0xFFFFFFFF;  // the block running now
  std::uint32_t trap_addr = 0xFFFFFFFF;  // entering it is a fault
  std::uint32_t break_addr = 0xFFFFFFFF; // run_until_pc
  bool break_skip = false;               // the run began where the last one broke
  bool stopped_at_break = false;

  uc_engine* uc = nullptr;
  std::vector<uc_hook> hooks;
  std::unique_ptr<std::uint8_t[]> flash, sram, ccm;
  std::vector<Memory> memories;
  std::vector<std::unique_ptr<Region>> regions;
  std::vector<Peripheral*> models;  // every attached model, by base address
  Nvic nvic;
  std::unique_ptr<Elf> elf;
  BlockCounter counter;
  unsigned cpi = 1;
  std::function<void(const std::string&)> message_sink;
  UnknownValues unknown;  // core registers' values at each reset
  IdleLoop idle;
  IdleLoop poll;  // poll.head: the polling loop's head, when one is known
  PollCandidate poll_candidate;
  std::vector<std::uint32_t> poll_rejected;  // heads whose loops could not be proven
  bool may_skip = false;                     // this run may fast-forward


  // Run state.
  cycles_t end = kNever;
  const std::function<bool()>* pred = nullptr;
  bool running = false;
  bool in_mmio = false;
  bool masked_pending = false;
  bool sleeping = false;
  bool sleep_wfe = false;  // the sleep began with WFE (else WFI)
  HookStop hook_stop = HookStop::kNone;
  int intr_no = -1;
  struct BadAccess {
    bool seen = false;
    uc_mem_type type{};
    std::uint32_t addr = 0;
    int size = 0;
    std::uint32_t value = 0;
    std::uint32_t regs[15]{};  // r0-r12, sp, lr as the faulting instruction found them
    std::uint32_t xpsr = 0;
  } bad;

  // Statistics bookkeeping.
  int ctx_exception = exc::kThread;
  cycles_t ctx_since = 0;
  std::uint32_t watched = 0;
  cycles_t last_pass = 0;
  bool have_pass = false;
  std::uint32_t initial_sp = 0;
  bool stack_painted = false;
};

}  // namespace vb
