#include "sim/cli/runner.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "sim/core/nvic.hpp"

namespace vb::cli {

namespace {
// -1: no stop requested; 0: by a board command; else the signal's number.
std::atomic<int> g_stop{-1};
static_assert(std::atomic<int>::is_always_lock_free, "set from signal handlers");
// Counts SIGCONTs; the runner compares it with the count it last saw.
std::atomic<unsigned> g_continued{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "set from signal handlers");
}  // namespace

void Runner::note_continued() { g_continued.fetch_add(1); }

void Runner::request_stop(int signal) {
  int none = -1;
  g_stop.compare_exchange_strong(none, signal);
}

bool Runner::stop_requested() { return g_stop.load() >= 0; }

int exit_status(const RunResult& r) {
  if (r.faulted) return kExitFault;
  if (!r.link_failure.empty()) return kExitHostLink;
  if (r.signal != 0 && r.signal != SIGINT) return 128 + r.signal;
  return kExitOk;
}

double Runner::run_slice(double ms) {
  Machine& m = board_.m();
  double done = 0;
  while (done < ms) {
    const double step = std::min(ms - done, 1.0);
    const auto n = std::max<cycles_t>(static_cast<cycles_t>(std::llround(step * m.clocks().hclk / 1000.0)), 1);
    const cycles_t from = m.now();
    if (m.run_cycles(n) != Stop::kLimit || m.faulted()) {
      // Only the part of the step that ran counts.
      return done + step * static_cast<double>(std::min(m.now() - from, n)) / static_cast<double>(n);
    }
    done += step;
  }
  return done;
}

RunResult Runner::run() {
  const HostClock& clock = opts_.clock;
  Machine& m = board_.m();
  RunResult r;
  const auto began = clock.now();
  // Real-time pacing: device time `paced_ms` was due at host time `paced_at`.
  // Both move on when the board did not run for a while (halted by the
  // debugger, the process stopped), so it never races to catch up.
  auto paced_at = began;
  double paced_ms = 0;
  unsigned continued = g_continued.load();
  while (!stop_requested()) {
    if (opts_.run_ms > 0 && r.device_ms >= opts_.run_ms) break;
    double slice = opts_.slice_ms;
    if (opts_.run_ms > 0) slice = std::min(slice, opts_.run_ms - r.device_ms);
    if (debugger_) {
      debugger_->serve(0);
      if (debugger_->halted()) {
        // Host time spent halted is not owed to the device.
        debugger_->serve(static_cast<int>(opts_.slice_ms));
        for (auto& link : links_) link->poll(board_);
        paced_at = clock.now();
        paced_ms = r.device_ms;
        continue;
      }
      // Faults halt the board under the debugger instead of ending the run.
      r.device_ms += debugger_->run(slice);
    } else {
      r.device_ms += run_slice(slice);
    }
    bool link_failed = false;
    for (auto& link : links_) {
      link->poll(board_);
      if (!link->failure().empty() && r.link_failure.empty()) {
        r.link_failure = link->failure();
        link_failed = true;
      }
    }
    if ((!debugger_ && m.faulted()) || link_failed) break;
    if (opts_.real_time) {
      if (const unsigned c = g_continued.load(); c != continued) {
        // A suspended board is a paused one: no device time passed.
        continued = c;
        paced_at = clock.now();
        paced_ms = r.device_ms;
      }
      // Device time leads: wait until the host clock has caught up.
      const auto due = paced_at + std::chrono::duration_cast<HostClock::time_point::duration>(
                                      std::chrono::duration<double, std::milli>(r.device_ms - paced_ms));
      if (due > clock.now()) clock.sleep_until(due);
    }
  }
  r.wall_s = std::chrono::duration<double>(clock.now() - began).count();
  r.faulted = m.faulted();
  r.interrupted = stop_requested();
  r.signal = std::max(g_stop.load(), 0);
  // The links flush what they hold; a failure there still counts.
  for (auto& link : links_) {
    link->close(board_);
    if (!link->failure().empty() && r.link_failure.empty()) r.link_failure = link->failure();
  }
  return r;
}

std::string format_statistics(Machine& m, const RunResult& r) {
  const Stats& st = m.stats();
  char line[160];
  std::string out;
  std::snprintf(line, sizeof line, "device time   %.3f ms in %.3f s host time (%.2fx real time)\n", r.device_ms,
                r.wall_s, r.wall_s > 0 ? r.device_ms / 1000.0 / r.wall_s : 0.0);
  out += line;
  std::snprintf(line, sizeof line, "instructions  %llu (%.1f M/s), cycles %llu\n",
                static_cast<unsigned long long>(st.instructions), r.wall_s > 0 ? st.instructions / r.wall_s / 1e6 : 0.0,
                static_cast<unsigned long long>(st.cycles));
  out += line;
  for (int n = 1; n < exc::kCount; ++n) {
    const auto& e = st.exceptions[n];
    if (e.entries == 0) continue;
    std::snprintf(line, sizeof line, "exception     %-28s %10llu entries %12llu cycles\n", exception_name(n).c_str(),
                  static_cast<unsigned long long>(e.entries), static_cast<unsigned long long>(e.cycles));
    out += line;
  }
  if (st.worst_pass_cycles > 0) {
    std::snprintf(line, sizeof line, "main loop     worst pass %llu cycles (%s)\n",
                  static_cast<unsigned long long>(st.worst_pass_cycles), m.symbol_at(st.watch_pc).c_str());
    out += line;
  }
  if (st.skipped_passes > 0) {
    std::snprintf(line, sizeof line, "idle skip     %llu loop passes, %.1f %% of the cycles\n",
                  static_cast<unsigned long long>(st.skipped_passes),
                  st.cycles > 0 ? 100.0 * static_cast<double>(st.skipped_cycles) / static_cast<double>(st.cycles) : 0.0);
    out += line;
  }
  if (st.lowest_sp != 0xFFFFFFFF) {
    std::snprintf(line, sizeof line, "stack         lowest SP 0x%08x\n", static_cast<unsigned>(st.lowest_sp));
    out += line;
  }
  return out;
}

}  // namespace vb::cli
