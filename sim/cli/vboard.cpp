// vboard: runs the clock's firmware image on the virtual board.
//
//   vboard [options] [firmware.elf]
//
// On a terminal the console (USART3) is the terminal itself in raw mode, with
// board commands after Ctrl-]; USART2 is on a pseudo-terminal. When stdout is
// a file or pipe, it receives exactly the bytes the console sends.
// Board messages and the run statistics go to stderr; a firmware fault ends
// the run with its report and a non-zero exit status.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/cli/audio_out.hpp"
#include "sim/cli/runner.hpp"
#include "sim/cli/serial_links.hpp"
#include "sim/cli/usb_link.hpp"
#include "sim/gdb/gdb_server.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/periph/bcd_calendar.hpp"

namespace {

constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vboard [options] [firmware.elf]\n"
    "\n"
    "Boots the talking clock's firmware image on the virtual board and runs it,\n"
    "in real time unless --fast is given, until --ms of device time have passed\n"
    "or Ctrl-C stops it. Without an image argument it runs the one this tree builds.\n"
    "\n"
    "On a terminal, what you type goes to the console (USART3) and the console's\n"
    "output is shown; Ctrl-] then q quits, Ctrl-] then ? lists the board commands.\n"
    "When stdout is a file or pipe it gets the console's bytes unchanged; board\n"
    "messages always go to stderr.\n"
    "\n"
    "options:\n"
    "  --ms N        run N milliseconds of device time, then stop\n"
    "  --fast        run as fast as the host allows (no real-time pacing)\n"
    "  --no-hse      board without the 8 MHz clock signal on OSC_IN\n"
    "  --no-lse      board without the 32.768 kHz clock signal on OSC32_IN\n"
    "  --rtc T       time the external RTC chip holds at power-up, as\n"
    "                2026-12-06T10:59:50 (default: the host's local time)\n"
    "  --rtc-chip M  the external RTC chip: present (the default), absent (its\n"
    "                data line floats high) or stuck-low\n"
    "  --cpi N       core cycles per instruction (default 1)\n"
    "  --seed N      seed of the power-up RAM contents and other values the chip\n"
    "                leaves UNKNOWN (default: a fixed seed, so runs repeat)\n"
    "  --no-skip     run every pass of the idle main loop (by default passes that\n"
    "                provably repeat are skipped; the firmware sees no difference)\n"
    "  --usart2 M    USART2's far end: pty (a pseudo-terminal, the default on a\n"
    "                terminal), loopback (TX wired to RX) or none\n"
    "  --wav FILE    record the audio output (the DAC: 8-bit unsigned mono, 8000\n"
    "                samples/s) into the WAV file FILE, playable while it grows\n"
    "  --audio       also play the audio output live through the host's sound\n"
    "                system (pacat or aplay; not with --fast)\n"
    "  --usb-unplugged  start with the USB cable unplugged (Ctrl-] u plugs it in)\n"
  "  --gdb [PORT]  serve GDB's remote protocol on TCP PORT (default 3333); the\n"
  "                board starts halted at the reset vector until the debugger\n"
  "                continues\n"
  "  --gdb-bind A  listen on address A instead of 127.0.0.1\n"
  "  --gdb-run     with --gdb: start running instead of halted\n"
    "  -h, --help    this text\n"
    "\n"
    "exit status: 0 after a normal run, 1 when the firmware faulted, 2 on a usage\n"
    "or image error.\n";

struct Options {
  vb::BoardOptions board;
  vb::cli::RunOptions run;
  std::string usart2;  // "pty", "loopback", "none"; empty: pty on a terminal
  vb::cli::AudioOptions audio;
  std::optional<vb::gdb::ServerOptions> gdb;
  std::string gdb_bind;
  bool gdb_run = false;
  bool help = false;
};

double parse_number(const std::string& opt, const std::string& text, double min) {
  try {
    std::size_t used = 0;
    const double v = std::stod(text, &used);
    if (used == text.size() && v >= min) return v;
  } catch (const std::exception&) {
  }
  throw std::invalid_argument(opt + " needs a number of at least " + std::to_string(static_cast<long>(min)) +
                              ", not '" + text + "'");
}

// The host's local time, as the external RTC chip would have kept it while
// the board was off; outside 2000-2099 the board's default instead.
vb::BcdCalendar host_local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return vb::parse_calendar(text).value_or(vb::TcxoRtcOptions{}.start);
}

