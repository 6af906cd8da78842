// The on-chip RTC on the image: clock source choice at start-up, the load
// from the external chip, and the calendar operations called on the core.
#include <cstdio>
#include <string>

#include "sim/parts/tcxo_rtc.hpp"
#include "sim/periph/rtc.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {


const BcdCalendar kSundayMorning{0x50, 0x59, 0x10, 7, 0x06, 0x12, 0x26};  // 2026-12-06 10:59:50

// rtc_tm as the firmware lays it out: nine ints.
struct Tm {
  int sec, min, hour, mday, mon, year, wday, yday, isdst;
  bool operator==(const Tm&) const = default;
};

void PrintTo(const Tm& t, std::ostream* os) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "{%d-%d-%d %d:%d:%d wday %d yday %d dst %d}", t.year, t.mon, t.mday, t.hour, t.min,
                t.sec, t.wday, t.yday, t.isdst);
  *os << buf;
}

std::uint8_t bcd(int v) { return static_cast<std::uint8_t>(v / 10 << 4 | v % 10); }

std::string show(const BcdCalendar& c) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "20%02X-%02X-%02X %02X:%02X:%02X wd%X", c.year, c.mon, c.mday, c.hour, c.min, c.sec,
                c.wday);
  return buf;
}

class RtcBoard : public BoardTest {
protected:
  RtcBoard() { options.rtc_chip.start = kSundayMorning; }

  std::uint32_t tm_addr() { return scratch(); }
  void put(const Tm& t) {
    const int f[9] = {t.sec, t.min, t.hour, t.mday, t.mon, t.year, t.wday, t.yday, t.isdst};
    for (int i = 0; i < 9; ++i) m().write32(tm_addr() + 4 * i, static_cast<std::uint32_t>(f[i]));
  }
  Tm get() {
    int f[9];
    for (int i = 0; i < 9; ++i) f[i] = static_cast<int>(m().read32(tm_addr() + 4 * i));
    return {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8]};
  }
  int set_local(const Tm& t) {
    put(t);
    return static_cast<int>(m().call("RTC_setlocaltime", {tm_addr()}));
  }
  Tm get_local() {
    put(Tm{-9, -9, -9, -9, -9, -9, -9, -9, -9});
    EXPECT_EQ(0u, m().call("RTC_getlocaltime", {tm_addr()}));
    return get();
  }
  // After a load the shadow registers follow within two RTC clock periods.
  void settle() { m().run_ms(1); }
  // Sets the external chip's time and has the firmware load it.
  void load_from_chip(const BcdCalendar& c) {
    board().tcxo_rtc().set_time(c);
    m().call("hwclock_r");
    settle();
  }
  std::string console() { return board().usart3_output(); }
};

TEST_F(RtcBoard, ShouldStartCalendarFromExternalChipOnLse) {
  ASSERT_TRUE(boot());
  const BcdCalendar now = board().rtc().calendar();
  EXPECT_EQ(0x5910u, now.min << 8 | now.hour) << show(now);
  EXPECT_TRUE(now.sec == 0x50 || now.sec == 0x51) << show(now);
  EXPECT_EQ(0x261206u, static_cast<unsigned>(now.year << 16 | now.mon << 8 | now.mday)) << show(now);
  EXPECT_EQ(7, now.wday);
  EXPECT_EQ(1u << 8, board().rtc().read_bdcr() & bdcr::RTCSEL);
  m().run_ms(300);  // the console drains its ring at 115200 bit/s
  EXPECT_NE(std::string::npos, console().find("setup RTC...waiting for clock...clock source is LSE\r\r\n"));
  EXPECT_NE(std::string::npos, console().find("stm32f4:RTC=12-6 10:59:5")) << console();
}

class RtcBoardWithoutLse : public RtcBoard {
protected:
  RtcBoardWithoutLse() { options.lse_clock = false; }
  // Board time from now until the calendar's seconds next change.
  double ms_to_next_second() {
    const cycles_t start = m().now();
    const std::uint8_t sec = board().rtc().calendar().sec;
    m().run_until([&] { return board().rtc().calendar().sec != sec; }, 2 * m().clocks().hclk);
    return (m().now() - start) * 1000.0 / m().clocks().hclk;
  }
};

