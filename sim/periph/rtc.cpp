#include "sim/periph/rtc.hpp"

#include "sim/core/machine.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

Rtc::Rtc(bool lse_signal)
    : Peripheral("RTC", kBase, 0x400), lse_signal_(lse_signal) {
  reset_backup_domain();
}

Rtc::~Rtc() {
  if (!attached_) return;
  auto& s = machine().scheduler();
  if (lse_event_) s.cancel(lse_event_);
  if (lsi_event_) s.cancel(lsi_event_);
}

void Rtc::on_attach() {
  attached_ = true;
  last_sync_ = machine().now();
  hclk_ = machine().clocks().hclk;
}

void Rtc::connect(Rcc& rcc) {
  rcc_ = &rcc;
  rcc.set_backup_domain(this);
  rcc.on_change([this] { clocks_changed(); });
}

void Rtc::tell_rcc(int ready_flag) {
  if (!rcc_) return;
  if (ready_flag >= 0) rcc_->raise_ready_flag(static_cast<rcc_reg::ReadyFlag>(ready_flag));
  rcc_->backup_domain_changed();
}

void Rtc::note(const std::string& what) const {
  if (attached_) machine().message("RTC: " + what);
}

// --- time -------------------------------------------------------------------

std::uint32_t Rtc::rtcclk_hz() const {
  if ((bdcr_ & bdcr::BDRST) || !(bdcr_ & bdcr::RTCEN)) return 0;
  switch ((bdcr_ & bdcr::RTCSEL) >> 8) {
    case 1: return (bdcr_ & bdcr::LSERDY) ? kLseHz : 0;
    case 2: return (csr_ & csr::LSIRDY) ? kLsiHz : 0;
    case 3: return attached_ ? machine().clocks().rtcclk : 0;  // HSE / RTCPRE, from the RCC
    default: return 0;
  }
}

void Rtc::sync() {
  if (!attached_) return;
  const cycles_t now = machine().now();
  const cycles_t elapsed = now - last_sync_;
  last_sync_ = now;
  const std::uint32_t f = rtcclk_hz();
  if (f == 0 || hclk_ == 0) {
    frac_ = 0;  // a stopped clock loses its phase
  } else if (elapsed) {
    const unsigned __int128 acc = static_cast<unsigned __int128>(elapsed) * f + frac_;
    frac_ = acc % hclk_;
    advance(static_cast<std::uint64_t>(acc / hclk_));
  }
  const std::uint32_t h = machine().clocks().hclk;
  if (h != hclk_ && hclk_ != 0) frac_ = frac_ * h / hclk_;
  hclk_ = h;
  update_shadow();
}

void Rtc::advance(std::uint64_t rtc_ticks) {
  rtc_cycles_ += rtc_ticks;
  if (init_) return;  // the calendar and the prescalers stand still in init mode
  const std::uint64_t div = static_cast<std::uint64_t>(((prer_ >> 16) & 0x7F) + 1) * ((prer_ & 0x7FFF) + 1);
  presc_ += rtc_ticks;
  std::uint64_t seconds = presc_ / div;
  presc_ %= div;
  while (seconds--) tick_second(cal_);
}

// The counters are copied into the shadow registers every two RTCCLK
// periods; RSF says a copy happened. Simplification: the copy is made at the
// first access after the copy point, with the counters as they are then; the
// chip makes it on the edge, which differs only within two RTCCLK periods
// after a second has turned. A TR read locks the shadows until DR is read:
// no copy is made in between, so TR stays frozen and RSF stays as it was.
void Rtc::update_shadow() {
  if (init_ || (cr_ & rtc_reg::CR_BYPSHAD) || shadow_locked_) return;
  if (rtc_cycles_ < next_copy_) return;
  shadow_tr_ = tr_image();
  shadow_dr_ = dr_image();
  isr_ |= rtc_reg::ISR_RSF;
  next_copy_ = rtc_cycles_ + 1;
}

std::uint32_t Rtc::tr_image() const {
  return (cal_.sec & kBcdSecMask) | (cal_.min & kBcdMinMask) << 8 | (cal_.hour & kBcdHourMask) << 16 |
         (pm_ ? rtc_reg::TR_PM : 0);
}

