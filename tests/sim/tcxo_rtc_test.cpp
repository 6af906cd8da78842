// The external RTC chip on its own, driven by a bench master that toggles
// the bus pins in SPI mode 3 the way the firmware does: what the tests on
// the image cannot see (addresses other than 0, the recorder's own checks),
// and the board's time option.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"
#include "sim/parts/tcxo_rtc.hpp"

namespace vb {
namespace {

constexpr std::uint32_t kHclk = 144'000'000;
constexpr cycles_t kMicro = kHclk / 1'000'000;

// Pins as a bench sees them: the master sets CS/SCK/MOSI, the part drives MISO.
class BenchPins : public PinIo {
public:
  bool level(Pin p) const override {
    if (p == TcxoRtc::kMiso) return miso_ == Drive::kHigh || miso_ == Drive::kPullUp;
    auto it = levels_.find(key(p));
    return it == levels_.end() ? true : it->second;
  }
  void drive(Pin p, Drive d) override {
    if (p == TcxoRtc::kMiso) miso_ = d;
  }
  int watch(Pin p, std::function<void(bool)> fn) override {
    watchers_[++last_] = {key(p), std::move(fn)};
    return last_;
  }
  void unwatch(int id) override { watchers_.erase(id); }
  void set(Pin p, bool l) {
    if (level(p) == l) return;
    levels_[key(p)] = l;
    for (auto& [id, w] : watchers_)
      if (w.first == key(p)) w.second(l);
  }

private:
  static int key(Pin p) { return p.port * 16 + p.num; }
  std::map<int, bool> levels_;
  std::map<int, std::pair<int, std::function<void(bool)>>> watchers_;
  Drive miso_ = Drive::kNone;
  int last_ = 0;
};

class TcxoChip : public ::testing::Test {
protected:
  void SetUp() override {
    clocks.t.hclk = clocks.t.sysclk = kHclk;
    m.set_clock_control(&clocks);
  }
  void wait_us(unsigned n) {
    m.scheduler().advance(n * kMicro);
    m.scheduler().run_due();
  }
  // One frame, in place, with 1 us phases.
  std::vector<std::uint8_t> xfer(std::vector<std::uint8_t> bytes) {
    pins.set(TcxoRtc::kCs, false);
    wait_us(1);
    for (auto& b : bytes) {
      for (int bit = 7; bit >= 0; --bit) {
        pins.set(TcxoRtc::kSck, false);
        pins.set(TcxoRtc::kMosi, (b >> bit) & 1);
        wait_us(1);
        pins.set(TcxoRtc::kSck, true);
        b = static_cast<std::uint8_t>((b & ~(1u << bit)) | (pins.level(TcxoRtc::kMiso) ? 1u << bit : 0));
        wait_us(1);
      }
    }
    pins.set(TcxoRtc::kCs, true);
    return bytes;
  }

  test::FixedClocks clocks;
  Machine m;
  BenchPins pins;
};

const BcdCalendar kSunday{0x50, 0x59, 0x10, 7, 0x06, 0x12, 0x26};  // 2026-12-06 10:59:50

TEST_F(TcxoChip, ShouldReadFromAnyAddressAndWrapAfterLastRegister) {
  TcxoRtc chip(m, pins, {TcxoRtcOptions::Fit::kPresent, kSunday});
  EXPECT_EQ((std::vector<std::uint8_t>{0x00, 0x06, 0x12, 0x26}), xfer({0x04, 0, 0, 0}));
  chip.set_reg(TcxoRtc::kRegisters - 1, 0xA5);
  EXPECT_EQ((std::vector<std::uint8_t>{0x00, 0xA5, 0x50}), xfer({TcxoRtc::kRegisters - 1, 0, 0}));
}

TEST_F(TcxoChip, ShouldFlagProtocolViolations) {
  TcxoRtc chip(m, pins, {});
  pins.set(TcxoRtc::kSck, false);  // a pulse without chip select
  pins.set(TcxoRtc::kSck, true);
  pins.set(TcxoRtc::kCs, false);
  pins.set(TcxoRtc::kMosi, false);  // data change with the clock high
  pins.set(TcxoRtc::kSck, false);
  pins.set(TcxoRtc::kSck, true);
  pins.set(TcxoRtc::kCs, true);  // after one bit
  EXPECT_EQ(1u, chip.count(TcxoRtc::Violation::kClockWithoutCs));
  EXPECT_EQ(1u, chip.count(TcxoRtc::Violation::kMosiWhileSckHigh));
  EXPECT_EQ(1u, chip.count(TcxoRtc::Violation::kPartialByte));
}

TEST_F(TcxoChip, ShouldRecordShortestBusPhase) {
  TcxoRtc chip(m, pins, {});
  xfer({0x00, 0xFF});
  ASSERT_EQ(1u, chip.frames().size());
  EXPECT_EQ(kMicro, chip.frames()[0].min_phase);
  EXPECT_EQ(33 * kMicro, chip.frames()[0].end - chip.frames()[0].start);
}

TEST(BoardTimeOption, ShouldAcceptOnlyRealDatesOfThisCentury) {
  struct Case {
    const char* text;
    std::optional<BcdCalendar> want;
  };
  const Case cases[] = {
      {"2026-12-06T10:59:50", kSunday},
      {"2024-02-29T00:00:00", BcdCalendar{0x00, 0x00, 0x00, 4, 0x29, 0x02, 0x24}},
      {"2000-01-01T23:59:59", BcdCalendar{0x59, 0x59, 0x23, 6, 0x01, 0x01, 0x00}},
      {"2023-02-29T00:00:00", std::nullopt},
      {"1999-12-31T00:00:00", std::nullopt},
      {"2100-01-01T00:00:00", std::nullopt},
      {"2026-12-06T24:00:00", std::nullopt},
      {"2026-12-06T10:60:00", std::nullopt},
      {"2026-12-06 10:59:50", std::nullopt},
      {"2026-12-06T10:59:50Z", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, parse_calendar(c.text)) << c.text;
}

}  // namespace
}  // namespace vb
