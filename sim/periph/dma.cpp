#include "sim/periph/dma.hpp"

#include "sim/core/machine.hpp"

namespace vb {

using namespace dma_reg;

namespace {
int stream_of(std::uint32_t offset) { return offset < 0x10 ? -1 : static_cast<int>((offset - 0x10) / 0x18); }
std::uint32_t field_of(std::uint32_t offset) { return (offset - 0x10) % 0x18; }
unsigned item_bytes(std::uint32_t size_field) { return 1u << size_field; }

// CR bits the stream takes while it runs: the interrupt enables.
constexpr std::uint32_t kLiveCrBits = CR_TCIE | CR_HTIE | CR_TEIE | CR_DMEIE;
constexpr std::uint32_t kFcrFeie = 1u << 7;

// What DMA1's two AHB master ports reach. The peripheral port is wired to
// the APB1 bridge alone; the memory port goes through the bus matrix to
// the flash, SRAM and external memories, but not to the CCM RAM, which
// only the core's data bus reaches. Anything else ends in a transfer error.
constexpr std::uint32_t kApb1Start = 0x40000000, kApb1End = 0x40008000;
constexpr std::uint32_t kCcmStart = 0x10000000, kCcmEnd = 0x10010000;
bool peripheral_port_reaches(std::uint32_t a, unsigned n) { return a >= kApb1Start && a + n <= kApb1End; }
bool memory_port_reaches(std::uint32_t a, unsigned n) { return a + n <= kCcmStart || a >= kCcmEnd; }
}  // namespace

Dma::Dma(std::string name, std::uint32_t base, ClockGate gate, std::array<int, kStreams> irqs)
    : RegModel(std::move(name), base, 0x400, gate), regs_(kMap), irqs_(irqs) {}

// --- decoding -----------------------------------------------------------------

std::uint32_t Dma::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  if (offset == LIFCR || offset == HIFCR) return 0;
  return regs_[offset];
}

void Dma::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  const RegDef* r = accept_write(regs_.map(), offset, value, mask, 4);
  if (!r) return;
  if (offset == LISR || offset == HISR) {
    report(std::string("write to read-only ") + r->name);
    return;
  }
  if (offset == LIFCR || offset == HIFCR) {
    regs_[offset - 8] &= ~(value & mask & 0x0F7D0F7D);  // the flag bits of four streams
    update_irq();
    return;
  }
  const int n = stream_of(offset);
  const std::uint32_t field = field_of(offset);
  if (field == SxCR) {
    write_cr(n, value, mask);
  } else if (cr(n) & CR_EN) {
    // NDTR, PAR, M0AR and FCR are write-protected while the stream runs (the
    // chip ignores the write), all but FCR's FIFO error interrupt enable;
    // M1AR only matters in double-buffer mode.
    if (field == SxFCR && !((regs_[offset] ^ value) & mask & ~kFcrFeie)) {
      regs_.store(offset, value, mask & kFcrFeie);
      update_irq();
      return;
    }
    if (field != SxM1AR) {
      report(std::string("write to ") + r->name + " while the stream is enabled (ignored by the chip)");
      return;
    }
    regs_.store(offset, value, mask);
  } else {
    regs_.store(offset, value, mask);
  }
}

void Dma::reset() {
  for (int n = 0; n < kStreams; ++n)
    if (cr(n) & CR_EN) notify(n, true);
  regs_.reset();
  items_.fill(0);
  ndtr_start_.fill(0);
  pending_.fill(0);
  for (auto& h : stop_event_) {
    if (h) machine().scheduler().cancel(h);
    h = 0;
  }
  for (int n = 0; n < kStreams; ++n) notify(n, false);
  update_irq();
}

