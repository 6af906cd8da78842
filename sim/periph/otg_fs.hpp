// OTG_FS model: the USB on-the-go full-speed core in device mode with its
// embedded PHY, as the STM32F40x reference manual describes it, seen from
// the firmware (registers, packet FIFOs, interrupt line 67) and from the
// bus (the host's tokens and handshakes, VBUS, reset, SOF, suspend).
//
// Registers: the global block (GOTGCTL .. DIEPTXFx), the device block
// (DCFG .. DIEPEMPMSK), four IN and four OUT endpoint blocks, PCGCCTL and
// the FIFO windows (a word write to window n pushes into transmit FIFO n, a
// word read from any window pops the receive FIFO). The 320-word FIFO RAM is
// partitioned by GRXFSIZ and the transmit FIFO size registers as written.
//
// Bus behaviour, from the manual:
// - SETUP is always acknowledged on endpoint 0 (up to STUPCNT back to back):
//   the receive FIFO gets [PKTSTS 6, BCNT 8] with the two data words; the
//   host's first IN or OUT token after the SETUPs (NAKed) adds [PKTSTS 4],
//   whose pop raises STUP on OUT endpoint 0 (once per setup phase) and
//   clears its EPENA. A SETUP clears the STALL bits of endpoint 0 and sets
//   its NAK status in both directions and its data toggle to DATA1, so a
//   data stage starts with DATA1.
// - A USB reset clears USBAEP of endpoints 1-3.
// - The session: VBUS sensed with VBUSBSEN, or NOVBUSSENS (VBUS taken as
//   valid); only then is the device seen on the bus.
// - Reported as on silicon their results are undefined: transmit FIFOs
//   outside the RAM, overlapping the receive FIFO or each other, or deeper
//   than 256 or shallower than 16 words when used; GUSBCFG TRDT below the
//   reference manual's minimum for the AHB clock.
// - DCTL TCTL (a test mode): the device answers no token until the core is
//   soft-reset; the board says so once and runs on.
// - OUT data: per packet [PKTSTS 2, BCNT n] and the data words; when the
//   transfer ends (short packet or PKTCNT 0) [PKTSTS 3], whose pop raises
//   XFRC and clears EPENA. PKTCNT counts down as packets enter the FIFO,
//   XFRSIZ as the application reads the data out.
// - IN: the packet in the transmit FIFO goes out on the host's IN token;
//   PKTCNT and XFRSIZ count down on each packet the host acknowledges;
//   XFRC (EPENA cleared) when PKTCNT reaches 0. An empty FIFO answers NAK
//   (ITTXFE). TXFE follows the FIFO level (half or completely empty, by
//   GAHBCFG TXFELVL) and is gated into DAINT by DIEPEMPMSK.
// - Tokens to an endpoint that is not enabled (EPENA), or whose NAK status
//   is set (SNAK, global NAK), get NAK; STALL answers STALL; an endpoint
//   that is not active (USBAEP) and a token to another address than DCFG
//   DAD get no answer at all. A new address applies once the status stage
//   of the request that set it has gone out at the old one.
// - Bulk and interrupt endpoints keep their data toggle (DPID); SD0PID and
//   SODDFRM set it; an OUT packet with the wrong toggle is acknowledged and
//   dropped (the host's retry of a packet whose ACK was lost).
//
// Simplifications (each reported if the firmware relies on it): device
// mode only (CMOD reads 0; FHMOD, host registers and host channel FIFO
// windows are reported), no DMA, no isochronous transfers, no clock gating
// (PCGCCTL STPPCLK/GATEHCLK), no remote wake-up signalling (RWUSIG is
// stored but sends nothing), no test patterns on the lines. Soft reset,
// FIFO flushes and endpoint disable finish at once, where the core takes a
// few PHY clocks. A forced mode takes 25 ms to apply: device registers
// written before are reported. VBUS reaches the sensing comparators
// directly (on the chip through PA9, which the firmware leaves an input).
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

// A handshake on the bus; kNone is no answer (the host times out).
enum class Handshake : std::uint8_t { kAck, kNak, kStall, kNone };
const char* handshake_name(Handshake h);

