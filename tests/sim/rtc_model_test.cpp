// The backup domain model on its own: reset values, the calendar's carries,
// its clock sources, write protection, initialisation mode, the shadow
// registers and the backup-domain reset.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"
#include "sim/periph/rtc.hpp"

namespace vb {
namespace {

constexpr std::uint32_t kHclk = 144'000'000;
constexpr cycles_t kSecond = kHclk;
constexpr cycles_t kMilli = kHclk / 1000;

}  // namespace

// Calendars print as their BCD bytes, seconds first.
void PrintTo(const BcdCalendar& c, std::ostream* os) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%02X %02X %02X wd%X %02X %02X %02X}", c.sec, c.min, c.hour, c.wday, c.mday, c.mon,
                c.year);
  *os << buf;
}

namespace {

std::uint32_t tr_of(const BcdCalendar& c) { return c.sec | c.min << 8 | c.hour << 16; }
std::uint32_t dr_of(const BcdCalendar& c) { return c.mday | c.mon << 8 | c.wday << 13 | c.year << 16; }

class RtcModel : public ::testing::Test {
protected:
  void SetUp() override {
    clocks.t.hclk = clocks.t.sysclk = kHclk;
    m.set_clock_control(&clocks);
    m.attach(rtc);
  }
  void TearDown() override { EXPECT_FALSE(m.faulted()) << m.fault_report(); }

  void elapse(cycles_t n) {
    m.scheduler().advance(n);
    m.scheduler().run_due();
  }
  void wr(std::uint32_t off, std::uint32_t v) { rtc.write(off, v, ~0u); }
  std::uint32_t rd(std::uint32_t off) { return rtc.read(off); }
  void unlock() {
    wr(rtc_reg::WPR, 0xCA);
    wr(rtc_reg::WPR, 0x53);
  }
  // LSI and LSE started; the RTC clocked from `rtcsel` (1 LSE, 2 LSI).
  void run_from(std::uint32_t rtcsel) {
    rtc.write_csr(csr::LSION, ~0u);
    rtc.write_bdcr(bdcr::LSEON | bdcr::LSEBYP, ~0u);
    elapse(kMilli);
    rtc.write_bdcr(bdcr::LSEON | bdcr::LSEBYP | rtcsel << 8 | bdcr::RTCEN, ~0u);
  }
  // The firmware's load sequence: keys, INIT, wait for INITF, TR, DR, leave, lock.
  void load(const BcdCalendar& c) {
    unlock();
    wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
    elapse(kMilli);
    ASSERT_TRUE(rd(rtc_reg::ISR) & rtc_reg::ISR_INITF);
    wr(rtc_reg::TR, tr_of(c));
    wr(rtc_reg::DR, dr_of(c));
    wr(rtc_reg::ISR, 0);
    wr(rtc_reg::WPR, 0);
  }

