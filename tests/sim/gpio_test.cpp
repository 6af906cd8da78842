#include "sim/periph/gpio.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace gpio_reg;
using test::run_to;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

struct GpioBench {
  Machine m;
  Gpio gpio;
  GpioBench() {
    for (Peripheral* p : gpio.blocks()) m.attach(*p);
    m.set_pins(&gpio);
  }
  GpioPort& port(int n) { return gpio.port(n); }
  // Sets one pin's mode, output type, latch and pull, leaving the others.
  void configure(Pin p, Gpio::Mode mode, bool open_drain, bool latch, std::uint32_t pull) {
    GpioPort& r = port(p.port);
    const unsigned n = p.num;
    r.write(OTYPER, (r.read(OTYPER) & ~(1u << n)) | (open_drain ? 1u << n : 0), kAll);
    r.write(BSRR, latch ? 1u << n : 1u << (n + 16), kAll);
    r.write(PUPDR, (r.read(PUPDR) & ~(3u << 2 * n)) | pull << 2 * n, kAll);
    r.write(MODER, (r.read(MODER) & ~(3u << 2 * n)) | static_cast<std::uint32_t>(mode) << 2 * n, kAll);
  }
};

constexpr std::uint32_t kNoPull = 0, kUp = 1, kDown = 2;

TEST(Gpio, ShouldSetAndResetOutputLatchThroughBsrrWithSetWinning) {
  struct Case { std::uint32_t odr, bsrr, mask, expected; };
  const Case cases[] = {
      {0x0000, 0x00000008, kAll, 0x0008},        // set
      {0x0008, 0x00080000, kAll, 0x0000},        // reset
      {0x0000, 0x00080008, kAll, 0x0008},        // set and reset of one pin: set wins
      {0x0008, 0x00080008, kAll, 0x0008},
      {0xFFFF, 0x00010000, 0xFFFF0000, 0xFFFE},  // half-word write to the reset half
      {0x0000, 0x00FF00FF, 0x000000FF, 0x00FF},  // byte write: set bits only
  };
  for (const Case& c : cases) {
    GpioBench b;
    b.port(3).write(ODR, c.odr, kAll);
    b.port(3).write(BSRR, c.bsrr, c.mask);
    EXPECT_EQ(c.expected, b.port(3).read(ODR)) << std::hex << c.bsrr;
    EXPECT_EQ(0u, b.port(3).read(BSRR));
  }
}

TEST(Gpio, ShouldResolvePinLevelFromModePullAndExternalDrive) {
  using M = Gpio::Mode;
  struct Case { const char* what; M mode; bool od, latch; std::uint32_t pull; Drive ext; bool level, idr; };
  const Case cases[] = {
      {"floating input reads low", M::kInput, false, false, kNoPull, Drive::kNone, false, false},
      {"input pulled up", M::kInput, false, false, kUp, Drive::kNone, true, true},
      {"input pulled down", M::kInput, false, false, kDown, Drive::kNone, false, false},
      {"part drives against pull-up", M::kInput, false, false, kUp, Drive::kLow, false, false},
      {"board pull-up beats chip pull-down", M::kInput, false, false, kDown, Drive::kPullUp, true, true},
      {"part drives high", M::kInput, false, false, kNoPull, Drive::kHigh, true, true},
      {"push-pull high", M::kOutput, false, true, kNoPull, Drive::kNone, true, true},
      {"push-pull low beats pull-up", M::kOutput, false, false, kUp, Drive::kNone, false, false},
      {"open-drain released floats low", M::kOutput, true, true, kNoPull, Drive::kNone, false, false},
      {"open-drain released with pull-up", M::kOutput, true, true, kUp, Drive::kNone, true, true},
      {"open-drain wired-AND with part", M::kOutput, true, true, kUp, Drive::kLow, false, false},
      {"open-drain low beats board pull-up", M::kOutput, true, false, kNoPull, Drive::kPullUp, false, false},
      {"open-drain released, board pull-up", M::kOutput, true, true, kNoPull, Drive::kPullUp, true, true},
      {"analog: no pull, IDR reads 0", M::kAnalog, false, false, kUp, Drive::kNone, false, false},
      {"analog driven high, IDR reads 0", M::kAnalog, false, false, kNoPull, Drive::kHigh, true, false},
      {"alternate function without peripheral", M::kAlternate, false, false, kUp, Drive::kNone, true, true},
  };
  for (const Case& c : cases) {
    GpioBench b;
    const Pin p = PC(7);
    b.gpio.drive(p, c.ext);
    b.configure(p, c.mode, c.od, c.latch, c.pull);
    EXPECT_EQ(c.level, b.gpio.level(p)) << c.what;
    EXPECT_EQ(c.idr, (b.port(2).read(IDR) >> 7 & 1) != 0) << c.what;
    EXPECT_TRUE(b.m.messages().empty()) << c.what;
  }
}

