#include "sim/parts/audio_sink.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/core/machine.hpp"

namespace vb {

namespace {
constexpr std::size_t kChunk = 4096;
}

AudioSink::AudioSink(Machine& m, Dac& dac, Consumer out) : m_(m), dac_(dac), out_(std::move(out)) {
  hclk_ = m_.clocks().hclk;
  anchor_ = m_.now();
  if (dac_.enabled()) level_ = static_cast<std::uint8_t>(dac_.code() >> 4);
  listener_ = dac_.on_output([this](const Dac::Sample& s) {
    take_until(s.time);
    const cycles_t period = hclk_ / kRate;
    if (!written_ || s.time - last_write_ > period + period / 2) {
      anchor_ = s.time + period / 2;  // lock the grid onto this run of writes
      k_ = 0;
    }
    written_ = true;
    last_write_ = s.time;
    level_ = static_cast<std::uint8_t>(s.code >> 4);
  });
}

AudioSink::~AudioSink() { dac_.remove_output(listener_); }

cycles_t AudioSink::instant(std::uint64_t k) const {
  return anchor_ + static_cast<cycles_t>((static_cast<unsigned __int128>(k) * hclk_ + kRate - 1) / kRate);
}

void AudioSink::take_until(cycles_t t) {
  if (hclk_ == 0) return;
  while (instant(k_) < t) {
    pending_.push_back(level_);
    ++k_;
    ++samples_;
    if (pending_.size() >= kChunk) {
      out_(pending_);
      pending_.clear();
    }
  }
}

void AudioSink::flush() {
  take_until(m_.now() + 1);
  if (pending_.empty()) return;
  out_(pending_);
  pending_.clear();
}

void AudioSink::clocks_changed() {
  const std::uint32_t hclk = m_.clocks().hclk;
  if (hclk == hclk_) return;
  take_until(m_.now() + 1);
  // The next sample keeps its instant; the ones after follow the new rate.
  anchor_ = instant(k_);
  k_ = 0;
  hclk_ = hclk;
}

// --- WAV file -------------------------------------------------------------------

WavFile::WavFile(const std::string& path) : path_(path) {
  f_ = std::fopen(path.c_str(), "wb");
  if (!f_) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  write_header();
}

WavFile::~WavFile() {
  if (!f_) return;
  write_header();
  std::fclose(f_);
}

void WavFile::append(std::span<const std::uint8_t> samples) {
  if (!f_ || samples.empty()) return;
  std::fseek(f_, 0, SEEK_END);
  std::fwrite(samples.data(), 1, samples.size(), f_);
  data_bytes_ += samples.size();
  write_header();
}

// RIFF header of a PCM WAV: 8-bit unsigned, mono, 8000 samples/s. The sizes
// are those of the data written so far (a WAV holds at most 4 GiB).
void WavFile::write_header() {
  const std::uint32_t data = data_bytes_ > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : static_cast<std::uint32_t>(data_bytes_);
  std::uint8_t h[44];
  auto put32 = [&](int at, std::uint32_t v) { for (int i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i)); };
  auto put16 = [&](int at, std::uint16_t v) { h[at] = static_cast<std::uint8_t>(v); h[at + 1] = static_cast<std::uint8_t>(v >> 8); };
  std::memcpy(h, "RIFF", 4);
  put32(4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(16, 16);                     // fmt chunk size
  put16(20, 1);                      // PCM
  put16(22, 1);                      // mono
  put32(24, AudioSink::kRate);       // samples per second
  put32(28, AudioSink::kRate);       // bytes per second
  put16(32, 1);                      // bytes per frame
  put16(34, 8);                      // bits per sample
  std::memcpy(h + 36, "data", 4);
  put32(40, data);
  std::fseek(f_, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, f_);
  std::fflush(f_);
}

}  // namespace vb
