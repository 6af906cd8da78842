// vboard: runs the clock's firmware image on the virtual board.
//
//   vboard [options] [firmware.elf]
//
// On a terminal the console (USART3) is the terminal itself in raw mode, with
// board commands after Ctrl-]; USART2 is on a pseudo-terminal. Otherwise
// stdout receives exactly the bytes the console sends and stdin (a pipe or
// file) is typed into the console at its line rate.
// Board messages and the run statistics go to stderr; the exit status says
// how the run ended (see help_text()).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/cli/audio_out.hpp"
#include "sim/cli/options.hpp"
#include "sim/cli/front_panel.hpp"
#include "sim/cli/runner.hpp"
#include "sim/cli/serial_links.hpp"
#include "sim/cli/usb_link.hpp"
#include "sim/usbhost/pcap_writer.hpp"
#include "sim/gdb/gdb_server.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/usbhost/usbip_server.hpp"
#include "sim/periph/bcd_calendar.hpp"
#include "sim/web/panel_link.hpp"

namespace {

// The USB/IP server, served between slices of device time.
class UsbIpLink : public vb::cli::HostLink {
public:
  explicit UsbIpLink(std::unique_ptr<vb::UsbIpServer> s) : server_(std::move(s)) {}
  void poll(vb::Board&) override { server_->poll(); }

private:
  std::unique_ptr<vb::UsbIpServer> server_;
};

// The host's local time, as the external RTC chip would have kept it while
// the board was off; outside 2000-2099 the board's default instead.
vb::BcdCalendar host_local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return vb::parse_calendar(text).value_or(vb::TcxoRtcOptions{}.start);
}

// A message that stays on one line whatever the user typed: control
// characters (a newline inside an argument or a file name) shown escaped.
std::string one_line(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", u);
      out += esc;
    }
  }
  return out;
}

// Where a listener listens, as a client names it: "127.0.0.1:3333",
// "[::1]:3333" (an IPv6 address in brackets, so the port stands apart).
std::string listen_text(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// SIGINT, SIGTERM, SIGHUP: the run ends after the current slice with its
// statistics. The same signal again while it ends (say, stuck writing to a
// reader that has stopped) ends the process at once.
void on_stop_signal(int sig) {
  if (vb::cli::Runner::stop_requested()) {
    vb::cli::restore_console_terminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  vb::cli::Runner::request_stop(sig);
}

// A standard descriptor the caller closed is opened on /dev/null, so that
// no file vboard opens later (the image, a pseudo-terminal) takes its place
// and gets console bytes written into it.
void fill_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);  // the lowest free number: fd
    if (null >= 0 && null != fd) ::close(null);
  }
}

void install_signal_handlers() {
  struct sigaction sa{};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // Continued after a stop (kill -TSTP, a shell's Ctrl-Z): pacing starts
  // again from now. The console on a terminal installs its own, which does
  // this as well.
  sa.sa_handler = [](int) { vb::cli::Runner::note_continued(); };
  sigaction(SIGCONT, &sa, nullptr);
  // A reader that goes away shows up as a failed write (EPIPE), reported.
  std::signal(SIGPIPE, SIG_IGN);
}