  test::FixedClocks clocks;
  Machine m;
  Rtc rtc;
};

TEST_F(RtcModel, ShouldReadReferenceManualResetValues) {
  // Offset and reset value of each register as the reference manual lists
  // them; WPR is write-only and reads 0; the backup registers BKP0R-BKP19R
  // (0x50-0x9C) reset to 0.
  const std::pair<std::uint32_t, std::uint32_t> kResetValues[] = {
      {0x00, 0x00000000},  // TR: 00:00:00
      {0x04, 0x00002101},  // DR: Monday 2000-01-01
      {0x08, 0x00000000},  // CR
      {0x0C, 0x00000007},  // ISR: ALRAWF, ALRBWF, WUTWF
      {0x10, 0x007F00FF},  // PRER: PREDIV_A 127, PREDIV_S 255
      {0x24, 0x00000000},  // WPR
      {0x50, 0x00000000},  // BKP0R
      {0x9C, 0x00000000},  // BKP19R
  };
  for (const auto& [offset, value] : kResetValues) EXPECT_EQ(value, rd(offset)) << "offset 0x" << std::hex << offset;
  EXPECT_EQ(0x00000000u, rtc.read_bdcr()) << "RCC BDCR";
  EXPECT_EQ(0x0E000000u, rtc.read_csr()) << "RCC CSR: PORRSTF, PINRSTF, BORRSTF after power-on";
}

// Calendars as {sec, min, hour, weekday, day, month, year}, all BCD.
struct Carry {
  const char* what;
  BcdCalendar from;
  unsigned seconds;
  BcdCalendar to;
};
const Carry kCarries[] = {
    {"minute", {0x59, 0x00, 0x00, 1, 0x01, 0x01, 0x26}, 1, {0x00, 0x01, 0x00, 1, 0x01, 0x01, 0x26}},
    {"hour 09 to 10", {0x59, 0x59, 0x09, 1, 0x01, 0x01, 0x26}, 1, {0x00, 0x00, 0x10, 1, 0x01, 0x01, 0x26}},
    {"30-day month", {0x59, 0x59, 0x23, 4, 0x30, 0x04, 0x26}, 1, {0x00, 0x00, 0x00, 5, 0x01, 0x05, 0x26}},
    {"31-day month", {0x59, 0x59, 0x23, 6, 0x31, 0x01, 0x26}, 1, {0x00, 0x00, 0x00, 7, 0x01, 0x02, 0x26}},
    {"common-year 28 Feb", {0x59, 0x59, 0x23, 2, 0x28, 0x02, 0x23}, 1, {0x00, 0x00, 0x00, 3, 0x01, 0x03, 0x23}},
    {"leap-year 28 Feb", {0x59, 0x59, 0x23, 3, 0x28, 0x02, 0x24}, 1, {0x00, 0x00, 0x00, 4, 0x29, 0x02, 0x24}},
    {"leap-year 29 Feb", {0x59, 0x59, 0x23, 4, 0x29, 0x02, 0x24}, 1, {0x00, 0x00, 0x00, 5, 0x01, 0x03, 0x24}},
    {"2000 is a leap year", {0x59, 0x59, 0x23, 1, 0x28, 0x02, 0x00}, 1, {0x00, 0x00, 0x00, 2, 0x29, 0x02, 0x00}},
    {"year end", {0x59, 0x59, 0x23, 4, 0x31, 0x12, 0x26}, 1, {0x00, 0x00, 0x00, 5, 0x01, 0x01, 0x27}},
    {"Sunday to Monday", {0x59, 0x59, 0x23, 7, 0x06, 0x12, 0x26}, 1, {0x00, 0x00, 0x00, 1, 0x07, 0x12, 0x26}},
    {"century wraps", {0x59, 0x59, 0x23, 4, 0x31, 0x12, 0x99}, 1, {0x00, 0x00, 0x00, 5, 0x01, 0x01, 0x00}},
    {"one day", {0x00, 0x00, 0x12, 4, 0x30, 0x04, 0x26}, 86400, {0x00, 0x00, 0x12, 5, 0x01, 0x05, 0x26}},
};

TEST_F(RtcModel, ShouldCarryIntoTheNextField) {
  run_from(1);
  for (const Carry& c : kCarries) {
    load(c.from);
    elapse(kSecond * c.seconds);
    EXPECT_EQ(tr_of(c.to), tr_of(rtc.calendar())) << c.what;
    EXPECT_EQ(dr_of(c.to), dr_of(rtc.calendar())) << c.what;
  }
}

TEST_F(RtcModel, ShouldCountSecondsAtTheSelectedClockRate) {
  struct Case { std::uint32_t rtcsel; bool lse_signal; unsigned want_seconds; };  // after 1000 s of board time
  for (const Case c : {Case{1, true, 1000}, Case{2, true, 976}, Case{1, false, 0}}) {
    SCOPED_TRACE(c.rtcsel);
    rtc.write_bdcr(bdcr::BDRST, ~0u);  // a fresh domain: the clock choice is free again
    rtc.write_bdcr(0, ~0u);
    rtc.set_lse_signal(c.lse_signal);
    run_from(c.rtcsel);
    const auto seconds = [&] { return bcd_to_bin(rtc.calendar().min) * 60 + bcd_to_bin(rtc.calendar().sec); };
    const unsigned start = seconds();
    elapse(1000 * kSecond);
    EXPECT_EQ(c.want_seconds, seconds() - start);
    EXPECT_EQ(c.lse_signal, bool(rtc.read_bdcr() & bdcr::LSERDY));
  }
}

TEST_F(RtcModel, ShouldUnlockOnlyWithBothKeysInOrder) {
  struct Case { std::vector<std::uint32_t> keys; bool unlocked; };
  const Case cases[] = {
      {{0xCA, 0x53}, true},
      {{0x53, 0xCA}, false},
      {{0xCA, 0x00, 0x53}, false},
      {{0xCA, 0x53, 0x00}, false},
      {{0xCA, 0x53, 0xFF}, false},
      {{0xCA}, false},
  };
  run_from(1);
  for (const Case& c : cases) {
    wr(rtc_reg::WPR, 0);  // locked to begin with
    for (std::uint32_t k : c.keys) wr(rtc_reg::WPR, k);
    EXPECT_EQ(!c.unlocked, rtc.write_protected()) << ::testing::PrintToString(c.keys);
    wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
    EXPECT_EQ(c.unlocked, rtc.init_mode()) << ::testing::PrintToString(c.keys);
    unlock();
    wr(rtc_reg::ISR, 0);
  }
}

TEST_F(RtcModel, ShouldSetInitfTwoRtcClocksAfterInit) {
  run_from(1);
  unlock();
  wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
  const cycles_t rtc_period = kHclk / Rtc::kLseHz;
  elapse(rtc_period / 2);  // at most one RTCCLK edge so far
  EXPECT_EQ(0u, rd(rtc_reg::ISR) & rtc_reg::ISR_INITF);
  wr(rtc_reg::TR, 0x123456);  // too early: ignored
  elapse(2 * rtc_period);
  EXPECT_EQ(rtc_reg::ISR_INITF, rd(rtc_reg::ISR) & rtc_reg::ISR_INITF);
  EXPECT_EQ(0x00u, rtc.calendar().hour);
}

TEST_F(RtcModel, ShouldNeverSetInitfWithoutRtcClock) {
  unlock();
  wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
  elapse(kSecond);
  EXPECT_EQ(0u, rd(rtc_reg::ISR) & rtc_reg::ISR_INITF);
}

TEST_F(RtcModel, ShouldHoldCalendarStillInInitMode) {
  run_from(1);
  load({0x10, 0x00, 0x00, 1, 0x01, 0x01, 0x26});
  unlock();
  wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
  elapse(5 * kSecond);
  EXPECT_EQ(0x10, rtc.calendar().sec);
  wr(rtc_reg::ISR, 0);
  elapse(kSecond);
  EXPECT_EQ(0x11, rtc.calendar().sec);
}

TEST_F(RtcModel, ShouldSetRsfOnlyAfterLeavingInitMode) {
  run_from(1);
  elapse(kMilli);
  EXPECT_TRUE(rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  load({0x00, 0x30, 0x12, 3, 0x15, 0x07, 0x26});
  EXPECT_FALSE(rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  EXPECT_EQ(0x000000u, rd(rtc_reg::TR));  // the shadow still holds the old time
  rd(rtc_reg::DR);
  elapse(kMilli);
  EXPECT_TRUE(rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  EXPECT_EQ(0x123000u, rd(rtc_reg::TR));
  EXPECT_EQ(0x00266715u, rd(rtc_reg::DR));
}

TEST_F(RtcModel, ShouldFreezeShadowsFromTimeReadUntilDateRead) {
  run_from(1);
  load({0x58, 0x59, 0x23, 4, 0x31, 0x12, 0x26});
  elapse(kMilli);
  EXPECT_EQ(0x235958u, rd(rtc_reg::TR));  // locks TR and DR
  unlock();
  wr(rtc_reg::ISR, 0);  // clear RSF, as a driver waiting for a fresh copy does
  elapse(5 * kSecond);  // past midnight
  EXPECT_EQ(0x235958u, rd(rtc_reg::TR));
  EXPECT_EQ(0u, rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  EXPECT_EQ(0x00269231u, rd(rtc_reg::DR));  // unlocks
  elapse(kMilli);
  EXPECT_EQ(rtc_reg::ISR_RSF, rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  EXPECT_EQ(0x000003u, rd(rtc_reg::TR));
  EXPECT_EQ(0x0027A101u, rd(rtc_reg::DR));
}

TEST_F(RtcModel, ShouldAcceptPrescalersOnlyOneAtATime) {
  struct Case { const char* what; std::uint32_t prer; bool accepted; };
  const Case cases[] = {
      {"synchronous prescaler alone", 0x007F00F9, true},
      {"asynchronous prescaler alone", 0x007C00FF, true},
      {"both in one write", 0x007C00F9, false},
      {"same value again", 0x007F00FF, true},
  };
  for (const Case& c : cases) {
    Machine fresh;
    test::FixedClocks fc;
    fc.t.hclk = fc.t.sysclk = kHclk;
    fresh.set_clock_control(&fc);
    Rtc r;
    fresh.attach(r);
    r.write_csr(csr::LSION, ~0u);
    r.write_bdcr(bdcr::LSEON | bdcr::LSEBYP, ~0u);
    test::run_for(fresh, kMilli);
    r.write_bdcr(bdcr::LSEON | bdcr::LSEBYP | 1u << 8 | bdcr::RTCEN, ~0u);
    r.write(rtc_reg::WPR, 0xCA, ~0u);
    r.write(rtc_reg::WPR, 0x53, ~0u);
    r.write(rtc_reg::ISR, rtc_reg::ISR_INIT, ~0u);
    test::run_for(fresh, kMilli);
    r.write(rtc_reg::PRER, c.prer, ~0u);
    EXPECT_EQ(!c.accepted, fresh.faulted()) << c.what;
    EXPECT_EQ(c.accepted ? c.prer : 0x007F00FFu, r.read(rtc_reg::PRER)) << c.what;
  }
}

TEST_F(RtcModel, ShouldLeaveInitModeAndDropShadowLockOnSystemReset) {
  run_from(1);
  load({0x00, 0x30, 0x12, 3, 0x15, 0x07, 0x26});
  elapse(kMilli);
  rd(rtc_reg::TR);  // locks the shadows
  unlock();
  wr(rtc_reg::ISR, rtc_reg::ISR_INIT);
  elapse(kMilli);
  ASSERT_EQ(rtc_reg::ISR_INITF | rtc_reg::ISR_INIT, rd(rtc_reg::ISR) & (rtc_reg::ISR_INITF | rtc_reg::ISR_INIT));
  rtc.reset();
  EXPECT_EQ(0u, rd(rtc_reg::ISR) & (rtc_reg::ISR_INIT | rtc_reg::ISR_INITF | rtc_reg::ISR_RSF));
  elapse(2 * kSecond);  // the calendar runs again, and the shadows follow it without a DR read
  EXPECT_EQ(rtc_reg::ISR_RSF, rd(rtc_reg::ISR) & rtc_reg::ISR_RSF);
  EXPECT_EQ(0x123002u, rd(rtc_reg::TR));
  EXPECT_EQ(0x00266715u, rd(rtc_reg::DR)) << "the calendar survives a system reset";
}

TEST_F(RtcModel, ShouldClearWholeDomainAndFreeClockChoiceOnlyOnBackupDomainReset) {
  run_from(1);
  load({0x00, 0x30, 0x12, 3, 0x15, 0x07, 0x26});
  wr(rtc_reg::BKP0R + 4, 0xDEADBEEF);
  rtc.write_bdcr(bdcr::LSEON | bdcr::LSEBYP | 2u << 8 | bdcr::RTCEN, ~0u);
  EXPECT_EQ(1u << 8, rtc.read_bdcr() & bdcr::RTCSEL) << "the choice is fixed";
  unlock();
  rtc.write_bdcr(rtc.read_bdcr() | bdcr::BDRST, ~0u);
  rtc.write_bdcr(0, ~0u);
  EXPECT_EQ(0u, rtc.read_bdcr());
  EXPECT_EQ(BcdCalendar{}, rtc.calendar());
  EXPECT_EQ(0u, rd(rtc_reg::BKP0R + 4));
  EXPECT_TRUE(rtc.write_protected());
  EXPECT_EQ(0u, rtc.rtcclk_hz());
  EXPECT_TRUE(rtc.read_csr() & csr::LSIRDY);  // the LSI is outside the domain
  rtc.write_bdcr(2u << 8 | bdcr::RTCEN, ~0u);
  EXPECT_EQ(2u << 8, rtc.read_bdcr() & bdcr::RTCSEL);
  EXPECT_EQ(Rtc::kLsiHz, rtc.rtcclk_hz());
}

TEST_F(RtcModel, ShouldIgnoreDomainWritesWithoutBackupAccess) {
  bool dbp = false;
  rtc.set_write_access([&] { return dbp; });
  rtc.write_bdcr(bdcr::LSEON | bdcr::LSEBYP, ~0u);
  wr(rtc_reg::BKP0R, 1);
  EXPECT_EQ(0u, rtc.read_bdcr());
  EXPECT_EQ(0u, rd(rtc_reg::BKP0R));
  dbp = true;
  rtc.write_bdcr(bdcr::LSEON | bdcr::LSEBYP, ~0u);
  wr(rtc_reg::BKP0R, 1);
  EXPECT_EQ(bdcr::LSEON | bdcr::LSEBYP, rtc.read_bdcr() & ~bdcr::LSERDY);
  EXPECT_EQ(1u, rd(rtc_reg::BKP0R));
}

}  // namespace
}  // namespace vb
