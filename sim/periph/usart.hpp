// USART2/USART3 model (asynchronous mode, 8N1, 16x oversampling), with the
// far end of each line attached: a peer that sends bytes at its own rate and
// decodes what the port sends at that rate.
//
// On the board the line runs through the port's pins: a frame reaches the
// peer only while the TX pin is in alternate-function mode with the port's
// function selected and its GPIO port clocked, and the receiver hears the
// peer only while the RX pin is routed the same way; otherwise the byte is
// lost on the pin, as on the chip, and the board says so once. Routing is
// taken when a frame starts (TX) or is decoded (RX). While the transmitter is
// enabled the TX pin's alternate output idles high; the bits of a frame
// travel as whole frames on the line and do not show in the pin's IDR bit.
//
// Registers: SR, DR, BRR, CR1, CR2, CR3, GTPR. The port's rate is PCLK1 / BRR;
// a byte takes ten bit times on the wire in either direction. Status flags and
// their clear sequences are the reference manual's: writing DR moves the byte
// to the shift register when that is free (TXE), TC rises when a frame ends
// with nothing waiting, RXNE/ORE/FE/NF/PE come from the receiver, and reading
// SR then DR clears PE, FE, NF, ORE and IDLE. The interrupt request is
//   TXEIE&TXE | TCIE&TC | RXNEIE&(RXNE|ORE) | IDLEIE&IDLE | PEIE&PE
//   | EIE&DMAR&(FE|NF|ORE)
// on the port's NVIC line, as a level.
//
// Not modelled (reported when the firmware turns them on): synchronous mode,
// LIN, smartcard, IrDA, half-duplex, hardware flow control, DMA, 9-bit words,
// parity generation/checking, 8x oversampling, mute mode, send break, two
// stop bits. Simplifications: a frame already on the wire finishes even if
// the APB1 clock is gated off meanwhile, and frame times are fixed in core
// cycles when the frame starts (a change of HCLK mid-frame is not followed).
// TE does not send the idle preamble frame the chip sends when enabled.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/pins.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/reg_bank.hpp"
#include "sim/periph/serial_line.hpp"

namespace vb {

class Gpio;

class Usart final : public RegModel {
public:
  // Register offsets.
  static constexpr std::uint32_t kSR = 0x00, kDR = 0x04, kBRR = 0x08, kCR1 = 0x0C, kCR2 = 0x10,
                                 kCR3 = 0x14, kGTPR = 0x18;
  // SR bits.
  static constexpr std::uint32_t SR_PE = 1u << 0, SR_FE = 1u << 1, SR_NF = 1u << 2, SR_ORE = 1u << 3,
                                 SR_IDLE = 1u << 4, SR_RXNE = 1u << 5, SR_TC = 1u << 6, SR_TXE = 1u << 7,
                                 SR_LBD = 1u << 8, SR_CTS = 1u << 9;
  // CR1 bits.
  static constexpr std::uint32_t CR1_SBK = 1u << 0, CR1_RWU = 1u << 1, CR1_RE = 1u << 2, CR1_TE = 1u << 3,
                                 CR1_IDLEIE = 1u << 4, CR1_RXNEIE = 1u << 5, CR1_TCIE = 1u << 6,
                                 CR1_TXEIE = 1u << 7, CR1_PEIE = 1u << 8, CR1_PS = 1u << 9,
                                 CR1_PCE = 1u << 10, CR1_WAKE = 1u << 11, CR1_M = 1u << 12,
                                 CR1_UE = 1u << 13, CR1_OVER8 = 1u << 15;
  // CR3 bits used by the interrupt logic.
  static constexpr std::uint32_t CR3_EIE = 1u << 0, CR3_DMAR = 1u << 6;

