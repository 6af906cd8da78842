// GoogleTest fixture for tests of the firmware image on the virtual board:
// a fresh board per test, options for the parts fitted, helpers to run to
// a point of the firmware, and a check after every test that the firmware
// did not fault (unless the test expects it). Failures print the board's
// fault report, its messages and where the core is.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "sim/board/board.hpp"
#include "tests/support/quiet_clock.hpp"

namespace vb::test {

class BoardTest : public ::testing::Test {
protected:
  // The board's fitted parts; change before SetUp (in the test fixture's
  // constructor) or build a second board with make_board().
  BoardOptions options;

  void SetUp() override { board_ = std::make_unique<Board>(options); }

  void TearDown() override {
    if (!board_) return;
    if (!expect_fault_) {
      EXPECT_FALSE(m().faulted()) << "the firmware faulted:\n" << m().fault_report();
    }
    if (HasFailure()) {
      std::string text;
      for (const std::string& msg : m().messages()) text += "  " + msg + "\n";
      ADD_FAILURE() << "board state after the failure:\n" << m().where() << "\nboard messages:\n"
                    << (text.empty() ? "  (none)\n" : text);
    }
  }

  Board& board() { return *board_; }
  Machine& m() { return board_->m(); }
  // The test provokes a fault on purpose; TearDown does not fail it.
  void expect_fault() { expect_fault_ = true; }

  // Runs to the entry of firmware function `fn` within `limit_ms`.
  ::testing::AssertionResult run_to(const std::string& fn, double limit_ms = 50) {
    if (board_->run_to(m().symbol(fn), limit_ms)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << fn << " not reached within " << limit_ms << " ms\n"
                                         << (m().faulted() ? m().fault_report() : m().where());
  }
  // Boots to the main loop.
  ::testing::AssertionResult boot(double limit_ms = 2000) {
    if (board_->boot(limit_ms)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "boot did not reach the main loop\n"
                                         << (m().faulted() ? m().fault_report() : m().where());
  }

  void quiet_clock() { vb::test::quiet_clock(*board_); }

  std::uint64_t var64(const std::string& sym) {
    const std::uint32_t a = m().symbol(sym);
    return m().read32(a) | std::uint64_t{m().read32(a + 4)} << 32;
  }
  // Free SRAM behind the firmware's variables, for test code and records.
  std::uint32_t scratch() { return (m().symbol("_ebss") + 0x100) & ~0xFFu; }

private:
  std::unique_ptr<Board> board_;
  bool expect_fault_ = false;
};

}  // namespace vb::test