TEST(Gpio, ShouldStopTheRunWhenAnOutputDrivesAgainstAnotherDriver) {
  struct Case { const char* what; bool open_drain, latch; Drive part; bool fault; };
  const Case cases[] = {
      {"push-pull high, part pulls low", false, true, Drive::kLow, true},
      {"push-pull low, part drives high", false, false, Drive::kHigh, true},
      {"open-drain low, part drives high", true, false, Drive::kHigh, true},
      {"push-pull high, part drives high", false, true, Drive::kHigh, false},
      {"push-pull high, board pull-down", false, true, Drive::kPullDown, false},
      {"open-drain low, part pulls low", true, false, Drive::kLow, false},
      {"open-drain released, part pulls low", true, true, Drive::kLow, false},
  };
  for (const Case& c : cases) {
    GpioBench b;
    b.configure(PB(9), Gpio::Mode::kOutput, c.open_drain, c.latch, kNoPull);
    b.gpio.drive(PB(9), c.part);
    EXPECT_EQ(c.fault, b.m.faulted()) << c.what;
    if (c.fault) {
      EXPECT_NE(std::string::npos, b.m.fault_report().find("PB9")) << c.what;
    }
  }
}

// A configured output meets a part that drives it: the short shows as the
// part starts, and also as the firmware turns the pin into an output.
TEST(Gpio, ShouldStopTheRunWhenThePinBecomesAnOutputAgainstAPart) {
  GpioBench b;
  b.gpio.drive(PB(9), Drive::kLow);
  b.configure(PB(9), Gpio::Mode::kInput, false, true, kNoPull);
  EXPECT_FALSE(b.m.faulted());
  b.port(1).write(MODER, 1u << 18, kAll);
  EXPECT_TRUE(b.m.faulted());
}

// The highest frequency of each OSPEEDR setting at 3.3 V: 2, 25, 50 and
// 100 MHz. A timer puts its wave on an alternate function.
TEST(Gpio, ShouldStopTheRunWhenAWaveIsFasterThanThePinSpeed) {
  struct Case { double hz; std::uint32_t speed; unsigned af_selected; bool fault; };
  const Case cases[] = {
      {12e6, 0, 3, true},   {12e6, 1, 3, false}, {2e6, 0, 3, false},  {2.1e6, 0, 3, true},
      {25e6, 1, 3, false},  {26e6, 1, 3, true},  {50e6, 2, 3, false}, {51e6, 2, 3, true},
      {100e6, 3, 3, false}, {12e6, 0, 2, false},  // another function selected: the wave is not on the pin
  };
  for (const Case& c : cases) {
    GpioBench b;
    b.port(2).write(AFRL, c.af_selected << 28, kAll);
    b.port(2).write(OSPEEDR, c.speed << 14, kAll);
    b.gpio.set_alternate_rate(PC(7), 3, c.hz);
    b.configure(PC(7), Gpio::Mode::kAlternate, false, false, kNoPull);
    EXPECT_EQ(c.fault, b.m.faulted()) << c.hz << " Hz at speed " << c.speed;
  }
}

TEST(Gpio, ShouldCheckTheWaveAgainstTheSpeedWhicheverComesLast) {
  GpioBench b;
  b.port(2).write(AFRL, 3u << 28, kAll);
  b.port(2).write(OSPEEDR, 1u << 14, kAll);
  b.configure(PC(7), Gpio::Mode::kAlternate, false, false, kNoPull);
  b.gpio.set_alternate_rate(PC(7), 3, 12e6);
  EXPECT_FALSE(b.m.faulted());
  b.port(2).write(OSPEEDR, 0, kAll);  // back to low speed with the clock on the pin
  EXPECT_TRUE(b.m.faulted());
}

// The firmware toggling an output itself: a full period (three changes of
// the output stage) shorter than 1 / 2 MHz at low speed is too fast.
TEST(Gpio, ShouldStopTheRunWhenTheFirmwareTogglesAnOutputFasterThanItsSpeed) {
  struct Case { std::uint32_t speed; cycles_t half_period; bool fault; };
  // The bench machine's clock: HSI, 16 MHz. 2 MHz = 8 cycles per period.
  const Case cases[] = {{0, 4, false}, {0, 3, true}, {1, 1, false}, {0, 100, false}};
  for (const Case& c : cases) {
    GpioBench b;
    b.port(4).write(OSPEEDR, c.speed << 12, kAll);
    b.configure(PE(6), Gpio::Mode::kOutput, false, false, kNoPull);
    run_to(b.m, 1000);
    for (int i = 0; i < 4; ++i) {
      b.port(4).write(BSRR, i % 2 == 0 ? 1u << 6 : 1u << 22, kAll);
      run_to(b.m, b.m.now() + c.half_period);
    }
    EXPECT_EQ(c.fault, b.m.faulted()) << "speed " << c.speed << ", half period " << c.half_period;
  }
}

