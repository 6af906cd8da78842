// The clock's 1 ms tick callback on the image: tick count, the main loop's
// tick flag, the countdown timers and the button's held/released counter.
#include <array>
#include <cstdint>
#include <string>

#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {

class Tick : public BoardTest {
protected:
  void SetUp() override {
    BoardTest::SetUp();
    ASSERT_TRUE(boot());
    quiet_clock();  // the countdowns here are the test's own
  }
  std::uint32_t to_tick(int i) { return m().var32("TO_tick", 4 * i); }
  std::int32_t button() { return static_cast<std::int32_t>(m().var32("BTN_stat")); }
  void hold_button(bool pressed) { m().pins().drive(PA(0), pressed ? Drive::kHigh : Drive::kLow); }
};

TEST_F(Tick, ShouldCountTicksAndRunTimersDownToZero) {
  const std::uint32_t cnt = m().var32("CNT_tick");
  const std::array<std::uint32_t, 4> start{0, 1, 7, 300};
  for (int i = 0; i < 4; ++i) m().set_var32("TO_tick", start[i], 4 * i);
  m().run_ms(10);
  EXPECT_EQ(cnt + 10, m().var32("CNT_tick"));
  const std::array<std::uint32_t, 4> expected{0, 0, 0, 290};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], to_tick(i)) << "TO_tick[" << i << "]";
}

TEST_F(Tick, ShouldCountButtonHeldAndReleasedTimeWithSaturation) {
  struct Step {
    bool pressed;
    std::int32_t preset;  // BTN_stat written before the step (kKeep: left as it is)
    int ms;
    std::int32_t expected;
  };
  constexpr std::int32_t kKeep = 0x7FFFFFFF;
  const Step steps[] = {
      {true, kKeep, 1, 0},          // first pressed tick reads 0
      {true, kKeep, 120, 120},      // +1 per ms
      {false, kKeep, 1, -1},        // first released tick reads -1
      {false, kKeep, 49, -50},
      {true, 31998, 5, 32000},      // held long: stops at 32000
      {false, -31998, 5, -32000},   // released long: stops at -32000
  };
  for (const Step& s : steps) {
    if (s.preset != kKeep) m().set_var32("BTN_stat", static_cast<std::uint32_t>(s.preset));
    hold_button(s.pressed);
    m().run_ms(s.ms);
    EXPECT_EQ(s.expected, button()) << (s.pressed ? "pressed " : "released ") << s.ms << " ms";
  }
}

TEST_F(Tick, ShouldLetTheConsoleTimeLineRepeatAfter300ms) {
  Usart& console = board().usart3();
  m().run_ms(400);  // the start-up time line's limiter runs out
  const std::string line = "\r\r\nstm32f4:RTC=";
  console.peer_send("\x01\t", 115200);
  EXPECT_TRUE(board().run_until_console(line, 10)) << "first TAB prints";
  m().run_ms(240);
  console.peer_send("\x01\t", 115200);
  EXPECT_FALSE(board().run_until_console(line, 100)) << "TAB within 300 ms stays silent";
  console.peer_send("\x01\t", 115200);  // about 350 ms after the first
  EXPECT_TRUE(board().run_until_console(line, 10)) << console.peer_received();
}

}  // namespace
}  // namespace vb::test