// The LSE poll gives up after 100,000,000 reads; the RTC then runs from the
// 32 kHz LSI, so its seconds last 32768 / 32000 = 1.024 s.
TEST_F(RtcBoardWithoutLse, ShouldFallBackToLsiAndRunAtItsRate) {
  ASSERT_TRUE(boot(15000));
  EXPECT_EQ(2u << 8, board().rtc().read_bdcr() & bdcr::RTCSEL);
  // The chip kept counting through the ~4.8 s of polls, at the board's pace.
  const BcdCalendar loaded = board().rtc().calendar();
  EXPECT_EQ(0x59, loaded.min) << show(loaded);
  EXPECT_TRUE(loaded.sec == 0x54 || loaded.sec == 0x55) << show(loaded);
  m().run_ms(300);
  EXPECT_NE(std::string::npos, console().find("...clock source is LSI\r\r\n")) << console();
  EXPECT_LT(0.0, board().leds().levels()[2]) << "LED 3 shows the RTC off its crystal";
  ms_to_next_second();
  EXPECT_NEAR(1024.0, ms_to_next_second(), 2.0);
  EXPECT_NEAR(1024.0, ms_to_next_second(), 2.0);
}

class RtcBoardWithoutChip : public RtcBoard, public ::testing::WithParamInterface<TcxoRtcOptions::Fit> {
protected:
  RtcBoardWithoutChip() { options.rtc_chip.fit = GetParam(); }
};

// Floating high the frame reads all 0xFF, stuck low all 0x00: neither is a time.
TEST_P(RtcBoardWithoutChip, ShouldLoadDefaultDateWhenChipDoesNotAnswer) {
  ASSERT_TRUE(boot());
  const BcdCalendar now = board().rtc().calendar();
  EXPECT_EQ((BcdCalendar{now.sec, 0x00, 0x00, 3, 0x20, 0x03, 0x13}), now) << show(now) << ": 2013-03-20 was a Wednesday";
  EXPECT_LE(now.sec, 0x01);
}

INSTANTIATE_TEST_SUITE_P(Line, RtcBoardWithoutChip,
                         ::testing::Values(TcxoRtcOptions::Fit::kAbsent, TcxoRtcOptions::Fit::kStuckLow),
                         [](const auto& info) {
                           return info.param == TcxoRtcOptions::Fit::kAbsent ? "floating_high" : "stuck_low";
                         });

// The loader takes the chip's bytes only when they are a date and time the
// calendar can hold; anything else gives the default date.
TEST_F(RtcBoard, ShouldLoadChipFrameOnlyWhenItIsAValidBcdTime) {
  struct Case { const char* what; BcdCalendar chip; bool loaded; };
  const BcdCalendar kDefault{0x00, 0x00, 0x00, 3, 0x20, 0x03, 0x13};  // a Wednesday
  const Case cases[] = {
      {"valid", {0x07, 0x08, 0x09, 3, 0x10, 0x11, 0x12}, true},
      {"highest fields", {0x59, 0x59, 0x23, 7, 0x31, 0x12, 0x99}, true},
      {"lowest fields", {0x00, 0x00, 0x00, 1, 0x01, 0x01, 0x00}, true},
      {"seconds 0x60, minutes valid", {0x60, 0x30, 0x09, 3, 0x10, 0x11, 0x12}, false},
      {"seconds 0x59, minutes 0x60", {0x59, 0x60, 0x09, 3, 0x10, 0x11, 0x12}, false},
      {"seconds digit 0xA", {0x1A, 0x30, 0x09, 3, 0x10, 0x11, 0x12}, false},
      {"hour 24", {0x00, 0x30, 0x24, 3, 0x10, 0x11, 0x12}, false},
      {"hour with bit 6 set", {0x00, 0x15, 0x45, 2, 0x01, 0x06, 0x26}, false},
      {"weekday 0", {0x00, 0x30, 0x09, 0, 0x10, 0x11, 0x12}, false},
      {"weekday 8", {0x00, 0x30, 0x09, 8, 0x10, 0x11, 0x12}, false},
      {"day 0", {0x00, 0x30, 0x09, 3, 0x00, 0x11, 0x12}, false},
      {"day 32", {0x00, 0x30, 0x09, 3, 0x32, 0x11, 0x12}, false},
      {"month 0", {0x00, 0x30, 0x09, 3, 0x10, 0x00, 0x12}, false},
      {"month 13", {0x00, 0x30, 0x09, 3, 0x10, 0x13, 0x12}, false},
      {"year digit 0xA", {0x00, 0x30, 0x09, 3, 0x10, 0x11, 0xA0}, false},
      {"all zero", {0x00, 0x00, 0x00, 0, 0x00, 0x00, 0x00}, false},
  };
  ASSERT_TRUE(boot());
  for (const Case& c : cases) {
    load_from_chip(c.chip);
    EXPECT_EQ(show(c.loaded ? c.chip : kDefault), show(board().rtc().calendar())) << c.what;
  }
}