// EN written 1 starts a run with the configuration as it is; with EN set only
// EN itself and the interrupt enables may change. Clearing EN stops the
// stream once the item in flight is done: EN reads 1 until then, and the
// stop sets TCIF.
void Dma::write_cr(int n, std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t off = stream_reg(n, SxCR);
  const std::uint32_t old = regs_[off];
  std::uint32_t next = apply_write(regs_.def(off), old, value, mask);
  if (old & CR_EN) {
    if ((next & CR_EN) && ((next ^ old) & ~(CR_EN | kLiveCrBits))) {
      report("stream " + std::to_string(n) + " CR changed while enabled (the chip ignores it)");
      return;
    }
    next = (old & ~(CR_EN | kLiveCrBits)) | (next & (CR_EN | kLiveCrBits));
    if (!(next & CR_EN)) {
      regs_[off] = next | CR_EN;
      if (!stop_event_[n]) begin_stop(n);
      update_irq();
      return;
    }
  }
  const bool starts = (next & CR_EN) && !(old & CR_EN);
  const bool changes = ((next ^ old) & (CR_EN | (7u << CR_CHSEL_POS))) != 0;
  if (changes) notify(n, true);
  regs_[off] = next;
  bool serve_pending = false;
  if (starts) {
    items_[n] = 0;
    ndtr_start_[n] = regs_[stream_reg(n, SxNDTR)];
    const std::uint32_t flags = (regs_[n < 4 ? LISR : HISR] >> flag_shift(n)) & 0x3D;
    if (flags) {  // the manual: clear the stream's flags before enabling it
      report("stream " + std::to_string(n) + " enabled with its event flags still set");
    } else if (ndtr_start_[n] == 0) {
      regs_[off] &= ~CR_EN;  // nothing to move: the stream does not start
    } else {
      check_config(n);
      serve_pending = true;
    }
  }
  if (changes) notify(n, false);
  // A request its peripheral made while the stream was off still stands:
  // the stream serves it as soon as it runs.
  const std::uint8_t channel_bit = static_cast<std::uint8_t>(1u << (next >> CR_CHSEL_POS & 7));
  if (serve_pending && (pending_[n] & channel_bit) && (cr(n) & CR_EN)) {
    pending_[n] &= static_cast<std::uint8_t>(~channel_bit);
    move_item(n);
  }
  update_irq();
}

// The stream takes no more requests; its EN clears when the item in flight
// has moved (one read and one write on the AHB: a few cycles), with TCIF.
void Dma::begin_stop(int n) {
  notify(n, true);
  stop_event_[n] = machine().scheduler().after(kStopCycles, [this, n] {
    stop_event_[n] = 0;
    regs_[stream_reg(n, SxCR)] &= ~CR_EN;
    set_flags(n, TCIF);
  });
  notify(n, false);
}

void Dma::check_config(int n) {
  const std::uint32_t c = cr(n);
  const std::string s = "stream " + std::to_string(n) + ": ";
  const int channel = static_cast<int>(c >> CR_CHSEL_POS & 7);
  if ((c & CR_DIR) == (2u << 6)) report(s + "memory-to-memory transfers are not modelled");
  if ((c & CR_DIR) == (3u << 6)) report(s + "DIR = 11 is reserved");
  if (c & (CR_PFCTRL | CR_DBM | CR_PBURST | CR_MBURST | CR_PINCOS))
    report(s + "peripheral flow control, double buffering, bursts and PINCOS are not modelled");
  if (regs_[stream_reg(n, SxFCR)] & FCR_DMDIS) report(s + "FIFO mode (FCR DMDIS) is not modelled");
  if ((c >> CR_PSIZE_POS & 3) == 3) report(s + "PSIZE = 11 is reserved");
  if (!(connected_[n] >> channel & 1))
    report(s + "channel " + std::to_string(channel) + " has no request modelled on this board");
}

// --- requests -------------------------------------------------------------------

void Dma::connect_request(int stream, int channel) { connected_.at(stream) |= std::uint8_t(1u << channel); }

bool Dma::listening(int stream, int channel) const {
  const std::uint32_t c = cr(stream);
  return (c & CR_EN) && !stop_event_[stream] && static_cast<int>(c >> CR_CHSEL_POS & 7) == channel;
}

void Dma::on_stream_change(int stream, std::function<void(bool)> fn) { watchers_.emplace_back(stream, std::move(fn)); }

