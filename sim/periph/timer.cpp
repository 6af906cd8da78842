#include "sim/periph/timer.hpp"

#include <algorithm>

#include "sim/core/machine.hpp"
#include "sim/periph/dma.hpp"

namespace vb {

using namespace tim_reg;

namespace {
using u128 = unsigned __int128;

int channel_count(TimerKind k) {
  switch (k) {
    case TimerKind::kAdvanced: case TimerKind::kGeneral: return 4;
    case TimerKind::kOneChannel: return 1;
    case TimerKind::kBasic: return 0;
  }
  return 0;
}
}  // namespace

TimerKind timer_kind(std::uint32_t base, bool advanced) {
  if (advanced) return TimerKind::kAdvanced;
  switch (base) {
    case 0x40001000: case 0x40001400: return TimerKind::kBasic;                // TIM6, TIM7
    case 0x40014400: case 0x40014800: case 0x40001C00: case 0x40002000:
      return TimerKind::kOneChannel;                                           // TIM10, 11, 13, 14
    default: return TimerKind::kGeneral;                                       // TIM3, TIM4
  }
}

std::span<const RegDef> timer_map(TimerKind k) {
  switch (k) {
    case TimerKind::kAdvanced: return kAdvancedMap;
    case TimerKind::kGeneral: return kGeneralMap;
    case TimerKind::kOneChannel: return kOneChannelMap;
    case TimerKind::kBasic: return kBasicMap;
  }
  return kGeneralMap;
}

Timer::Timer(std::string name, std::uint32_t base, ClockGate gate, int irq_update, bool advanced)
    : RegModel(std::move(name), base, 0x400, gate),
      kind_(timer_kind(base, advanced)),
      apb2_(base >= 0x40010000),  // APB2 starts at 0x40010000
      irq_update_(irq_update),
      channels_(channel_count(kind_)),
      regs_(timer_map(kind_)) {
  // Each EGR bit generates the SR flag at the same position.
  events_mask_ = regs_.def(SR).w0c & 0xFF;
  reset();
}

// --- decoding ---------------------------------------------------------------

std::optional<std::uint32_t> Timer::debug_peek(std::uint32_t offset) {
  // DMAR reads stand for a register DCR selects and move the burst on.
  if (offset == DMAR) return std::nullopt;
  return read(offset);
}

std::uint32_t Timer::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  switch (offset) {
    case CNT: return counter();
    case SR: sync_now(); return regs_[SR];
    case EGR: return 0;
    case DMAR: {
      const auto target = dmar_target();
      return target ? read(*target) : 0;
    }
    default: return regs_[offset];
  }
}

void Timer::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 2)) return;
  sync_now();
  switch (offset) {
    case CR1: write_cr1(value, mask); break;
    case EGR: write_egr(value, mask); break;
    case DMAR:
      if (const auto target = dmar_target()) write(*target, value, mask);
      return;
    case CNT: cnt_ = apply_write(regs_.def(CNT), cnt_, value, mask); break;
    case SMCR:
      regs_.store(SMCR, value, mask);
      if (regs_[SMCR] & SMCR_SMS) report("slave mode controller (SMCR SMS) is not modelled");
      break;
    default:
      regs_.store(offset, value, mask);
      update_preloaded(offset);
      break;
  }
  if (offset == CR1 || offset == DIER || offset == CCMR1 || offset == CCMR2 || offset == CCER) check_modes();
  update_irq();
  schedule();
  outputs_changed();
}

void Timer::outputs_changed() {
  for (auto& fn : output_listeners_) fn();
}