// Degradations the user would otherwise only notice as a slow or odd run,
// said once at the start.
void report_degradations(vb::Machine& m) {
  if (m.find_symbol("fast_loop")) return;
  // An image with symbols names functions in reports; without the main
  // loop's symbol it only loses what that symbol gives.
  const bool symbols = m.symbol_at(m.read32(0x08000004) & ~1u).find("0x") != 0;
  std::string what = symbols ? "the image has no symbol fast_loop (the main loop's head)"
                             : "the image has no symbol table";
  what += ": the idle main loop is not fast-forwarded (much slower), the worst main-loop pass is not measured";
  if (!m.find_symbol("hndl_TRAP")) what += ", the trap handler (hndl_TRAP) is not caught";
  if (!symbols) what += ", and reports show bare addresses";
  std::cerr << "[board] " << what << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vb::cli;
  fill_closed_standard_descriptors();
  Options opts;
  try {
    Options defaults;
    defaults.board.rtc_chip.start = host_local_time();
    defaults.board.usb_cable = true;  // the virtual COM port's host is there from power-up
    opts = parse_options(std::vector<std::string>(argv + 1, argv + argc), defaults);
  } catch (const UsageError& e) {
    std::cerr << "vboard: " << one_line(e.what()) << " (see vboard --help)\n";
    return kExitUsage;
  }
  if (opts.help) {
    std::cout << help_text();
    return std::cout.flush() ? kExitOk : kExitUsage;
  }
  install_signal_handlers();

  std::optional<vb::Board> board;
  try {
    board.emplace(opts.board);
  } catch (const std::exception& e) {
    std::cerr << "vboard: " << one_line(e.what()) << "\n";
    return kExitUsage;
  }
  vb::Machine& m = board->m();
  for (const std::string& msg : m.messages()) std::cerr << "[board] " << msg << "\n";
  vb::web::PanelLink* panel = nullptr;  // the front panel's link, with --web: it shows the messages too
  m.set_message_sink([&panel](const std::string& msg) {
    board_line("[board] " + msg);
    if (panel) panel->board_message(msg);
  });
  if (auto loop = m.find_symbol("fast_loop")) m.stats().watch_pc = *loop;
  report_degradations(m);

  // Every listener listens before anything else is set up, so that an
  // address or port it cannot have is the only thing said.
  std::unique_ptr<vb::web::Server> web_server;
  std::unique_ptr<vb::UsbIpServer> usbip_server;
  std::unique_ptr<vb::gdb::Server> gdb;
  try {
    if (opts.web) {
      opts.web->root = WEB_ROOT;
      web_server = std::make_unique<vb::web::Server>(*opts.web);
    }
    if (opts.usbip) {
      // The remote host enumerates and opens the device itself.
      board->usb_host().set_auto_enumerate(false);
      usbip_server = std::make_unique<vb::UsbIpServer>(m, board->usb_host(), board->otg_fs(), opts.usbip_opts);
    }
    if (opts.gdb) gdb = std::make_unique<vb::gdb::Server>(*board, *opts.gdb);
  } catch (const std::runtime_error& e) {
    std::cerr << "vboard: " << one_line(e.what()) << "\n";
    return kExitUsage;
  }

  std::unique_ptr<vb::PcapWriter> pcap;  // outlives the runner: closed on every way out of main
  Runner runner(*board, opts.run);
  const bool interactive = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  // Started in the background (`vboard &`): the terminal stays the shell's
  // (no raw mode, no reads, which would stop the run); the console goes on
  // a pseudo-terminal of its own instead.
  const bool terminal = interactive && in_terminal_foreground(STDIN_FILENO);
  try {
    if (interactive && !terminal) {
      auto pty = std::make_unique<PtyPort>(board->usart3());
      std::cerr << "[board] running in the background, so the console is not on this terminal: USART3 on "
                << pty->path() << " (open it with a serial program)\n";
      runner.add_link(std::move(pty));
    } else if (terminal) {
      auto console = std::make_unique<TerminalConsole>(*board, STDIN_FILENO, STDOUT_FILENO);
      console->add_command({'u', "plug or unplug the USB cable", [](vb::Board& b) {
                              board_line("[board] " + toggle_usb_cable(b.usb_host()));
                            }});
      for (auto& cmd : vb::cli::front_panel_commands()) console->add_command(std::move(cmd));
      runner.add_link(std::move(console));
      std::cerr << "[board] console on this terminal: Ctrl-] q quits, Ctrl-] ? lists the board commands\n";
    } else {
      runner.add_link(std::make_unique<ConsoleCapture>(*board, STDOUT_FILENO));
      // A terminal on stdin alone stays the shell's: reading it would stop a
      // run started in the background.
      if (!isatty(STDIN_FILENO)) runner.add_link(std::make_unique<ConsoleInput>(STDIN_FILENO));
    }
    if (opts.trace) runner.add_link(std::make_unique<FrontPanelTrace>());
    if (auto audio = make_audio_out(*board, opts.audio, opts.run.real_time)) runner.add_link(std::move(audio));
    const std::string usart2 = opts.usart2.empty() ? (interactive ? "pty" : "none") : opts.usart2;
    if (usart2 == "pty") {
      auto pty = std::make_unique<PtyPort>(board->usart2());
      std::cerr << "[board] USART2 on " << pty->path() << "\n";
      runner.add_link(std::move(pty));
    } else if (usart2 == "loopback") {
      runner.add_link(std::make_unique<LoopBack>(board->usart2()));
    }
    if (!opts.usb_pcap.empty()) {
      pcap = std::make_unique<vb::PcapWriter>(opts.usb_pcap);
      pcap->attach(board->usb_host());
      std::cerr << "[board] USB capture into " << opts.usb_pcap << "\n";
    }
    vb::UsbIpServer* usbip = nullptr;
    UsbPty* usb_pty = nullptr;
    if (usbip_server) {
      usbip = usbip_server.get();
      usbip->set_message_sink([](const std::string& msg) { board_line("[board] " + msg); });
      std::cerr << "[board] USB device exported over USB/IP on " << listen_text(usbip->address(), usbip->port())
                << " as bus id 1-1" << (opts.board.usb_cable ? "" : " (cable unplugged)") << "\n";
      runner.add_link(std::make_unique<UsbIpLink>(std::move(usbip_server)));
    } else {
      // The USB virtual COM port, on a pseudo-terminal of its own.
      auto usb = std::make_unique<UsbPty>(board->usb_host());
      usb_pty = usb.get();
      std::cerr << "[board] USB virtual COM port on " << usb->path()
                << (opts.board.usb_cable ? "" : " (cable unplugged)") << "\n";
      runner.add_link(std::move(usb));
    }
    if (opts.web) {
      // Last: the panel shows the console and USB bytes the links above show.
      vb::web::PanelOptions po;
      po.usb_terminal = !opts.usbip;
      po.usb_host = [usbip] {
        if (!usbip) return std::string("host model (Linux cdc_acm)");
        return std::string(usbip->attached() ? "USB/IP client" : "USB/IP export, no client");
      };
      auto link = std::make_unique<vb::web::PanelLink>(*board, std::move(web_server), po);
      panel = link.get();
      // The page's USB terminal counts as a program with the port open.
      if (usb_pty) usb_pty->share_with([panel] { return panel->pages_attached(); });
      std::cerr << "[board] front panel on " << panel->server().url() << "\n";
      runner.add_link(std::move(link));
    }
  } catch (const std::runtime_error& e) {
    std::cerr << "vboard: " << e.what() << "\n";
    return kExitUsage;
  }
  if (gdb) {
    std::cerr << "[board] GDB server on " << listen_text(opts.gdb->bind, gdb->port())
              << (opts.gdb->start_halted ? ", the core halted at the reset vector" : "") << "\n";
    runner.set_debugger(gdb.get());
  }
  const RunResult result = runner.run();
  panel = nullptr;  // closed with the run; later messages go to stderr only

  std::cerr << "\n" << format_statistics(m, result);
  if (result.signal != 0) std::cerr << "vboard: stopped by " << strsignal(result.signal) << "\n";
  if (!result.link_failure.empty()) std::cerr << "vboard: " << result.link_failure << "\n";
  if (result.faulted) std::cerr << "\nvboard: the firmware faulted:\n" << m.fault_report() << "\n";
  return exit_status(result);
}