  // The register map: reset values and bit kinds (SR: RXNE, TC, LBD, CTS
  // are cleared by writing 0; the other SR bits are read-only).
  static constexpr std::array<RegDef, 7> kRegs{{
      {"SR", kSR, 0x0000'00C0, 0, 0, SR_RXNE | SR_TC | SR_LBD | SR_CTS},
      {"DR", kDR, 0, 0x1FF},
      {"BRR", kBRR, 0, 0xFFFF},
      {"CR1", kCR1, 0, 0xBFFF},
      {"CR2", kCR2, 0, 0x7F6F},
      {"CR3", kCR3, 0, 0x0FFF},
      {"GTPR", kGTPR, 0, 0xFFFF},
  }};

  // name "USART2"/"USART3"; base 0x40004400/0x40004800; APB1 gate bit 17/18;
  // IRQ 38/39.
  Usart(std::string name, std::uint32_t base, ClockGate gate, int irq);
  ~Usart() override;

  std::uint32_t read(std::uint32_t offset) override;
  std::optional<std::uint32_t> debug_peek(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // Register contents without the side effects of a bus read (for tests).
  std::uint32_t peek(std::uint32_t offset) const;
  int irq() const { return irq_; }
  bool irq_level() const { return irq_level_; }
  // The port's rate now: PCLK1 / BRR (0 while BRR is below 16).
  double baud() const;
  // writes() logs every register write except to DR (the data bytes show up
  // in the peer's stream instead, and would swamp the log).

  // --- the pins ---------------------------------------------------------
  // Routes the line through TX and RX pins with alternate function `af`.
  // The peer idles its line high on RX and holds TX with a pull-up. Without
  // pins (a model on its own) the port and its peer are wired directly.
  void connect_pins(Gpio& gpio, Pin tx, Pin rx, unsigned af);

  // --- the far end of the line ----------------------------------------
  enum class Fault : std::uint8_t {
    kNone,
    kNoise,    // a spike in the middle of a data bit: the port sets NF
    kFraming,  // the stop bit is sent low: the port sets FE
    kParity,   // sent with a bad parity bit: PE for this byte while PCE is on
  };
  // The peer's rate, for what it sends and for how it decodes the port.
  void set_peer_baud(double bps) { peer_baud_ = bps; }
  double peer_baud() const { return peer_baud_; }
  // Queues bytes behind whatever the peer is still sending.
  void peer_send(std::string_view bytes);
  void peer_send(std::string_view bytes, double bps) {
    set_peer_baud(bps);
    peer_send(bytes);
  }
  void peer_send_byte(std::uint8_t b, Fault fault = Fault::kNone);
  // Holds the line idle for this many bit times before the next byte.
  void peer_pause(double bits);
  // When everything the peer queued has left the wire (a time in the past
  // when it is silent).
  cycles_t peer_done_at() const;

  // What the peer decoded from the port's line, garbled bytes included,
  // while no on_peer_byte receiver takes the bytes: the latest
  // kPeerKeep bytes at least (older ones are dropped in bulk beyond twice that).
  static constexpr std::size_t kPeerKeep = 1u << 20;
  const std::string& peer_received() const { return peer_received_; }
  void clear_peer_received() {
    peer_dropped_ += peer_received_.size();
    peer_received_.clear();
  }
  // Bytes dropped from the front of peer_received() so far: the byte at
  // peer_received()[i] is the (peer_dropped() + i)-th the peer decoded.
  std::uint64_t peer_dropped() const { return peer_dropped_; }
  // Bytes the peer decoded with a framing error or noise.
  std::uint64_t peer_errors() const { return peer_errors_; }
  // Hands every byte the peer decodes to `fn` instead of keeping it in
  // peer_received() (a host link that forwards the bytes keeps nothing here).
  void on_peer_byte(std::function<void(const LineByte&)> fn) { on_peer_byte_ = std::move(fn); }
  // The receiver set now (a second link chains itself behind it).
  const std::function<void(const LineByte&)>& peer_byte_receiver() const { return on_peer_byte_; }

  // Log entries, captured bytes and frames on the two lines.
  std::size_t retained() const override;

protected:
  void on_attach() override;

private:
  double bit_cycles() const;       // the port's bit time in core cycles
  double peer_bit_cycles() const;  // the peer's
  bool rx_enabled() const { return (cr1_ & (CR1_UE | CR1_RE)) == (CR1_UE | CR1_RE); }
  bool tx_enabled() const { return (cr1_ & (CR1_UE | CR1_TE)) == (CR1_UE | CR1_TE); }

  void update_tx();
  void update_rx_enable();
  void update_irq();
  void check_unmodelled(const char* reg, std::uint32_t value, std::uint32_t bad);
  void start_frame(std::uint8_t byte);
  void frame_done();
  void received(const LineByte& b);
  void idle_check();
  void peer_decoded(const LineByte& b);
  // Whether pin p carries this port's alternate function now.
  bool routed(Pin p) const;
  // The TX pin's alternate output follows the transmitter enable.
  void update_tx_pin();
  void lost_on_pin(Pin p, const char* what, bool& said);

  int irq_;
  bool irq_level_ = false;
  std::uint32_t sr_ = 0xC0, rdr_ = 0, tdr_ = 0, brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
  // "Read SR, then access DR" sequences: SR as last read, consumed by DR.
  bool sr_read_ = false;
  std::uint32_t sr_seen_ = 0;

  // Port -> peer.
  LineWave tx_wave_;
  bool tx_busy_ = false;
  Scheduler::Handle tx_end_ = 0;
  bool reported_brr_ = false;
  // Peer -> port.
  LineWave rx_wave_;
  bool idle_armed_ = false;
  Scheduler::Handle idle_ev_ = 0;

  double peer_baud_ = 115200;
  double peer_gap_bits_ = 0;
  std::string peer_received_;
  std::uint64_t peer_dropped_ = 0;
  std::uint64_t peer_errors_ = 0;
  std::function<void(const LineByte&)> on_peer_byte_;

  // The pins, once connected.
  Gpio* gpio_ = nullptr;
  Pin tx_pin_{}, rx_pin_{};
  unsigned af_ = 0;
  bool said_tx_lost_ = false, said_rx_lost_ = false;
  bool tx_pin_driven_ = false;  // the TX pin's alternate output is set (idle high)

  // Created on attach (they need the machine's scheduler).
  struct Receivers;
  std::unique_ptr<Receivers> rx_;
};

}  // namespace vb