// Edge-aligned up-counting: PWM mode 1 is high while the counter is below
// the compare value, mode 2 from the compare value on; a compare value above
// ARR keeps mode 1 high all period, 0 keeps it low. A stopped counter holds
// the level of the count it stopped at.
ChannelOutput Timer::output(int ch) {
  ChannelOutput out;
  if (ch < 0 || ch >= channels_) return out;
  sync_now();
  const std::uint32_t ccer = regs_[CCER];
  if (!(ccer & CCER_CCE(ch))) return out;
  if (kind_ == TimerKind::kAdvanced && !(regs_[BDTR] & BDTR_MOE)) return out;
  const std::uint32_t field = regs_[ccmr_of(ch)] >> ccmr_shift(ch);
  if (field & CCMR_CCS) return out;  // input capture: the pin is an input
  out.driven = true;
  const std::uint32_t ocm = field >> CCMR_OCM_POS & 7;
  const std::uint32_t ccr = ccr_active_[ch];
  const double period = arr_active_ + 1.0;
  const bool running = counting();
  // ARR lowered below the count without preload: the counter runs on to
  // 0xFFFF and round through 0 before the new period begins; until then
  // the output holds the level of the count.
  const bool run_on = running && cnt_ > arr_active_;
  switch (ocm) {
    case OCM_PWM1: case OCM_PWM2: {
      const bool mode2 = ocm == OCM_PWM2;
      if (!running || run_on) {
        out.duty = ((cnt_ < ccr) != mode2) ? 1 : 0;
      } else if (ccr == 0 || ccr > arr_active_) {
        out.duty = ((ccr != 0) != mode2) ? 1 : 0;
      } else {
        out.hz = counter_hz() / period;
        out.duty = mode2 ? 1 - ccr / period : ccr / period;
      }
      break;
    }
    case OCM_TOGGLE:
      // The level between toggles is not tracked: a still toggle output reads low.
      if (running && !run_on && ccr <= arr_active_) {
        out.hz = counter_hz() / period / 2.0;
        out.duty = 0.5;
      }
      break;
    case OCM_FORCE_HIGH: out.duty = 1; break;
    default: break;  // frozen, forced low: the reference stays low (its reset level)
  }
  if (ccer & CCER_CCP(ch)) out.duty = 1 - out.duty;  // active low
  return out;
}

// What the model does not do is reported when the firmware turns it on.
void Timer::check_modes() {
  const std::uint32_t dier = regs_[DIER];
  if ((dier & DIER_UDE) && !dma_ && !dma_unused_) report("update DMA request (DIER UDE) goes to no modelled DMA stream");
  if ((dier & DIER_DMA & ~DIER_UDE) && !dma_unused_)
    report("capture/compare, COM and trigger DMA requests (DIER bits 9-14) are not modelled");
  if (channels_ == 0) return;
  const std::uint32_t ccer = regs_[CCER];
  for (int ch = 0; ch < channels_; ++ch) {
    if (!(ccer & (CCER_CCE(ch) | CCER_CCNE(ch)))) continue;
    const std::uint32_t field = regs_[ccmr_of(ch)] >> ccmr_shift(ch);
    const std::string name = "channel " + std::to_string(ch + 1);
    if (field & CCMR_CCS) {
      report(name + ": input capture is not modelled");
    } else if (const std::uint32_t ocm = field >> CCMR_OCM_POS & 7; ocm == 1 || ocm == 2) {
      report(name + ": output compare mode " + std::to_string(ocm) + " (CCMR OCxM) is not modelled");
    }
    if (ccer & CCER_CCNE(ch)) report(name + ": complementary outputs (CCER CCxNE) are not modelled");
  }
}

void Timer::connect_update_dma(Dma& dma, int stream, int channel) {
  dma_ = &dma;
  dma_stream_ = stream;
  dma_channel_ = channel;
  dma.connect_request(stream, channel);
  // A stream switching on or off: bring the counter up to the change first
  // (a request made while the stream was off waits in the DMA and is served
  // when the stream starts), then plan the next update for the stream.
  dma.on_stream_change(stream, [this](bool before) {
    if (before) {
      sync_now();
    } else {
      schedule();
    }
  });
}

bool Timer::dma_listening() const {
  return dma_ && (regs_[DIER] & DIER_UDE) && dma_->listening(dma_stream_, dma_channel_);
}

