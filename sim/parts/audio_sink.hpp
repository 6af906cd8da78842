// The board's audio output as a recording: the DAC's channel 1 sampled 8000
// times a second, one 8-bit unsigned sample per 125 us holding the output's
// upper 8 bits at that moment (0x80, the clips' zero level, while the channel
// is off). A clip the firmware plays through DHR8R1 at 8000/s therefore
// appears byte for byte. Samples are taken in board time and handed to the
// consumer in chunks (at least at every flush()).
//
// The sampling grid locks onto the DAC's writes: when the output is written
// after more than a sample period of quiet (a clip starts), the next sample
// is taken half a period after that write. The transfers of a clip come one
// period apart with a few cycles of jitter, so each one then lands well
// inside its own sample interval; the price is a shift of less than one
// sample period at the start of a clip.
//
// WavFile writes such samples as a WAV file (PCM, 8-bit unsigned, mono,
// 8000/s) whose header is rewritten after every chunk, so the file is valid
// while it grows; the destructor finalises it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "sim/core/scheduler.hpp"
#include "sim/periph/dac.hpp"

namespace vb {

class Machine;

class AudioSink {
public:
  static constexpr std::uint32_t kRate = 8000;
  using Consumer = std::function<void(std::span<const std::uint8_t>)>;

  AudioSink(Machine& m, Dac& dac, Consumer out);
  ~AudioSink();
  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;

  // Takes every sample due before now and hands the pending ones over.
  void flush();
  // Must be called when HCLK changes (samples before it at the old rate).
  void clocks_changed();
  std::uint64_t samples() const { return samples_; }

private:
  void take_until(cycles_t t);  // samples at instants before t
  cycles_t instant(std::uint64_t k) const;

  Machine& m_;
  Dac& dac_;
  int listener_ = 0;
  Consumer out_;
  std::uint8_t level_ = 0x80;
  bool written_ = false;
  cycles_t last_write_ = 0;
  std::uint32_t hclk_ = 0;
  cycles_t anchor_ = 0;  // time of sample k_ = 0 at the current rate
  std::uint64_t k_ = 0;  // next sample's index since anchor_
  std::uint64_t samples_ = 0;
  std::vector<std::uint8_t> pending_;
};

class WavFile {
public:
  // Creates (truncates) the file; throws std::runtime_error when it cannot.
  explicit WavFile(const std::string& path);
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  void append(std::span<const std::uint8_t> samples);
  const std::string& path() const { return path_; }
  std::uint64_t samples() const { return data_bytes_; }

private:
  void write_header();

  std::string path_;
  std::FILE* f_ = nullptr;
  std::uint64_t data_bytes_ = 0;
};

}  // namespace vb
