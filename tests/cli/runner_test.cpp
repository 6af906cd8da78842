// vboard's runner in real time against a host clock of the test's own: a
// wait moves that clock to the moment waited for, so pacing is checked
// exactly and without waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "sim/board/board.hpp"
#include "sim/cli/runner.hpp"

namespace vb::cli {
namespace {

using namespace std::chrono_literals;
using TimePoint = HostClock::time_point;

// At `at_ms` of device time the process is stopped for `for_host` of host
// time and then continued, as job control does (SIGTSTP, later SIGCONT).
class SuspendOnce : public HostLink {
public:
  SuspendOnce(TimePoint& host, double at_ms, std::chrono::nanoseconds for_host)
      : host_(host), at_ms_(at_ms), for_(for_host) {}
  void poll(Board& board) override {
    if (done_ || board.m().device_ms() < at_ms_) return;
    done_ = true;
    host_ += for_;
    Runner::note_continued();
  }

private:
  TimePoint& host_;
  double at_ms_;
  std::chrono::nanoseconds for_;
  bool done_ = false;
};

double host_ms(TimePoint from, TimePoint to) { return std::chrono::duration<double, std::milli>(to - from).count(); }

TEST(RunnerPacing, ShouldRunInRealTimeAndResumeFromASuspendWithoutCatchingUp) {
  struct Case {
    const char* what;
    double suspend_at_ms;  // < 0: never
    double host_ms_at_end;
  };
  // 120 ms of device time in 10 ms slices. A 5 s suspension adds its 5 s of
  // host time, less the slice the board had run ahead of the host clock
  // when it stopped; nothing is run faster to make up for it.
  const Case cases[] = {
      {"never suspended", -1, 120},
      {"suspended after 50 ms", 50, 5110},
      {"suspended after 100 ms", 100, 5110},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board board;
    const TimePoint start{};
    TimePoint host = start;
    RunOptions opts;
    opts.run_ms = 120;
    opts.clock.now = [&host] { return host; };
    opts.clock.sleep_until = [&host](TimePoint t) { host = std::max(host, t); };
    Runner runner(board, opts);
    if (c.suspend_at_ms >= 0) runner.add_link(std::make_unique<SuspendOnce>(host, c.suspend_at_ms, 5s));
    const RunResult r = runner.run();
    EXPECT_DOUBLE_EQ(120.0, r.device_ms);
    EXPECT_NEAR(c.host_ms_at_end, host_ms(start, host), 1e-6);
    EXPECT_FALSE(board.m().faulted()) << board.m().fault_report();
  }
}

TEST(DeviceTime, ShouldCountEachCycleAtTheClockItRanAt) {
  // 300 ms mostly from the PLL, a reset (as after a debugger's load: the
  // clock tree back on the 16 MHz HSI, the cycle count going on), 20 ms
  // more: device time is 320 ms, not the cycle count at today's HCLK.
  Board board;
  RunOptions fast;
  fast.real_time = false;
  fast.run_ms = 300;
  Runner(board, fast).run();
  const cycles_t before_reset = board.m().now();
  const double at_reset = board.m().device_ms();
  board.m().reset();
  fast.run_ms = 20;
  Runner(board, fast).run();
  // The runner counts 1 ms steps at the HCLK each starts with: it is off
  // by up to a step each time the clock changes within one.
  EXPECT_NEAR(300.0, at_reset, 2.0);
  EXPECT_NEAR(320.0, board.m().device_ms(), 2.0);
  EXPECT_DOUBLE_EQ(at_reset, board.m().device_ms_at(before_reset));
  EXPECT_DOUBLE_EQ(0.0, board.m().device_ms_at(0));
}

}  // namespace
}  // namespace vb::cli