std::uint32_t Rtc::dr_image() const {
  return (cal_.mday & kBcdMdayMask) | (cal_.mon & kBcdMonMask) << 8 | (cal_.wday & kBcdWdayMask) << 13 |
         static_cast<std::uint32_t>(cal_.year) << 16;
}

BcdCalendar Rtc::calendar() {
  sync();
  return cal_;
}

bool Rtc::pm() {
  sync();
  return pm_;
}

// --- backup domain ------------------------------------------------------------

void Rtc::reset_backup_domain() {
  bdcr_ &= bdcr::BDRST;
  if (attached_ && lse_event_) machine().scheduler().cancel(lse_event_);
  lse_event_ = 0;
  cal_ = BcdCalendar{};  // 2000-01-01, Monday, 00:00:00 (DR 0x2101, TR 0)
  pm_ = false;
  cr_ = 0;
  isr_ = rtc_reg::def(rtc_reg::ISR).reset;
  prer_ = rtc_reg::def(rtc_reg::PRER).reset;
  bkp_.fill(0);
  wpr_ = Wpr::kLocked;
  init_ = false;
  presc_ = 0;
  frac_ = 0;
  next_copy_ = rtc_cycles_ + 2;
  shadow_tr_ = 0;
  shadow_dr_ = rtc_reg::def(rtc_reg::DR).reset;
  shadow_locked_ = false;
}

bool Rtc::writable_domain(const char* what) const {
  if (bdcr_ & bdcr::BDRST) {
    note(std::string("write to ") + what + " ignored: the backup domain is held in reset (BDRST)");
    return false;
  }
  if (dbp_ && !dbp_()) {
    note(std::string("write to ") + what + " ignored: backup domain write access is off (PWR CR DBP = 0)");
    return false;
  }
  return true;
}

bool Rtc::unlocked(const char* what) const {
  if (wpr_ == Wpr::kUnlocked) return true;
  note(std::string("write to ") + what + " ignored: write protection active (WPR keys 0xCA, 0x53 not written)");
  return false;
}

void Rtc::set_lse_signal(bool present) {
  sync();
  lse_signal_ = present;
  update_lse();
}

// LSERDY follows LSEON when the board's signal is there and the oscillator
// is bypassed. With LSEBYP clear the pin pair would need a crystal; the board
// has none, so the oscillator is modelled as never starting.
void Rtc::update_lse() {
  const bool should_run = (bdcr_ & bdcr::LSEON) && (bdcr_ & bdcr::LSEBYP) && lse_signal_;
  if (!should_run) {
    if (lse_event_ && attached_) machine().scheduler().cancel(lse_event_);
    lse_event_ = 0;
    if (bdcr_ & bdcr::LSERDY) {
      bdcr_ &= ~bdcr::LSERDY;
      tell_rcc(-1);
    }
    return;
  }
  if (!(bdcr_ & bdcr::LSERDY) && !lse_event_) schedule_lse_ready();
}

void Rtc::schedule_lse_ready() {
  if (!attached_) {
    bdcr_ |= bdcr::LSERDY;
    return;
  }
  const cycles_t delay = (static_cast<cycles_t>(hclk_) * kLseStartPeriods + kLseHz - 1) / kLseHz;
  lse_event_ = machine().scheduler().after(delay, [this] {
    sync();
    lse_event_ = 0;
    bdcr_ |= bdcr::LSERDY;
    tell_rcc(rcc_reg::kLseRdy);
  });
}

std::uint32_t Rtc::read_bdcr() {
  sync();
  return bdcr_;
}