class OtgFs final : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0x50000000;
  static constexpr std::uint32_t kSize = 0x40000;
  static constexpr int kIrq = 67;
  static constexpr int kEndpoints = 4;
  static constexpr std::uint32_t kFifoWords = 320;

  // Global and device register offsets.
  static constexpr std::uint32_t GOTGCTL = 0x000, GOTGINT = 0x004, GAHBCFG = 0x008, GUSBCFG = 0x00C,
                                 GRSTCTL = 0x010, GINTSTS = 0x014, GINTMSK = 0x018, GRXSTSR = 0x01C,
                                 GRXSTSP = 0x020, GRXFSIZ = 0x024, DIEPTXF0 = 0x028, HNPTXSTS = 0x02C,
                                 GCCFG = 0x038, CID = 0x03C, HPTXFSIZ = 0x100, DIEPTXF1 = 0x104,
                                 DIEPTXF2 = 0x108, DIEPTXF3 = 0x10C, DCFG = 0x800, DCTL = 0x804, DSTS = 0x808,
                                 DIEPMSK = 0x810, DOEPMSK = 0x814, DAINT = 0x818, DAINTMSK = 0x81C,
                                 DVBUSDIS = 0x828, DVBUSPULSE = 0x82C, DIEPEMPMSK = 0x834, PCGCCTL = 0xE00;
  // Endpoint blocks: IN n at 0x900 + 0x20 n, OUT n at 0xB00 + 0x20 n.
  static constexpr std::uint32_t kInEp = 0x900, kOutEp = 0xB00, kEpStride = 0x20;
  static constexpr std::uint32_t DxEPCTL = 0x00, DxEPINT = 0x08, DxEPTSIZ = 0x10, DTXFSTS = 0x18;
  static constexpr std::uint32_t kFifoWindow = 0x1000;  // window n at 0x1000 * (n + 1)

  // GINTSTS bits.
  static constexpr std::uint32_t GINT_CMOD = 1u << 0, GINT_MMIS = 1u << 1, GINT_OTGINT = 1u << 2,
                                 GINT_SOF = 1u << 3, GINT_RXFLVL = 1u << 4, GINT_NPTXFE = 1u << 5,
                                 GINT_GINAKEFF = 1u << 6, GINT_GONAKEFF = 1u << 7, GINT_ESUSP = 1u << 10,
                                 GINT_USBSUSP = 1u << 11, GINT_USBRST = 1u << 12, GINT_ENUMDNE = 1u << 13,
                                 GINT_IEPINT = 1u << 18, GINT_OEPINT = 1u << 19, GINT_PTXFE = 1u << 26,
                                 GINT_SRQINT = 1u << 30, GINT_WKUPINT = 1u << 31;
  // Endpoint control and interrupt bits.
  static constexpr std::uint32_t EPCTL_USBAEP = 1u << 15, EPCTL_DPID = 1u << 16, EPCTL_NAKSTS = 1u << 17,
                                 EPCTL_STALL = 1u << 21, EPCTL_CNAK = 1u << 26, EPCTL_SNAK = 1u << 27,
                                 EPCTL_SD0PID = 1u << 28, EPCTL_SODDFRM = 1u << 29, EPCTL_EPDIS = 1u << 30,
                                 EPCTL_EPENA = 1u << 31;
  static constexpr std::uint32_t EPINT_XFRC = 1u << 0, EPINT_EPDISD = 1u << 1, EPINT_STUP = 1u << 3,
                                 EPINT_ITTXFE = 1u << 4, EPINT_INEPNE = 1u << 6, EPINT_TXFE = 1u << 7;

  // The register map of the global and device blocks and PCGCCTL, and of
  // one IN and one OUT endpoint block (offsets within the block; endpoint 0
  // differs in USBAEP, always set). Shared with the tests.
  static const std::array<RegDef, 29> kRegs;
  static const std::array<RegDef, 4> kInEpRegs;
  static const std::array<RegDef, 3> kOutEpRegs;

  OtgFs();
  ~OtgFs() override;

  std::uint32_t read(std::uint32_t offset) override;
  std::optional<std::uint32_t> debug_peek(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;
  // writes() logs the global and device configuration registers; the
  // endpoint registers, FIFO windows and the per-interrupt writes (GINTSTS,
  // GINTMSK, GOTGINT, DIEPEMPMSK) stay out of it.
  // Register contents without side effects (no FIFO pop).
  std::uint32_t peek(std::uint32_t offset) const;
  bool irq_level() const { return irq_level_; }

  // --- the bus, as the host sees it ---------------------------------------
  // The data lines reach the core only through PA11/PA12 in alternate
  // function 10 (the board checks the pins); without, the host sees nothing.
  void set_line_check(std::function<bool()> fn) { lines_ok_ = std::move(fn); }
  // EXTI line 18 (OTG_FS wake-up): pulsed by resume signalling in suspend.
  void set_wakeup_line(std::function<void(bool)> fn) { wakeup_ = std::move(fn); }
  void set_vbus(bool on);
  bool vbus() const { return vbus_; }
  // True when the host sees the device: VBUS, transceiver powered, pull-up
  // on (no soft disconnect) and the data lines routed to the pins.
  bool attached() const;
  void bus_reset_begin();  // SE0 on the bus: USBRST
  void bus_reset_end();    // reset over: the speed enumeration is done (ENUMDNE)
  void sof(std::uint16_t frame);
  void suspend();          // 3 ms of idle bus: USBSUSP
  void resume();           // resume signalling: WKUPINT
  // Transactions addressed to device `addr`.
  Handshake setup(std::uint8_t addr, std::span<const std::uint8_t, 8> packet);
  Handshake out(std::uint8_t addr, std::uint8_t ep, std::span<const std::uint8_t> data, int pid);
  Handshake in(std::uint8_t addr, std::uint8_t ep, std::vector<std::uint8_t>& data, int& pid);
  // Called whenever an endpoint may have turned ready (a FIFO filled, an
  // endpoint enabled or its NAK cleared): the host retries what it NAKed.
  void on_ready(std::function<void()> fn) { on_ready_ = std::move(fn); }
  std::uint8_t address() const;


private:
  struct InEp {
    std::uint32_t ctl = 0, intr = 0, tsiz = 0;
  };
  struct OutEp {
    std::uint32_t ctl = 0, intr = 0, tsiz = 0;
    bool done_pending = false;  // [PKTSTS 3] queued, not yet popped
  };
  struct RxEntry {
    std::uint32_t status;
    std::vector<std::uint32_t> words;
  };

  void write_global(const RegDef& def, std::uint32_t offset, std::uint32_t value, std::uint32_t mask);
  static std::uint32_t epctl_after_write(int n, std::uint32_t old, std::uint32_t value, std::uint32_t mask,
                                         std::uint32_t writable, std::uint32_t ep0_fixed_size, std::uint32_t& intr);
  void write_in_ep(int n, std::uint32_t reg, std::uint32_t value, std::uint32_t mask);
  void write_out_ep(int n, std::uint32_t reg, std::uint32_t value, std::uint32_t mask);
  std::uint32_t read_in_ep(int n, std::uint32_t reg) const;
  std::uint32_t read_out_ep(int n, std::uint32_t reg) const;
  std::uint32_t rx_pop_status(bool pop);
  std::uint32_t rx_pop_word();
  void push_tx(int fifo, std::uint32_t word);
  std::uint32_t tx_fifo_reg(int fifo) const;
  std::string tx_layout_problem(int fifo) const;
  bool session_valid() const;
  bool close_setup_phase(std::uint8_t ep);
  void check_trdt();
  std::uint32_t tx_depth(int fifo) const;
  std::uint32_t tx_free(int fifo) const;
  std::uint32_t rx_used() const;
  std::uint32_t ep_mps(std::uint32_t ctl, int n) const;
  bool ep_naks_in(const InEp& e) const;
  bool ep_naks_out(const OutEp& e) const;
  bool addressed(std::uint8_t addr) const;
  std::uint32_t gintsts() const;
  std::uint32_t daint() const;
  void flush_tx(std::uint32_t num);
  void update_irq();
  void ready();

  bool attached_to_machine() const { return on_machine_; }
  void on_attach() override { on_machine_ = true; }

  RegBank regs_;
  bool on_machine_ = false;
  std::array<std::deque<std::uint32_t>, kEndpoints> txf_{};  // transmit FIFOs 0-3
  std::array<InEp, kEndpoints> in_{};
  std::array<OutEp, kEndpoints> out_{};
  std::deque<RxEntry> rx_;
  std::size_t rx_read_ = 0;  // data words of the popped front entry already read
  bool rx_front_popped_ = false;
  bool vbus_ = false;
  bool irq_level_ = false;
  bool in_reset_ = false;
  bool enumerated_ = false;
  std::uint32_t stupcnt_left_ = 0;
  bool setup_phase_ = false;     // SETUPs received, no IN/OUT token since
  std::uint32_t test_mode_ = 0;  // DCTL TCTL entered (0: none)
  bool trdt_reported_ = false;
  // A new address takes effect once the status stage of SET_ADDRESS (a
  // zero-length IN on endpoint 0) has gone out at the old one.
  int old_address_ = -1;
  cycles_t mode_ready_at_ = 0;  // FDMOD applies 25 ms after it is written
  std::function<bool()> lines_ok_;
  std::function<void(bool)> wakeup_;
  std::function<void()> on_ready_;
};

}  // namespace vb