void Timer::dma_request() {
  if (dma_ && (regs_[DIER] & DIER_UDE)) dma_->request(dma_stream_, dma_channel_);
}

double Timer::output_clock_hz(int ch) const {
  if (ch < 0 || ch >= channels_ || !counting()) return 0;
  const std::uint32_t field = regs_[ccmr_of(ch)] >> ccmr_shift(ch);
  if ((field & CCMR_CCS) || (field >> CCMR_OCM_POS & 7) != OCM_TOGGLE) return 0;
  if (!(regs_[CCER] & CCER_CCE(ch))) return 0;
  if (kind_ == TimerKind::kAdvanced && !(regs_[BDTR] & BDTR_MOE)) return 0;
  if (ccr_active_[ch] > arr_active_) return 0;  // never matches: the output stands still
  if (cnt_ > arr_active_) return 0;              // running on to 0xFFFF: no match before the wrap
  // One toggle per counter period: the wave's period is two counter periods.
  return counter_hz() / (arr_active_ + 1.0) / 2.0;
}

void Timer::reset() {
  if (event_) machine().scheduler().cancel(event_);
  event_ = 0;
  regs_.reset();
  cnt_ = pc_ = 0;
  psc_active_ = 0;
  arr_active_ = regs_[ARR];
  rep_count_ = 0;
  ccr_active_.fill(0);
  dmar_index_ = 0;
  phase_ = 0;
  anchor_ = 0;
  if (dma_) dma_->withdraw_request(dma_stream_, dma_channel_);  // the request line drops with the reset
  hclk_ = tim_clk_ = 0;  // taken afresh at the next access
  for (int slot = 0; slot < 4; ++slot)
    if (line_level_[slot]) set_line(slot, slot - 1 + irq_update_, false);
  outputs_changed();
}

// ARR and CCRx reach their active (shadow) registers at once unless their
// preload is enabled (ARPE, OCxPE); PSC and RCR always wait for the update
// event.
void Timer::update_preloaded(std::uint32_t offset) {
  if (offset == ARR && !(regs_[CR1] & CR1_ARPE)) arr_active_ = regs_[ARR];
  if (offset >= CCR1 && offset < CCR1 + 4 * static_cast<std::uint32_t>(channels_)) {
    const int ch = static_cast<int>(offset - CCR1) / 4;
    if (!(regs_[ccmr_of(ch)] >> ccmr_shift(ch) & CCMR_OCPE)) ccr_active_[ch] = regs_[offset];
  }
}

void Timer::write_cr1(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[CR1];
  const std::uint32_t v = regs_.store(CR1, value, mask);
  if (v & (CR1_DIR | CR1_CMS))
    report("down and centre-aligned counting (CR1 DIR/CMS) are not modelled");
  if ((v & ~old & CR1_CEN)) {  // counting starts now, at the current prescaler phase
    anchor_ = machine().now();
    phase_ = 0;
  }
}

// Software events: UG re-initialises the counter and generates an update;
// the other bits set their flags.
void Timer::write_egr(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t ev = value & mask & events_mask_;
  if (ev & 1) {
    cnt_ = 0;
    pc_ = 0;
    if (!(regs_[CR1] & CR1_UDIS)) update_event(false);
  }
  regs_[SR] |= ev & ~1u;
}

// DMA burst access: each access goes to the register DBA + index and moves
// the index on, wrapping after DBL + 1 transfers.
std::optional<std::uint32_t> Timer::dmar_target() {
  const std::uint32_t dcr = regs_[DCR];
  const std::uint32_t dba = dcr & 0x1F, dbl = (dcr >> 8) & 0x1F;
  const std::uint32_t target = (dba + dmar_index_) * 4;
  dmar_index_ = (dmar_index_ + 1) % (dbl + 1);
  if (target == DMAR) {
    report("DMAR burst addresses DMAR itself");
    return std::nullopt;
  }
  return target;
}