void Rtc::write_bdcr(std::uint32_t value, std::uint32_t mask) {
  sync();
  if (dbp_ && !dbp_()) {
    note("write to RCC BDCR ignored: backup domain write access is off (PWR CR DBP = 0)");
    return;
  }
  const std::uint32_t v = (bdcr_ & ~mask) | (value & mask);
  if (v & bdcr::BDRST) {  // held in reset: everything else of the domain clears
    bdcr_ = bdcr::BDRST;
    reset_backup_domain();
    tell_rcc(-1);
    return;
  }
  const std::uint32_t old = bdcr_;
  std::uint32_t next = old & ~(bdcr::LSEON | bdcr::RTCEN | bdcr::BDRST);
  next |= v & (bdcr::LSEON | bdcr::RTCEN);
  // LSEBYP can change only while the LSE is off.
  if (!(old & bdcr::LSEON)) next = (next & ~bdcr::LSEBYP) | (v & bdcr::LSEBYP);
  else if ((v ^ old) & bdcr::LSEBYP) note("LSEBYP written while LSEON is set: ignored");
  // RTCSEL can be chosen once after a backup-domain reset.
  if ((v ^ old) & bdcr::RTCSEL) {
    if (old & bdcr::RTCSEL) note("RTCSEL change ignored: the source is fixed until a backup-domain reset");
    else next |= v & bdcr::RTCSEL;
  }
  if ((next & bdcr::LSEON) && !(next & bdcr::LSEBYP) && !(old & bdcr::LSEON))
    note("LSE oscillator started without bypass, but the board feeds a clock signal, not a crystal");
  bdcr_ = next;
  update_lse();
  if ((next ^ old) & (bdcr::RTCSEL | bdcr::RTCEN)) tell_rcc(-1);
}

std::uint32_t Rtc::read_csr() {
  sync();
  return csr_;
}

void Rtc::write_csr(std::uint32_t value, std::uint32_t mask) {
  sync();
  if (mask & value & csr::RMVF) csr_ &= ~csr::RESET_FLAGS;
  if (!(mask & csr::LSION)) return;
  const bool on = value & csr::LSION;
  if (on == bool(csr_ & csr::LSION)) return;
  if (!on) {
    csr_ &= ~(csr::LSION | csr::LSIRDY);
    if (lsi_event_ && attached_) machine().scheduler().cancel(lsi_event_);
    lsi_event_ = 0;
    tell_rcc(-1);
    return;
  }
  csr_ |= csr::LSION;
  if (!attached_) {
    csr_ |= csr::LSIRDY;
    return;
  }
  const cycles_t delay = static_cast<cycles_t>(hclk_ * kLsiStartUs / 1e6) + 1;
  lsi_event_ = machine().scheduler().after(delay, [this] {
    sync();
    lsi_event_ = 0;
    csr_ |= csr::LSIRDY;
    tell_rcc(rcc_reg::kLsiRdy);
  });
}

// A system reset also clears INIT, INITF, RSF and the shadow lock; the
// calendar, the prescalers and everything else of the domain are kept.
void Rtc::reset() {
  sync();
  init_ = false;
  isr_ &= ~(rtc_reg::ISR_INIT | rtc_reg::ISR_RSF);
  shadow_locked_ = false;
  next_copy_ = rtc_cycles_ + 2;
  if (attached_ && lsi_event_) machine().scheduler().cancel(lsi_event_);
  lsi_event_ = 0;
  csr_ &= ~(csr::LSION | csr::LSIRDY);
  tell_rcc(-1);
}

// --- RTC registers ------------------------------------------------------------

std::uint32_t Rtc::read(std::uint32_t offset) {
  using namespace rtc_reg;
  sync();
  switch (offset) {
    case TR:
      if (cr_ & CR_BYPSHAD) return tr_image();
      shadow_locked_ = true;  // TR and DR keep this copy until DR is read
      return shadow_tr_;
    case DR:
      if (cr_ & CR_BYPSHAD) return dr_image();
      shadow_locked_ = false;
      return shadow_dr_;
    case CR: return cr_;
    case ISR: {
      std::uint32_t v = isr_ & ~(ISR_INITF | ISR_INITS);
      if (initf()) v |= ISR_INITF;
      if (cal_.year != 0) v |= ISR_INITS;
      return v;
    }
    case PRER: return prer_;
    case WPR: return 0;  // write-only
    default:
      if (offset >= BKP0R && offset < BKP0R + 4 * kBackupRegisters) return bkp_[(offset - BKP0R) / 4];
      report_unimplemented(offset, false);
      return 0;
  }
}

std::optional<std::uint32_t> Rtc::debug_peek(std::uint32_t offset) {
  using namespace rtc_reg;
  // TR and DR without taking or releasing the shadow lock.
  if (offset != TR && offset != DR) return read(offset);
  sync();
  if (cr_ & CR_BYPSHAD) return offset == TR ? tr_image() : dr_image();
  return offset == TR ? shadow_tr_ : shadow_dr_;
}

