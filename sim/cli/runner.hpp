// Runs a booted board in slices of device time, paced against the host's
// clock (real time) or as fast as it goes, and gives every host link (the
// terminal console, pseudo-terminals, files) a turn between slices.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
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
};

struct RunOptions {
  double run_ms = 0;        // device time to run; 0: until stopped
  bool real_time = true;    // pace device time against the host clock
  double slice_ms = 10;     // device time between two looks at the host
};

struct RunResult {
  double device_ms = 0;
  double wall_s = 0;
  bool faulted = false;
  bool interrupted = false;  // stopped by request (SIGINT)
};

class Runner {
public:
  Runner(Board& board, RunOptions opts) : board_(board), opts_(opts) {}
  void add_link(std::unique_ptr<HostLink> link) { links_.push_back(std::move(link)); }
  // A debugger decides when the board runs; while it holds the board
  // halted, the links keep being served and device time stands still.
  void set_debugger(gdb::Server* server) { debugger_ = server; }
  // Set from a signal handler: the run ends after the current slice.
  static std::atomic<bool>& stop_requested();

  RunResult run();

private:
  Board& board_;
  RunOptions opts_;
  std::vector<std::unique_ptr<HostLink>> links_;
  gdb::Server* debugger_ = nullptr;
};

// The run statistics, one item per line, for stderr.
std::string format_statistics(Machine& m, const RunResult& r);

}  // namespace vb::cli