Options parse(int argc, char** argv) {
  Options o;
  o.board.rtc_chip.start = host_local_time();
  o.board.usb_cable = true;  // the virtual COM port's host is there from power-up
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::optional<std::string> value;
    if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    auto need_value = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--ms") {
      o.run.run_ms = parse_number(a, need_value(), 0);
    } else if (a == "--fast") {
      o.run.real_time = false;
    } else if (a == "--no-hse") {
      o.board.hse_clock = false;
    } else if (a == "--no-lse") {
      o.board.lse_clock = false;
    } else if (a == "--rtc") {
      const std::string t = need_value();
      const auto start = vb::parse_calendar(t);
      if (!start) throw std::invalid_argument("--rtc needs a time in 2000-2099 like 2026-12-06T10:59:50, not '" + t + "'");
      o.board.rtc_chip.start = *start;
    } else if (a == "--rtc-chip") {
      const std::string m = need_value();
      using Fit = vb::TcxoRtcOptions::Fit;
      if (m == "present") o.board.rtc_chip.fit = Fit::kPresent;
      else if (m == "absent") o.board.rtc_chip.fit = Fit::kAbsent;
      else if (m == "stuck-low") o.board.rtc_chip.fit = Fit::kStuckLow;
      else throw std::invalid_argument("--rtc-chip takes present, absent or stuck-low, not '" + m + "'");
    } else if (a == "--usart2") {
      o.usart2 = need_value();
      if (o.usart2 != "pty" && o.usart2 != "loopback" && o.usart2 != "none")
        throw std::invalid_argument("--usart2 takes pty, loopback or none, not '" + o.usart2 + "'");
    } else if (a == "--usb-unplugged") {
      o.board.usb_cable = false;
    } else if (a == "--no-skip") {
      o.board.idle_skip = false;
    } else if (a == "--seed") {
      const std::string t = need_value();
      std::size_t used = 0;
      try { o.board.seed = std::stoull(t, &used, 0); } catch (const std::exception&) { used = 0; }
      if (t.empty() || t[0] == '-' || used != t.size()) throw std::invalid_argument("--seed needs a whole number, not '" + t + "'");
    } else if (a == "--gdb") {
      o.gdb.emplace();
      // The port is optional: a following number (or --gdb=PORT).
      std::string port;
      if (value) port = *value;
      else if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1].find_first_not_of("0123456789") == std::string::npos)
        port = args[++i];
      if (!port.empty()) o.gdb->port = static_cast<int>(parse_number(a, port, 1));
      if (o.gdb->port > 65535) throw std::invalid_argument("--gdb needs a TCP port of 1-65535, not '" + port + "'");
    } else if (a == "--gdb-bind") {
      o.gdb_bind = need_value();
    } else if (a == "--gdb-run") {
      o.gdb_run = true;
    } else if (a == "--cpi") {
      o.board.cpi = static_cast<unsigned>(parse_number(a, need_value(), 1));
    } else if (vb::cli::parse_audio_option(a, need_value, o.audio)) {
    } else if (!a.empty() && a[0] == '-') {
      throw std::invalid_argument("unknown option " + a);
    } else if (o.board.elf.empty()) {
      o.board.elf = a;
    } else {
      throw std::invalid_argument("more than one image given ('" + o.board.elf + "' and '" + a + "')");
    }
  }
  if ((!o.gdb_bind.empty() || o.gdb_run) && !o.gdb) throw std::invalid_argument("--gdb-bind and --gdb-run need --gdb");
  if (o.gdb) {
    if (!o.gdb_bind.empty()) o.gdb->bind = o.gdb_bind;
    o.gdb->start_halted = !o.gdb_run;
  }
  return o;
}

