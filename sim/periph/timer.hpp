// The STM32F40x timers of the kinds this board has (advanced TIM1/TIM8,
// general-purpose TIM3/4 and TIM10/11/13/14, basic TIM6/7) as one model: the
// register set of each kind, the up-counter with prescaler, auto-reload and
// repetition counter, the shadow registers that take their preload values at
// the update event, update and compare-match flags, and the interrupt lines.
//
// The counter is not ticked: its value follows from the cycles elapsed since
// the last change (computed when read), and an event is scheduled only for
// what somebody waits for (an enabled interrupt or DMA request, an update
// listener, one-pulse stop).
//
// Outputs: a channel in toggle mode with its output enabled (CCxE, and MOE
// on the advanced timers) carries a square wave of half the update rate;
// the model does not toggle the pin at each match but says which clock the
// channel puts out (output_clock_hz), and the board routes it through the
// pin's alternate function. Frozen channels only set their flags.
// DMA requests: the update request goes to the DMA stream it is connected
// to; with no stream listening it costs no event.
//
// ARR lowered below the count without preload: the counter runs on to
// 0xFFFF and wraps before the new period starts; the outputs hold the level
// of the count until then and change at the wrap, as on the chip.
//
// PWM modes 1 and 2 and the forced levels are computed the same way: a
// channel says what it puts out (output(): frequency and share of the period
// high, or a constant level) and tells its listeners whenever that may have
// changed (a register write, an update event, a clock change). The pin
// follows the channel only through its alternate function, which the board
// checks.
//
// Not modelled yet, reported when used: down and centre-aligned counting,
// slave modes, input capture, the output modes active/inactive on match on
// an enabled output, DMA requests without a connected stream (and the
// capture/compare, COM and trigger requests). Dead time and break inputs
// have no effect (registers stored).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

class Dma;

