// DMA controller (DMA1 of the STM32F40x): eight streams, each selecting one
// of eight request channels, moving data between a peripheral register and
// memory on the peripheral's requests.
//
// Registers: LISR/HISR (flags, read-only), LIFCR/HIFCR (write 1 to clear),
// and per stream CR, NDTR, PAR, M0AR, M1AR, FCR. A stream runs while CR EN is
// set: each request of the selected channel moves one data item as a real bus
// access (so a wrong address or a peripheral whose clock is off is caught),
// counts NDTR down, sets HTIF at half and TCIF at the end; in normal mode the
// stream then clears its own EN, in circular mode NDTR reloads. The stream's
// interrupt line is the OR of its enabled flags.
//
// DMA1's ports reach APB1 (peripheral port) and the memories of the bus
// matrix (memory port): an item whose address is off them (the CCM RAM, a
// peripheral on another bus) ends the run with a transfer error, TEIF set
// and EN cleared, as on the chip. Clearing EN stops the stream after the
// item in flight: EN reads 1 for those few cycles, then the stop sets TCIF.
// A request made while its stream is off (or on another channel) stays
// pending and is served when the stream starts on that channel.
//
// Simplifications: an item moves at the request, without the arbitration
// and bus latency of the chip (a few AHB cycles); a stop always takes
// kStopCycles.
// Not modelled (reported when a stream is enabled with them): memory-to-memory
// transfers, the FIFO (DMDIS), bursts, double-buffer mode and the peripheral
// as flow controller.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/scheduler.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace dma_reg {
inline constexpr std::uint32_t LISR = 0x00;
inline constexpr std::uint32_t HISR = 0x04;
inline constexpr std::uint32_t LIFCR = 0x08;
inline constexpr std::uint32_t HIFCR = 0x0C;
// Stream n's registers at 0x10 + 0x18 * n + field.
constexpr std::uint32_t stream_reg(int n, std::uint32_t field) { return 0x10 + 0x18 * static_cast<std::uint32_t>(n) + field; }
inline constexpr std::uint32_t SxCR = 0x00;
inline constexpr std::uint32_t SxNDTR = 0x04;
inline constexpr std::uint32_t SxPAR = 0x08;
inline constexpr std::uint32_t SxM0AR = 0x0C;
inline constexpr std::uint32_t SxM1AR = 0x10;
inline constexpr std::uint32_t SxFCR = 0x14;

inline constexpr std::uint32_t CR_EN = 1u << 0;
inline constexpr std::uint32_t CR_DMEIE = 1u << 1;
inline constexpr std::uint32_t CR_TEIE = 1u << 2;
inline constexpr std::uint32_t CR_HTIE = 1u << 3;
inline constexpr std::uint32_t CR_TCIE = 1u << 4;
inline constexpr std::uint32_t CR_PFCTRL = 1u << 5;
inline constexpr std::uint32_t CR_DIR = 3u << 6;
inline constexpr std::uint32_t CR_CIRC = 1u << 8;
inline constexpr std::uint32_t CR_PINC = 1u << 9;
inline constexpr std::uint32_t CR_MINC = 1u << 10;
inline constexpr unsigned CR_PSIZE_POS = 11;
inline constexpr unsigned CR_MSIZE_POS = 13;
inline constexpr std::uint32_t CR_PINCOS = 1u << 15;
inline constexpr std::uint32_t CR_DBM = 1u << 18;
inline constexpr std::uint32_t CR_CT = 1u << 19;
inline constexpr std::uint32_t CR_PBURST = 3u << 21;
inline constexpr std::uint32_t CR_MBURST = 3u << 23;
inline constexpr unsigned CR_CHSEL_POS = 25;
inline constexpr std::uint32_t FCR_DMDIS = 1u << 2;

// Flags of one stream (shifted to the stream's place in LISR/HISR).
inline constexpr std::uint32_t FEIF = 1u << 0;
inline constexpr std::uint32_t DMEIF = 1u << 2;
inline constexpr std::uint32_t TEIF = 1u << 3;
inline constexpr std::uint32_t HTIF = 1u << 4;
inline constexpr std::uint32_t TCIF = 1u << 5;
constexpr unsigned flag_shift(int stream) { return std::array<unsigned, 4>{0, 6, 16, 22}[stream % 4]; }