void Timer::on_update(std::function<void()> fn) {
  listeners_.push_back(std::move(fn));
  schedule();
}

void Timer::clocks_changed() {
  refresh_rates();
  schedule();
  outputs_changed();
}

// --- counting -----------------------------------------------------------------

std::uint32_t Timer::timer_clock() const {
  const ClockTree& t = machine().clocks();
  return apb2_ ? t.tim_apb2 : t.tim_apb1;
}

bool Timer::counting() const {
  return (regs_[CR1] & CR1_CEN) && gate_running_ && arr_active_ != 0 && hclk_ != 0 && tim_clk_ != 0;
}

// Takes the current clock rates and gate state; the time before is counted
// at the old ones.
void Timer::refresh_rates() {
  const std::uint32_t hclk = machine().clocks().hclk, tim = timer_clock();
  const ClockControl* cc = machine().clock_control();
  const bool running = cc ? cc->running(gate()) : true;
  if (hclk == hclk_ && tim == tim_clk_ && running == gate_running_) return;
  sync(machine().now());
  hclk_ = hclk;
  tim_clk_ = tim;
  gate_running_ = running;
  phase_ = 0;
}

void Timer::sync_now() {
  refresh_rates();
  sync(machine().now());
}

// Brings the counter from anchor_ to cycle t.
void Timer::sync(cycles_t t) {
  // Not before a later re-anchor, and not from an update listener that
  // touches the timer while the counter is being moved on.
  if (t < anchor_ || syncing_) return;
  if (!counting()) {
    anchor_ = t;
    phase_ = 0;
    return;
  }
  const u128 total = u128(t - anchor_) * tim_clk_ + phase_;
  anchor_ = t;
  phase_ = static_cast<std::uint64_t>(total % hclk_);
  syncing_ = true;
  advance(static_cast<std::uint64_t>(total / hclk_));
  syncing_ = false;
}

// Moves the counter on by `ticks` timer-clock ticks, through overflows.
void Timer::advance(std::uint64_t ticks) {
  while (ticks > 0 && counting()) {
    const std::uint64_t period = std::uint64_t{psc_active_} + 1;
    const std::uint64_t to_overflow = increments_to(arr_active_) + 1;  // past ARR
    const std::uint64_t ticks_to_overflow = (period - pc_) + (to_overflow - 1) * period;
    if (ticks < ticks_to_overflow) {
      const std::uint64_t total = pc_ + ticks;
      pc_ = static_cast<std::uint32_t>(total % period);
      count(total / period);
      return;
    }
    ticks -= ticks_to_overflow;
    count(to_overflow - 1);
    pc_ = 0;
    overflow();
    // Whole counter periods in one step while nothing is left to load.
    if (ticks > 0 && counting() && !(regs_[CR1] & (CR1_OPM | CR1_UDIS)) && shadows_current()) {
      const std::uint64_t full = (std::uint64_t{arr_active_} + 1) * (std::uint64_t{psc_active_} + 1);
      if (const std::uint64_t k = ticks / full; k > 0) {
        bulk_overflows(k);
        ticks -= k * full;
      }
    }
  }
}

// Counter increments (up to kMax and round through 0, but not past an
// overflow at ARR); sets the flags of compare matches on the way.
void Timer::count(std::uint64_t n) {
  if (n == 0) return;
  for (int ch = 0; ch < channels_; ++ch) {
    if (!output_channel(ch)) continue;
    const std::uint64_t d = increments_to(ccr_active_[ch]);
    if (d >= 1 && d <= n) regs_[SR] |= SR_CCIF(ch);
  }
  cnt_ = static_cast<std::uint32_t>((cnt_ + n) & kMax);
}