namespace tim_reg {
inline constexpr std::uint32_t CR1 = 0x00;
inline constexpr std::uint32_t CR2 = 0x04;
inline constexpr std::uint32_t SMCR = 0x08;
inline constexpr std::uint32_t DIER = 0x0C;
inline constexpr std::uint32_t SR = 0x10;
inline constexpr std::uint32_t EGR = 0x14;
inline constexpr std::uint32_t CCMR1 = 0x18;
inline constexpr std::uint32_t CCMR2 = 0x1C;
inline constexpr std::uint32_t CCER = 0x20;
inline constexpr std::uint32_t CNT = 0x24;
inline constexpr std::uint32_t PSC = 0x28;
inline constexpr std::uint32_t ARR = 0x2C;
inline constexpr std::uint32_t RCR = 0x30;
inline constexpr std::uint32_t CCR1 = 0x34;  // CCR2-4 follow every 4 bytes
inline constexpr std::uint32_t BDTR = 0x44;
inline constexpr std::uint32_t DCR = 0x48;
inline constexpr std::uint32_t DMAR = 0x4C;

inline constexpr std::uint32_t CR1_CEN = 1u << 0;
inline constexpr std::uint32_t CR1_UDIS = 1u << 1;
inline constexpr std::uint32_t CR1_URS = 1u << 2;
inline constexpr std::uint32_t CR1_OPM = 1u << 3;
inline constexpr std::uint32_t CR1_DIR = 1u << 4;
inline constexpr std::uint32_t CR1_CMS = 3u << 5;
inline constexpr std::uint32_t CR1_ARPE = 1u << 7;
inline constexpr std::uint32_t SMCR_SMS = 7u << 0;
inline constexpr std::uint32_t SR_UIF = 1u << 0;
constexpr std::uint32_t SR_CCIF(int ch) { return 1u << (ch + 1); }  // ch 0..3
inline constexpr std::uint32_t SR_COMIF = 1u << 5;
inline constexpr std::uint32_t SR_TIF = 1u << 6;
inline constexpr std::uint32_t SR_BIF = 1u << 7;
inline constexpr std::uint32_t DIER_UIE = 1u << 0;
inline constexpr std::uint32_t DIER_UDE = 1u << 8;
constexpr std::uint32_t DIER_CCDE(int ch) { return 1u << (ch + 9); }
// CCMRx field of channel ch: CCxS (mode: 00 output) and OCxPE (preload).
constexpr unsigned ccmr_shift(int ch) { return (ch & 1) * 8; }
constexpr std::uint32_t ccmr_of(int ch) { return ch < 2 ? CCMR1 : CCMR2; }
inline constexpr std::uint32_t CCMR_CCS = 3u << 0;
inline constexpr std::uint32_t CCMR_OCPE = 1u << 3;
inline constexpr unsigned CCMR_OCM_POS = 4;  // OCxM, 3 bits
inline constexpr std::uint32_t OCM_FROZEN = 0;
inline constexpr std::uint32_t OCM_TOGGLE = 3;
inline constexpr std::uint32_t OCM_FORCE_LOW = 4;
inline constexpr std::uint32_t OCM_FORCE_HIGH = 5;
inline constexpr std::uint32_t OCM_PWM1 = 6;
inline constexpr std::uint32_t OCM_PWM2 = 7;
constexpr std::uint32_t CCER_CCP(int ch) { return 1u << (4 * ch + 1); }
constexpr std::uint32_t CCER_CCE(int ch) { return 1u << (4 * ch); }
constexpr std::uint32_t CCER_CCNE(int ch) { return 1u << (4 * ch + 2); }
inline constexpr std::uint32_t BDTR_MOE = 1u << 15;
// DIER DMA request bits: update, capture/compare 1-4, COM, trigger.
inline constexpr std::uint32_t DIER_DMA = 0x7F00;

// The register sets of the timer kinds.
inline constexpr std::array<RegDef, 20> kAdvancedMap{{
    {"CR1", CR1, 0, 0x03FF},
    {"CR2", CR2, 0, 0x7FFD},
    {"SMCR", SMCR, 0, 0xFFF7},
    {"DIER", DIER, 0, 0x7FFF},
    {"SR", SR, 0, 0, 0, 0x1EFF},
    {"EGR", EGR, 0, 0},  // write-only event bits, read 0
    {"CCMR1", CCMR1, 0, 0xFFFF},
    {"CCMR2", CCMR2, 0, 0xFFFF},
    {"CCER", CCER, 0, 0x3FFF},
    {"CNT", CNT, 0, 0xFFFF},
    {"PSC", PSC, 0, 0xFFFF},
    {"ARR", ARR, 0xFFFF, 0xFFFF},
    {"RCR", RCR, 0, 0x00FF},
    {"CCR1", CCR1, 0, 0xFFFF},
    {"CCR2", CCR1 + 4, 0, 0xFFFF},
    {"CCR3", CCR1 + 8, 0, 0xFFFF},
    {"CCR4", CCR1 + 12, 0, 0xFFFF},
    {"BDTR", BDTR, 0, 0xFFFF},
    {"DCR", DCR, 0, 0x1F1F},
    {"DMAR", DMAR, 0, 0xFFFF},
}};
// TIM3, TIM4 (16-bit counter, four channels).
inline constexpr std::array<RegDef, 18> kGeneralMap{{
    {"CR1", CR1, 0, 0x03FF},
    {"CR2", CR2, 0, 0x00F8},
    {"SMCR", SMCR, 0, 0xFFF7},
    {"DIER", DIER, 0, 0x5F5F},
    {"SR", SR, 0, 0, 0, 0x1E5F},
    {"EGR", EGR, 0, 0},
    {"CCMR1", CCMR1, 0, 0xFFFF},
    {"CCMR2", CCMR2, 0, 0xFFFF},
    {"CCER", CCER, 0, 0xBBBB},
    {"CNT", CNT, 0, 0xFFFF},
    {"PSC", PSC, 0, 0xFFFF},
    {"ARR", ARR, 0xFFFF, 0xFFFF},
    {"CCR1", CCR1, 0, 0xFFFF},
    {"CCR2", CCR1 + 4, 0, 0xFFFF},
    {"CCR3", CCR1 + 8, 0, 0xFFFF},
    {"CCR4", CCR1 + 12, 0, 0xFFFF},
    {"DCR", DCR, 0, 0x1F1F},
    {"DMAR", DMAR, 0, 0xFFFF},
}};
// TIM10, TIM11, TIM13, TIM14 (one channel).
inline constexpr std::array<RegDef, 10> kOneChannelMap{{
    {"CR1", CR1, 0, 0x038F},
    {"DIER", DIER, 0, 0x0003},
    {"SR", SR, 0, 0, 0, 0x0203},
    {"EGR", EGR, 0, 0},
    {"CCMR1", CCMR1, 0, 0x007F},
    {"CCER", CCER, 0, 0x000B},
    {"CNT", CNT, 0, 0xFFFF},
    {"PSC", PSC, 0, 0xFFFF},
    {"ARR", ARR, 0xFFFF, 0xFFFF},
    {"CCR1", CCR1, 0, 0xFFFF},
}};
// TIM6, TIM7 (no channels).
inline constexpr std::array<RegDef, 8> kBasicMap{{
    {"CR1", CR1, 0, 0x008F},
    {"CR2", CR2, 0, 0x0070},
    {"DIER", DIER, 0, 0x0101},
    {"SR", SR, 0, 0, 0, 0x0001},
    {"EGR", EGR, 0, 0},
    {"CNT", CNT, 0, 0xFFFF},
    {"PSC", PSC, 0, 0xFFFF},
    {"ARR", ARR, 0xFFFF, 0xFFFF},
}};
}  // namespace tim_reg

enum class TimerKind { kAdvanced, kGeneral, kOneChannel, kBasic };

// What a timer channel puts on its output: nothing (output disabled), a
// constant level, or a periodic wave of `hz` that is high for `duty` (0-1)
// of each period.
struct ChannelOutput {
  bool driven = false;
  double hz = 0;      // 0: constant level
  double duty = 0;    // share of the period high; 0 or 1 for a constant level
  bool operator==(const ChannelOutput&) const = default;
  bool high() const { return driven && hz == 0 && duty >= 1; }
};

