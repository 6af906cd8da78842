// The audio DAC part on its two-wire bus, driven through the GPIO ports as
// the firmware drives it: its reset cutting a transfer, and what it notes
// about its master clock.
#include "sim/parts/audio_codec.hpp"

#include <gtest/gtest.h>

#include <string>

#include "sim/core/machine.hpp"
#include "sim/periph/gpio.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace gpio_reg;
constexpr std::uint32_t kAll = 0xFFFFFFFF;

struct CodecBench {
  Machine m;
  Gpio gpio;
  double mclk_hz = 12e6;
  std::unique_ptr<AudioCodec> codec;

  CodecBench() {
    for (Peripheral* p : gpio.blocks()) m.attach(*p);
    m.set_pins(&gpio);
    // PB6 (SCL) and PB9 (SDA) open-drain outputs released; PD4 (reset)
    // push-pull, low.
    gpio.port(1).write(ODR, 1u << 6 | 1u << 9, kAll);
    gpio.port(1).write(OTYPER, 1u << 6 | 1u << 9, kAll);
    gpio.port(1).write(MODER, 1u << 12 | 1u << 18, kAll);
    gpio.port(3).write(MODER, 1u << 8, kAll);
    codec = std::make_unique<AudioCodec>(m, gpio, [this] { return mclk_hz; });
  }
  // Every line change a few microseconds apart, as the firmware's 100 kHz.
  void pin(int port, int n, bool high) {
    gpio.port(port).write(BSRR, high ? 1u << n : 1u << (n + 16), kAll);
    test::run_for(m, 720);
  }
  void scl(bool high) { pin(1, 6, high); }
  void sda(bool high) { pin(1, 9, high); }
  void reset_line(bool high) { pin(3, 4, high); }
  void start() { sda(true); scl(true); sda(false); scl(false); }
  void stop() { sda(false); scl(true); sda(true); }
  // Eight bits, then the acknowledge clock; true when the part pulled SDA low.
  bool byte(std::uint8_t b) {
    for (int i = 7; i >= 0; --i) {
      sda(b >> i & 1);
      scl(true);
      scl(false);
    }
    sda(true);
    scl(true);
    const bool ack = !gpio.level(AudioCodec::kSda);
    scl(false);
    return ack;
  }
  bool noted(const std::string& what) const {
    for (const std::string& msg : m.messages())
      if (msg.find(what) != std::string::npos) return true;
    return false;
  }
};

TEST(AudioCodec, ShouldIgnoreTheRestOfATransferCutByItsReset) {
  CodecBench b;
  b.reset_line(true);
  b.start();
  ASSERT_TRUE(b.byte(0x94));
  ASSERT_TRUE(b.byte(0x20));  // register 0x20
  b.reset_line(false);        // reset mid-transfer
  EXPECT_FALSE(b.byte(0x55)) << "a part in reset does not acknowledge";
  b.reset_line(true);         // out of reset again, still in the same transfer
  EXPECT_FALSE(b.byte(0x66)) << "the cut transfer stays ignored";
  b.stop();
  EXPECT_TRUE(b.codec->writes().empty());
  EXPECT_EQ(0, b.codec->reg(0x20));
  // The next transfer is taken.
  b.start();
  EXPECT_TRUE(b.byte(0x94));
  EXPECT_TRUE(b.byte(0x20));
  EXPECT_TRUE(b.byte(0x77));
  b.stop();
  EXPECT_EQ(0x77, b.codec->reg(0x20));
  EXPECT_FALSE(b.m.faulted()) << b.m.fault_report();
}

TEST(AudioCodec, ShouldNoteAMasterClockMissingAtConfigurationOrChangingWhileItPlays) {
  struct Case {
    const char* what;
    double at_config, later;
    bool reset_before_change;
    const char* note;  // nullptr: nothing noted
  };
  const Case cases[] = {
      {"configured without its clock", 0, 0, false, "configured while its master clock"},
      {"clock stops while playing", 12e6, 0, false, "stopped while it plays"},
      {"clock changes while playing", 12e6, 11.2896e6, false, "changed from 12.000000 MHz to 11.289600 MHz"},
      {"clock unchanged", 12e6, 12e6, false, nullptr},
      {"clock stops while held in reset", 12e6, 0, true, nullptr},
  };
  for (const Case& c : cases) {
    CodecBench b;
    b.mclk_hz = c.at_config;
    b.reset_line(true);
    b.start();
    b.byte(0x94);
    b.byte(0x02);
    b.byte(0x01);
    b.stop();
    if (c.reset_before_change) b.reset_line(false);
    b.mclk_hz = c.later;
    b.codec->master_clock_changed();
    if (c.note) {
      EXPECT_TRUE(b.noted(c.note)) << c.what;
    } else {
      EXPECT_TRUE(b.m.messages().empty()) << c.what << ": " << b.m.messages().front();
    }
    EXPECT_FALSE(b.m.faulted()) << c.what;
  }
}

}  // namespace
}  // namespace vb
