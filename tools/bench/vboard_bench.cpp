// Benchmark of the virtual board (make bench): how fast the emulated core
// runs the firmware idling in its main loop with the 1 ms tick, instruction
// by instruction (raw) and with the idle-loop fast-forward (effective); the
// firmware under load, both serial lines streaming at 115200 bit/s in both
// directions through its bridge; a stand-in for the main loop on a bare
// machine; what the engine costs per kind of instruction; the firmware
// playing a 1.8 s voice clip while its main loop idles; the board enumerated
// and idle on USB; the clock idle with a debugger attached; one hour of the
// clock checked against its schedule; and the host memory a board process peaks at, idle and
// under full-rate traffic; and a USB/IP client on 127.0.0.1 typing into
// the shell and reading it back.
//
//   vboard_bench [firmware.elf] [--ms N] [--rss-ms N] [--hour-s N] [--only a,b,...]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "sim/board/board.hpp"
#include "sim/core/nvic.hpp"
#include "sim/periph/usart.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "tests/support/serial_stream.hpp"
#include "tests/support/quiet_clock.hpp"
#include "sim/usbhost/usbip_server.hpp"
#include "tests/support/thumb.hpp"
#include "tests/support/usbip_client.hpp"
#include "tools/bench/usbip_board.hpp"

// tools/bench/clock_bench.cpp
int clock_busy_bench(const std::string& elf, double ms);
// tools/bench/usb_fuzz_bench.cpp
int usb_fuzz_bench(const std::string& elf, unsigned random_setups);
// tools/bench/hour_bench.cpp
int clock_hour_bench(const std::string& elf, double run_s, double& host_s, double& cpu_s, double& device_s);

