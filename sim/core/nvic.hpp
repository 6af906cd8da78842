// The Cortex-M4 system control space (0xE000E000-0xE000EFFF) and the
// exception state behind it: the NVIC (enable, pending, active and priority
// of IRQ 0-81), the SCB (CPUID, ICSR, VTOR, AIRCR with PRIGROUP, SCR, CCR,
// system handler priorities and state, fault status, CPACR), SysTick and
// the FPU context registers.
//
// The model keeps the exception bookkeeping (what is pending, what is active
// in which nesting order, which pending exception comes next); the machine
// asks it when to preempt and does the stacking on the emulated core.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/core/systick.hpp"

namespace vb {

// Exception numbers (IPSR values; the vector table index).
namespace exc {
inline constexpr int kThread = 0;
inline constexpr int kReset = 1;
inline constexpr int kNmi = 2;
inline constexpr int kHardFault = 3;
inline constexpr int kMemManage = 4;
inline constexpr int kBusFault = 5;
inline constexpr int kUsageFault = 6;
inline constexpr int kSvCall = 11;
inline constexpr int kDebugMonitor = 12;
inline constexpr int kPendSv = 14;
inline constexpr int kSysTick = 15;
inline constexpr int kIrq0 = 16;
inline constexpr int kIrqCount = 82;  // IRQ 0-81 on the STM32F40x
inline constexpr int kCount = kIrq0 + kIrqCount;
}  // namespace exc

// "SysTick", "IRQ 39 (USART3)", ... for reports.
std::string exception_name(int number);

namespace scs_reg {
inline constexpr std::uint32_t ICTR = 0x004;
inline constexpr std::uint32_t ACTLR = 0x008;
inline constexpr std::uint32_t SYST = 0x010;  // SysTick block, 0x010-0x01F
inline constexpr std::uint32_t ISER = 0x100;
inline constexpr std::uint32_t ICER = 0x180;
inline constexpr std::uint32_t ISPR = 0x200;
inline constexpr std::uint32_t ICPR = 0x280;
inline constexpr std::uint32_t IABR = 0x300;
inline constexpr std::uint32_t IPR = 0x400;  // 60 words, one byte per IRQ
inline constexpr std::uint32_t CPUID = 0xD00;
inline constexpr std::uint32_t ICSR = 0xD04;
inline constexpr std::uint32_t VTOR = 0xD08;
inline constexpr std::uint32_t AIRCR = 0xD0C;
inline constexpr std::uint32_t SCR = 0xD10;
inline constexpr std::uint32_t CCR = 0xD14;
inline constexpr std::uint32_t SHPR1 = 0xD18;
inline constexpr std::uint32_t SHPR2 = 0xD1C;
inline constexpr std::uint32_t SHPR3 = 0xD20;
inline constexpr std::uint32_t SHCSR = 0xD24;
inline constexpr std::uint32_t CFSR = 0xD28;
inline constexpr std::uint32_t HFSR = 0xD2C;
inline constexpr std::uint32_t DFSR = 0xD30;
inline constexpr std::uint32_t MMFAR = 0xD34;
inline constexpr std::uint32_t BFAR = 0xD38;
inline constexpr std::uint32_t AFSR = 0xD3C;
inline constexpr std::uint32_t CPACR = 0xD88;
inline constexpr std::uint32_t STIR = 0xF00;
inline constexpr std::uint32_t FPCCR = 0xF34;
inline constexpr std::uint32_t FPCAR = 0xF38;
inline constexpr std::uint32_t FPDSCR = 0xF3C;
inline constexpr std::uint32_t MVFR0 = 0xF40;
inline constexpr std::uint32_t MVFR1 = 0xF44;

inline constexpr std::uint32_t kCpuid = 0x410FC241;       // Cortex-M4 r0p1
inline constexpr std::uint32_t kIctr = 2;                 // 96 interrupt lines in 3 words
inline constexpr std::uint32_t kPriorityBits = 0xF0;      // 4 implemented priority bits
inline constexpr std::uint32_t kVtorMask = 0x3FFFFF80;    // TBLOFF, bits 29:7
// 98 vector table entries round up to 128 words: the table is 512-byte
// aligned, so TBLOFF bits 8:7 must be zero.
inline constexpr std::uint32_t kVtorAlign = 0x180;
inline constexpr std::uint32_t kCpacrFpu = 0x00F00000;    // CP10 and CP11 access fields
inline constexpr std::uint32_t kFpccrReset = 0xC0000000;  // ASPEN | LSPEN
inline constexpr std::uint32_t kMvfr0 = 0x10110021;       // single precision, FPv4
inline constexpr std::uint32_t kMvfr1 = 0x11000011;
inline constexpr std::uint32_t ICSR_RETTOBASE = 1u << 11;
inline constexpr std::uint32_t ICSR_ISRPENDING = 1u << 22;
inline constexpr std::uint32_t ICSR_PENDSTCLR = 1u << 25;
inline constexpr std::uint32_t ICSR_PENDSTSET = 1u << 26;
inline constexpr std::uint32_t ICSR_PENDSVCLR = 1u << 27;
inline constexpr std::uint32_t ICSR_PENDSVSET = 1u << 28;
inline constexpr std::uint32_t ICSR_NMIPENDSET = 1u << 31;
inline constexpr std::uint32_t AIRCR_VECTKEY = 0x05FA;
inline constexpr std::uint32_t AIRCR_VECTKEYSTAT = 0xFA05u << 16;
inline constexpr std::uint32_t AIRCR_VECTRESET = 1u << 0;
inline constexpr std::uint32_t AIRCR_VECTCLRACTIVE = 1u << 1;
inline constexpr std::uint32_t AIRCR_SYSRESETREQ = 1u << 2;
inline constexpr std::uint32_t SCR_SLEEPONEXIT = 1u << 1;
inline constexpr std::uint32_t SCR_SLEEPDEEP = 1u << 2;
inline constexpr std::uint32_t SCR_SEVONPEND = 1u << 4;
inline constexpr std::uint32_t CCR_STKALIGN = 1u << 9;
inline constexpr std::uint32_t kCcrReset = CCR_STKALIGN;
inline constexpr std::uint32_t kCcrWritable = 0x31B;
inline constexpr std::uint32_t SHCSR_ENA = 7u << 16;  // MEMFAULTENA, BUSFAULTENA, USGFAULTENA
}  // namespace scs_reg

class Nvic : public Peripheral {
public:
  static constexpr std::uint32_t kBase = 0xE000E000;
  static constexpr std::uint32_t kSize = 0x1000;
  static constexpr int kNoPriority = 256;  // execution priority of thread mode