// Calendar images loaded directly: what the reading makes of fields a valid
// chip frame never has.
TEST_F(RtcBoard, ShouldReadHourPlusTwelveWhenTheImageSetsPmBit) {
  ASSERT_TRUE(boot());
  m().call("init_RTC_date_time", {0x00264601, 0x00451500});  // hours 0x45: bit 6 (PM) set
  settle();
  EXPECT_TRUE(board().rtc().pm());
  const Tm t = get_local();
  EXPECT_EQ(17, t.hour);
  EXPECT_EQ(15, t.min);
}

TEST_F(RtcBoard, ShouldReadInvalidMonthWithoutDayOfYear) {
  ASSERT_TRUE(boot());
  m().call("init_RTC_date_time", {0x00265F01, 0x00101500});  // month field 0x1F
  settle();
  const Tm t = get_local();
  EXPECT_EQ(24, t.mon);  // month field 0x1F: tens 1, units 15
  EXPECT_EQ(-1, t.yday);
  m().run_ms(1100);  // and the calendar keeps running
  EXPECT_EQ(1, get_local().sec);
}

// With the RTC clock gone INITF never rises: the load gives up after its poll
// limit, leaves the calendar alone and still leaves init mode and relocks.
TEST_F(RtcBoard, ShouldGiveUpLoadAndRelockWhenInitModeNeverComes) {
  ASSERT_TRUE(boot());
  board().rtc().set_lse_signal(false);
  ASSERT_EQ(0u, board().rtc().rtcclk_hz());
  const BcdCalendar before = board().rtc().calendar();
  m().call("init_RTC_date_time", {0x00224101, 0x00123456});
  EXPECT_EQ(show(before), show(board().rtc().calendar()));
  EXPECT_FALSE(board().rtc().init_mode());
  EXPECT_TRUE(board().rtc().write_protected());
}

struct SetCase { const char* what; Tm tm; int result; };
// sec, min, hour, mday, mon, year, wday (yday and isdst are ignored)
const SetCase kSetCases[] = {
    {"29 Feb 2012", {0, 0, 12, 29, 1, 112, 3, 0, 0}, 0},
    {"29 Feb 2016", {0, 0, 12, 29, 1, 116, 1, 0, 0}, 0},
    {"29 Feb 2013", {0, 0, 12, 29, 1, 113, 5, 0, 0}, -1},
    {"30 Feb 2012", {0, 0, 12, 30, 1, 112, 4, 0, 0}, -1},
    {"31 Apr", {0, 0, 12, 31, 3, 126, 5, 0, 0}, -1},
    {"31 Mar", {0, 0, 12, 31, 2, 126, 2, 0, 0}, 0},
    {"Sunday stored as weekday 7", {0, 0, 12, 6, 11, 126, 0, 0, 0}, 0},
    {"year 1999", {0, 0, 12, 1, 0, 99, 5, 0, 0}, -1},
    {"year 2100", {0, 0, 12, 1, 0, 200, 5, 0, 0}, -1},
    {"year 2000", {0, 0, 12, 1, 0, 100, 6, 0, 0}, 0},
    {"year 2099", {0, 0, 12, 1, 0, 199, 4, 0, 0}, 0},
    {"second 60", {60, 0, 12, 1, 0, 126, 4, 0, 0}, -1},
    {"second 61", {61, 0, 12, 1, 0, 126, 4, 0, 0}, -1},
    {"minute 60", {0, 60, 12, 1, 0, 126, 4, 0, 0}, -1},
    {"hour 24", {0, 0, 24, 1, 0, 126, 4, 0, 0}, -1},
    {"weekday 7", {0, 0, 12, 1, 0, 126, 7, 0, 0}, -1},
    {"month 12", {0, 0, 12, 1, 12, 126, 4, 0, 0}, -1},
    {"day 0", {0, 0, 12, 0, 0, 126, 4, 0, 0}, -1},
    {"negative second", {-1, 0, 12, 1, 0, 126, 4, 0, 0}, -1},
    {"negative minute", {0, -1, 12, 1, 0, 126, 4, 0, 0}, -1},
    {"negative hour", {0, 0, -1, 1, 0, 126, 4, 0, 0}, -1},
    {"negative day", {0, 0, 12, -1, 0, 126, 4, 0, 0}, -1},
    {"negative month", {0, 0, 12, 1, -1, 126, 4, 0, 0}, -1},
    {"negative year", {0, 0, 12, 1, 0, -126, 4, 0, 0}, -1},
    {"negative weekday", {0, 0, 12, 1, 0, 126, -1, 0, 0}, -1},
};