namespace {

using Clock = std::chrono::steady_clock;
using vb::test::BridgeStream;
using vb::test::Thumb;

constexpr double kHclk = 144e6;  // the firmware's core clock

// The speed targets, one row each, printed together at the end with what
// was measured (times real time per CPU second).
struct Target {
  const char* row;
  double at_least;
  double measured = -1;  // not run
};
Target g_targets[] = {
    {"clock idle, effective", 20},
    {"clock idle, raw (every pass runs)", 0.9},
    {"busy: both serial lines at 115200 both ways", 3},
    {"playing a 1.8 s clip", 10},
    {"enumerated and idle on USB", 10},
    {"debugger attached, no breakpoints", 10},
    {"one hour of the clock (<= 180 s host)", 20},
};
enum TargetRow { kIdleEffective, kIdleRaw, kBusy, kPlaying, kUsbIdle, kDebugger, kHour };

void print_targets() {
  std::printf("\nspeed against the targets (times real time per CPU second):\n");
  for (const Target& t : g_targets) {
    if (t.measured < 0)
      std::printf("  %-46s %10s   target >= %5.1fx\n", t.row, "not run", t.at_least);
    else
      std::printf("  %-46s %9.2fx   target >= %5.1fx   %s\n", t.row, t.measured, t.at_least,
                  t.measured >= t.at_least ? "met" : "MISSED");
  }
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// This process's CPU time: on a machine shared with other work, the rates
// per CPU second say what the board costs, the rates per host second what a
// user waits.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// A five-instruction loop built by `body` (four instructions) plus the
// branch back, run for `cycles` on a bare machine.
void engine_loop(const char* name, const std::function<void(Thumb&)>& body, std::uint64_t cycles = 200'000'000) {
  vb::Machine m;
  Thumb t(0x08000200);
  const std::uint32_t entry = t.here();
  t.mov32(0, 0x20000000).mov32(5, 0xE000E010);  // r0: SRAM, r5: SysTick CTRL
  Thumb::Label loop;
  t.bind(loop);
  body(t);
  t.b(loop);
  Thumb table(0x08000000);
  table.word(0x20010000).word(entry | 1);
  m.load_bytes(0x08000000, table.bytes());
  m.load_bytes(0x08000200, t.bytes());
  m.reset();
  const auto t0 = Clock::now();
  const double cpu0 = cpu_seconds();
  m.run_cycles(cycles);
  const double s = seconds_since(t0), cpu = cpu_seconds() - cpu0;
  std::printf("  %-34s %8.1f M instructions/s (%.1f M per CPU second)\n", name, m.stats().instructions / s / 1e6,
              m.stats().instructions / cpu / 1e6);
}

struct Rate {
  double instructions = 0, device_ms = 0, wall_s = 0, cpu_s = 0, skipped = 0;
};

void print_rate(const char* label, const Rate& r) {
  std::printf("    %-9s %7.1f M instructions/s, %8.1f emulated ms per host second (%6.2fx real time)", label,
              r.instructions / r.wall_s / 1e6, r.device_ms / r.wall_s, r.device_ms / 1000.0 / r.wall_s);
  if (r.skipped > 0) std::printf(", %.1f %% of the cycles skipped", 100.0 * r.skipped);
  std::printf("\n              per CPU second: %.1f M instructions, %.2fx real time\n", r.instructions / r.cpu_s / 1e6,
              r.device_ms / 1000.0 / r.cpu_s);
}

// Runs `run` on the board and measures it: host and CPU time, instructions,
// device time and the share of cycles skipped.
vb::Stop measured(vb::Machine& m, Rate& r, const std::function<vb::Stop()>& run) {
  const std::uint64_t i0 = m.stats().instructions, c0 = m.now(), s0 = m.stats().skipped_cycles;
  const auto t0 = Clock::now();
  const double cpu0 = cpu_seconds();
  const vb::Stop stop = run();
  r.wall_s = seconds_since(t0);
  r.cpu_s = cpu_seconds() - cpu0;
  r.instructions = static_cast<double>(m.stats().instructions - i0);
  r.device_ms = (m.now() - c0) * 1000.0 / m.clocks().hclk;
  r.skipped = static_cast<double>(m.stats().skipped_cycles - s0) / static_cast<double>(m.now() - c0);
  return stop;
}

// The firmware's idle main loop re-created on a bare machine, pass for pass
// like the image's: the loop calls fast_loop, which checks both serial ports
// (each masks its interrupt line, takes and clears its error flag, unmasks,
// and counts the bytes in its receive ring), then tests the tick flag; the
// SysTick handler counts ticks and sets the flag every 1 ms at 144 MHz.
Rate stand_in_loop(bool skip, double ms) {
  constexpr std::uint32_t kTick = 0x20000100, kUpd = 0x20000104, kErr = 0x20000108, kRing = 0x20000110;
  constexpr std::uint32_t kIcer = 0xE000E180, kIser = 0xE000E100;
  Thumb t(0x08000200);
  Thumb::Label head, ticked, fast, port, errflag, nbuf;
  const std::uint32_t entry = t.here();
  t.mov32(4, kUpd);
  t.bind(head);
  t.bl(fast).ldr(3, 4).lsls(3, 3, 31).bne(ticked).b(head);
  t.bind(ticked);
  t.ldr(3, 4).subs(3, 1).str(3, 4).b(head);
  t.bind(fast);
  t.push_lr().bl(port).bl(port).pop_pc();
  t.bind(port);
  t.push_lr().bl(errflag).bl(nbuf).cmp(0, 0).pop_pc();
  t.bind(errflag);
  t.mov32(3, kIcer).movs(2, 0x40).str(2, 3);  // mask the port's line
  t.mov32(3, kErr).ldr(0, 3).movs(2, 0).str(2, 3);
  t.mov32(3, kIser).movs(2, 0x40).str(2, 3).bx(14);  // unmask
  t.bind(nbuf);
  t.mov32(1, kRing).ldr(2, 1, 4).ldr(3, 1, 8).ldr(0, 1, 20).adds(0, 0, 3).subs(0, 0).bx(14);
  const std::uint32_t systick = t.here();
  t.mov32(1, kTick).ldr(2, 1).adds(2, 1).str(2, 1).mov32(1, kUpd).movs(2, 1).str(2, 1).bx(14);

  vb::Machine m;
  Thumb table(0x08000000);
  for (int n = 0; n < vb::exc::kCount; ++n)
    table.word(n == 0 ? 0x20010000 : n == 1 ? entry | 1 : n == vb::exc::kSysTick ? systick | 1 : 0);
  m.load_bytes(0x08000000, table.bytes());
  m.load_bytes(0x08000200, t.bytes());
  m.reset();
  m.set_idle_loop(fast.addr);
  m.set_idle_skip(skip);
  m.write32(0xE000E014, static_cast<std::uint32_t>(kHclk / 1000) - 1);  // SysTick LOAD: 1 ms
  m.write32(0xE000E010, 7);                                             // on, interrupt, processor clock
  const auto cycles = static_cast<std::uint64_t>(ms * kHclk / 1000);
  const auto t0 = Clock::now();
  const double cpu0 = cpu_seconds();
  for (std::uint64_t done = 0; done < cycles; done += 144'000) m.run_cycles(144'000);  // 1 ms slices, as run_ms
  Rate r;
  r.wall_s = seconds_since(t0);
  r.cpu_s = cpu_seconds() - cpu0;
  r.instructions = static_cast<double>(m.stats().instructions);
  r.device_ms = m.now() * 1000.0 / kHclk;
  r.skipped = static_cast<double>(m.stats().skipped_cycles) / static_cast<double>(m.now());
  return r;
}

// Boots the image, then runs `ms` of device time in its main loop.
int idle_firmware(const std::string& elf, double ms, bool skip, Rate& r) {
  vb::BoardOptions o;
  o.elf = elf;
  vb::Board board(o);
  vb::Machine& m = board.m();
  auto t0 = Clock::now();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  const double boot_s = seconds_since(t0);
  if (!skip)
    std::printf("  boot to the main loop: %.3f ms device time in %.3f s\n", m.now() * 1000.0 / m.clocks().hclk,
                boot_s);

  const std::uint32_t loop = m.symbol("fast_loop");
  m.set_idle_loop(loop);
  m.set_idle_skip(skip);
  m.stats().watch_pc = loop;
  const std::uint64_t ticks0 = m.stats().exceptions[vb::exc::kSysTick].entries;
  const vb::Stop stop = measured(m, r, [&] { return m.run_ms(ms); });
  const vb::Stats& st = m.stats();
  print_rate(skip ? "effective" : "raw", r);
  g_targets[skip ? kIdleEffective : kIdleRaw].measured = r.device_ms / 1000.0 / r.cpu_s;
  std::printf("              %llu SysTick interrupts, worst main loop pass %llu cycles, lowest SP 0x%08x\n",
              static_cast<unsigned long long>(st.exceptions[vb::exc::kSysTick].entries - ticks0),
              static_cast<unsigned long long>(st.worst_pass_cycles), static_cast<unsigned>(st.lowest_sp));
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return 0;
}

// Boots the image, then runs `ms` of device time with both serial lines
// streaming both ways through the bridge.
int busy_firmware(const std::string& elf, double ms, bool skip, Rate& r, bool quiet = false) {
  vb::BoardOptions o;
  o.elf = elf;
  o.idle_skip = skip;
  vb::Board board(o);
  vb::Machine& m = board.m();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  m.run_ms(50);  // the start-up report is out
  const std::uint32_t loop = m.symbol("fast_loop");
  m.set_idle_loop(loop);
  m.set_idle_skip(skip);
  BridgeStream to_usart2(m, board.usart3(), board.usart2(), 11), to_usart3(m, board.usart2(), board.usart3(), 53);
  const vb::Stop stop = measured(m, r, [&] {
    return vb::test::run_streaming(m, ms, to_usart2, to_usart3) ? vb::Stop::kLimit : vb::Stop::kFault;
  });
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  if (quiet) return 0;
  print_rate(skip ? "effective" : "raw", r);
  if (skip) g_targets[kBusy].measured = r.device_ms / 1000.0 / r.cpu_s;
  for (const auto& [name, s] :
       {std::pair<const char*, const BridgeStream&>{"to USART2", to_usart2}, {"to USART3", to_usart3}})
    std::printf("              %s: %llu bytes sent, %llu arrived, %llu wrong\n", name,
                static_cast<unsigned long long>(s.sent()), static_cast<unsigned long long>(s.received()),
                static_cast<unsigned long long>(s.wrong()));
  std::printf("              model state retained at the end: %zu entries\n", m.retained_state());
  return 0;
}

// Boots the image, then plays 1.8 s of voice (14400 samples from the first
// hour clip on, straight out of flash) with the main loop idling: one DMA
// transfer every 125 us, each a model event between skipped loop passes.
int playing_clip(const std::string& elf) {
  vb::BoardOptions o;
  o.elf = elf;
  vb::Board board(o);
  vb::Machine& m = board.m();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  constexpr std::uint32_t kSamples = 14'400;
  const std::uint32_t loop = m.symbol("fast_loop");
  m.set_idle_loop(loop);
  m.set_idle_skip(true);
  vb::test::quiet_clock(board);  // the clock's start-up announcement would take the DAC over
  m.call("start_DAC1", {m.var32("Hxx_raw"), kSamples});
  Rate r;
  const vb::Stop stop = measured(m, r, [&] { return m.run_ms(kSamples / 8.0 + 1); });
  print_rate("effective", r);
  g_targets[kPlaying].measured = r.device_ms / 1000.0 / r.cpu_s;
  const std::uint32_t ndtr = m.read32(0x4002602C);  // DMA1 stream 1 NDTR
  std::printf("              %s\n", ndtr == 0 ? "all 14400 samples reached the DAC" : "the clip did not finish");
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return ndtr == 0 ? 0 : 1;
}

// The board enumerated by the USB host and idle on the bus: a SOF every
// 1 ms (one OTG_FS interrupt each), the port open with its bulk IN reads
// pending and NAKed, nothing to send either way.
int usb_idle_firmware(const std::string& elf, double ms) {
  vb::BoardOptions o;
  o.elf = elf;
  o.usb_cable = true;
  vb::Board board(o);
  vb::Machine& m = board.m();
  vb::UsbHost& host = board.usb_host();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop\n");
    return 1;
  }
  while (host.state() != vb::UsbHost::State::kConfigured && m.now() < 2 * static_cast<std::uint64_t>(kHclk)) {
    if (m.run_ms(10) == vb::Stop::kFault) break;
  }
  if (host.state() != vb::UsbHost::State::kConfigured) {
    std::printf("  the host did not enumerate the board: %s %s\n", host.state_name().c_str(), host.failure().c_str());
    return 1;
  }
  m.run_ms(20);  // the port open, the reads queued
  const std::uint64_t usb0 = m.stats().exceptions[16 + 67].entries;
  Rate r;
  const vb::Stop stop = measured(m, r, [&] { return m.run_ms(ms); });
  print_rate("effective", r);
  g_targets[kUsbIdle].measured = r.device_ms / 1000.0 / r.cpu_s;
  std::printf("              %llu OTG_FS interrupts, %u bulk IN reads pending\n",
              static_cast<unsigned long long>(m.stats().exceptions[16 + 67].entries - usb0), vb::UsbHost::kReadUrbs);
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return 0;
}

// The clock idle with a debugger attached and running it, no breakpoints or
// watchpoints set: the board runs as the debugger server does, in 1 ms steps.
int debugger_idle(const std::string& elf, double ms) {
  vb::BoardOptions o;
  o.elf = elf;
  vb::Board board(o);
  vb::Machine& m = board.m();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop\n");
    return 1;
  }
  m.debug_attach(true);
  const auto step = static_cast<vb::cycles_t>(kHclk / 1000);
  Rate r;
  const vb::Stop stop = measured(m, r, [&] {
    vb::Stop s = vb::Stop::kLimit;
    for (double done = 0; done < ms && s == vb::Stop::kLimit; ++done) s = m.debug_run(step, false);
    return s;
  });
  print_rate("effective", r);
  g_targets[kDebugger].measured = r.device_ms / 1000.0 / r.cpu_s;
  if (stop != vb::Stop::kLimit) {
    std::printf("  the run stopped early:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  return 0;
}

// One hour of the clock, checked against its schedule.
int clock_hour(const std::string& elf, double seconds) {
  double host_s = 0, cpu_s = 0, device_s = 0;
  const int rc = clock_hour_bench(elf, seconds, host_s, cpu_s, device_s);
  if (device_s > 0 && cpu_s > 0) g_targets[kHour].measured = device_s / cpu_s;
  return rc;
}

// Peak resident memory of a fresh process (this program again) that runs
// `what` ("idle" or "busy") for `ms` of device time; 0 when it failed.
long peak_rss_kib(const std::string& elf, const char* what, double ms) {
  const std::string ms_arg = std::to_string(ms);
  char self[] = "/proc/self/exe";
  std::string mode = std::string("--rss-child=") + what;
  char* args[] = {self, mode.data(), const_cast<char*>(ms_arg.c_str()), const_cast<char*>(elf.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, self, nullptr, nullptr, args, environ) != 0) return 0;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return ru.ru_maxrss;
}

int rss_child(const std::string& mode, double ms, const std::string& elf) {
  Rate r;
  if (mode == "busy") return busy_firmware(elf, ms, true, r, true);
  vb::BoardOptions o;
  o.elf = elf;
  vb::Board board(o);
  if (!board.boot()) return 1;
  board.m().set_idle_loop(board.m().symbol("fast_loop"));
  return board.m().run_ms(ms) == vb::Stop::kFault ? 1 : 0;
}

// A USB/IP client on 127.0.0.1 imports the board, configures and opens it
// as cdc_acm does, and types `bytes` into the shell (lines of 1 to 39
// characters, 1 KiB bulk OUT URBs, 16 bulk IN reads of 128 bytes pending),
// reading the echo and the replies until every line was answered.
int usbip_typing(const std::string& elf, std::size_t bytes) {
  using vb::test::UsbIpClient;
  UsbIpBoard b(elf);
  vb::Machine& m = b.m;
  vb::UsbIpServer& server = b.server;
  if (!b.boot()) return 1;
  UsbIpClient c(server.port());
  std::map<std::uint32_t, UsbIpClient::Ret> rets;
  bool imported = false;  // from then on the stream is URB replies
  auto step = [&] { return b.step(c, imported ? &rets : nullptr) && !c.closed_by_server(); };
  auto wait = [&](std::uint32_t seq) {
    for (int i = 0; i < 3000 && !rets.count(seq); ++i)
      if (!step()) return false;
    const bool ok = rets.count(seq) && rets[seq].status == 0;
    rets.erase(seq);
    return ok;
  };
  if (!b.import(c)) {
    std::printf("  the import failed (%zu bytes of reply, status %u)\n", c.received().size(),
                c.received().size() >= 8 ? c.be32(4) : 0u);
    return 1;
  }
  imported = true;
  if (!wait(c.control(UsbIpClient::setup(0x00, 9, 1, 0, 0))) ||
      !wait(c.control(UsbIpClient::setup(0x21, 0x20, 0, 0, 7), {0x00, 0xC2, 0x01, 0, 0, 0, 8}))) {
    std::printf("  configuring the device failed\n");
    return 1;
  }
  std::set<std::uint32_t> reads;
  for (int i = 0; i < 16; ++i) reads.insert(c.urb(1, 1, 128));
  c.urb(1, 2, 16, {}, {}, 255);
  wait(c.control(UsbIpClient::setup(0x21, 0x22, 3, 0, 0)));

  std::string typed;
  std::size_t lines = 0;
  for (unsigned n = 0; typed.size() < bytes; ++n, ++lines) {
    unsigned len = 1 + (n * 7) % 39;
    if (len == 8 || len == 11) ++len;
    for (unsigned i = 0; i < len; ++i) typed += static_cast<char>('a' + (n + i) % 26);
    typed += '\r';
  }
  std::size_t sent = 0, received = 0, replies = 0, seen = 0;
  std::uint32_t writing = 0;
  std::string got;
  const std::uint64_t c0 = m.now();
  const auto t0 = Clock::now();
  while (replies < lines && m.now() - c0 < static_cast<std::uint64_t>(kHclk) * 600) {
    if (!step()) break;
    if (writing && rets.count(writing)) {
      rets.erase(writing);
      writing = 0;
    }
    if (!writing && sent < typed.size()) {
      const std::size_t n = std::min<std::size_t>(1024, typed.size() - sent);
      writing = c.urb(0, 1, static_cast<std::uint32_t>(n), {},
                      UsbIpClient::Bytes(typed.begin() + static_cast<std::ptrdiff_t>(sent),
                                         typed.begin() + static_cast<std::ptrdiff_t>(sent + n)));
      sent += n;
    }
    for (auto it = rets.begin(); it != rets.end();) {
      if (reads.erase(it->first)) {
        got.append(it->second.data.begin(), it->second.data.end());
        received += it->second.data.size();
        reads.insert(c.urb(1, 1, 128));
        it = rets.erase(it);
      } else {
        ++it;
      }
    }
    for (std::size_t at; (at = got.find("LSE\r\r\n", seen)) != std::string::npos; seen = at + 1) ++replies;
  }
  const double wall = seconds_since(t0);
  const double device_s = static_cast<double>(m.now() - c0) / m.clocks().hclk;
  std::printf("  %zu bytes typed in %zu lines, %zu bytes of echo and replies read back, %zu of %zu lines answered\n",
              sent, lines, received, replies, lines);
  std::printf("  %.0f bytes/s device to host (device time), %.2f s device time in %.2f s host time (%.2fx real time)\n",
              static_cast<double>(received) / device_s, device_s, wall, device_s / wall);
  if (m.faulted()) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return replies == lines ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strncmp(argv[1], "--rss-child=", 12) == 0)
    return rss_child(argv[1] + 12, std::atof(argv[2]), argv[3]);
  std::string elf = vb::default_firmware_elf();
  double ms = 10'000, rss_ms = 60'000, hour_s = 3600;
  std::string only;  // comma-separated scenario names; empty: all
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ms") == 0 && i + 1 < argc)
      ms = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--hour-s") == 0 && i + 1 < argc)
      hour_s = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
      only = std::string(",") + argv[++i] + ",";
    else if (std::strcmp(argv[i], "--rss-ms") == 0 && i + 1 < argc)
      rss_ms = std::atof(argv[++i]);
    else
      elf = argv[i];
  }