constexpr std::array<RegDef, 52> map() {
  std::array<RegDef, 52> m{};
  m[0] = {"LISR", LISR, 0, 0};
  m[1] = {"HISR", HISR, 0, 0};
  m[2] = {"LIFCR", LIFCR, 0, 0};  // write-only: clears LISR bits, reads 0
  m[3] = {"HIFCR", HIFCR, 0, 0};
  constexpr const char* names[8][6] = {
      {"S0CR", "S0NDTR", "S0PAR", "S0M0AR", "S0M1AR", "S0FCR"}, {"S1CR", "S1NDTR", "S1PAR", "S1M0AR", "S1M1AR", "S1FCR"},
      {"S2CR", "S2NDTR", "S2PAR", "S2M0AR", "S2M1AR", "S2FCR"}, {"S3CR", "S3NDTR", "S3PAR", "S3M0AR", "S3M1AR", "S3FCR"},
      {"S4CR", "S4NDTR", "S4PAR", "S4M0AR", "S4M1AR", "S4FCR"}, {"S5CR", "S5NDTR", "S5PAR", "S5M0AR", "S5M1AR", "S5FCR"},
      {"S6CR", "S6NDTR", "S6PAR", "S6M0AR", "S6M1AR", "S6FCR"}, {"S7CR", "S7NDTR", "S7PAR", "S7M0AR", "S7M1AR", "S7FCR"}};
  for (int n = 0; n < 8; ++n) {
    const RegDef regs[6] = {
        {names[n][0], stream_reg(n, SxCR), 0, 0x0FEFFFFF},
        {names[n][1], stream_reg(n, SxNDTR), 0, 0x0000FFFF},
        {names[n][2], stream_reg(n, SxPAR), 0, 0xFFFFFFFF},
        {names[n][3], stream_reg(n, SxM0AR), 0, 0xFFFFFFFF},
        {names[n][4], stream_reg(n, SxM1AR), 0, 0xFFFFFFFF},
        {names[n][5], stream_reg(n, SxFCR), 0x21, 0x87},  // FS (bits 5:3) reads "FIFO empty"
    };
    for (int f = 0; f < 6; ++f) m[4 + 6 * n + f] = regs[f];
  }
  return m;
}
inline constexpr std::array<RegDef, 52> kMap = map();
}  // namespace dma_reg

class Dma : public RegModel {
public:
  static constexpr int kStreams = 8;

  // irqs: the NVIC line of each stream.
  Dma(std::string name, std::uint32_t base, ClockGate gate, std::array<int, kStreams> irqs);

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // --- request lines ------------------------------------------------------
  // Declares that a peripheral drives request `channel` of `stream`; enabling
  // a stream on a channel nothing drives is reported.
  void connect_request(int stream, int channel);
  // True when a request on (stream, channel) would move data now.
  bool listening(int stream, int channel) const;
  // One request: moves one item if the stream is enabled on this channel;
  // otherwise the request stays pending until the stream runs on it.
  void request(int stream, int channel);
  // The peripheral drops a pending request (its reset).
  void withdraw_request(int stream, int channel);
  // Cycles from clearing EN until the stream has stopped.
  static constexpr cycles_t kStopCycles = 4;
  // Called with `before` true just before a stream's EN or channel changes
  // and with false right after: a requesting peripheral brings its own
  // counting up to date first, then re-plans its requests.
  void on_stream_change(int stream, std::function<void(bool before)> fn);

  // --- observation --------------------------------------------------------
  std::span<const RegDef> reg_map() const { return regs_.map(); }
  // Items moved since reset, per stream.
  std::uint64_t transfers(int stream) const { return transfers_.at(stream); }

private:
  std::uint32_t cr(int n) const { return regs_[dma_reg::stream_reg(n, dma_reg::SxCR)]; }
  void write_cr(int n, std::uint32_t value, std::uint32_t mask);
  void begin_stop(int n);
  void check_config(int n);
  void move_item(int n);
  void end_run(int n, std::uint32_t flags);
  void set_flags(int n, std::uint32_t flags);
  void notify(int n, bool before);
  void update_irq();

  RegBank regs_;
  std::array<int, kStreams> irqs_;
  std::array<std::uint8_t, kStreams> connected_{};  // bit c: channel c is driven
  std::array<std::uint32_t, kStreams> items_{};     // items moved in the current run (address offsets)
  std::array<std::uint32_t, kStreams> ndtr_start_{};
  std::array<std::uint64_t, kStreams> transfers_{};
  std::array<bool, kStreams> irq_level_{};
  std::array<std::uint8_t, kStreams> pending_{};  // bit c: a request of channel c waits
  std::array<Scheduler::Handle, kStreams> stop_event_{};  // EN cleared, the stream still stopping
  std::vector<std::pair<int, std::function<void(bool)>>> watchers_;
};

}  // namespace vb
