#include "sim/periph/usart.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim/core/machine.hpp"
#include "sim/periph/gpio.hpp"

namespace vb {

namespace {
constexpr std::uint32_t kRxErrors = Usart::SR_PE | Usart::SR_FE | Usart::SR_NF | Usart::SR_ORE;

// Control bits that select modes this model does not implement.
constexpr std::uint32_t kCr1Unmodelled = Usart::CR1_SBK | Usart::CR1_RWU | Usart::CR1_PCE |
                                         Usart::CR1_WAKE | Usart::CR1_M | Usart::CR1_OVER8;
constexpr std::uint32_t kCr2Unmodelled = 1u << 6 /*LBDIE*/ | 1u << 11 /*CLKEN*/ |
                                         3u << 12 /*STOP*/ | 1u << 14 /*LINEN*/;
constexpr std::uint32_t kCr3Unmodelled = 1u << 1 /*IREN*/ | 1u << 3 /*HDSEL*/ | 1u << 5 /*SCEN*/ |
                                         1u << 6 /*DMAR*/ | 1u << 7 /*DMAT*/ | 1u << 8 /*RTSE*/ |
                                         1u << 9 /*CTSE*/ | 1u << 10 /*CTSIE*/;
}  // namespace

struct Usart::Receivers {
  LineReceiver port;  // the USART's receiver on the peer's line
  LineReceiver peer;  // the peer's receiver on the USART's line
};

Usart::Usart(std::string name, std::uint32_t base, ClockGate gate, int irq)
    : RegModel(std::move(name), base, 0x400, gate), irq_(irq) {}

Usart::~Usart() {
  if (!rx_) return;  // never attached: nothing scheduled
  if (tx_end_) machine().scheduler().cancel(tx_end_);
  if (idle_ev_) machine().scheduler().cancel(idle_ev_);
}

void Usart::on_attach() {
  rx_.reset(new Receivers{
      LineReceiver(machine().scheduler(), rx_wave_,
                   [this] { return rx_enabled() ? bit_cycles() : 0.0; },
                   [this](const LineByte& b) { received(b); }),
      LineReceiver(machine().scheduler(), tx_wave_, [this] { return peer_bit_cycles(); },
                   [this](const LineByte& b) { peer_decoded(b); }),
  });
  rx_->peer.listen();  // the far end always listens
}

double Usart::baud() const {
  if (brr_ < 16) return 0;
  return static_cast<double>(machine().clocks().pclk1) / brr_;
}

double Usart::bit_cycles() const {
  // 16x oversampling: USARTDIV = BRR / 16, rate = PCLK1 / (16 * USARTDIV).
  const ClockTree& c = machine().clocks();
  return static_cast<double>(brr_) * c.hclk / c.pclk1;
}

double Usart::peer_bit_cycles() const {
  return peer_baud_ > 0 ? machine().clocks().hclk / peer_baud_ : 0.0;
}

// --- registers -------------------------------------------------------------

std::uint32_t Usart::peek(std::uint32_t offset) const {
  switch (offset) {
    case kSR: return sr_;
    case kDR: return rdr_;
    case kBRR: return brr_;
    case kCR1: return cr1_;
    case kCR2: return cr2_;
    case kCR3: return cr3_;
    case kGTPR: return gtpr_;
    default: return 0;
  }
}

std::uint32_t Usart::read(std::uint32_t offset) {
  switch (offset) {
    case kSR:
      sr_read_ = true;
      sr_seen_ = sr_;
      return sr_;
    case kDR: {
      // Reading DR clears RXNE; after a read of SR it also clears the error
      // and idle flags that read showed.
      const std::uint32_t v = rdr_;
      sr_ &= ~SR_RXNE;
      if (sr_read_) sr_ &= ~(sr_seen_ & (kRxErrors | SR_IDLE));
      sr_read_ = false;
      update_irq();
      return v;
    }
    case kBRR:
    case kCR1:
    case kCR2:
    case kCR3:
    case kGTPR: return peek(offset);
    default: report_unimplemented(offset, false); return 0;
  }
}

std::optional<std::uint32_t> Usart::debug_peek(std::uint32_t offset) {
  // SR and DR as they are: no RXNE cleared, no SR-then-DR sequence started.
  if (!find_reg(kRegs, offset)) return std::nullopt;
  return peek(offset);
}

void Usart::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  // The USART takes half-word and word accesses; DR writes stay out of the
  // log (the bytes show up in the peer's stream).
  const RegDef* def = accept_write(kRegs, offset, value, mask, 2, false);
  if (def == nullptr) return;
  if (offset != kDR) log_write(offset, value, mask);
  switch (offset) {
    case kSR:
      sr_ = apply_write(*def, sr_, value, mask);
      break;
    case kDR:
      // Writing DR fills the transmit data register (TXE drops); after a read
      // of SR it also clears TC, and PE if that read showed it (PE is the one
      // error flag a DR write clears as well as a DR read).
      tdr_ = apply_write(*def, tdr_, value, mask);
      sr_ &= ~SR_TXE;
      if (sr_read_) sr_ &= ~(SR_TC | (sr_seen_ & SR_PE));
      sr_read_ = false;
      update_tx();
      break;
    case kBRR:
      brr_ = apply_write(*def, brr_, value, mask);  // used from the next frame on
      break;
    case kCR1:
      cr1_ = apply_write(*def, cr1_, value, mask);
      check_unmodelled("CR1", cr1_, kCr1Unmodelled);
      update_rx_enable();
      update_tx_pin();
      update_tx();
      break;
    case kCR2:
      cr2_ = apply_write(*def, cr2_, value, mask);
      check_unmodelled("CR2", cr2_, kCr2Unmodelled);
      break;
    case kCR3:
      cr3_ = apply_write(*def, cr3_, value, mask);
      check_unmodelled("CR3", cr3_, kCr3Unmodelled);
      break;
    case kGTPR:
      gtpr_ = apply_write(*def, gtpr_, value, mask);  // smartcard/IrDA only
      break;
  }
  update_irq();
}