TEST(Gpio, ShouldRecordLevelChangesWithTheirTimes) {
  GpioBench b;
  b.configure(PD(4), Gpio::Mode::kOutput, false, false, kNoPull);
  PinTrace trace(b.m, PD(4));
  run_to(b.m, 100);
  b.port(3).write(BSRR, 1u << 4, kAll);
  b.port(3).write(BSRR, 1u << 4, kAll);  // no change, no entry
  run_to(b.m, 250);
  b.port(3).write(ODR, 0, kAll);
  const std::vector<PinTrace::Edge> expected{{0, false}, {100, true}, {250, false}};
  EXPECT_EQ(expected, trace.edges());
}

TEST(Gpio, ShouldTellWatchersChangesCausedByOtherWatchersInOrder) {
  GpioBench b;
  b.configure(PE(6), Gpio::Mode::kOutput, false, true, kNoPull);
  std::vector<std::string> seen;
  // A part answering on PE5 whenever PE6 falls, as a bus slave does.
  b.gpio.watch(PE(6), [&](bool level) {
    seen.push_back(std::string("PE6=") + (level ? "1" : "0"));
    b.gpio.drive(PE(5), level ? Drive::kNone : Drive::kHigh);
  });
  b.gpio.watch(PE(5), [&](bool level) { seen.push_back(std::string("PE5=") + (level ? "1" : "0")); });
  b.port(4).write(BSRR, 1u << (6 + 16), kAll);
  b.port(4).write(BSRR, 1u << 6, kAll);
  EXPECT_EQ((std::vector<std::string>{"PE6=0", "PE5=1", "PE6=1", "PE5=0"}), seen);
}

TEST(Gpio, ShouldDrivePinFromPeripheralOnlyInItsSelectedAlternateFunction) {
  struct Case { unsigned af; bool od; std::uint32_t pull; bool level; };
  const Case cases[] = {
      {7, false, kNoPull, false},  // AF7 selected: follows the peripheral's low
      {2, false, kUp, true},       // another function selected: not driven, pull-up
      {7, true, kUp, false},       // open-drain: the peripheral's low pulls down
  };
  for (const Case& c : cases) {
    GpioBench b;
    b.gpio.set_alternate_output(PD(8), 7, false);
    b.port(3).write(AFRH, c.af, kAll);
    b.configure(PD(8), Gpio::Mode::kAlternate, c.od, false, c.pull);
    EXPECT_EQ(c.level, b.gpio.level(PD(8))) << "AF" << c.af << " od " << c.od;
  }
  GpioBench b;
  b.port(3).write(AFRH, 7, kAll);
  b.configure(PD(8), Gpio::Mode::kAlternate, false, false, kNoPull);
  b.gpio.set_alternate_output(PD(8), 7, true);
  EXPECT_TRUE(b.gpio.level(PD(8)));
}

// The key sequence: three word writes of LCKR (LCKK 1, 0, 1 with the same
// pins), then a read of LCKR, which makes the lock take effect.
TEST(Gpio, ShouldFreezeConfigurationOfLockedPinsOnlyAfterFullSequence) {
  constexpr std::uint32_t kRead = 0xFFFFFFFF;  // a read of LCKR in the sequence
  struct Case { const char* what; std::vector<std::uint32_t> sequence; bool locked; };
  const std::uint32_t key = 1u << 5;
  const Case cases[] = {
      {"full sequence", {LCKK | key, key, LCKK | key, kRead}, true},
      {"three writes without the final read", {LCKK | key, key, LCKK | key}, false},
      {"two writes and a read", {LCKK | key, key, kRead}, false},
      {"pins changed during the sequence", {LCKK | key, key, LCKK | (key | 1), kRead}, false},
      {"starting with LCKK clear", {key, LCKK | key, LCKK | key, kRead}, false},
      {"a write between the third write and the read", {LCKK | key, key, LCKK | key, key, kRead}, false},
  };
  for (const Case& c : cases) {
    GpioBench b;
    for (std::uint32_t w : c.sequence) {
      if (w == kRead) b.port(0).read(LCKR);
      else b.port(0).write(LCKR, w, kAll);
    }
    b.port(0).write(MODER, 0x00005400, kAll);  // pins 5, 6 output (PA13-15 back to input)
    EXPECT_EQ(c.locked, b.port(0).locked()) << c.what;
    EXPECT_EQ(c.locked ? 0u : 1u, b.port(0).read(MODER) >> 10 & 3) << c.what << ": pin 5";
    EXPECT_EQ(1u, b.port(0).read(MODER) >> 12 & 3) << c.what << ": pin 6 is never locked";
    if (c.locked) {
      EXPECT_EQ(LCKK, b.port(0).read(LCKR) & LCKK) << c.what;
    }
  }
}

TEST(Gpio, ShouldReportWriteToInputDataRegister) {
  GpioBench b;
  b.port(0).write(IDR, 1, kAll);
  EXPECT_TRUE(b.m.faulted());
}

}  // namespace
}  // namespace vb
