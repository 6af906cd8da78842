// The external RTC's software SPI bus on the image, as the chip (and a logic
// analyser on its pins) sees it.
#include <vector>

#include "sim/parts/tcxo_rtc.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {


using Bytes = std::vector<std::uint8_t>;
using Fit = TcxoRtcOptions::Fit;
const BcdCalendar kSundayMorning{0x50, 0x59, 0x10, 7, 0x06, 0x12, 0x26};  // 2026-12-06 10:59:50

class TcxoBus : public BoardTest {
protected:
  TcxoBus() { options.rtc_chip.start = kSundayMorning; }

  TcxoRtc& chip() { return board().tcxo_rtc(); }
  cycles_t micros(unsigned us) { return static_cast<cycles_t>(m().clocks().hclk) / 1'000'000 * us; }
  // Calls a transfer function on a buffer in SRAM; returns the buffer after.
  Bytes transfer(const char* fn, Bytes bytes, std::uint32_t num) {
    const std::uint32_t buf = scratch();
    for (std::size_t i = 0; i < bytes.size(); ++i) m().write8(buf + i, bytes[i]);
    EXPECT_EQ(0u, m().call(fn, {buf, num})) << fn;
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = m().read8(buf + i);
    EXPECT_EQ(0u, m().read8(m().symbol("ss_stat"))) << "bus left idle";
    return bytes;
  }
  void expect_clean_bus() {
    EXPECT_EQ(0u, chip().count(TcxoRtc::Violation::kMosiWhileSckHigh)) << "MOSI must change only with SCK low";
    EXPECT_EQ(0u, chip().count(TcxoRtc::Violation::kPartialByte));
  }
};

TEST_F(TcxoBus, ShouldReadChipOnceAtStartUpWithEightByteFrame) {
  ASSERT_TRUE(boot());
  ASSERT_EQ(1u, chip().frames().size());
  const TcxoRtc::Frame& f = chip().frames()[0];
  ASSERT_EQ(8u, f.mosi.size());
  EXPECT_EQ((Bytes{0x00, 0xFF, 0xFF}), Bytes(f.mosi.begin(), f.mosi.begin() + 3));
  EXPECT_EQ((Bytes{0x50, 0x59, 0x10, 0x07, 0x06, 0x12, 0x26}), Bytes(f.miso.begin() + 1, f.miso.end()));
  EXPECT_EQ(64u, f.bits);
  EXPECT_GE(f.end - f.start, micros(129));
  EXPECT_GE(f.min_phase, micros(1)) << "every bus phase lasts at least 1 us";
  expect_clean_bus();
}

TEST_F(TcxoBus, ShouldClockBurstOf128PulsesBeforeFirstFrame) {
  ASSERT_TRUE(boot());
  ASSERT_FALSE(chip().frames().empty());
  unsigned before_first_frame = 0;
  for (const auto& e : chip().violations())
    if (e.what == TcxoRtc::Violation::kClockWithoutCs && e.when < chip().frames()[0].start) ++before_first_frame;
  EXPECT_EQ(128u, before_first_frame);
  EXPECT_EQ(128u, chip().count(TcxoRtc::Violation::kClockWithoutCs));
}

TEST_F(TcxoBus, ShouldMarkDirectionInCallersFirstByte) {
  struct Case {
    const char* fn;
    std::uint8_t first;  // data[0] before the call
    std::uint8_t sent;   // what the chip received
  };
  const Case cases[] = {
      {"sspi_recv_rtc", 0x80, 0x00},
      {"sspi_recv_rtc", 0x05, 0x05},
      {"sspi_send_rtc", 0x00, 0x80},
      {"sspi_send_rtc", 0x86, 0x86},
  };
  ASSERT_TRUE(boot());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fn) + " " + std::to_string(c.first));
    const std::size_t n = chip().frames().size();
    const Bytes after = transfer(c.fn, {c.first, 0x00}, 2);
    ASSERT_EQ(n + 1, chip().frames().size());
    EXPECT_EQ(c.sent, chip().frames().back().mosi[0]);
    EXPECT_EQ(chip().frames().back().miso, after) << "each byte is replaced by the byte received";
  }
  expect_clean_bus();
}

TEST_F(TcxoBus, ShouldLeaveBusAndBufferAloneForZeroLength) {
  ASSERT_TRUE(boot());
  for (const char* fn : {"sspi_recv_rtc", "sspi_send_rtc"}) {
    const std::size_t n = chip().frames().size();
    EXPECT_EQ((Bytes{0x80, 0x00, 0x42}), transfer(fn, {0x80, 0x00, 0x42}, 0)) << fn;
    EXPECT_EQ(n, chip().frames().size()) << fn << ": no chip-select pulse";
  }
}

TEST_F(TcxoBus, ShouldSendOneByteInEightClocksInOneFrame) {
  ASSERT_TRUE(boot());
  transfer("sspi_xmit_rtc", {0x00}, 1);
  const TcxoRtc::Frame& f = chip().frames().back();
  EXPECT_EQ(8u, f.bits);
  EXPECT_EQ(Bytes{0x00}, f.mosi);
  expect_clean_bus();
}

TEST_F(TcxoBus, ShouldWriteTimeRegistersWithWriteFrame) {
  ASSERT_TRUE(boot());
  transfer("sspi_send_rtc", {0x00, 0x30, 0x15, 0x08, 0x01, 0x20, 0x03}, 7);
  EXPECT_EQ((Bytes{0x80, 0x30, 0x15, 0x08, 0x01, 0x20, 0x03}), chip().frames().back().mosi);
  EXPECT_EQ((BcdCalendar{0x30, 0x15, 0x08, 0x01, 0x20, 0x03, 0x26}), chip().time()) << "the year stays";
  expect_clean_bus();
}

struct LineCase {
  const char* what;
  Fit fit;
  std::uint8_t every_byte;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.what; }

class TcxoLine : public TcxoBus, public ::testing::WithParamInterface<LineCase> {
protected:
  TcxoLine() { options.rtc_chip.fit = GetParam().fit; }
};

TEST_P(TcxoLine, ShouldReadLineLevelInEveryByteWithoutAnswer) {
  ASSERT_TRUE(boot());
  EXPECT_EQ(Bytes(8, GetParam().every_byte), transfer("sspi_recv_rtc", {0x00, 0xFF, 0xFF, 0, 0, 0, 0, 0}, 8));
}

INSTANTIATE_TEST_SUITE_P(Miso, TcxoLine,
                         ::testing::Values(LineCase{"floating_high", Fit::kAbsent, 0xFF},
                                           LineCase{"stuck_low", Fit::kStuckLow, 0x00}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace vb::test
