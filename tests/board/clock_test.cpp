// The talking clock on the image: what it says and when (start-up, rounding,
// five-minute mode), the chimes, the button gestures as a person makes them,
// the breathing LEDs, and the LED and beeper drivers' register values.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/periph/dma.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/timer.hpp"
#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {

constexpr double kCyclesPerMs = 144'000;
constexpr std::uint32_t kTim4 = 0x40000800, kTim10 = 0x40014400;
constexpr std::uint32_t kArr = 0x2C, kCcr1 = 0x34, kCr1 = 0x00;

BcdCalendar at(std::uint8_t h, std::uint8_t m, std::uint8_t s) {
  const auto bcd = [](std::uint8_t v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); };
  return {bcd(s), bcd(m), bcd(h), 1, 0x07, 0x12, 0x26};  // 2026-12-07, a Monday
}

// One board with the clock running, and what its voice output started.
class ClockBoard {
public:
  struct Clip { cycles_t at; std::uint32_t addr, bytes; };

  explicit ClockBoard(BcdCalendar start, bool lse = true) {
    BoardOptions o;
    o.rtc_chip.start = start;
    o.lse_clock = lse;
    b = std::make_unique<Board>(o);
    Dma& dma = b->dma1();
    dma.on_stream_change(1, [this, &dma](bool before) {
      if (before || !(dma.read(dma_reg::stream_reg(1, dma_reg::SxCR)) & 1)) return;
      clips.push_back({m().now(), dma.read(dma_reg::stream_reg(1, dma_reg::SxM0AR)),
                       dma.read(dma_reg::stream_reg(1, dma_reg::SxNDTR))});
    });
  }
  Machine& m() { return b->m(); }

  // Boots and stops at the entry of the first clock pass; returns its time.
  cycles_t first_pass() {
    EXPECT_TRUE(b->boot(6000));  // without LSE the RTC waits 4 s for it
    EXPECT_TRUE(b->run_to(m().symbol("ticked_loop"), 50));
    return m().now();
  }
  void run_ms(double ms) { m().run_ms(ms); }
  Clip hour(unsigned h) { return {0, m().var32("Hxx_raw", 4 * h), m().var32("Hxx_raw_size", 4 * h)}; }
  Clip minute(unsigned n) { return {0, m().var32("Mxx_raw", 4 * n), m().var32("Mxx_raw_size", 4 * n)}; }
  // The beeper's tones since `from`: (start, length ms, hz).
  struct Beep { cycles_t at; double ms; double hz; };
  std::vector<Beep> beeps(cycles_t from) {
    std::vector<Beep> out;
    const auto& t = b->beeper().trace();
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (t[i].at < from || t[i].tone.hz == 0) continue;
      const cycles_t end = i + 1 < t.size() ? t[i + 1].at : m().now();
      out.push_back({t[i].at, (end - t[i].at) / kCyclesPerMs, t[i].tone.hz});
    }
    return out;
  }
  std::string faults() { return m().faulted() ? m().fault_report() : ""; }

  std::unique_ptr<Board> b;
  std::vector<Clip> clips;
};

double ms_between(cycles_t a, cycles_t b) { return (static_cast<double>(b) - static_cast<double>(a)) / kCyclesPerMs; }

