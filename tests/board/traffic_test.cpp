// The board under sustained serial traffic: both lines full in both
// directions through the firmware's bridge, every byte arriving in order,
// and the state the models keep levelling off instead of growing with the
// bytes carried.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"
#include "tests/support/serial_stream.hpp"

namespace vb::test {
namespace {

class Traffic : public BoardTest {};

TEST_F(Traffic, ShouldKeepModelStateBoundedWhileBridgingFullRateBothWays) {
  ASSERT_TRUE(boot());
  m().run_ms(50);  // the start-up report is out
  BridgeStream to_usart2(m(), board().usart3(), board().usart2(), 11);
  BridgeStream to_usart3(m(), board().usart2(), board().usart3(), 53);

  // Long enough for every log to fill once; then the same again, sampled.
  ASSERT_TRUE(run_streaming(m(), 450, to_usart2, to_usart3));
  std::size_t first_half = 0, second_half = 0;
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(run_streaming(m(), 50, to_usart2, to_usart3));
    std::size_t& peak = i < 6 ? first_half : second_half;
    peak = std::max(peak, m().retained_state());
  }

  // About 1 s at 11520 bytes/s each way, all of it in order.
  EXPECT_GT(to_usart2.received(), 11'000u);
  EXPECT_GT(to_usart3.received(), 11'000u);
  EXPECT_EQ(0u, to_usart2.wrong() + to_usart3.wrong());
  EXPECT_LE(second_half, first_half + 64) << "retained state grows with the traffic";
}

TEST_F(Traffic, ShouldKeepTheMostRecentRegisterWritesOnceTheLogIsFull) {
  ASSERT_TRUE(boot());
  m().run_ms(50);
  BridgeStream to_usart3(m(), board().usart2(), board().usart3(), 53);
  ASSERT_TRUE(run_streaming(m(), 400, to_usart3));
  const WriteLog& log = board().usart3().writes();
  // Every byte the console sends enables and later disables its transmit
  // interrupts: the log overflows within the run and keeps its newest end.
  ASSERT_GT(board().usart3().dropped_writes(), 0u);
  EXPECT_EQ(Usart::kWriteLogKeep, log.size());
  EXPECT_TRUE(std::is_sorted(log.begin(), log.end(),
                             [](const RegWrite& a, const RegWrite& b) { return a.time < b.time; }));
  EXPECT_GT(log.back().time, m().now() - static_cast<cycles_t>(m().clocks().hclk / 100)) << "newest write missing";
}

}  // namespace
}  // namespace vb::test