void Rtc::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  using namespace rtc_reg;
  sync();
  if (mask != ~0u) {
    report("RTC registers take 32-bit writes only; offset " + hex32(offset) + " written with lanes " + hex32(mask));
    return;
  }
  const bool backup = offset >= BKP0R && offset < BKP0R + 4 * kBackupRegisters;
  if (!backup && !find_reg(kMap, offset)) {
    report_unimplemented(offset, true);
    return;
  }
  if (!writable_domain(backup ? "a backup register" : def(offset).name)) return;
  if (backup) {
    bkp_[(offset - BKP0R) / 4] = value;
    return;
  }
  switch (offset) {
    case WPR:
      value &= 0xFF;
      if (value == 0xCA) wpr_ = Wpr::kKey1;
      else if (value == 0x53 && wpr_ == Wpr::kKey1) wpr_ = Wpr::kUnlocked;
      else wpr_ = Wpr::kLocked;  // a wrong key, or any write once unlocked, locks again
      return;
    case ISR: write_isr(value); return;
    case TR:
    case DR:
    case PRER:
      if (!unlocked(def(offset).name)) return;
      if (!initf()) {
        note(std::string("write to ") + def(offset).name +
             " ignored: only possible in initialisation mode (ISR INITF = 1)");
        return;
      }
      if (offset == TR) {
        value &= def(TR).writable | TR_PM;
        cal_.sec = value & kBcdSecMask;
        cal_.min = (value >> 8) & kBcdMinMask;
        cal_.hour = (value >> 16) & kBcdHourMask;
        pm_ = value & TR_PM;
      } else if (offset == DR) {
        cal_.mday = value & kBcdMdayMask;
        cal_.mon = (value >> 8) & kBcdMonMask;
        cal_.wday = (value >> 13) & kBcdWdayMask;
        cal_.year = (value >> 16) & 0xFF;
      } else {
        // The two prescalers must be written one at a time (PREDIV_S first,
        // then PREDIV_A); one write that changes both is not reliable.
        const std::uint32_t v = value & def(PRER).writable;
        constexpr std::uint32_t kPredivS = 0x7FFF, kPredivA = 0x7Fu << 16;
        if ((v ^ prer_) & kPredivS && (v ^ prer_) & kPredivA) {
          report("PRER " + hex32(prer_) + " -> " + hex32(v) +
                 ": PREDIV_S and PREDIV_A changed in one write (the manual requires two separate writes)");
          return;
        }
        prer_ = v;
      }
      return;
    case CR: {
      if (!unlocked("CR")) return;
      const std::uint32_t v = value & def(CR).writable;
      const std::uint32_t unmodelled = v & ~(CR_BYPSHAD | CR_BKP);
      if (unmodelled) {
        report("RTC CR bits " + hex32(unmodelled) +
               " (hour format, alarms, wake-up, time stamp, calibration or output) are not modelled");
        return;
      }
      cr_ = v;
      if (cr_ & CR_BYPSHAD) isr_ &= ~ISR_RSF;  // RSF stays clear while the shadows are bypassed
      else next_copy_ = rtc_cycles_ + 2;
      return;
    }
  }
}

void Rtc::write_isr(std::uint32_t value) {
  using namespace rtc_reg;
  // The event flags ISR[13:8] can be cleared while locked; INIT and RSF need the keys.
  const RegDef& r = def(ISR);
  if (wpr_ != Wpr::kUnlocked) {
    if ((value & ISR_INIT) != (isr_ & ISR_INIT) || !(value & ISR_RSF)) unlocked("ISR");
    isr_ = apply_write(r, isr_, value, ISR_UNPROTECTED);
    return;
  }
  const bool was_init = init_;
  isr_ = apply_write(r, isr_, value, ~0u);
  init_ = isr_ & ISR_INIT;
  if (init_ && !was_init) {
    init_request_ = rtc_cycles_;
    isr_ &= ~ISR_RSF;
  } else if (!init_ && was_init) {
    presc_ = 0;  // the prescalers restart with the calendar
    next_copy_ = rtc_cycles_ + 2;
  }
  if (!(value & ISR_RSF) && !init_) next_copy_ = rtc_cycles_ + 2;
}

}  // namespace vb