TEST(Clock, ShouldSpeakTheTimeAtStartUpThenChimeAndSpeakAgainAtTheFullHour) {
  ClockBoard c(at(10, 59, 50));
  const cycles_t first = c.first_pass();
  c.run_ms(12'000);
  ASSERT_EQ("", c.faults());
  ASSERT_EQ(4u, c.clips.size());
  const ClockBoard::Clip expected[] = {c.hour(10), c.minute(59), c.hour(11), c.minute(0)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(expected[i].addr, c.clips[i].addr) << "clip " << i;
    EXPECT_EQ(expected[i].bytes, c.clips[i].bytes) << "clip " << i;
  }
  EXPECT_NEAR(1.0, ms_between(first, c.clips[0].at), 0.1);
  EXPECT_NEAR(1800.0, ms_between(c.clips[0].at, c.clips[1].at), 0.05);
  // The chime of the full hour, and the announcement of 11:00 in the same pass.
  const auto beeps = c.beeps(first);
  ASSERT_EQ(1u, beeps.size());
  EXPECT_EQ(1000.0, beeps[0].hz);
  EXPECT_NEAR(249.0, beeps[0].ms, 0.2);
  EXPECT_NEAR(1.0, ms_between(beeps[0].at, c.clips[2].at), 0.05);
  EXPECT_NEAR(1800.0, ms_between(c.clips[2].at, c.clips[3].at), 0.05);
}

TEST(Clock, ShouldRoundSecondsAboveFiftyToTheNextMinute) {
  struct Case { BcdCalendar start; unsigned hour, minute; };
  const Case cases[] = {
      {at(10, 59, 55), 11, 0},
      {at(23, 59, 51), 0, 0},
      {at(10, 20, 50), 10, 20},  // exactly 50 s: not rounded
  };
  for (const Case& k : cases) {
    ClockBoard c(k.start);
    c.first_pass();
    c.run_ms(1900);
    ASSERT_EQ("", c.faults());
    ASSERT_EQ(2u, c.clips.size()) << k.hour << ":" << k.minute;
    EXPECT_EQ(c.hour(k.hour).addr, c.clips[0].addr) << k.hour << ":" << k.minute;
    EXPECT_EQ(c.minute(k.minute).addr, c.clips[1].addr) << k.hour << ":" << k.minute;
  }
}

TEST(Clock, ShouldChimeEveryTenMinutesWhateverTheMode) {
  struct Case { std::uint8_t minute; std::uint32_t mode; double ms; };
  const Case cases[] = {
      {0, 1, 249}, {0, 0, 249}, {10, 1, 99}, {30, 0, 99}, {50, 1, 99}, {7, 1, 0}, {45, 1, 0},
  };
  for (const Case& k : cases) {
    ClockBoard c(at(8, k.minute, 20));
    const cycles_t first = c.first_pass();
    c.m().write8(c.m().symbol("ten_min_flag"), static_cast<std::uint8_t>(k.mode));
    c.run_ms(300);
    ASSERT_EQ("", c.faults());
    const auto beeps = c.beeps(first);
    if (k.ms == 0) {
      EXPECT_TRUE(beeps.empty()) << int(k.minute);
      continue;
    }
    ASSERT_EQ(1u, beeps.size()) << int(k.minute);
    EXPECT_EQ(1000.0, beeps[0].hz);
    EXPECT_NEAR(k.ms, beeps[0].ms, 0.2) << int(k.minute) << " mode " << k.mode;
  }
}

// The change of minute into mm: five-minute mode speaks at every multiple of
// five (not only of ten), never in between, and never with the mode off.
TEST(Clock, ShouldSpeakAtEveryFiveMinutesInFiveMinuteModeOnly) {
  struct Case { std::uint8_t hour, minute; std::uint32_t mode; bool spoken; };
  const Case cases[] = {
      {9, 4, 1, true},  {9, 9, 1, true},  {9, 14, 1, true},  {9, 29, 1, true},  {9, 54, 1, true},
      {9, 59, 1, true}, {9, 6, 1, false}, {9, 12, 1, false}, {9, 4, 0, false},  {9, 59, 0, false},
  };
  for (const Case& k : cases) {
    ClockBoard c(at(k.hour, k.minute, 59));
    const cycles_t first = c.first_pass();
    c.m().set_var32("prev_min", k.minute);  // no start-up announcement, no change seen yet
    c.m().write8(c.m().symbol("ten_min_announce"), 0);
    c.m().write8(c.m().symbol("ten_min_flag"), static_cast<std::uint8_t>(k.mode));
    c.run_ms(3000);
    ASSERT_EQ("", c.faults());
    const unsigned next = (k.minute + 1) % 60, hour = k.minute == 59 ? k.hour + 1 : k.hour;
    const std::string what = std::to_string(k.minute) + " -> " + std::to_string(next) + ", mode " +
                             std::to_string(k.mode);
    if (!k.spoken) {
      EXPECT_TRUE(c.clips.empty()) << what;
      continue;
    }
    ASSERT_EQ(2u, c.clips.size()) << what;
    EXPECT_EQ(c.hour(hour).addr, c.clips[0].addr) << what;
    EXPECT_EQ(c.minute(next).addr, c.clips[1].addr) << what;
    EXPECT_LT(ms_between(first, c.clips[0].at), 1100.0) << what << ": in the pass that sees the new minute";
  }
}

// Over more than two periods: every LED that is lit follows a sawtooth
// from 10 % up to 100 % and back to 10 % every 512 ms, never above 100 %.
TEST(Clock, ShouldBreatheTheLedsFromTenToOneHundredPercentEvery512Ms) {
  ClockBoard c(at(9, 2, 10));
  const cycles_t first = c.first_pass();
  c.run_ms(1200);
  ASSERT_EQ("", c.faults());
  double low = 2, high = -1;
  std::vector<cycles_t> restarts;  // the level falling back to the bottom
  double last = -1;
  for (const auto& r : c.b->leds().trace()) {
    if (r.at <= first + 144'000) continue;  // from the second pass on: the first one ends the start-up's full light
    const double led1 = r.levels[0];
    EXPECT_LE(led1, 1.0);
    EXPECT_GE(led1, 0.10);
    low = std::min(low, led1);
    high = std::max(high, led1);
    if (last >= 0 && led1 < last) {
      EXPECT_GT(last - led1, 0.85) << "only the restart goes down";
      restarts.push_back(r.at);
    }
    last = led1;
  }
  EXPECT_DOUBLE_EQ(0.10, low);
  EXPECT_DOUBLE_EQ(1.0, high);
  ASSERT_GE(restarts.size(), 2u);
  for (std::size_t i = 1; i < restarts.size(); ++i)
    EXPECT_NEAR(512.0, ms_between(restarts[i - 1], restarts[i]), 1.0) << "period " << i;
}

void hold_main_loop(ClockBoard& c, std::uint32_t ms);

// A person pressing the button: press i starts gap_ms after the end of the
// previous one (or after the start) and is held for hold_ms.
struct Press { double gap_ms, hold_ms; };

class Gestures : public ::testing::Test {
protected:
  // Boots at a minute that neither chimes nor speaks, without the start-up
  // announcement, the mode set as given.
  void start(std::uint32_t mode) {
    c = std::make_unique<ClockBoard>(at(9, 2, 10));
    from = c->first_pass();
    c->m().write8(c->m().symbol("ten_min_announce"), 0);
    c->m().write8(c->m().symbol("ten_min_flag"), static_cast<std::uint8_t>(mode));
  }
  // Plans the presses; returns when the last one ends (ms from now).
  double schedule(const std::vector<Press>& presses, double bounce_ms = 0) {
    double t = 0;
    for (const Press& p : presses) {
      c->b->button().press(t + p.gap_ms, p.hold_ms, bounce_ms);
      t += p.gap_ms + p.hold_ms;
    }
    return t;
  }
  void press(const std::vector<Press>& presses, double bounce_ms = 0) {
    c->run_ms(schedule(presses, bounce_ms) + 400);
  }
  std::uint32_t mode() { return c->m().read8(c->m().symbol("ten_min_flag")); }
  std::size_t hour_clips() {
    std::size_t n = 0;
    for (const auto& clip : c->clips) n += clip.at >= from && clip.addr == c->hour(9).addr;
    return n;
  }
  std::unique_ptr<ClockBoard> c;
  cycles_t from = 0;
};

TEST_F(Gestures, ShouldClickSpeakAndSetTheModeAsThePressesSay) {
  struct Case {
    const char* what;
    std::vector<Press> presses;
    std::uint32_t mode_before;
    std::size_t clicks, spoken;
    std::uint32_t mode_after;
  };
  const Case cases[] = {
      {"a 20 ms touch", {{10, 20}}, 1, 0, 0, 1},
      {"a 60 ms press", {{10, 60}}, 1, 1, 0, 1},
      {"a single press held", {{10, 400}}, 1, 1, 1, 0},
      {"short press, short pause, press and hold", {{10, 100}, {150, 400}}, 0, 2, 1, 1},
      {"long press, short pause, press and hold", {{10, 400}, {150, 400}}, 1, 2, 2, 0},
      {"two quick presses", {{10, 80}, {100, 80}}, 0, 2, 0, 0},
  };
  for (const Case& k : cases) {
    start(k.mode_before);
    press(k.presses);
    ASSERT_EQ("", c->faults()) << k.what;
    std::size_t clicks = 0;
    for (const auto& beep : c->beeps(from)) {
      EXPECT_EQ(4000.0, beep.hz) << k.what;
      EXPECT_NEAR(49.0, beep.ms, 0.2) << k.what;
      ++clicks;
    }
    EXPECT_EQ(k.clicks, clicks) << k.what;
    EXPECT_EQ(k.spoken, hour_clips()) << k.what;
    EXPECT_EQ(k.mode_after, mode()) << k.what;
  }
}

TEST_F(Gestures, ShouldIgnoreContactBounceAtBothEdges) {
  start(0);
  press({{10, 100}, {150, 400}}, 2);
  EXPECT_EQ(1u, hour_clips());
  EXPECT_EQ(1u, mode());
}

TEST_F(Gestures, ShouldSilenceAClipInProgressWithTheClick) {
  start(1);
  c->m().call("begin_WAV", {23, 1});
  press({{10, 60}});
  Dma& dma = c->b->dma1();
  EXPECT_EQ(0u, dma.read(dma_reg::stream_reg(1, dma_reg::SxCR)) & 1) << "the clip still plays";
  EXPECT_LT(dma.transfers(1), c->hour(23).bytes);
}

TEST_F(Gestures, ShouldKeepTheButtonCountAtItsLimitWhenHeldLong) {
  start(1);
  c->b->button().press(0, 100);
  c->run_ms(70);
  c->m().set_var32("BTN_stat", 31'990);  // as after 32 s of holding
  c->run_ms(20);
  EXPECT_EQ(32'000, static_cast<std::int32_t>(c->m().var32("BTN_stat")));
  c->run_ms(15);  // released 5 ms ago: counting down from -1
  EXPECT_NEAR(-5, static_cast<std::int32_t>(c->m().var32("BTN_stat")), 1);
}

TEST_F(Gestures, ShouldDropAFiveMinuteRequestDuringAButtonAnnouncement) {
  c = std::make_unique<ClockBoard>(at(9, 4, 58));
  from = c->first_pass();
  c->m().write8(c->m().symbol("ten_min_announce"), 0);
  c->b->button().press(0, 200);  // speaks from 120 ms on; minute 5 comes ~2 s later
  c->run_ms(5400);  // the button's announcement ends ~5.1 s in
  ASSERT_EQ("", c->faults());
  EXPECT_EQ(1u, hour_clips());
  EXPECT_EQ(2u, c->clips.size());
}

// The main loop held for 6 ms across each mark of a gesture (as by a time
// setting or a full console ring): the late pass acts on the marks it
// jumped over, with the results of passes on time. A hold of -1: none.
TEST_F(Gestures, ShouldGiveTheSameResultsWhenALatePassJumpsOverAMark) {
  struct Case {
    const char* what;
    std::vector<Press> presses;
    std::uint32_t mode_before;
    std::size_t clicks, spoken;
    std::uint32_t mode_after;
    std::vector<double> holds;  // ms after the start; each in a run of its own
  };
  const Case cases[] = {
      // Marks at 40 (30 ms), 60 (50), 130 (120), 310 (300); released at 410:
      // 440 (-30), 710 (-300).
      {"a single press held", {{10, 400}}, 1, 1, 1, 0, {-1, 38, 58, 128, 308, 408, 438, 708}},
      // 40, 60; released at 110: 140 (-30); pressed at 260: 290, 310, 380.
      {"short press, short pause, press and hold", {{10, 100}, {150, 400}}, 0, 2, 1, 1,
       {-1, 38, 58, 108, 138, 258, 288, 308, 378}},
      // 40, 60; released at 110: 140 (-30), 410 (-300); pressed at 460.
      {"short press, long pause, press and hold", {{10, 100}, {350, 400}}, 0, 2, 1, 0, {-1, 138, 408, 458}},
      // Released at 125 within the hold, before the 120 ms mark.
      {"a 115 ms press released while held", {{10, 115}}, 1, 1, 0, 1, {-1, 120}},
      // The 120 ms mark (130) and the release (133) within one hold.
      {"a 123 ms press released while held", {{10, 123}}, 1, 1, 1, 0, {-1, 129}},
  };
  for (const Case& k : cases) {
    for (const double hold : k.holds) {
      const std::string what = std::string(k.what) + ", held at " + std::to_string(static_cast<int>(hold));
      start(k.mode_before);
      const double t = schedule(k.presses);
      if (hold >= 0) {
        c->run_ms(hold);
        hold_main_loop(*c, 6);
      }
      c->run_ms(t + 400 - ms_between(from, c->m().now()));
      ASSERT_EQ("", c->faults()) << what;
      std::size_t clicks = 0;
      for (const auto& beep : c->beeps(from)) clicks += beep.hz == 4000.0;
      EXPECT_EQ(k.clicks, clicks) << what;
      EXPECT_EQ(k.spoken, hour_clips()) << what;
      EXPECT_EQ(k.mode_after, mode()) << what;
    }
  }
}

TEST(Clock, ShouldShowTheClockStateOnTheLeds) {
  // LED 3 (RTC not on its crystal) is checked where the board boots without it.
  struct Case { const char* what; bool lse; std::uint32_t mode; double hold_ms; std::array<bool, 4> lit; };
  const Case cases[] = {
      {"idle, five-minute mode on", true, 1, 0, {true, false, false, true}},
      {"mode off", true, 0, 0, {true, false, false, false}},
      {"button held 250 ms", true, 0, 250, {true, true, false, false}},
      {"button held 150 ms", true, 0, 150, {true, false, false, false}},
  };
  for (const Case& k : cases) {
    ClockBoard c(at(9, 2, 10), k.lse);
    c.first_pass();
    c.m().write8(c.m().symbol("ten_min_announce"), 0);
    if (k.hold_ms > 0) c.b->button().press(0, 2000);
    c.run_ms(k.hold_ms + 1);
    // The levels set by the pass just run, with the duty of that pass.
    ASSERT_TRUE(c.b->run_to(c.m().symbol("userBTN_task"), 5)) << k.what;
    if (k.mode == 0) c.m().write8(c.m().symbol("ten_min_flag"), 0);
    ASSERT_TRUE(c.b->run_to(c.m().symbol("userBTN_task"), 5)) << k.what;
    const std::uint32_t tick = c.m().var32("CNT_tick");
    const double duty = (((tick & 0x1FF) * 90) / 511 + 10) / 100.0;
    const auto levels = c.b->leds().levels();
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(k.lit[i] ? duty : 0.0, levels[i]) << k.what << ", LED " << i + 1;
    EXPECT_EQ(399u, c.m().read32(kTim4 + kArr)) << "5000 Hz from the 2 MHz count";
    ASSERT_EQ("", c.faults());
  }
}

TEST(Clock, ShouldKeepTheLedTraceBoundedWhileTheLedsBreathe) {
  ClockBoard c(at(9, 2, 10));
  c.b->leds().set_trace_keep(50);
  c.first_pass();
  c.run_ms(1000);  // a breathing step about every 6 ms: far more than 50 records
  const auto& t = c.b->leds().trace();
  EXPECT_EQ(50u, t.size());
  EXPECT_GT(c.b->leds().trace_dropped(), 50u);
  EXPECT_EQ(c.b->leds().levels(), t.back().levels) << "the latest record is kept";
  ASSERT_EQ("", c.faults());
}

// The main loop held for `ms` at the start of a clock pass (as by a full
// transmit ring): the countdowns run on in the SysTick interrupt meanwhile.
void hold_main_loop(ClockBoard& c, std::uint32_t ms) {
  ASSERT_TRUE(c.b->run_to(c.m().symbol("ticked_loop"), 5));
  c.m().call("delay_msec", {ms});
}

// Runs until countdown TO_tick[i] has come down to `value` (or just below).
void run_until_countdown(ClockBoard& c, unsigned i, std::uint32_t value) {
  const std::uint32_t addr = c.m().symbol("TO_tick") + 4 * i;
  c.m().run_until(
      [&] {
        const std::uint32_t v = c.m().read32(addr);
        return v <= value && v + 3 > value;
      },
      10 * 144'000'000ull);
}

TEST(Clock, ShouldStartTheMinuteClipWhenALatePassJumpedOverItsMark) {
  ClockBoard c(at(9, 2, 10));
  c.first_pass();
  c.run_ms(1790);  // the minute clip is due 1800 ms after the hour clip
  run_until_countdown(c, 0, 3002);
  hold_main_loop(c, 5);
  c.run_ms(2);
  ASSERT_EQ("", c.faults());
  ASSERT_EQ(2u, c.clips.size()) << "the minute clip was skipped";
  EXPECT_EQ(c.minute(2).addr, c.clips[1].addr);
  EXPECT_NEAR(2900.0, c.m().var32("TO_tick"), 3.0);
}

TEST(Clock, ShouldSwitchTheChimeOffWhenALatePassJumpedOverItsEnd) {
  ClockBoard c(at(9, 10, 10));
  const cycles_t first = c.first_pass();
  run_until_countdown(c, 2, 3);  // the pass that sees 1 comes 2 ms on
  hold_main_loop(c, 5);
  c.run_ms(50);
  ASSERT_EQ("", c.faults());
  EXPECT_EQ(0.0, c.b->beeper().tone().hz) << "the beeper stayed on";
  const auto beeps = c.beeps(first);
  ASSERT_EQ(1u, beeps.size());
  EXPECT_NEAR(104.0, beeps[0].ms, 1.5);
}

// The main loop held for real: USART2 slowed to 4800 bit/s while the console
// floods the bridge at 115200, so USART2_putc waits on its full ring and the
// clock passes stop until the flood has drained.
TEST(Clock, ShouldPlayTheMinuteClipAndEndTheChimeWhenTheBridgeHeldTheLoop) {
  ClockBoard c(at(9, 9, 57));
  const cycles_t first = c.first_pass();
  Usart& u2 = c.b->usart2();
  c.m().set_var32("USART2_auto_rate", 1);  // one receive error moves USART2 to 4800 bit/s
  u2.peer_send_byte('e', Usart::Fault::kFraming);
  c.run_ms(5);
  c.m().set_var32("USART2_auto_rate", 0);
  ASSERT_NEAR(4800.0, u2.baud(), 10.0);
  u2.set_peer_baud(4800);
  c.run_ms(1500);
  c.b->usart3().peer_send(std::string(4000, 'x'));  // across the minute clip's mark
  c.m().run_until([&] { return !c.beeps(first).empty(); }, 3ull * 144'000'000);
  c.b->usart3().peer_send(std::string(300, 'x'));  // across the chime's end: ~0.6 s at 4800
  c.run_ms(2500);
  ASSERT_EQ("", c.faults());
  ASSERT_EQ(2u, c.clips.size()) << "the minute clip was skipped";
  EXPECT_EQ(c.minute(10).addr, c.clips[1].addr);  // 57 s: the next minute
  EXPECT_GT(ms_between(c.clips[0].at, c.clips[1].at), 1850.0) << "the loop was not held";
  const auto beeps = c.beeps(first);
  ASSERT_EQ(1u, beeps.size());
  EXPECT_GT(beeps[0].ms, 150.0) << "the loop was not held";
  EXPECT_LT(beeps[0].ms, 2000.0) << "the beeper stayed on";
}

TEST(Clock, ShouldRunEveryClockPassWithinAMillisecondWhileBothSerialPortsAreBusy) {
  ClockBoard c(at(9, 9, 59));  // speaks, then chimes during the run
  const cycles_t first = c.first_pass();
  c.m().stats().watch_pc = c.m().symbol("ticked_loop");
  const std::string stream(14000, 'x');  // 1.2 s at 115200 bit/s
  c.b->usart2().peer_send(stream);
  c.b->usart3().peer_send(stream);
  c.run_ms(1300);
  ASSERT_EQ(1u, c.clips.size()) << "the start-up announcement";
  ASSERT_EQ(1u, c.beeps(first).size()) << "the chime";
  EXPECT_LE(c.m().stats().worst_pass_cycles, 144'000u + 14'400u) << "a tick was missed";
  EXPECT_GE(c.b->usart2().peer_received().size(), stream.size());
}

class Drivers : public BoardTest {
protected:
  std::uint32_t reg(std::uint32_t base, std::uint32_t offset) { return m().read32(base + offset); }
};

TEST_F(Drivers, ShouldSetTheLedCompareValuesAsTheChannelMaskSays) {
  ASSERT_TRUE(boot());
  m().write8(m().symbol("ten_min_announce"), 0);
  m().call("set_TIM4_pwm", {5000, 50, 5});
  const std::uint32_t want_ccr[] = {200, 0, 200, 0};
  EXPECT_EQ(399u, reg(kTim4, kArr));
  for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(want_ccr[ch], reg(kTim4, kCcr1 + 4 * ch)) << "CCR" << ch + 1;
  EXPECT_EQ(1u, reg(kTim4, kCr1));
  const auto lit = board().leds().levels();
  EXPECT_EQ((std::array<double, 4>{0.5, 0, 0.5, 0}), lit);

  m().call("set_TIM4_pwm", {1000, 100, 0});  // mask 0: stop, nothing else
  EXPECT_EQ(0u, reg(kTim4, kCr1));
  EXPECT_EQ(399u, reg(kTim4, kArr));
  for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(want_ccr[ch], reg(kTim4, kCcr1 + 4 * ch)) << "CCR" << ch + 1;

  m().call("set_TIM4_pwm", {0, 100, 2});  // frequency 0 keeps the period
  EXPECT_EQ(399u, reg(kTim4, kArr));
  EXPECT_EQ(400u, reg(kTim4, kCcr1 + 4));
  EXPECT_EQ(1.0, board().leds().levels()[1]) << "above ARR: lit all period";
}

TEST_F(Drivers, ShouldProgramTheBeeperPeriodAndDuty) {
  struct Case { std::uint32_t hz, duty, arr, ccr1; double tone_hz; };
  const Case cases[] = {
      {4000, 50, 2249, 1125, 4000.0},
      {1000, 50, 8999, 4500, 1000.0},
      {100, 50, 0xFFFF, 32768, 9e6 / 65536},  // the longest period
  };
  ASSERT_TRUE(boot());
  for (const Case& k : cases) {
    m().call("set_TIM10_pwm", {k.hz, k.duty});
    EXPECT_EQ(k.arr, reg(kTim10, kArr)) << k.hz;
    EXPECT_EQ(k.ccr1, reg(kTim10, kCcr1)) << k.hz;
    EXPECT_EQ(0x81u, reg(kTim10, kCr1)) << k.hz << ": counting, ARR preloaded";
    EXPECT_DOUBLE_EQ(k.tone_hz, board().beeper().tone().hz) << k.hz;
  }
  m().call("set_TIM10_pwm", {0, 0});
  EXPECT_EQ(0u, reg(kTim10, kCr1));
  EXPECT_EQ(0xFFFFu, reg(kTim10, kArr));
  EXPECT_EQ(32768u, reg(kTim10, kCcr1));
  EXPECT_EQ(0.0, board().beeper().tone().hz);
}

// From the 1000 Hz chime to the 4000 Hz click with the counter past the new
// period (2249 counts): the click sounds at once, the counter never runs on
// to 0xFFFF (about 6 ms of a steady level) first.
TEST_F(Drivers, ShouldStartANewBeeperToneAtOnceWhateverTheCount) {
  ASSERT_TRUE(boot());
  quiet_clock();
  m().call("set_TIM10_pwm", {1000, 50});
  m().run_until([&] { return board().tim10().counter() > 6000; }, 144'000);
  ASSERT_GT(board().tim10().counter(), 2249u);
  const cycles_t changed = m().now();
  m().call("set_TIM10_pwm", {4000, 50});
  m().run_ms(10);
  cycles_t click = 0;
  for (const auto& r : board().beeper().trace()) {
    if (r.at < changed) continue;
    EXPECT_NE(0.0, r.tone.hz) << "silent " << (r.at - changed) / 144.0 << " us after the change";
    if (r.tone.hz == 4000.0 && click == 0) click = r.at;
  }
  EXPECT_LT(click - changed, 1440u) << "the click starts within the call (10 us)";
  EXPECT_EQ(4000.0, board().beeper().tone().hz);
  EXPECT_LT(board().tim10().counter(), 2250u);
}

TEST_F(Drivers, ShouldIgnoreTheBeeperBeforeItsSetUp) {
  ASSERT_TRUE(run_to("setup_TIM10", 2000));
  m().call("set_TIM10_pwm", {4000, 50});  // TIM10's clock is still off: any access would be reported
  EXPECT_EQ(0u, m().read8(m().symbol("tim10_setup_flag")));
  EXPECT_TRUE(board().beeper().trace().empty() || board().beeper().tone().hz == 0);
}

TEST_F(Drivers, ShouldBeepAt4kHzThroughTheVoiceAndUsbSteps) {
  ASSERT_TRUE(run_to("OTG_FS_init", 2000));
  EXPECT_EQ(4000.0, board().beeper().tone().hz);
  EXPECT_EQ(0.5, board().beeper().tone().duty);
  ASSERT_TRUE(boot());
  EXPECT_EQ(0.0, board().beeper().tone().hz);
}

}  // namespace
}  // namespace vb::test