TEST_F(RtcBoard, ShouldAcceptOnlyValidCalendarTimes) {
  ASSERT_TRUE(boot());
  const Tm base{10, 20, 8, 15, 6, 126, 3, 0, 0};  // 2026-07-15 08:20:10
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, set_local(base));
    const BcdCalendar before = board().rtc().calendar();
    EXPECT_EQ(c.result, set_local(c.tm));
    const BcdCalendar after = board().rtc().calendar();
    if (c.result != 0) {
      EXPECT_EQ(show(before), show(after)) << "the RTC must stay untouched";
      continue;
    }
    const Tm& t = c.tm;
    EXPECT_EQ(show({bcd(t.sec), bcd(t.min), bcd(t.hour), static_cast<std::uint8_t>(t.wday == 0 ? 7 : t.wday),
                    bcd(t.mday), bcd(t.mon + 1), bcd(t.year - 100)}),
              show(after));
    EXPECT_TRUE(board().rtc().write_protected());
    EXPECT_FALSE(board().rtc().init_mode());
  }
}

TEST_F(RtcBoard, ShouldReadBackWhatWasSet) {
  struct Case { const char* what; Tm set; int yday; };
  const Case cases[] = {
      {"1 Jan, Sunday", {5, 4, 3, 1, 0, 123, 0, 0, 0}, 0},
      {"1 Mar common year", {0, 0, 0, 1, 2, 123, 3, 0, 0}, 59},
      {"1 Mar leap year", {0, 0, 0, 1, 2, 124, 5, 0, 0}, 60},
      {"31 Dec common year", {59, 59, 23, 31, 11, 126, 4, 0, 0}, 364},
      {"31 Dec leap year", {59, 59, 23, 31, 11, 124, 2, 0, 0}, 365},
  };
  ASSERT_TRUE(boot());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Tm want = c.set;
    want.yday = c.yday;
    want.isdst = 0;
    Tm in = c.set;
    in.yday = in.isdst = 77;  // ignored
    ASSERT_EQ(0, set_local(in));
    settle();
    EXPECT_EQ(want, get_local());
  }
}

// The calendar rolls over between two readings with RTC_getlocaltime.
TEST_F(RtcBoard, ShouldRollOverAtMonthAndYearEnds) {
  struct Case { const char* what; Tm before, after; };
  const Case cases[] = {
      {"30-day month", {59, 59, 23, 30, 3, 126, 4, 119, 0}, {0, 0, 0, 1, 4, 126, 5, 120, 0}},
      {"28 Feb leap year", {59, 59, 23, 28, 1, 124, 3, 58, 0}, {0, 0, 0, 29, 1, 124, 4, 59, 0}},
      {"28 Feb common year", {59, 59, 23, 28, 1, 123, 2, 58, 0}, {0, 0, 0, 1, 2, 123, 3, 59, 0}},
      {"31 Dec", {59, 59, 23, 31, 11, 126, 4, 364, 0}, {0, 0, 0, 1, 0, 127, 5, 0, 0}},
  };
  ASSERT_TRUE(boot());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, set_local(c.before));
    settle();
    EXPECT_EQ(c.before, get_local());
    m().run_ms(1050);  // the first second ends 1 s after the load
    EXPECT_EQ(c.after, get_local());
  }
}

}  // namespace
}  // namespace vb::test