// Increments from the counter value now until it reaches `value` (counting
// up, through kMax -> 0 when above ARR, but not through an overflow at ARR);
// ~0 when it does not get there before the next overflow.
std::uint64_t Timer::increments_to(std::uint32_t value) const {
  constexpr std::uint64_t kNot = ~std::uint64_t{0};
  if (cnt_ <= arr_active_) {
    if (value == arr_active_) return arr_active_ - cnt_;
    return (value > cnt_ && value <= arr_active_) ? value - cnt_ : kNot;
  }
  // Above ARR (ARR was lowered below the count): up to kMax, wrap, up to ARR.
  if (value > cnt_) return value - cnt_;
  if (value <= arr_active_) return std::uint64_t{kMax} - cnt_ + 1 + value;
  return kNot;
}

// The counter passed ARR: back to 0; every RCR + 1 overflows make an update.
void Timer::overflow() {
  cnt_ = 0;
  if (rep_count_ == 0) {
    if (!(regs_[CR1] & CR1_UDIS)) update_event(true);
  } else {
    --rep_count_;
  }
  for (int ch = 0; ch < channels_; ++ch)
    if (output_channel(ch) && ccr_active_[ch] == 0) regs_[SR] |= SR_CCIF(ch);
}

// k more overflows with unchanged settings, in one step.
void Timer::bulk_overflows(std::uint64_t k) {
  // rep_count_ reloads from RCR (only the advanced timers have one).
  const std::uint64_t per_update = (kind_ == TimerKind::kAdvanced ? std::uint64_t{regs_[RCR]} : 0) + 1;
  for (int ch = 0; ch < channels_; ++ch)
    if (output_channel(ch) && ccr_active_[ch] <= arr_active_) regs_[SR] |= SR_CCIF(ch);
  if (k <= rep_count_) {
    rep_count_ -= static_cast<std::uint32_t>(k);
    return;
  }
  const std::uint64_t after_first = k - rep_count_ - 1;
  const std::uint64_t updates = 1 + after_first / per_update;
  // Settings do not change between these updates: one load of the shadows
  // stands for all of them.
  update_event(true);
  rep_count_ = static_cast<std::uint32_t>(per_update - 1 - after_first % per_update);
  update_events_ += updates - 1;
  for (std::uint64_t i = 1; i < updates; ++i) {
    dma_request();
    for (auto& fn : listeners_) fn();
  }
}

// The update event: shadow registers take their preload values, the
// repetition counter restarts, UIF is set and DMA requested (not for UG
// when URS is set).
void Timer::update_event(bool from_counter) {
  load_shadows();
  // With URS set, UG updates the registers but requests neither an
  // interrupt nor DMA: only the counter's overflow does.
  const bool request = from_counter || !(regs_[CR1] & CR1_URS);
  if (request) regs_[SR] |= SR_UIF;
  if (from_counter && (regs_[CR1] & CR1_OPM)) regs_[CR1] &= ~CR1_CEN;
  ++update_events_;
  if (request) dma_request();
  for (auto& fn : listeners_) fn();
  outputs_changed();  // preloaded values and one-pulse stops take effect here
}

void Timer::load_shadows() {
  psc_active_ = regs_[PSC];
  arr_active_ = regs_[ARR];
  rep_count_ = kind_ == TimerKind::kAdvanced ? regs_[RCR] : 0;
  for (int ch = 0; ch < channels_; ++ch) ccr_active_[ch] = regs_[CCR1 + 4 * ch];
}

bool Timer::shadows_current() const {
  if (psc_active_ != regs_[PSC] || arr_active_ != regs_[ARR]) return false;
  for (int ch = 0; ch < channels_; ++ch)
    if (ccr_active_[ch] != regs_[CCR1 + 4 * ch]) return false;
  return true;
}

// Channels in output compare (CCxS = 00) flag their matches; capture
// channels wait for an input edge, which nothing delivers yet.
bool Timer::output_channel(int ch) const {
  return (regs_[ccmr_of(ch)] >> ccmr_shift(ch) & CCMR_CCS) == 0;
}

