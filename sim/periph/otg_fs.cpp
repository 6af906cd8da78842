#include "sim/periph/otg_fs.hpp"

#include <algorithm>

#include "sim/core/machine.hpp"

namespace vb {

const char* handshake_name(Handshake h) {
  switch (h) {
    case Handshake::kAck: return "ACK";
    case Handshake::kNak: return "NAK";
    case Handshake::kStall: return "STALL";
    case Handshake::kNone: return "no answer";
  }
  return "?";
}

namespace {
// GINTSTS bits cleared by writing 1.
constexpr std::uint32_t kGintW1c = 1u << 1 | 1u << 3 | 1u << 10 | 1u << 11 | 1u << 12 | 1u << 13 | 1u << 14 |
                                   1u << 15 | 1u << 20 | 1u << 21 | 1u << 28 | 1u << 29 | 1u << 30 | 1u << 31;
constexpr std::uint32_t kGotgintW1c = 1u << 2 | 1u << 8 | 1u << 9 | 1u << 17 | 1u << 18 | 1u << 19;
constexpr std::uint32_t GOTGINT_SEDET = 1u << 2;
constexpr std::uint32_t GOTGCTL_ASVLD = 1u << 18, GOTGCTL_BSVLD = 1u << 19;
constexpr std::uint32_t GAHBCFG_GINT = 1u << 0, GAHBCFG_TXFELVL = 1u << 7;
constexpr std::uint32_t GUSBCFG_FHMOD = 1u << 29, GUSBCFG_FDMOD = 1u << 30;
constexpr double kModeChangeSeconds = 0.025;
constexpr std::uint32_t GRSTCTL_CSRST = 1u << 0, GRSTCTL_RXFFLSH = 1u << 4, GRSTCTL_TXFFLSH = 1u << 5,
                        GRSTCTL_TXFNUM = 0x1Fu << 6, GRSTCTL_AHBIDL = 1u << 31;
constexpr std::uint32_t GCCFG_PWRDWN = 1u << 16, GCCFG_VBUSBSEN = 1u << 19, GCCFG_SOFOUTEN = 1u << 20,
                        GCCFG_NOVBUSSENS = 1u << 21;
constexpr std::uint32_t DCFG_DSPD = 3u, DCFG_DAD = 0x7Fu << 4;
constexpr std::uint32_t DCTL_RWUSIG = 1u << 0, DCTL_SDIS = 1u << 1, DCTL_GINSTS = 1u << 2, DCTL_GONSTS = 1u << 3,
                        DCTL_TCTL = 7u << 4, DCTL_SGINAK = 1u << 7, DCTL_CGINAK = 1u << 8,
                        DCTL_SGONAK = 1u << 9, DCTL_CGONAK = 1u << 10;
constexpr std::uint32_t DSTS_SUSPSTS = 1u << 0, DSTS_ENUMSPD_FULL = 3u << 1, DSTS_FNSOF = 0x3FFFu << 8;
constexpr std::uint32_t PCGCCTL_GATING = 3u;
constexpr std::uint32_t EPCTL_MPSIZ = 0x7FFu, EPCTL_EPTYP = 3u << 18, EPCTL_SNPM = 1u << 20,
                        EPCTL_TXFNUM = 0xFu << 22;
constexpr std::uint32_t TSIZ_XFRSIZ = 0x7FFFFu, TSIZ_PKTCNT_POS = 19, TSIZ_PKTCNT = 0x3FFu << 19;
constexpr std::uint32_t TSIZ0_STUPCNT_POS = 29;
constexpr std::uint32_t kPktOutData = 2, kPktOutDone = 3, kPktSetupDone = 4, kPktSetupData = 6;
constexpr std::uint32_t kEpTypeBulk = 2, kEpTypeIntr = 3, kEpTypeIso = 1;

constexpr std::uint32_t rx_status(int ep, std::uint32_t bcnt, int dpid, std::uint32_t pktsts) {
  return static_cast<std::uint32_t>(ep) | bcnt << 4 | static_cast<std::uint32_t>(dpid ? 2 : 0) << 15 |
         pktsts << 17;
}
std::uint32_t pktcnt(std::uint32_t tsiz) { return (tsiz & TSIZ_PKTCNT) >> TSIZ_PKTCNT_POS; }
std::uint32_t ep_type(std::uint32_t ctl) { return (ctl & EPCTL_EPTYP) >> 18; }
bool toggles(std::uint32_t ctl) {
  const std::uint32_t t = ep_type(ctl);
  return t == kEpTypeBulk || t == kEpTypeIntr;
}
}  // namespace

// Reset values and bit kinds as the reference manual gives them.
const std::array<RegDef, 29> OtgFs::kRegs{{
    {"GOTGCTL", GOTGCTL, 0x0000'0800, 0x0000'0E02},
    {"GOTGINT", GOTGINT, 0, 0, kGotgintW1c},
    {"GAHBCFG", GAHBCFG, 0, 0x0000'0181},
    {"GUSBCFG", GUSBCFG, 0x0000'0A00, 0xE000'3F47},
    {"GRSTCTL", GRSTCTL, 0x8000'0000, 0x0000'07C0},
    {"GINTSTS", GINTSTS, 0x0400'0020, 0, kGintW1c},
    {"GINTMSK", GINTMSK, 0, 0xF77E'FCFE},
    {"GRXSTSR", GRXSTSR, 0, 0},
    {"GRXSTSP", GRXSTSP, 0, 0},
    {"GRXFSIZ", GRXFSIZ, 0x0000'0200, 0x0000'FFFF},
    {"DIEPTXF0_HNPTXFSIZ", DIEPTXF0, 0x0000'0200, 0xFFFF'FFFF},
    {"HNPTXSTS", HNPTXSTS, 0x0008'0200, 0},
    {"GCCFG", GCCFG, 0, 0x003D'0000},
    {"CID", CID, 0x0000'1000, 0xFFFF'FFFF},
    {"HPTXFSIZ", HPTXFSIZ, 0x0200'0600, 0xFFFF'FFFF},
    {"DIEPTXF1", DIEPTXF1, 0x0200'0400, 0xFFFF'FFFF},
    {"DIEPTXF2", DIEPTXF2, 0x0200'0400, 0xFFFF'FFFF},
    {"DIEPTXF3", DIEPTXF3, 0x0200'0400, 0xFFFF'FFFF},
    {"DCFG", DCFG, 0x0220'0000, 0x0000'1FF7},
    {"DCTL", DCTL, 0, 0x0000'0873},
    {"DSTS", DSTS, 0x0000'0010, 0},
    {"DIEPMSK", DIEPMSK, 0, 0x0000'017B},
    {"DOEPMSK", DOEPMSK, 0, 0x0000'005B},
    {"DAINT", DAINT, 0, 0},
    {"DAINTMSK", DAINTMSK, 0, 0xFFFF'FFFF},
    {"DVBUSDIS", DVBUSDIS, 0x0000'17D7, 0x0000'FFFF},
    {"DVBUSPULSE", DVBUSPULSE, 0x0000'05B8, 0x0000'0FFF},
    {"DIEPEMPMSK", DIEPEMPMSK, 0, 0x0000'FFFF},
    {"PCGCCTL", PCGCCTL, 0, 0x0000'0013},
}};
const std::array<RegDef, 4> OtgFs::kInEpRegs{{
    {"DIEPCTL", DxEPCTL, 0, 0x03EC'87FF},
    {"DIEPINT", DxEPINT, 0x0000'0080, 0, 0x0000'007B},
    {"DIEPTSIZ", DxEPTSIZ, 0, 0x7FFF'FFFF},
    {"DTXFSTS", DTXFSTS, 0, 0},
}};
const std::array<RegDef, 3> OtgFs::kOutEpRegs{{
    {"DOEPCTL", DxEPCTL, 0, 0x003C'87FF},
    {"DOEPINT", DxEPINT, 0, 0, 0x0000'005B},
    {"DOEPTSIZ", DxEPTSIZ, 0, 0x7FFF'FFFF},
}};

OtgFs::OtgFs() : RegModel("OTG_FS", kBase, kSize, ClockGate{ClockGate::kAHB2, 7}), regs_(kRegs) { reset(); }
OtgFs::~OtgFs() = default;

void OtgFs::reset() {
  regs_.reset();
  for (int n = 0; n < kEndpoints; ++n) {
    in_[n] = InEp{};
    out_[n] = OutEp{};
  }
  in_[0].ctl = EPCTL_USBAEP;  // endpoint 0 is always active
  out_[0].ctl = EPCTL_USBAEP;
  rx_.clear();
  rx_read_ = 0;
  rx_front_popped_ = false;
  in_reset_ = false;
  enumerated_ = false;
  stupcnt_left_ = 0;
  setup_phase_ = false;
  test_mode_ = 0;
  trdt_reported_ = false;
  mode_ready_at_ = 0;
  if (irq_level_) {
    irq_level_ = false;
    if (attached_to_machine()) machine().set_irq(kIrq, false);
  }
}

// --- FIFOs --------------------------------------------------------------------

std::uint32_t OtgFs::tx_depth(int fifo) const { return tx_fifo_reg(fifo) >> 16; }

std::uint32_t OtgFs::tx_free(int fifo) const {
  const std::uint32_t used = static_cast<std::uint32_t>(txf_[fifo].size());
  const std::uint32_t depth = tx_depth(fifo);
  return used >= depth ? 0 : depth - used;
}

std::uint32_t OtgFs::rx_used() const {
  std::uint32_t used = 0;
  for (const RxEntry& e : rx_) used += 1 + static_cast<std::uint32_t>(e.words.size());
  return used - static_cast<std::uint32_t>(rx_read_) - (rx_front_popped_ ? 1 : 0);
}

std::uint32_t OtgFs::tx_fifo_reg(int fifo) const {
  return fifo == 0 ? regs_[DIEPTXF0] : regs_[DIEPTXF1 + 4u * static_cast<std::uint32_t>(fifo - 1)];
}

// What is wrong with the RAM layout of a transmit FIFO in use, or "": it
// must lie in the FIFO RAM above the receive FIFO, be 16 to 256 words deep
// and share no word with another transmit FIFO that has a size.
std::string OtgFs::tx_layout_problem(int fifo) const {
  const std::uint32_t reg = tx_fifo_reg(fifo);
  const std::uint32_t start = reg & 0xFFFF, depth = reg >> 16;
  if (start + depth > kFifoWords || (regs_[GRXFSIZ] & 0xFFFF) > start)
    return "lies outside the FIFO RAM or overlaps the receive FIFO";
  if (depth < 16 || depth > 256) return "is " + std::to_string(depth) + " words deep (16 to 256 allowed)";
  for (int other = 0; other < kEndpoints; ++other) {
    if (other == fifo) continue;
    const std::uint32_t r = tx_fifo_reg(other);
    const std::uint32_t s = r & 0xFFFF, d = r >> 16;
    if (d != 0 && s < start + depth && start < s + d)
      return "overlaps transmit FIFO " + std::to_string(other) + " (" + hex32(r) + ")";
  }
  return "";
}

void OtgFs::push_tx(int fifo, std::uint32_t word) {
  const std::string problem = tx_layout_problem(fifo);
  if (!problem.empty()) {
    report("transmit FIFO " + std::to_string(fifo) + " (" + hex32(tx_fifo_reg(fifo)) + ") " + problem);
    return;
  }
  if (tx_free(fifo) == 0) {
    report("write to transmit FIFO " + std::to_string(fifo) + " while it is full (check DTXFSTS first)");
    return;
  }
  txf_[fifo].push_back(word);
  ready();
}

void OtgFs::flush_tx(std::uint32_t num) {
  for (int f = 0; f < kEndpoints; ++f)
    if (num == 0x10 || num == static_cast<std::uint32_t>(f)) txf_[f].clear();
}

std::uint32_t OtgFs::rx_pop_status(bool pop) {
  if (rx_front_popped_) {
    if (rx_read_ < rx_.front().words.size()) {
      report("receive status popped before the data of the previous packet was read");
      return 0;
    }
    rx_.pop_front();
    rx_front_popped_ = false;
    rx_read_ = 0;
  }
  if (rx_.empty()) {
    if (pop) report("GRXSTSP read with the receive FIFO empty");
    return 0;
  }
  RxEntry& e = rx_.front();
  const std::uint32_t status = e.status;
  if (!pop) return status;
  rx_front_popped_ = true;
  const int ep = static_cast<int>(status & 0xF);
  const std::uint32_t pktsts = (status >> 17) & 0xF;
  if (pktsts == kPktSetupDone) {
    out_[0].ctl &= ~EPCTL_EPENA;
    out_[0].intr |= EPINT_STUP;
  } else if (pktsts == kPktOutDone) {
    out_[ep].ctl &= ~EPCTL_EPENA;
    out_[ep].intr |= EPINT_XFRC;
    out_[ep].done_pending = false;
  }
  if (e.words.empty()) {
    rx_.pop_front();
    rx_front_popped_ = false;
  }
  update_irq();
  return status;
}

std::uint32_t OtgFs::rx_pop_word() {
  if (!rx_front_popped_ || rx_.empty() || rx_read_ >= rx_.front().words.size()) {
    report("receive FIFO read with no packet data waiting (pop the status from GRXSTSP first)");
    return 0;
  }
  RxEntry& e = rx_.front();
  const std::uint32_t w = e.words[rx_read_++];
  const std::uint32_t pktsts = (e.status >> 17) & 0xF;
  if (pktsts == kPktOutData) {
    // XFRSIZ counts down as the application reads the packet out.
    const int ep = static_cast<int>(e.status & 0xF);
    const std::uint32_t bcnt = (e.status >> 4) & 0x7FF;
    const std::uint32_t bytes = std::min<std::uint32_t>(4, bcnt - 4 * static_cast<std::uint32_t>(rx_read_ - 1));
    std::uint32_t& tsiz = out_[ep].tsiz;
    const std::uint32_t xfrsiz = tsiz & TSIZ_XFRSIZ;
    tsiz = (tsiz & ~TSIZ_XFRSIZ) | (xfrsiz >= bytes ? xfrsiz - bytes : 0);
  }
  if (rx_read_ == e.words.size()) {
    rx_.pop_front();
    rx_front_popped_ = false;
    rx_read_ = 0;
  }
  update_irq();
  return w;
}

// --- registers ----------------------------------------------------------------

std::uint32_t OtgFs::gintsts() const {
  std::uint32_t v = regs_[GINTSTS] & ~(GINT_CMOD | GINT_OTGINT | GINT_RXFLVL | GINT_IEPINT | GINT_OEPINT |
                                      GINT_GINAKEFF | GINT_GONAKEFF);
  if (regs_[GOTGINT] != 0) v |= GINT_OTGINT;
  if (rx_.size() > (rx_front_popped_ ? 1u : 0u)) v |= GINT_RXFLVL;
  const std::uint32_t d = daint() & regs_[DAINTMSK];
  if (d & 0xFFFF) v |= GINT_IEPINT;
  if (d >> 16) v |= GINT_OEPINT;
  if (regs_[DCTL] & DCTL_GINSTS) v |= GINT_GINAKEFF;
  if (regs_[DCTL] & DCTL_GONSTS) v |= GINT_GONAKEFF;
  return v;
}

std::uint32_t OtgFs::daint() const {
  std::uint32_t d = 0;
  for (int n = 0; n < kEndpoints; ++n) {
    std::uint32_t mask = regs_[DIEPMSK] & ~EPINT_TXFE;
    if ((regs_[DIEPEMPMSK] >> n) & 1) mask |= EPINT_TXFE;
    if (read_in_ep(n, DxEPINT) & mask) d |= 1u << n;
    if (out_[n].intr & regs_[DOEPMSK]) d |= 1u << (16 + n);
  }
  return d;
}

std::uint32_t OtgFs::read_in_ep(int n, std::uint32_t reg) const {
  const InEp& e = in_[n];
  const int fifo = n == 0 ? 0 : static_cast<int>((e.ctl & EPCTL_TXFNUM) >> 22);
  switch (reg) {
    case DxEPCTL: return e.ctl;
    case DxEPINT: {
      const std::uint32_t used = static_cast<std::uint32_t>(txf_[fifo].size());
      const bool empty = (regs_[GAHBCFG] & GAHBCFG_TXFELVL) ? used == 0 : 2 * used <= tx_depth(fifo);
      return e.intr | (empty ? EPINT_TXFE : 0);
    }
    case DxEPTSIZ: return e.tsiz;
    case DTXFSTS: return tx_free(fifo);
  }
  return 0;
}

std::uint32_t OtgFs::read_out_ep(int n, std::uint32_t reg) const {
  const OutEp& e = out_[n];
  switch (reg) {
    case DxEPCTL: return n == 0 ? (e.ctl & ~EPCTL_MPSIZ) | (in_[0].ctl & 3u) : e.ctl;
    case DxEPINT: return e.intr;
    case DxEPTSIZ: return e.tsiz;
  }
  return 0;
}

std::uint32_t OtgFs::peek(std::uint32_t offset) const {
  if (offset >= kInEp && offset < kInEp + kEpStride * kEndpoints)
    return read_in_ep(static_cast<int>((offset - kInEp) / kEpStride), (offset - kInEp) % kEpStride);
  if (offset >= kOutEp && offset < kOutEp + kEpStride * kEndpoints)
    return read_out_ep(static_cast<int>((offset - kOutEp) / kEpStride), (offset - kOutEp) % kEpStride);
  switch (offset) {
    case GOTGCTL: return regs_[GOTGCTL] | (vbus_ ? GOTGCTL_ASVLD | GOTGCTL_BSVLD : 0);
    case GINTSTS: return gintsts();
    case DAINT: return daint();
    case GRXSTSR: return rx_.empty() || rx_front_popped_ ? (rx_.size() > 1 ? rx_[1].status : 0) : rx_.front().status;
  }
  return find_reg(kRegs, offset) ? regs_[offset] : 0;
}

std::uint32_t OtgFs::read(std::uint32_t offset) {
  if (offset >= kFifoWindow && offset < kFifoWindow * (kEndpoints + 1)) return rx_pop_word();
  if (offset >= kInEp && offset < kInEp + kEpStride * kEndpoints) {
    const std::uint32_t reg = (offset - kInEp) % kEpStride;
    if (!find_reg(kInEpRegs, reg)) report_unimplemented(offset, false);
    return peek(offset);
  }
  if (offset >= kOutEp && offset < kOutEp + kEpStride * kEndpoints) {
    if (!find_reg(kOutEpRegs, (offset - kOutEp) % kEpStride)) report_unimplemented(offset, false);
    return peek(offset);
  }
  if (!find_reg(kRegs, offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  if (offset == GRXSTSR) return rx_pop_status(false);
  if (offset == GRXSTSP) return rx_pop_status(true);
  return peek(offset);
}

std::optional<std::uint32_t> OtgFs::debug_peek(std::uint32_t offset) {
  // The FIFO windows pop a word on every read: a debugger sees nothing there.
  if (offset >= kFifoWindow && offset < kFifoWindow * (kEndpoints + 1)) return std::nullopt;
  // Reading either receive status register moves the receive queue on
  // (GRXSTSR finishes the previous packet); a debugger sees neither.
  if (offset == GRXSTSP || offset == GRXSTSR) return std::nullopt;
  if (offset >= kInEp && offset < kInEp + kEpStride * kEndpoints) {
    if (!find_reg(kInEpRegs, (offset - kInEp) % kEpStride)) return std::nullopt;
    return peek(offset);
  }
  if (offset >= kOutEp && offset < kOutEp + kEpStride * kEndpoints) {
    if (!find_reg(kOutEpRegs, (offset - kOutEp) % kEpStride)) return std::nullopt;
    return peek(offset);
  }
  if (!find_reg(kRegs, offset)) return std::nullopt;
  return peek(offset);
}

void OtgFs::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (offset >= kFifoWindow && offset < kFifoWindow * (kEndpoints + 1)) {
    if (mask != ~0u) report("FIFO window written with a narrow access (the FIFOs take 32-bit words)");
    push_tx(static_cast<int>(offset / kFifoWindow - 1), value);
    update_irq();
    return;
  }
  if (offset >= kInEp && offset < kInEp + kEpStride * kEndpoints) {
    const std::uint32_t reg = (offset - kInEp) % kEpStride;
    if (accept_write(kInEpRegs, reg, value, mask, 4, false) == nullptr) return;
    write_in_ep(static_cast<int>((offset - kInEp) / kEpStride), reg, value, mask);
  } else if (offset >= kOutEp && offset < kOutEp + kEpStride * kEndpoints) {
    const std::uint32_t reg = (offset - kOutEp) % kEpStride;
    if (accept_write(kOutEpRegs, reg, value, mask, 4, false) == nullptr) return;
    write_out_ep(static_cast<int>((offset - kOutEp) / kEpStride), reg, value, mask);
  } else {
    if (offset >= DCFG && offset < PCGCCTL && machine().now() < mode_ready_at_)
      report("device register written less than 25 ms after GUSBCFG forced device mode");
    // The log keeps the configuration writes; the flag clears and mask
    // toggles of every interrupt would swamp it.
    const bool per_event = offset == GINTSTS || offset == GINTMSK || offset == GOTGINT || offset == DIEPEMPMSK;
    const RegDef* def = accept_write(kRegs, offset, value, mask, 4, !per_event);
    if (def == nullptr) return;
    write_global(*def, offset, value, mask);
  }
  update_irq();
}

void OtgFs::write_global(const RegDef& def, std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[offset];
  const std::uint32_t v = regs_.store(offset, value, mask);
  switch (offset) {
    case GUSBCFG:
      if (v & GUSBCFG_FHMOD) report("GUSBCFG FHMOD: host mode is not modelled");
      if ((v ^ old) & GUSBCFG_FDMOD)
        mode_ready_at_ = machine().now() + static_cast<cycles_t>(kModeChangeSeconds * machine().clocks().hclk);
      break;
    case GRSTCTL:
      // Soft reset and flushes complete at once (the core takes a few PHY
      // clocks); the self-clearing bits then read 0.
      if (value & GRSTCTL_CSRST) {
        flush_tx(0x10);
        rx_.clear();
        rx_front_popped_ = false;
        rx_read_ = 0;
        regs_[GINTSTS] &= ~kGintW1c;
        regs_[GOTGINT] = 0;
        if (test_mode_ != 0) machine().message("OTG_FS: core soft reset; test mode " + std::to_string(test_mode_) + " ended");
        test_mode_ = 0;
        regs_[DCTL] &= ~DCTL_TCTL;
      }
      if (value & GRSTCTL_TXFFLSH) flush_tx((value & GRSTCTL_TXFNUM) >> 6);
      if (value & GRSTCTL_RXFFLSH) {
        rx_.clear();
        rx_front_popped_ = false;
        rx_read_ = 0;
      }
      regs_[GRSTCTL] = (v & GRSTCTL_TXFNUM) | GRSTCTL_AHBIDL;
      break;
    case GCCFG:
      if (v & GCCFG_SOFOUTEN) report("GCCFG " + hex32(v) + ": the SOF output pin is not modelled");
      // VBUS already valid when sensing comes on: a session request.
      if (vbus_ && (v & GCCFG_VBUSBSEN) && !(old & GCCFG_VBUSBSEN)) regs_[GINTSTS] |= GINT_SRQINT;
      break;
    case DCTL: {
      // Global NAK: set and clear bits act once; the status bits follow.
      std::uint32_t d = v;
      if (value & DCTL_SGINAK) d |= DCTL_GINSTS;
      if (value & DCTL_CGINAK) d &= ~DCTL_GINSTS;
      if (value & DCTL_SGONAK) d |= DCTL_GONSTS;
      if (value & DCTL_CGONAK) d &= ~DCTL_GONSTS;
      regs_[DCTL] = d;
      // A test mode takes the port off normal operation until the core is
      // reset: the device answers no token any more (the test patterns
      // themselves are not modelled). The firmware entering one, or a host
      // asking for one, is no reason to stop the board.
      if ((d & DCTL_TCTL) && test_mode_ == 0) {
        test_mode_ = (d & DCTL_TCTL) >> 4;
        machine().message("OTG_FS: DCTL TCTL entered test mode " + std::to_string(test_mode_) +
                          "; the device answers no host request until the core is reset");
      }
      if ((d & DCTL_RWUSIG) && !(old & DCTL_RWUSIG))
        machine().message("OTG_FS: remote wake-up signalling is not modelled; the host is not woken");
      ready();
      break;
    }
    case DCFG:
      if ((v & DCFG_DAD) != (old & DCFG_DAD)) old_address_ = static_cast<int>((old & DCFG_DAD) >> 4);
      break;
    case PCGCCTL:
      if (v & PCGCCTL_GATING) report("PCGCCTL clock gating is not modelled");
      break;
    default:
      (void)def;
      break;
  }
}

// DIEPCTLx/DOEPCTLx after a write: the plain fields take the value (on
// endpoint 0 its fixed type, activation and the given size bits excepted);
// CNAK/SNAK, SD0PID/SODDFRM and EPENA/EPDIS act as commands. Only a SETUP
// clears endpoint 0's STALL. Disabling an enabled endpoint raises EPDISD in
// `intr`.
std::uint32_t OtgFs::epctl_after_write(int n, std::uint32_t old, std::uint32_t value, std::uint32_t mask,
                                       std::uint32_t writable, std::uint32_t ep0_fixed_size, std::uint32_t& intr) {
  std::uint32_t plain = writable & mask;
  if (n == 0) plain &= ~(EPCTL_USBAEP | EPCTL_EPTYP | ep0_fixed_size);
  std::uint32_t c = (old & ~plain) | (value & plain);
  if (n == 0 && (old & EPCTL_STALL)) c |= EPCTL_STALL;
  if (value & EPCTL_CNAK) c &= ~EPCTL_NAKSTS;
  if (value & EPCTL_SNAK) c |= EPCTL_NAKSTS;
  if (value & EPCTL_SD0PID) c &= ~EPCTL_DPID;
  if (value & EPCTL_SODDFRM) c |= EPCTL_DPID;
  if (value & EPCTL_EPENA) c |= EPCTL_EPENA;
  if ((value & EPCTL_EPDIS) && (c & EPCTL_EPENA)) {
    c &= ~EPCTL_EPENA;
    intr |= EPINT_EPDISD;
  }
  if (n == 0) c |= EPCTL_USBAEP;
  return c;
}

void OtgFs::write_in_ep(int n, std::uint32_t reg, std::uint32_t value, std::uint32_t mask) {
  InEp& e = in_[n];
  switch (reg) {
    case DxEPCTL: {
      const std::uint32_t c =
          epctl_after_write(n, e.ctl, value, mask, kInEpRegs[0].writable, EPCTL_MPSIZ & ~3u, e.intr);
      if (ep_type(c) == kEpTypeIso && (c & EPCTL_USBAEP)) report("isochronous IN endpoints are not modelled");
      e.ctl = c;
      ready();
      break;
    }
    case DxEPINT:
      e.intr &= ~(kInEpRegs[1].w1c & mask & value);
      break;
    case DxEPTSIZ:
      e.tsiz = (e.tsiz & ~(kInEpRegs[2].writable & mask)) | (value & kInEpRegs[2].writable & mask);
      if (n == 0) e.tsiz &= 0x0018'007F;  // endpoint 0: XFRSIZ 7 bits, PKTCNT 2 bits
      break;
    default:
      break;  // DTXFSTS is read-only
  }
}

void OtgFs::write_out_ep(int n, std::uint32_t reg, std::uint32_t value, std::uint32_t mask) {
  OutEp& e = out_[n];
  switch (reg) {
    case DxEPCTL: {
      const std::uint32_t c = epctl_after_write(n, e.ctl, value, mask, kOutEpRegs[0].writable, EPCTL_MPSIZ, e.intr);
      if (c & EPCTL_SNPM) report("DOEPCTL SNPM: snoop mode is not modelled");
      if (ep_type(c) == kEpTypeIso && (c & EPCTL_USBAEP)) report("isochronous OUT endpoints are not modelled");
      e.ctl = c;
      ready();
      break;
    }
    case DxEPINT:
      e.intr &= ~(kOutEpRegs[1].w1c & mask & value);
      break;
    case DxEPTSIZ:
      e.tsiz = (e.tsiz & ~(kOutEpRegs[2].writable & mask)) | (value & kOutEpRegs[2].writable & mask);
      if (n == 0) {
        e.tsiz &= 0x6008'007F;  // endpoint 0: XFRSIZ 7 bits, PKTCNT 1 bit, STUPCNT
        stupcnt_left_ = (e.tsiz >> TSIZ0_STUPCNT_POS) & 3;
      }
      break;
  }
}

void OtgFs::update_irq() {
  if (!attached_to_machine()) return;
  const bool level = (regs_[GAHBCFG] & GAHBCFG_GINT) && (gintsts() & regs_[GINTMSK]) != 0;
  if (level == irq_level_) return;
  irq_level_ = level;
  machine().set_irq(kIrq, level);
}

void OtgFs::ready() {
  if (on_ready_) on_ready_();
}

// --- the bus ------------------------------------------------------------------

// The B-device session is valid only with VBUS sensing on (VBUSBSEN) and
// VBUS present, or with sensing off (NOVBUSSENS), where the core takes VBUS
// as always valid; only then does it pull D+ up.
bool OtgFs::session_valid() const {
  const std::uint32_t g = regs_[GCCFG];
  return (g & GCCFG_NOVBUSSENS) || ((g & GCCFG_VBUSBSEN) && vbus_);
}

bool OtgFs::attached() const {
  return vbus_ && session_valid() && (regs_[GCCFG] & GCCFG_PWRDWN) && !(regs_[DCTL] & DCTL_SDIS) &&
         (!lines_ok_ || lines_ok_());
}

std::uint8_t OtgFs::address() const { return static_cast<std::uint8_t>((regs_[DCFG] & DCFG_DAD) >> 4); }

bool OtgFs::addressed(std::uint8_t addr) const {
  return attached() && !in_reset_ && enumerated_ && test_mode_ == 0 && (addr == address() || addr == old_address_);
}

void OtgFs::set_vbus(bool on) {
  if (on == vbus_) return;
  vbus_ = on;
  if (regs_[GCCFG] & GCCFG_VBUSBSEN) {
    if (on)
      regs_[GINTSTS] |= GINT_SRQINT;
    else
      regs_[GOTGINT] |= GOTGINT_SEDET;
  }
  if (!on) {
    enumerated_ = false;
    in_reset_ = false;
  }
  update_irq();
}

void OtgFs::bus_reset_begin() {
  if (!attached()) return;
  in_reset_ = true;
  enumerated_ = false;
  old_address_ = -1;
  setup_phase_ = false;
  // "The core clears this bit for all endpoints other than 0 after
  // detecting a USB reset": USBAEP, and with it the data toggles restart
  // when the firmware activates them again.
  for (int n = 1; n < kEndpoints; ++n) {
    in_[n].ctl &= ~EPCTL_USBAEP;
    out_[n].ctl &= ~EPCTL_USBAEP;
  }
  regs_[DSTS] &= ~DSTS_SUSPSTS;
  regs_[GINTSTS] |= GINT_USBRST;
  update_irq();
}

void OtgFs::bus_reset_end() {
  if (!in_reset_) return;
  in_reset_ = false;
  if ((regs_[DCFG] & DCFG_DSPD) != 3)
    report("DCFG DSPD " + std::to_string(regs_[DCFG] & DCFG_DSPD) +
           ": the embedded full-speed PHY needs 3; the speed enumeration cannot complete");
  if (machine().clocks().clk48 != 48'000'000)
    report("the OTG_FS core needs a 48 MHz clock (PLL Q output is " + std::to_string(machine().clocks().clk48) +
           " Hz)");
  enumerated_ = true;
  regs_[DSTS] = (regs_[DSTS] & ~(3u << 1)) | DSTS_ENUMSPD_FULL;
  regs_[GINTSTS] |= GINT_ENUMDNE;
  update_irq();
}

void OtgFs::sof(std::uint16_t frame) {
  if (!attached()) return;
  regs_[DSTS] = (regs_[DSTS] & ~(DSTS_FNSOF | DSTS_SUSPSTS)) | (std::uint32_t{frame} & 0x7FF) << 8;
  regs_[GINTSTS] |= GINT_SOF;
  update_irq();
}

void OtgFs::suspend() {
  if (!attached()) return;
  regs_[DSTS] |= DSTS_SUSPSTS;
  regs_[GINTSTS] |= GINT_USBSUSP;
  update_irq();
}

void OtgFs::resume() {
  if (!attached()) return;
  if ((regs_[DSTS] & DSTS_SUSPSTS) && wakeup_) {
    wakeup_(true);
    wakeup_(false);
  }
  regs_[DSTS] &= ~DSTS_SUSPSTS;
  regs_[GINTSTS] |= GINT_WKUPINT;
  update_irq();
}

std::uint32_t OtgFs::ep_mps(std::uint32_t ctl, int n) const {
  if (n != 0) return ctl & EPCTL_MPSIZ;
  static constexpr std::uint32_t kEp0[4] = {64, 32, 16, 8};
  return kEp0[in_[0].ctl & 3u];
}

// The first IN or OUT token on endpoint 0 after SETUPs closes the setup
// phase; the token itself is NAKed (endpoint 0 NAKs until the firmware has
// seen the request).
bool OtgFs::close_setup_phase(std::uint8_t ep) {
  if (ep != 0 || !setup_phase_) return false;
  setup_phase_ = false;
  rx_.push_back({rx_status(0, 0, 0, kPktSetupDone), {}});
  update_irq();
  return true;
}

// The turnaround time GUSBCFG TRDT must be at least the reference manual's
// minimum for the AHB clock (in PHY clocks; 6 from 32 MHz up) once the
// device works on the bus.
void OtgFs::check_trdt() {
  // Checked once the firmware has taken ENUMDNE, where it sets TRDT for the
  // speed found (before that it has not had its chance).
  if (trdt_reported_ || (regs_[GINTSTS] & GINT_ENUMDNE)) return;
  const double mhz = machine().clocks().hclk / 1e6;
  static constexpr struct { double from_mhz; std::uint32_t trdt; } kMin[] = {
      {32, 6}, {27.5, 7}, {24, 8}, {21.8, 9}, {20, 10}, {18.5, 11}, {17.2, 12}, {16, 13}, {15, 14}, {0, 15}};
  std::uint32_t min = 15;
  for (const auto& row : kMin)
    if (mhz >= row.from_mhz) {
      min = row.trdt;
      break;
    }
  const std::uint32_t trdt = (regs_[GUSBCFG] >> 10) & 0xF;
  if (trdt < min) {
    trdt_reported_ = true;
    report("GUSBCFG TRDT " + std::to_string(trdt) + " is below the minimum " + std::to_string(min) +
           " for HCLK " + std::to_string(machine().clocks().hclk) + " Hz");
  }
}

Handshake OtgFs::setup(std::uint8_t addr, std::span<const std::uint8_t, 8> packet) {
  if (!addressed(addr)) return Handshake::kNone;
  check_trdt();
  if (addr == address()) old_address_ = -1;
  // Always acknowledged; endpoint 0 leaves its stall and NAKs until the
  // firmware has seen the request.
  for (std::uint32_t* c : {&in_[0].ctl, &out_[0].ctl}) *c = (*c & ~EPCTL_STALL) | EPCTL_NAKSTS | EPCTL_DPID;
  std::vector<std::uint32_t> words(2, 0);
  for (int i = 0; i < 8; ++i) words[i / 4] |= std::uint32_t{packet[i]} << (8 * (i % 4));
  rx_.push_back({rx_status(0, 8, 0, kPktSetupData), std::move(words)});
  // The setup phase ends with the host's first IN or OUT token after it:
  // only then does [PKTSTS 4] enter the FIFO (STUP once, whatever number of
  // back-to-back SETUPs came before).
  setup_phase_ = true;
  if (stupcnt_left_ > 0) {
    --stupcnt_left_;
    out_[0].tsiz = (out_[0].tsiz & ~(3u << TSIZ0_STUPCNT_POS)) | stupcnt_left_ << TSIZ0_STUPCNT_POS;
  }
  update_irq();
  return Handshake::kAck;
}

bool OtgFs::ep_naks_out(const OutEp& e) const {
  return !(e.ctl & EPCTL_EPENA) || (e.ctl & EPCTL_NAKSTS) || (regs_[DCTL] & DCTL_GONSTS) || e.done_pending;
}

bool OtgFs::ep_naks_in(const InEp& e) const {
  return !(e.ctl & EPCTL_EPENA) || (e.ctl & EPCTL_NAKSTS) || (regs_[DCTL] & DCTL_GINSTS);
}

Handshake OtgFs::out(std::uint8_t addr, std::uint8_t ep, std::span<const std::uint8_t> data, int pid) {
  if (!addressed(addr) || ep >= kEndpoints) return Handshake::kNone;
  OutEp& e = out_[ep];
  if (!(e.ctl & EPCTL_USBAEP)) return Handshake::kNone;
  check_trdt();
  if (close_setup_phase(ep)) return Handshake::kNak;
  if (e.ctl & EPCTL_STALL) return Handshake::kStall;
  if (ep_naks_out(e)) return Handshake::kNak;
  const std::uint32_t mps = ep_mps(e.ctl, ep);
  const std::uint32_t words = (static_cast<std::uint32_t>(data.size()) + 3) / 4;
  if (rx_used() + words + 2 > (regs_[GRXFSIZ] & 0xFFFF)) return Handshake::kNak;  // no room in the FIFO
  if (toggles(e.ctl) && ((e.ctl & EPCTL_DPID) != 0) != (pid != 0)) return Handshake::kAck;  // a repeat: dropped
  std::vector<std::uint32_t> w(words, 0);
  for (std::size_t i = 0; i < data.size(); ++i) w[i / 4] |= std::uint32_t{data[i]} << (8 * (i % 4));
  rx_.push_back({rx_status(ep, static_cast<std::uint32_t>(data.size()), pid, kPktOutData), std::move(w)});
  e.ctl ^= EPCTL_DPID;
  std::uint32_t count = pktcnt(e.tsiz);
  if (count > 0) --count;
  e.tsiz = (e.tsiz & ~TSIZ_PKTCNT) | count << TSIZ_PKTCNT_POS;
  if (data.size() < mps || count == 0) {
    rx_.push_back({rx_status(ep, 0, pid, kPktOutDone), {}});
    e.done_pending = true;
  }
  update_irq();
  return Handshake::kAck;
}

Handshake OtgFs::in(std::uint8_t addr, std::uint8_t ep, std::vector<std::uint8_t>& data, int& pid) {
  data.clear();
  if (!addressed(addr) || ep >= kEndpoints) return Handshake::kNone;
  InEp& e = in_[ep];
  if (!(e.ctl & EPCTL_USBAEP)) return Handshake::kNone;
  check_trdt();
  if (close_setup_phase(ep)) return Handshake::kNak;
  if (e.ctl & EPCTL_STALL) return Handshake::kStall;
  const int fifo = ep == 0 ? 0 : static_cast<int>((e.ctl & EPCTL_TXFNUM) >> 22);
  if (ep_naks_in(e)) return Handshake::kNak;
  const std::uint32_t len = std::min(e.tsiz & TSIZ_XFRSIZ, ep_mps(e.ctl, ep));
  const std::size_t words = (len + 3) / 4;
  if (txf_[fifo].size() < words || pktcnt(e.tsiz) == 0) {
    if (txf_[fifo].empty()) e.intr |= EPINT_ITTXFE;
    update_irq();
    return Handshake::kNak;
  }
  for (std::size_t i = 0; i < words; ++i) {
    const std::uint32_t w = txf_[fifo].front();
    txf_[fifo].pop_front();
    for (std::uint32_t b = 0; b < 4 && 4 * i + b < len; ++b) data.push_back(static_cast<std::uint8_t>(w >> (8 * b)));
  }
  if (ep == 0 && len == 0) old_address_ = -1;  // the status stage of SET_ADDRESS is over
  pid = (e.ctl & EPCTL_DPID) ? 1 : 0;
  e.ctl ^= EPCTL_DPID;
  const std::uint32_t count = pktcnt(e.tsiz) - 1;
  e.tsiz = (e.tsiz & ~(TSIZ_PKTCNT | TSIZ_XFRSIZ)) | count << TSIZ_PKTCNT_POS | ((e.tsiz & TSIZ_XFRSIZ) - len);
  if (count == 0) {
    e.ctl &= ~EPCTL_EPENA;
    e.intr |= EPINT_XFRC;
  }
  update_irq();
  return Handshake::kAck;
}

}  // namespace vb
