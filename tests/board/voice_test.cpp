// The voice on the image: the clip tables against the clip files, playback
// through DMA1 stream 1 into the DAC at 8000 samples/s and into a WAV
// recording, the audio DAC's 12 MHz master clock, and its configuration
// over the software I2C bus as the part (and a logic analyser) sees it.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "sim/parts/audio_sink.hpp"
#include "sim/periph/dac.hpp"
#include "sim/periph/dma.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Ev = AudioCodec::BusEvent;

constexpr std::uint32_t kDhr8r1 = 0x10;              // DAC DHR8R1 offset
constexpr std::uint32_t kStream1Cr = 0x40026028;     // DMA1 stream 1 CR, NDTR
constexpr std::uint32_t kStream1Ndtr = 0x4002602C;
constexpr cycles_t kSamplePeriod = 144'000'000 / 8000;  // 125 us at 144 MHz

Bytes clip_file(const std::string& name) {
  std::ifstream f(std::string(VOICE_DATA_DIR) + "/" + name + ".raw", std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
std::string clip_name(char kind, unsigned n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%c%02u", kind, n);
  return buf;
}

class Voice : public BoardTest {
protected:
  // The clip of row i of a table pair, as the firmware's tables give it.
  std::pair<std::uint32_t, std::uint32_t> row(const char* table, const char* sizes, unsigned i) {
    return {m().var32(table, 4 * i), m().var32(sizes, 4 * i)};
  }
  Bytes flash(std::uint32_t addr, std::uint32_t n) {
    Bytes b(n);
    for (std::uint32_t i = 0; i < n; ++i) b[i] = m().read8(addr + i);
    return b;
  }
  // The bytes the DMA wrote into DHR8R1, with their times.
  std::vector<RegWrite> dac_writes() {
    std::vector<RegWrite> w;
    for (const RegWrite& r : board().dac().writes())
      if (r.offset == kDhr8r1) w.push_back(r);
    return w;
  }
  void play(std::uint32_t addr, std::uint32_t n) { m().call("start_DAC1", {addr, n}); }
};

TEST_F(Voice, ShouldPointEveryTableRowAtTheClipFileOfItsNumber) {
  struct Table { const char* starts; const char* sizes; char kind; unsigned rows; };
  for (const Table t : {Table{"Hxx_raw", "Hxx_raw_size", 'H', 24}, Table{"Mxx_raw", "Mxx_raw_size", 'M', 60}}) {
    for (unsigned i = 0; i < t.rows; ++i) {
      const Bytes file = clip_file(clip_name(t.kind, i));
      const auto [addr, size] = row(t.starts, t.sizes, i);
      ASSERT_EQ(file.size(), size) << t.starts << "[" << i << "]";
      EXPECT_EQ(file, flash(addr, size)) << t.starts << "[" << i << "]";
    }
  }
}

TEST_F(Voice, ShouldKeepEveryClipWithinTheLimitsOfPlayback) {
  for (unsigned h = 0; h < 24; ++h) {
    const std::size_t n = clip_file(clip_name('H', h)).size();
    EXPECT_GE(n, 1u) << h;
    EXPECT_LT(n, 14400u) << "hour clip " << h << " must end before the minute clip starts 1.8 s later";
  }
  for (unsigned m = 0; m < 60; ++m) {
    const std::size_t n = clip_file(clip_name('M', m)).size();
    EXPECT_GE(n, 1u) << m;
    EXPECT_LE(n, 65535u) << m;
  }
}

TEST_F(Voice, ShouldPlayEveryByteOfAClipAtAnOddAddressOncePer125Microseconds) {
  ASSERT_TRUE(boot());
  quiet_clock();
  board().dac().record_trace(true);
  auto [addr, size] = row("Hxx_raw", "Hxx_raw_size", 2);  // a short clip
  if (addr % 2 == 0) { ++addr; --size; }                   // start at an odd address
  const Bytes clip = flash(addr, size);
  const cycles_t started = m().now();
  play(addr, size);
  m().run_ms(size / 8.0 + 5);

  // TIM6 runs on between clips: the request of its last update waits for
  // the stream, which serves it as it starts. From then on a transfer lands
  // at the end of the instruction block its request falls in: a few cycles
  // of jitter, no drift.
  const auto w = dac_writes();
  ASSERT_EQ(size, w.size());
  EXPECT_LT(w[0].time - started, 2000u) << "the pending request is served at the start";
  for (std::size_t i = 0; i < w.size(); ++i) {
    ASSERT_EQ(clip[i], w[i].value & 0xFF) << "sample " << i;
    if (i > 1) {
      ASSERT_NEAR(double(kSamplePeriod), double(w[i].time - w[i - 1].time), 32) << "sample " << i;
    }
  }
  EXPECT_NEAR(double(kSamplePeriod * (size - 2)), double(w.back().time - w[1].time), 32);
  EXPECT_EQ(0u, m().read32(kStream1Cr) & 1) << "EN";
  EXPECT_EQ(0u, m().read32(kStream1Ndtr));
  EXPECT_EQ(clip.back() << 4, board().dac().code()) << "the output holds the last sample";
}

TEST(VoiceSkip, ShouldPlayTheSameSamplesAtTheSameTimesWithAndWithoutIdleSkipping) {
  std::vector<Dac::Sample> traces[2];
  std::uint64_t instructions[2];
  for (const bool skip : {true, false}) {
    BoardOptions o;
    o.idle_skip = skip;
    Board b(o);
    ASSERT_TRUE(b.boot());
    quiet_clock(b);
    b.dac().record_trace(true);
    const std::uint32_t clip = b.m().var32("Mxx_raw", 4 * 30);
    b.m().call("start_DAC1", {clip + 1, 400});
    b.m().run_ms(60);
    ASSERT_FALSE(b.m().faulted()) << b.m().fault_report();
    traces[skip] = b.dac().trace();
    instructions[skip] = b.m().stats().instructions;
  }
  ASSERT_EQ(400u, traces[0].size());
  EXPECT_EQ(traces[0], traces[1]);
  EXPECT_EQ(instructions[0], instructions[1]);
}

TEST_F(Voice, ShouldRecordAPlayedClipIntoTheWavFileByteForByte) {
  ASSERT_TRUE(boot());
  const std::string path = ::testing::TempDir() + "voice_test.wav";
  const auto [addr, size] = row("Mxx_raw", "Mxx_raw_size", 0);
  Bytes file;
  {
    WavFile wav(path);
    AudioSink sink(m(), board().dac(), [&](std::span<const std::uint8_t> s) { wav.append(s); });
    m().run_ms(2);
    play(addr, size);
    m().run_ms(size / 8.0 + 2);
    sink.flush();
    // Read while the recording is still open: the header already counts
    // every sample written.
    std::ifstream f(path, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(f), {});
  }
  std::filesystem::remove(path);
  ASSERT_GT(file.size(), 44u + size);
  EXPECT_EQ(std::string("RIFF"), std::string(file.begin(), file.begin() + 4));
  const std::uint32_t riff = file[4] | file[5] << 8 | file[6] << 16 | file[7] << 24;
  const std::uint32_t data = file[40] | file[41] << 8 | file[42] << 16 | file[43] << 24;
  EXPECT_EQ(file.size() - 8, riff);
  EXPECT_EQ(file.size() - 44, data);
  const std::uint32_t rate = file[24] | file[25] << 8 | file[26] << 16 | file[27] << 24;
  EXPECT_EQ(8000u, rate);
  EXPECT_EQ(8, file[34]) << "bits per sample";
  const Bytes clip = clip_file("M00");
  EXPECT_NE(file.end(), std::search(file.begin() + 44, file.end(), clip.begin(), clip.end()))
      << "the clip appears in the recording byte for byte";
}

TEST_F(Voice, ShouldStopAClipAndHoldOrSetTheOutput) {
  struct Case { const char* what; const char* fn; bool holds_last; };
  for (const Case c : {Case{"start_DAC1(p, 0)", "start_DAC1", true}, Case{"stop_DAC1", "stop_DAC1", false}}) {
    SCOPED_TRACE(c.what);
    SetUp();
    ASSERT_TRUE(boot());
    quiet_clock();
    board().dac().record_trace(true);
    const auto [addr, size] = row("Mxx_raw", "Mxx_raw_size", 59);
    play(addr, size);
    m().run_ms(50);  // 400 samples in
    const std::size_t played = dac_writes().size();
    ASSERT_NEAR(400.0, static_cast<double>(played), 1.0);
    if (c.holds_last) m().call(c.fn, {addr, 0}); else m().call(c.fn);
    m().run_ms(50);
    EXPECT_EQ(played + (c.holds_last ? 0 : 1), dac_writes().size()) << "no sample after the stop";
    const std::uint16_t expect = c.holds_last ? static_cast<std::uint16_t>(m().read8(addr + played - 1) << 4) : 0x7F0;
    EXPECT_EQ(expect, board().dac().code());
    EXPECT_EQ(0u, m().read32(kStream1Cr) & 1) << "EN";
  }
}

TEST_F(Voice, ShouldPut12MHzOnPc7FromTim8SetUpOn) {
  ASSERT_TRUE(run_to("setup_TIM8"));
  EXPECT_EQ(0.0, board().pc7_clock_hz());
  ASSERT_TRUE(run_to("setup_SDAC"));
  EXPECT_EQ(12'000'000.0, board().pc7_clock_hz());
  ASSERT_TRUE(boot());
  m().run_ms(1);
  EXPECT_EQ(12'000'000.0, board().pc7_clock_hz());
  EXPECT_EQ(12'000'000.0, board().codec().master_clock_at_config()) << "clocked before it was configured";
  // Medium speed (up to 25 MHz): the reset speed, low, carries 2 MHz only
  // and would stop the run as the pin takes the clock over.
  EXPECT_EQ(1u, m().read32(0x40020808) >> 14 & 3) << "GPIOC OSPEEDR, PC7";
}

TEST_F(Voice, ShouldReportTheStepInTheStartUpReportInItsPlace) {
  ASSERT_TRUE(board().run_until_console("setup done.", 3000));
  const std::string& out = board().usart3_output();
  // The formatter sends CR before every LF: the line ends in CR CR LF.
  const auto rtc = out.find("setup date/time calender from ext-RTC\r\r\n");
  const auto dac = out.find("setup DAC and SDAC\r\r\n");
  const auto done = out.find("\r\nstm32f4:RTC=");
  ASSERT_NE(std::string::npos, dac);
  EXPECT_LT(rtc, dac);
  EXPECT_LT(dac, done);
}

// The audio DAC's configuration in the order the bus must carry it:
// (register, value).
const std::vector<std::pair<std::uint8_t, std::uint8_t>> kConfiguration{
    {0x00, 0x99}, {0x47, 0x80}, {0x32, 0x80}, {0x32, 0x00}, {0x00, 0x00}, {0x02, 0x01}, {0x04, 0xAF},
    {0x05, 0x80}, {0x06, 0x04}, {0x20, 0x88}, {0x21, 0x88}, {0x22, 0xC0}, {0x23, 0xC0}, {0x24, 0xC0},
    {0x25, 0xC0}, {0x08, 0x01}, {0x09, 0x01}, {0x0E, 0xC0}, {0x14, 0x90}, {0x15, 0x90}, {0x02, 0x9E},
    {0x0A, 0x00}, {0x0E, 0xC0}, {0x27, 0x00}, {0x1F, 0x0F}, {0x1A, 0x88}, {0x1B, 0x88}};

std::vector<Ev> configuration_traffic(bool acked) {
  std::vector<Ev> v;
  bool first = true;
  for (const auto& [reg, value] : kConfiguration) {
    v.push_back({first ? Ev::kStart : Ev::kRepeatedStart});
    first = false;
    v.push_back({Ev::kByte, 0x94, acked});
    if (acked) {
      v.push_back({Ev::kByte, reg, true});
      v.push_back({Ev::kByte, value, true});
    }
  }
  return v;
}

struct CodecCase {
  const char* name;
  AudioCodecOptions codec;
  bool acked;
  unsigned recovery_clocks;
};

class AudioDacBus : public BoardTest, public ::testing::WithParamInterface<CodecCase> {
protected:
  AudioDacBus() { options.codec = GetParam().codec; }
};

TEST_P(AudioDacBus, ShouldCarryTheWholeTableOnceAndStartUpGoesOn) {
  const CodecCase& c = GetParam();
  ASSERT_TRUE(board().run_until_console("setup done.", 3000));
  const AudioCodec& codec = board().codec();
  EXPECT_EQ(configuration_traffic(c.acked), codec.events()) << "start, 0x94, register, value; then repeated starts";
  EXPECT_EQ(c.recovery_clocks, codec.recovery_clocks());
  EXPECT_GE(codec.min_clock_phase(), 5u * 144) << "every clock phase lasts at least 5 us (100 kHz at most)";
  if (c.acked) {
    EXPECT_EQ(kConfiguration, codec.writes());
    for (unsigned r : {0x00u, 0x02u, 0x0Eu, 0x1Bu, 0x32u, 0x47u})
      EXPECT_EQ(std::find_if(kConfiguration.rbegin(), kConfiguration.rend(),
                             [&](const auto& e) { return e.first == r; })->second,
                codec.reg(r))
          << "register " << r << " holds the last value written";
  } else {
    EXPECT_TRUE(codec.writes().empty());
  }
  EXPECT_FALSE(codec.in_reset());
  EXPECT_EQ(0u, m().read8(m().symbol("si_stat")));
}

INSTANTIATE_TEST_SUITE_P(Codec, AudioDacBus,
                         ::testing::Values(CodecCase{"present", {}, true, 0},
                                           CodecCase{"absent", {.present = false}, false, 0},
                                           CodecCase{"sda_held_for_5_clocks", {.hold_sda_clocks = 5}, true, 5},
                                           CodecCase{"clock_stretching", {.stretch_us = 20}, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Voice, ShouldLeaveAcknowledgeBitsInTheCallersBuffer) {
  struct Case { bool present; std::uint32_t result; Bytes after; };
  for (const Case& c : {Case{true, 0, {0, 0}}, Case{false, 0xFFFFFFFF, {0x20, 0x55}}}) {
    SCOPED_TRACE(c.present ? "present" : "absent");
    options.codec.present = c.present;
    SetUp();
    ASSERT_TRUE(boot());
    const std::uint32_t buf = scratch();
    m().write8(buf, 0x20);
    m().write8(buf + 1, 0x55);
    EXPECT_EQ(c.result, m().call("si2c_send_sdac", {buf, 2}));
    EXPECT_EQ(c.after, (Bytes{m().read8(buf), m().read8(buf + 1)}));
  }
}

// SDA left push-pull: the audio DAC's acknowledge pulls it low while the
// chip drives it high, a short on the board.
TEST_F(Voice, ShouldStopTheRunWhenSdaDrivesAgainstTheAcknowledge) {
  ASSERT_TRUE(boot());
  quiet_clock();
  expect_fault();
  m().write32(0x40020404, m().read32(0x40020404) & ~(1u << 9));  // GPIOB OTYPER: PB9 push-pull
  const std::uint32_t buf = scratch();
  m().write8(buf, 0x20);
  EXPECT_THROW(m().call("si2c_send_sdac", {buf, 1}), std::exception);
  ASSERT_TRUE(m().faulted());
  EXPECT_NE(std::string::npos, m().fault_report().find("PB9 is driven high and low at once")) << m().fault_report();
}

TEST_F(Voice, ShouldEndTransfersWithFailureWhileALineIsShortedAndWorkAgainAfter) {
  struct Case { const char* what; Pin pin; };
  for (const Case c : {Case{"SCL", PB(6)}, Case{"SDA", PB(9)}}) {
    SCOPED_TRACE(c.what);
    SetUp();
    ASSERT_TRUE(boot());
    const std::size_t events = board().codec().events().size();
    const std::uint32_t buf = scratch();
    m().pins().drive(c.pin, Drive::kLow);  // a short to ground: every wait runs into its bound
    m().write8(buf, 0x20);
    EXPECT_EQ(0xFFFFFFFFu, m().call("si2c_send_sdac", {buf, 1}));
    EXPECT_EQ(0xFFFFFFFFu, m().call("init_si2c_sdac"));
    m().pins().drive(c.pin, Drive::kPullUp);  // the short removed
    m().write8(buf, 0x20);
    m().write8(buf + 1, 0x55);
    EXPECT_EQ(0u, m().call("si2c_send_sdac", {buf, 2}));
    EXPECT_EQ(0x55, board().codec().reg(0x20));
    EXPECT_LT(events, board().codec().events().size());
  }
}

}  // namespace
}  // namespace vb::test