// Schedules one event at the next overflow or compare match that somebody
// waits for; the event brings the counter up to its time.
void Timer::schedule() {
  if (event_) machine().scheduler().cancel(event_);
  event_ = 0;
  if (!counting()) return;
  const std::uint32_t dier = regs_[DIER];
  // An interrupt flag already set stays set until the firmware clears it
  // (that write schedules again): a later update or match would change
  // nothing a read or the interrupt line shows, and reads catch up anyway.
  const std::uint32_t irq_wanted = dier & ~regs_[SR];
  const std::uint64_t period = std::uint64_t{psc_active_} + 1;
  const auto ticks_for = [&](std::uint64_t increments) { return (period - pc_) + (increments - 1) * period; };

  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  const std::uint64_t to_overflow = ticks_for(increments_to(arr_active_) + 1);
  std::uint64_t ticks = kNone;
  // An output watcher also waits for preloaded values (the prescaler always
  // is) to take effect: the wave changes at that update event.
  const bool want_update = (irq_wanted & DIER_UIE) || dma_listening() || !listeners_.empty() || (regs_[CR1] & CR1_OPM) ||
                           (!output_listeners_.empty() && !shadows_current());
  if (want_update) ticks = to_overflow;
  // A counter running on above ARR changes the outputs where it wraps to 0
  // (and where it passes a compare value on the way).
  const bool run_on = cnt_ > arr_active_ && !output_listeners_.empty();
  if (run_on) {
    ticks = std::min(ticks, ticks_for(increments_to(0)));
    for (int ch = 0; ch < channels_; ++ch)
      if (ccr_active_[ch] > cnt_) ticks = std::min(ticks, ticks_for(ccr_active_[ch] - cnt_));
  }
  for (int ch = 0; ch < channels_; ++ch) {
    if (!output_channel(ch) || !((irq_wanted & SR_CCIF(ch)) || (dier & DIER_CCDE(ch)))) continue;
    const std::uint64_t d = increments_to(ccr_active_[ch]);
    // A match after the overflow is found again from there.
    ticks = std::min(ticks, d == kNone || d == 0 ? to_overflow : std::min(ticks_for(d), to_overflow));
  }
  if (ticks == kNone) return;
  const u128 need = u128(ticks) * hclk_ - phase_;
  const cycles_t when = anchor_ + static_cast<cycles_t>((need + tim_clk_ - 1) / tim_clk_);
  event_ = machine().scheduler().at(when, [this, when, run_on] {
    event_ = 0;
    refresh_rates();
    sync(when);
    update_irq();
    schedule();
    if (run_on) outputs_changed();
  });
}

// Advanced timers have four lines (break, update, trigger/commutation,
// capture/compare); the others one line for all their flags.
void Timer::update_irq() {
  if (irq_update_ < 0) return;
  const std::uint32_t active = regs_[SR] & regs_[DIER] & 0xFF;
  if (kind_ == TimerKind::kAdvanced) {
    set_line(0, irq_update_ - 1, active & SR_BIF);
    set_line(1, irq_update_, active & SR_UIF);
    set_line(2, irq_update_ + 1, active & (SR_TIF | SR_COMIF));
    set_line(3, irq_update_ + 2, active & 0x1E);
  } else {
    set_line(1, irq_update_, active != 0);
  }
}

void Timer::set_line(int slot, int irq, bool level) {
  if (line_level_[slot] == level) return;
  line_level_[slot] = level;
  // Lines are shared (TIM1 update with TIM10, TIM6 with the DAC): each timer
  // drives its own request on them.
  machine().set_irq(irq, level, this);
}

bool Timer::irq_level(int irq) const {
  if (irq_update_ < 0) return false;
  const int slot = irq - irq_update_ + 1;
  return slot >= 0 && slot < 4 && line_level_[slot];
}

double Timer::counter_hz() const { return static_cast<double>(timer_clock()) / (psc_active_ + 1.0); }

}  // namespace vb