void Usart::reset() {
  auto& sched = machine().scheduler();
  if (tx_end_) sched.cancel(tx_end_);
  if (idle_ev_) sched.cancel(idle_ev_);
  tx_end_ = idle_ev_ = 0;
  if (rx_) rx_->port.stop();
  // A frame on its way out stops where it is; the line goes idle.
  tx_wave_.cut_from(static_cast<double>(machine().now()));
  if (rx_) rx_->peer.poke();
  tx_busy_ = false;
  idle_armed_ = false;
  sr_read_ = false;
  sr_seen_ = 0;
  sr_ = kRegs[0].reset;
  rdr_ = tdr_ = brr_ = cr1_ = cr2_ = cr3_ = gtpr_ = 0;
  reported_brr_ = false;
  update_tx_pin();
  update_irq();
}

void Usart::check_unmodelled(const char* reg, std::uint32_t value, std::uint32_t bad) {
  if ((value & bad) == 0) return;
  char text[96];
  std::snprintf(text, sizeof text, "%s bits 0x%04X select a mode the model does not implement", reg,
                static_cast<unsigned>(value & bad));
  report(text);
}

void Usart::update_irq() {
  const std::uint32_t s = sr_, c1 = cr1_, c3 = cr3_;
  const bool level = ((c1 & CR1_TXEIE) && (s & SR_TXE)) || ((c1 & CR1_TCIE) && (s & SR_TC)) ||
                     ((c1 & CR1_RXNEIE) && (s & (SR_RXNE | SR_ORE))) ||
                     ((c1 & CR1_IDLEIE) && (s & SR_IDLE)) || ((c1 & CR1_PEIE) && (s & SR_PE)) ||
                     ((c3 & CR3_EIE) && (c3 & CR3_DMAR) && (s & (SR_FE | SR_NF | SR_ORE)));
  if (level == irq_level_) return;
  irq_level_ = level;
  machine().set_irq(irq_, level);
}

// --- transmitter -------------------------------------------------------------

void Usart::update_tx() {
  // The data register moves to the shift register as soon as that is free.
  if (tx_busy_ || (sr_ & SR_TXE) || !tx_enabled()) return;
  start_frame(static_cast<std::uint8_t>(tdr_));
}

void Usart::start_frame(std::uint8_t byte) {
  const double bit = bit_cycles();
  if (brr_ < 16) {
    if (!reported_brr_) report("transmitting with BRR below 16 (no valid baud rate)");
    reported_brr_ = true;
    return;
  }
  sr_ |= SR_TXE;
  tx_busy_ = true;
  const double now = static_cast<double>(machine().now());
  if (routed(tx_pin_)) {
    tx_wave_.push({.start = now, .bit = bit, .levels = frame_levels(byte)});
    rx_->peer.poke();
  } else {
    lost_on_pin(tx_pin_, "sends", said_tx_lost_);  // shifted out, but not onto the line
  }
  tx_end_ = machine().scheduler().at(static_cast<cycles_t>(std::ceil(now + 10 * bit)), [this] {
    tx_end_ = 0;
    frame_done();
  });
}

void Usart::frame_done() {
  tx_busy_ = false;
  if (!(sr_ & SR_TXE) && tx_enabled()) {
    start_frame(static_cast<std::uint8_t>(tdr_));
  } else if (sr_ & SR_TXE) {
    sr_ |= SR_TC;  // the last frame is out and nothing waits
  }
  update_irq();
}

// --- receiver ----------------------------------------------------------------

void Usart::update_rx_enable() {
  if (!rx_) return;
  const bool on = rx_enabled();
  if (on == rx_->port.listening()) return;
  if (on) {
    rx_wave_.forget_before(static_cast<double>(machine().now()));
    rx_->port.listen();
  } else {
    rx_->port.stop();
  }
}