  // `changed` runs after every change that may make an exception ready
  // (pending, enable, priority, grouping, return).
  Nvic(Scheduler& sched, std::function<void()> changed);

  std::uint32_t read(std::uint32_t offset) override;
  std::optional<std::uint32_t> debug_peek(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;
  // Everything but SysTick changes only on access or exception; SysTick's
  // counter follows the clock.
  bool idle_repeatable(std::uint32_t offset, bool is_write) const override;

  // --- exception state ----------------------------------------------------
  void set_pending(int number);
  void clear_pending(int number);
  // Device interrupt line, level-sensitive: a rising level pends the
  // interrupt; a level still high when its handler returns pends it again.
  // Some lines have several sources (TIM1 update and TIM10 on IRQ 25, TIM6
  // and the DAC on IRQ 54): the line is high while any source asserts it.
  // `source` tells the sources apart (the model's address); every caller
  // that passes none counts as one and the same source.
  void set_irq_level(int irq, bool level, const void* source = nullptr);
  bool irq_level(int irq) const { return level_.at(irq); }

  bool pending(int number) const { return pending_.at(number); }
  bool active(int number) const { return active_.at(number); }
  bool enabled(int number) const;
  // Priority value: -3 (reset), -2 (NMI), -1 (HardFault), else 0-255 with
  // the unimplemented low bits zero.
  int priority(int number) const;
  void set_priority(int number, std::uint8_t value);
  // The preemption (group) part of a priority value under PRIGROUP.
  int group_priority(int priority) const;
  std::uint32_t prigroup() const { return prigroup_; }

  // The enabled pending exception to take next (lowest priority value, then
  // lowest number), or 0 when nothing is pending.
  int next_pending() const;
  // Execution priority from the active exceptions alone (kNoPriority in
  // thread mode with nothing active).
  int active_priority() const;
  // Execution priority including the core's mask registers.
  int execution_priority(bool primask, std::uint8_t basepri, bool faultmask) const;

  // Exception entry: pending -> active, on top of the nesting stack.
  void activate(int number);
  // Exception return: the current exception becomes inactive; returns it.
  int deactivate();
  int current() const { return stack_.empty() ? exc::kThread : stack_.back(); }
  const std::vector<int>& active_stack() const { return stack_; }

  // The core's event register (WFE): set by SEV, exception entry and return,
  // and with SCR SEVONPEND by any exception becoming pending; clear at reset.
  void signal_event() { event_ = true; }
  // Clears the event register; returns whether it was set.
  bool take_event() { return std::exchange(event_, false); }

  std::uint32_t vtor() const { return vtor_; }
  std::uint32_t cpacr() const { return cpacr_; }
  bool stack_align8() const { return ccr_ & scs_reg::CCR_STKALIGN; }
  SysTickTimer& systick() { return systick_; }

private:
  std::uint32_t read_icsr() const;
  std::uint32_t read_shcsr() const;
  void write_icsr(std::uint32_t value);
  void write_aircr(std::uint32_t value, std::uint32_t mask);
  // ISER/ICER/ISPR/ICPR word `word` (32 IRQs).
  std::uint32_t irq_bits(const std::array<bool, exc::kCount>& set, unsigned word) const;
  void mark_pending(int number, bool pending);
  void update();

  std::function<void()> changed_;
  SysTickTimer systick_;
  std::array<bool, exc::kCount> enabled_{}, pending_{}, active_{};
  std::array<std::uint8_t, exc::kCount> priority_{};
  std::array<bool, exc::kIrqCount> level_{};
  std::array<std::vector<const void*>, exc::kIrqCount> sources_;  // asserting, per line
  std::array<std::uint64_t, 2> pending_bits_{};  // bit n: exception n pending, for the scan
  static_assert(exc::kCount <= 128);
  std::vector<int> stack_;  // active exceptions, outermost first
  std::uint32_t prigroup_ = 0;
  std::uint32_t vtor_ = 0;
  std::uint32_t actlr_ = 0;
  std::uint32_t scr_ = 0;
  std::uint32_t ccr_ = scs_reg::kCcrReset;
  std::uint32_t shcsr_ena_ = 0;
  std::uint32_t cpacr_ = 0;
  std::uint32_t fpccr_ = scs_reg::kFpccrReset;
  std::uint32_t fpcar_ = 0;
  std::uint32_t fpdscr_ = 0;
  bool event_ = false;
  mutable int next_ = 0;
  mutable bool next_valid_ = false;
};

}  // namespace vb