void Dma::notify(int n, bool before) {
  for (auto& [stream, fn] : watchers_)
    if (stream == n) fn(before);
}

void Dma::request(int stream, int channel) {
  if (listening(stream, channel)) {
    move_item(stream);
  } else {
    pending_.at(stream) |= static_cast<std::uint8_t>(1u << channel);  // held until a stream serves it
  }
}

void Dma::withdraw_request(int stream, int channel) {
  pending_.at(stream) &= static_cast<std::uint8_t>(~(1u << channel));
}

// One item: read at the source, write at the destination, both through the
// bus. In direct mode the peripheral size is the size of both sides.
void Dma::move_item(int n) {
  const std::uint32_t c = cr(n);
  const unsigned bytes = item_bytes(c >> CR_PSIZE_POS & 3);
  const std::uint32_t k = items_[n];
  const std::uint32_t par = regs_[stream_reg(n, SxPAR)] + ((c & CR_PINC) ? k * bytes : 0);
  const std::uint32_t mar = regs_[stream_reg(n, SxM0AR)] + ((c & CR_MINC) ? k * bytes : 0);
  const bool to_peripheral = (c & CR_DIR) == (1u << 6);
  const std::uint32_t from = to_peripheral ? mar : par, to = to_peripheral ? par : mar;
  if (!peripheral_port_reaches(par, bytes) || !memory_port_reaches(mar, bytes)) {
    // The chip's answer to an address off the ports: a transfer error.
    machine().message(name() + " stream " + std::to_string(n) + ": " + hex32(par) + " / " + hex32(mar) +
                      " is off the controller's ports: transfer error, stream stopped");
    return end_run(n, TEIF);
  }
  std::uint32_t data = 0;
  if (!machine().bus_read(from, &data, bytes) || !machine().bus_write(to, &data, bytes)) {
    // A bus error ends the run of the stream with TEIF.
    report("stream " + std::to_string(n) + ": bus error moving " + std::to_string(bytes) + " byte(s) from " +
           hex32(from) + " to " + hex32(to));
    return end_run(n, TEIF);
  }
  ++transfers_[n];
  ++items_[n];
  std::uint32_t& ndtr = regs_[stream_reg(n, SxNDTR)];
  --ndtr;
  std::uint32_t flags = 0;
  if (ndtr == ndtr_start_[n] / 2) flags |= HTIF;
  if (ndtr == 0) {
    flags |= TCIF;
    if (c & CR_CIRC) {
      ndtr = ndtr_start_[n];
      items_[n] = 0;
    } else {
      return end_run(n, flags);
    }
  }
  if (flags) set_flags(n, flags);
}

// The stream's run ends: EN clears (its watchers told before and after)
// and the flags that ended it are raised.
void Dma::end_run(int n, std::uint32_t flags) {
  notify(n, true);
  regs_[stream_reg(n, SxCR)] &= ~CR_EN;
  set_flags(n, flags);
  notify(n, false);
}

void Dma::set_flags(int n, std::uint32_t flags) {
  regs_[n < 4 ? LISR : HISR] |= flags << flag_shift(n);
  update_irq();
}

void Dma::update_irq() {
  for (int n = 0; n < kStreams; ++n) {
    const std::uint32_t c = cr(n);
    const std::uint32_t f = regs_[n < 4 ? LISR : HISR] >> flag_shift(n);
    const std::uint32_t enabled = ((c & CR_TCIE) ? TCIF : 0) | ((c & CR_HTIE) ? HTIF : 0) |
                                  ((c & CR_TEIE) ? TEIF : 0) | ((c & CR_DMEIE) ? DMEIF : 0) |
                                  ((regs_[stream_reg(n, SxFCR)] & 0x80) ? FEIF : 0);
    const bool level = (f & enabled) != 0;
    if (level == irq_level_[n]) continue;
    irq_level_[n] = level;
    machine().set_irq(irqs_[n], level, this);
  }
}

}  // namespace vb
