// Runs a booted board in slices of device time, paced against the host's
// clock (real time) or as fast as it goes, and gives every host link (the
// terminal console, pseudo-terminals, files) a turn between slices.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/gdb/gdb_server.hpp"

namespace vb::cli {

// Something that connects the running board to the host.
class HostLink {
public:
  virtual ~HostLink() = default;
  // Between slices: move bytes both ways, update what the user sees.
  virtual void poll(Board& board) = 0;
  // The run is over (normally or not).
  virtual void close(Board&) {}
  // Why this link cannot go on (its terminal went away, its output cannot
  // be written); empty while it works. The runner ends the run on it.
  const std::string& failure() const { return failure_; }

protected:
  void fail(std::string why) {
    if (failure_.empty()) failure_ = std::move(why);
  }

private:
  std::string failure_;
};

// The host's clock as the runner sees it: steady time and a wait for a
// moment on it (replaceable, so pacing can be checked without waiting).
struct HostClock {
  using time_point = std::chrono::steady_clock::time_point;
  std::function<time_point()> now = [] { return std::chrono::steady_clock::now(); };
  std::function<void(time_point)> sleep_until = [](time_point t) { std::this_thread::sleep_until(t); };
};

struct RunOptions {
  double run_ms = 0;        // device time to run; 0: until stopped
  bool real_time = true;    // pace device time against the host clock
  double slice_ms = 10;     // device time between two looks at the host
  HostClock clock;
};

struct RunResult {
  double device_ms = 0;      // device time actually run (up to the fault, if any)
  double wall_s = 0;
  bool faulted = false;
  bool interrupted = false;  // stopped by request (Ctrl-] q, SIGINT, SIGTERM, SIGHUP)
  int signal = 0;            // the signal that asked for the stop, if one did
  std::string link_failure;  // a host link could not go on: why
};

// Exit statuses of vboard.
constexpr int kExitOk = 0;
constexpr int kExitFault = 1;     // the firmware faulted
constexpr int kExitUsage = 2;     // bad command line or image
constexpr int kExitHostLink = 3;  // the console's terminal or output went away
// A signal N that ends the run gives 128 + N, as the shell reports it.
int exit_status(const RunResult& r);

class Runner {
public:
  Runner(Board& board, RunOptions opts) : board_(board), opts_(opts) {}
  void add_link(std::unique_ptr<HostLink> link) { links_.push_back(std::move(link)); }
  // A debugger decides when the board runs; while it holds the board
  // halted, the links keep being served and device time stands still.
  void set_debugger(gdb::Server* server) { debugger_ = server; }
  // The run ends after the current slice. Safe in a signal handler; `signal`
  // is the signal's number, 0 for a request from a board command.
  static void request_stop(int signal = 0);
  static bool stop_requested();
  // The process was stopped (job control) and has been continued: the host
  // time it spent stopped is not owed to the device, real-time pacing
  // starts again from now. Safe in a signal handler (SIGCONT).
  static void note_continued();

  RunResult run();

private:
  // Runs `ms` of device time in 1 ms steps at whatever HCLK runs; returns
  // the device time actually run (less than `ms` when the firmware faulted).
  double run_slice(double ms);

  Board& board_;
  RunOptions opts_;
  std::vector<std::unique_ptr<HostLink>> links_;
  gdb::Server* debugger_ = nullptr;
};

// The run statistics, one item per line, for stderr.
std::string format_statistics(Machine& m, const RunResult& r);

}  // namespace vb::cli