void on_sigint(int) { vb::cli::Runner::stop_requested().store(true); }

}  // namespace

int main(int argc, char** argv) {
  Options opts;
  try {
    opts = parse(argc, argv);
  } catch (const std::invalid_argument& e) {
    std::cerr << "vboard: " << e.what() << "\n\n" << kUsage;
    return kExitUsage;
  }
  if (opts.help) {
    std::cout << kUsage;
    return 0;
  }

  std::optional<vb::Board> board;
  try {
    board.emplace(opts.board);
  } catch (const std::exception& e) {
    std::cerr << "vboard: " << e.what() << "\n";
    return kExitUsage;
  }
  vb::Machine& m = board->m();
  for (const std::string& msg : m.messages()) std::cerr << "[board] " << msg << "\n";
  m.set_message_sink([](const std::string& msg) { std::cerr << "[board] " << msg << std::endl; });
  if (auto loop = m.find_symbol("fast_loop")) m.stats().watch_pc = *loop;

  std::signal(SIGINT, on_sigint);
  vb::cli::Runner runner(*board, opts.run);
  const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  try {
    if (terminal) {
      std::cerr << "[board] console on this terminal: Ctrl-] q quits, Ctrl-] ? lists the board commands\n";
      auto console = std::make_unique<vb::cli::TerminalConsole>(*board, STDIN_FILENO, STDOUT_FILENO);
      console->add_command({'u', "plug or unplug the USB cable", [](vb::Board& b) {
                              std::cerr << "\r\n[board] " << vb::cli::toggle_usb_cable(b.usb_host()) << "\r\n";
                            }});
      runner.add_link(std::move(console));
    } else {
      runner.add_link(std::make_unique<vb::cli::ConsoleCapture>(*board, STDOUT_FILENO));
    }
    if (auto audio = vb::cli::make_audio_out(*board, opts.audio, opts.run.real_time)) runner.add_link(std::move(audio));
    const std::string usart2 = opts.usart2.empty() ? (terminal ? "pty" : "none") : opts.usart2;
    if (usart2 == "pty") {
      auto pty = std::make_unique<vb::cli::PtyPort>(board->usart2());
      std::cerr << "[board] USART2 on " << pty->path() << "\n";
      runner.add_link(std::move(pty));
    } else if (usart2 == "loopback") {
      runner.add_link(std::make_unique<vb::cli::LoopBack>(board->usart2()));
    }
    // The USB virtual COM port, on a pseudo-terminal of its own.
    auto usb = std::make_unique<vb::cli::UsbPty>(board->usb_host());
    std::cerr << "[board] USB virtual COM port on " << usb->path()
              << (opts.board.usb_cable ? "" : " (cable unplugged)") << "\n";
    runner.add_link(std::move(usb));
  } catch (const std::runtime_error& e) {
    std::cerr << "vboard: " << e.what() << "\n";
    return kExitUsage;
  }
  std::unique_ptr<vb::gdb::Server> gdb;
  if (opts.gdb) {
    try {
      gdb = std::make_unique<vb::gdb::Server>(*board, *opts.gdb);
    } catch (const std::runtime_error& e) {
      std::cerr << "vboard: " << e.what() << "\n";
      return kExitUsage;
    }
    std::cerr << "[board] GDB server on " << opts.gdb->bind << ":" << gdb->port()
              << (opts.gdb->start_halted ? ", the core halted at the reset vector" : "") << "\n";
    runner.set_debugger(gdb.get());
  }
  const vb::cli::RunResult result = runner.run();

  std::cerr << "\n" << vb::cli::format_statistics(m, result);
  if (result.faulted) {
    std::cerr << "\nvboard: the firmware faulted:\n" << m.fault_report() << "\n";
    return kExitFault;
  }
  return 0;
}