void Usart::received(const LineByte& b) {
  if (!routed(rx_pin_)) {
    lost_on_pin(rx_pin_, "receives", said_rx_lost_);  // the receiver's input is not on the line
    return;
  }
  if (sr_ & SR_RXNE) {
    sr_ |= SR_ORE;  // RDR keeps the unread byte; this one is lost
  } else {
    rdr_ = b.data;
    // A parity error exists only while parity checking is on (PCE).
    const bool parity_error = b.parity_error && (cr1_ & CR1_PCE);
    sr_ |= SR_RXNE | (b.framing_error ? SR_FE : 0) | (b.noise ? SR_NF : 0) | (parity_error ? SR_PE : 0);
  }
  // IDLE rises once the line has stayed high for a whole frame after this one.
  idle_armed_ = true;
  auto& sched = machine().scheduler();
  if (idle_ev_) sched.cancel(idle_ev_);
  idle_ev_ = sched.after(static_cast<cycles_t>(std::ceil(10 * bit_cycles())), [this] {
    idle_ev_ = 0;
    idle_check();
  });
  update_irq();
}

void Usart::idle_check() {
  if (!idle_armed_ || !rx_enabled()) return;
  if (rx_->port.receiving_since() <= static_cast<double>(machine().now())) return;  // a frame began
  sr_ |= SR_IDLE;
  idle_armed_ = false;
  update_irq();
}

// --- the pins ----------------------------------------------------------------

void Usart::connect_pins(Gpio& gpio, Pin tx, Pin rx, unsigned af) {
  gpio_ = &gpio;
  tx_pin_ = tx;
  rx_pin_ = rx;
  af_ = af;
  gpio.drive(rx, Drive::kHigh);   // the peer's transmitter idles high
  gpio.drive(tx, Drive::kPullUp);  // the peer's receiver input is pulled up
  tx_pin_driven_ = !tx_enabled();  // so that the pin's output is set now
  update_tx_pin();
}

bool Usart::routed(Pin p) const {
  if (gpio_ == nullptr) return true;
  if (gpio_->mode(p) != Gpio::Mode::kAlternate || gpio_->alternate_function(p) != af_) return false;
  const ClockControl* cc = machine().clock_control();
  return cc == nullptr || cc->running(gpio_->port(p.port).gate());
}

void Usart::update_tx_pin() {
  if (gpio_ == nullptr || tx_pin_driven_ == tx_enabled()) return;
  tx_pin_driven_ = tx_enabled();
  gpio_->set_alternate_output(tx_pin_, af_, tx_pin_driven_ ? std::optional<bool>(true) : std::nullopt);
}

void Usart::lost_on_pin(Pin p, const char* what, bool& said) {
  if (said) return;
  said = true;
  char text[200];
  std::snprintf(text, sizeof text,
                "%s %s a byte while P%c%d does not carry its signal (the pin needs alternate function %u, "
                "its GPIO port clocked): the byte is lost on the pin",
                name().c_str(), what, 'A' + p.port, p.num, af_);
  machine().message(text);
}

// --- the peer ----------------------------------------------------------------

void Usart::peer_send(std::string_view bytes) {
  for (char c : bytes) peer_send_byte(static_cast<std::uint8_t>(c));
}

void Usart::peer_send_byte(std::uint8_t b, Fault fault) {
  const double now = static_cast<double>(machine().now());
  const double bit = peer_bit_cycles();
  if (!rx_->port.listening()) rx_wave_.forget_before(now);
  LineFrame f{.start = std::max(now, rx_wave_.end()) + peer_gap_bits_ * bit,
              .bit = bit,
              .levels = frame_levels(b)};
  peer_gap_bits_ = 0;
  switch (fault) {
    case Fault::kNone: break;
    case Fault::kNoise:
      // A spike of 1/16 bit over the middle sample of data bit 3 only.
      f.glitch_from = (4 + 7.5 / 16) * bit;
      f.glitch_to = (4 + 8.5 / 16) * bit;
      break;
    case Fault::kFraming:
      // Stop bit low, then one idle bit so the next start edge is clean.
      f.levels = static_cast<std::uint16_t>((f.levels & ~(1u << 9)) | 1u << 10);
      f.nbits = 11;
      break;
    case Fault::kParity: f.parity_error = true; break;
  }
  rx_wave_.push(f);
  rx_->port.poke();
}

void Usart::peer_pause(double bits) { peer_gap_bits_ += bits; }

cycles_t Usart::peer_done_at() const { return static_cast<cycles_t>(std::ceil(rx_wave_.end())); }

void Usart::peer_decoded(const LineByte& b) {
  if (b.framing_error || b.noise) ++peer_errors_;
  if (on_peer_byte_) {
    on_peer_byte_(b);
    return;
  }
  if (peer_received_.size() >= 2 * kPeerKeep) {
    const std::size_t drop = peer_received_.size() - kPeerKeep;
    peer_received_.erase(0, drop);
    peer_dropped_ += drop;
  }
  peer_received_.push_back(static_cast<char>(b.data));
}

std::size_t Usart::retained() const {
  return RegModel::retained() + peer_received_.size() + tx_wave_.frames() + rx_wave_.frames();
}

}  // namespace vb