  // Scenario names for --only: engine, stand-in, idle, busy, clip, usb, clock, usbip, fuzz, debugger, hour, rss.
  auto want = [&](const char* name) { return only.empty() || only.find(std::string(",") + name + ",") != std::string::npos; };
  int rc = 0;
  auto scenario = [&](const char* name, const std::function<int()>& run) {
    if (rc != 0 || !want(name)) return;
    try {
      rc = run();
    } catch (const std::exception& e) {
      std::printf("  %s\n", e.what());
      rc = 1;
    }
  };

  scenario("engine", [&] {
    std::printf("engine, five-instruction loops on a bare machine:\n");
    engine_loop("register arithmetic", [](Thumb& a) { a.adds(1, 1).adds(2, 1).adds(3, 1).adds(4, 1); });
    engine_loop("3 loads from SRAM", [](Thumb& a) { a.ldr(1, 0).ldr(2, 0, 4).ldr(3, 0, 8).adds(4, 1); });
    engine_loop("3 stores to SRAM", [](Thumb& a) { a.str(1, 0).str(2, 0, 4).str(3, 0, 8).adds(4, 1); }, 50'000'000);
    engine_loop("1 register read (SysTick)", [](Thumb& a) { a.ldr(1, 5, 8).adds(2, 1).adds(3, 1).adds(4, 1); },
                50'000'000);
    engine_loop("1 register write (SysTick VAL)", [](Thumb& a) { a.str(1, 5, 8).adds(2, 1).adds(3, 1).adds(4, 1); },
                50'000'000);
    return 0;
  });
  scenario("stand-in", [&] {
    std::printf("\nthe main loop's stand-in on a bare machine, 1 ms tick at 144 MHz, %.0f ms:\n", ms);
    print_rate("raw", stand_in_loop(false, ms));
    print_rate("effective", stand_in_loop(true, ms));
    return 0;
  });
  Rate raw, effective;
  scenario("idle", [&] {
    std::printf("\nfirmware %s, idle in its main loop, %.0f ms:\n", elf.c_str(), ms);
    return idle_firmware(elf, ms, false, raw) != 0 || idle_firmware(elf, ms, true, effective) != 0;
  });
  scenario("busy", [&] {
    std::printf("\nfirmware busy: both serial lines at 115200 bit/s both ways through the bridge, %.0f ms:\n", ms);
    return busy_firmware(elf, ms, false, raw) != 0 || busy_firmware(elf, ms, true, effective) != 0;
  });
  scenario("clip", [&] {
    std::printf("\nfirmware playing a 1.8 s clip (DMA to the DAC every 125 us), main loop idle:\n");
    return playing_clip(elf);
  });
  scenario("usb", [&] {
    std::printf("\nfirmware enumerated on the USB host and idle on the bus, %.0f ms:\n", ms);
    return usb_idle_firmware(elf, ms);
  });
  scenario("debugger", [&] {
    std::printf("\nfirmware idle with a debugger attached (no breakpoints), %.0f ms:\n", ms);
    return debugger_idle(elf, ms);
  });
  scenario("clock", [&] {
    std::printf("\nthe clock running, both serial ports streaming both ways, an announcement starting:\n");
    return clock_busy_bench(elf, 3000);
  });
  scenario("usbip", [&] {
    std::printf("\nUSB/IP client on 127.0.0.1 typing 64 KiB into the shell:\n");
    return usbip_typing(elf, 64 * 1024);
  });
  scenario("fuzz", [&] {
    std::printf("\nUSB fuzz over USB/IP: chapter-9 requests and 3000 random setup packets:\n");
    return usb_fuzz_bench(elf, 3000);
  });
  scenario("hour", [&] {
    std::printf("\none hour of the clock from 10:00:30: five-minute mode, USB enumerated, LEDs breathing (%.0f s):\n",
                hour_s);
    return clock_hour(elf, hour_s);
  });
  scenario("rss", [&] {
    std::fflush(stdout);
    std::printf("\npeak host memory of a board process, %.0f ms of device time:\n", rss_ms);
    const long idle = peak_rss_kib(elf, "idle", rss_ms), busy = peak_rss_kib(elf, "busy", rss_ms);
    if (idle == 0 || busy == 0) {
      std::printf("  a measuring process failed\n");
      return 1;
    }
    std::printf("    idle      %8.1f MiB\n    busy      %8.1f MiB (both serial lines full both ways; %+.1f MiB)\n",
                idle / 1024.0, busy / 1024.0, (busy - idle) / 1024.0);
    return 0;
  });
  print_targets();
  return rc;
}