// The kind of the timer at `base` (by address; the board has TIM4, TIM6 and
// TIM10 besides the advanced TIM1 and TIM8).
TimerKind timer_kind(std::uint32_t base, bool advanced);
std::span<const RegDef> timer_map(TimerKind k);

class Timer : public RegModel {
public:
  // irq_update: the update interrupt (for advanced timers the break,
  // trigger/commutation and capture/compare lines are the one below and the
  // two above, as on the chip); -1 for none.
  Timer(std::string name, std::uint32_t base, ClockGate gate, int irq_update, bool advanced);

  std::uint32_t read(std::uint32_t offset) override;
  std::optional<std::uint32_t> debug_peek(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // The RCC's change listener: counts up to now at the old rate, then
  // continues at the new one (also when the timer's clock gate changed).
  void clocks_changed();
  // Called at every update event, after the shadow registers were loaded
  // (for trigger outputs of later models).
  void on_update(std::function<void()> fn);
  // The update DMA request (UDE) goes to `channel` of `stream` of `dma`.
  void connect_update_dma(Dma& dma, int stream, int channel);
  // The timer's DMA requests go to a controller the board has no model of
  // (TIM1's to DMA2): setting up one of its streams would be reported as an
  // access nobody owns, so a request enabled here can only go unanswered,
  // as on a chip whose streams are all off. Enabling them is then no gap.
  void requests_to_unmodelled_dma() { dma_unused_ = true; }

  // --- observation --------------------------------------------------------
  TimerKind kind() const { return kind_; }
  std::span<const RegDef> reg_map() const { return regs_.map(); }
  // Update events since reset (UG included), counted up to now.
  std::uint64_t update_events() { sync_now(); return update_events_; }
  // The level this model last put on NVIC line `irq`.
  bool irq_level(int irq) const;
  // Counter clock now: the APB timer clock divided by the active prescaler.
  double counter_hz() const;
  std::uint32_t counter() { sync_now(); return cnt_; }
  // The frequency of the square wave channel `ch` (0-3) puts out now; 0 when
  // it puts out none (not toggling, output off, counter stopped).
  double output_clock_hz(int ch) const;
  // What channel `ch` (0-3) puts out now, as its enable, mode, polarity and
  // active compare and reload values make it.
  ChannelOutput output(int ch);
  // Called whenever the channel outputs may have changed.
  void on_output_change(std::function<void()> fn) { output_listeners_.push_back(std::move(fn)); }

private:
  void write_cr1(std::uint32_t value, std::uint32_t mask);
  void write_egr(std::uint32_t value, std::uint32_t mask);
  void update_preloaded(std::uint32_t offset);
  std::optional<std::uint32_t> dmar_target();

  bool counting() const;
  std::uint32_t timer_clock() const;
  void refresh_rates();
  void sync_now();
  void sync(cycles_t t);
  void advance(std::uint64_t ticks);
  void count(std::uint64_t increments);
  void overflow();
  void bulk_overflows(std::uint64_t k);
  void update_event(bool from_counter);
  void load_shadows();
  bool shadows_current() const;
  bool output_channel(int ch) const;
  std::uint64_t increments_to(std::uint32_t value) const;
  void schedule();
  void update_irq();
  void set_line(int slot, int irq, bool level);
  void check_modes();
  bool dma_listening() const;
  void dma_request();

  static constexpr std::uint32_t kMax = 0xFFFF;  // every counter here is 16 bits wide
  TimerKind kind_;
  bool apb2_;
  int irq_update_;
  int channels_;
  std::uint32_t events_mask_;  // EGR bits this kind has
  RegBank regs_;
  std::vector<std::function<void()>> listeners_;
  std::vector<std::function<void()>> output_listeners_;
  void outputs_changed();
  Dma* dma_ = nullptr;
  bool dma_unused_ = false;
  int dma_stream_ = 0, dma_channel_ = 0;

  // Counting state at `anchor_` (machine cycle); phase_ is the fraction of a
  // timer-clock tick already elapsed, in units of 1/hclk_.
  cycles_t anchor_ = 0;
  std::uint64_t phase_ = 0;
  std::uint32_t hclk_ = 0, tim_clk_ = 0;
  bool gate_running_ = false;
  std::uint32_t cnt_ = 0;
  std::uint32_t pc_ = 0;  // prescaler counter
  std::uint32_t psc_active_ = 0, arr_active_ = 0, rep_count_ = 0;
  std::array<std::uint32_t, 4> ccr_active_{};
  std::uint64_t update_events_ = 0;
  unsigned dmar_index_ = 0;
  Scheduler::Handle event_ = 0;
  bool syncing_ = false;
  std::array<bool, 4> line_level_{};  // BRK, UP (or the only line), TRG_COM, CC
};

}  // namespace vb
