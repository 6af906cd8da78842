#include "sim/cli/options.hpp"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <utility>

#include "sim/periph/bcd_calendar.hpp"

namespace vb::cli {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// A whole decimal number, nothing else: no sign, no spaces, no base prefix,
// no fraction or exponent, nothing that does not fit 64 bits. Returns the
// problem, or an empty string with `out` set.
std::string decimal(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
  const std::string range = " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")";
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return "'" + text + "' is not a whole decimal number";
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc::result_out_of_range || v < min || v > max) return text + range;
  out = v;
  return {};
}

// Where a listener (--gdb, --usbip, --web) accepts connections: a numeric IPv4 or
// IPv6 address, or localhost for 127.0.0.1. One rule for every listener.
// Returns the problem, or an empty string with `out` set.
std::string bind_address(const std::string& text, std::string& out) {
  if (text == "localhost") {
    out = "127.0.0.1";
    return {};
  }
  in6_addr scratch{};
  if (inet_pton(AF_INET, text.c_str(), &scratch) != 1 && inet_pton(AF_INET6, text.c_str(), &scratch) != 1)
    return "needs a numeric IPv4 or IPv6 address or localhost, not '" + text + "'";
  out = text;
  return {};
}

// The options that say where a listener binds, each with its listener: a
// bind address without its listener is refused.
const std::pair<const char*, const char*> kBindOptions[] = {
    {"--gdb-bind", "--gdb"},
    {"--usbip-bind", "--usbip"},
    {"--web-bind", "--web"},
};

constexpr std::size_t kNameColumn = 20, kHelpWidth = 80 - kNameColumn;

// Help text broken into lines at spaces to fit beside the option names.
std::string wrap(const std::string& text) {
  std::string out, line;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(pos, end - pos);
    if (!line.empty() && line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    pos = end + 1;
  }
  return out + line;
}

// The declarations: one call per option. The parser and the help text both
// come from here.
class Declare {
public:
  explicit Declare(CLI::App& app) : app_(app) {}

  // An option without a value.
  void flag(const std::string& name, std::function<void()> set, const std::string& help) {
    app_.add_flag_callback(name, std::move(set), wrap(help));
  }

  // A whole decimal number in [min, max].
  void integer(const std::string& name, std::uint64_t min, std::uint64_t max, std::function<void(std::uint64_t)> set,
               const std::string& help) {
    value(name, "N", [=](const std::string& text) {
      std::uint64_t v = 0;
      std::string problem = decimal(text, min, max, v);
      if (problem.empty()) set(v);
      return problem;
    }, help);
  }

  // One of a few words, each with what it does.
  void choice(const std::string& name, std::map<std::string, std::function<void()>> words, const std::string& help) {
    std::string list;
    for (auto it = words.begin(); it != words.end(); ++it)
      list += (it == words.begin() ? "" : std::next(it) == words.end() ? " or " : ", ") + it->first;
    value(name, "WORD", [words, list](const std::string& text) -> std::string {
      const auto it = words.find(text);
      if (it == words.end()) return "takes " + list + ", not '" + text + "'";
      it->second();
      return {};
    }, help);
  }

  // A listener's bind address (see bind_address), stored in `target`.
  void bind(const std::string& name, std::string& target, const std::string& help) {
    value(name, "ADDR", [&target](const std::string& a) { return bind_address(a, target); }, help);
  }

  // A value checked and stored by `set`, which returns the problem or "".
  void value(const std::string& name, const std::string& type, std::function<std::string(const std::string&)> set,
             const std::string& help) {
    app_.add_option(name, [name, set](const CLI::results_t& r) {
          const std::string problem = set(r.front());
          if (!problem.empty()) throw CLI::ValidationError(name + ": " + problem);
          return true;
        }, wrap(help))
        ->type_name(type)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // the last one given counts
  }

private:
  CLI::App& app_;
};

const char kDescription[] =
    "Boots the talking clock's firmware image on the virtual board and runs it, in real\n"
    "time unless --fast is given. Without an image it runs the one this tree builds.\n"
    "\n"
    "On a terminal, the terminal is the console (USART3) in raw mode: every key goes to\n"
    "the firmware, Ctrl-C included. Ctrl-] q quits, Ctrl-] z suspends, Ctrl-] ? lists\n"
    "the board commands. Started in the background, vboard leaves the terminal alone\n"
    "and puts the console on a pseudo-terminal whose path it prints. Otherwise stdout\n"
    "gets the console's bytes unchanged, stdin (a pipe or file) is sent to the console\n"
    "at its line rate, Ctrl-C stops the run, and at the end of stdin the board runs on.\n"
    "Board messages and the run statistics go to stderr.\n";

const char kFooter[] =
    "The run ends after --ms of device time, on Ctrl-] q or Ctrl-C (a terminal: Ctrl-] q),\n"
    "SIGTERM or SIGHUP, or when the firmware faults; without --ms it goes on until\n"
    "stopped.\n"
    "\n"
    "Exit status: 0 after a normal run (time up, Ctrl-] q, Ctrl-C), 1 when the firmware\n"
    "faulted, 2 on a usage or image error or a port a listener cannot have, 3 when the\n"
    "console's terminal closed or its output could not be written, 128+N when signal N\n"
    "ended the run (SIGHUP 129, SIGTERM 143).";

// Every option vboard takes. Adding one is one more line here.
void declare(CLI::App& app, Options& o) {
  Declare d(app);
  d.integer("--ms", 1, 1'000'000'000'000, [&o](std::uint64_t v) { o.run.run_ms = static_cast<double>(v); },
            "run N milliseconds of device time (1 to 10^12), then stop; without it the run goes on until stopped");
  d.flag("--fast", [&o] { o.run.real_time = false; }, "run as fast as the host allows (no real-time pacing)");
  d.flag("--no-hse", [&o] { o.board.hse_clock = false; }, "board without the 8 MHz clock signal on OSC_IN");
  d.flag("--no-lse", [&o] { o.board.lse_clock = false; }, "board without the 32.768 kHz clock signal on OSC32_IN");
  d.value("--rtc", "TIME", [&o](const std::string& t) -> std::string {
    const auto start = vb::parse_calendar(t);
    if (!start) return "needs a time in 2000-2099 like 2026-12-06T10:59:50, not '" + t + "'";
    o.board.rtc_chip.start = *start;
    return {};
  }, "time the external RTC chip holds at power-up, like 2026-12-06T10:59:50 (default: the host's local time)");
  using Fit = vb::TcxoRtcOptions::Fit;
  d.choice("--rtc-chip",
           {{"present", [&o] { o.board.rtc_chip.fit = Fit::kPresent; }},
            {"absent", [&o] { o.board.rtc_chip.fit = Fit::kAbsent; }},
            {"stuck-low", [&o] { o.board.rtc_chip.fit = Fit::kStuckLow; }}},
           "the external RTC chip: present (default), absent (its data line floats high) or stuck-low");
  d.integer("--cpi", 1, 1000, [&o](std::uint64_t v) { o.board.cpi = static_cast<unsigned>(v); },
            "core cycles per instruction, 1 to 1000 (default 1)");
  d.flag("--no-skip", [&o] { o.board.idle_skip = false; },
         "run every pass of the idle main loop and of polling loops (by default passes that provably repeat, or "
         "only count, are skipped; the firmware sees no difference)");
  d.choice("--usart2",
           {{"pty", [&o] { o.usart2 = "pty"; }},
            {"loopback", [&o] { o.usart2 = "loopback"; }},
            {"none", [&o] { o.usart2 = "none"; }}},
           "USART2's far end: pty (a pseudo-terminal; the default on a terminal), loopback (TX wired to RX) or none "
           "(the default otherwise)");
  d.integer("--seed", 0, kU64Max, [&o](std::uint64_t v) { o.board.seed = v; },
            "seed of the power-up RAM contents and the other values the chip leaves UNKNOWN, 0 to 2^64-1 "
            "(default: a fixed seed); the same seed gives the same run");
  d.value("--wav", "FILE", [&o](const std::string& f) -> std::string {
    if (f.empty()) return "needs a file name";
    o.audio.wav = f;
    return {};
  }, "record the audio output (the DAC: 8-bit unsigned mono, 8000 samples/s) into the WAV file FILE, playable "
     "while it grows");
  d.flag("--audio", [&o] { o.audio.live = true; },
         "also play the audio output live through the host's sound system (pacat or aplay; not with --fast)");
  d.integer("--usbip", 1, 65535, [&o](std::uint64_t v) {
    o.usbip = true;
    o.usbip_opts.port = static_cast<int>(v);
  }, "export the USB device over USB/IP as bus id 1-1 on TCP port N (1 to 65535; without N: 3240) instead of "
     "the USB pseudo-terminal; a Linux host attaches it with 'usbip attach -r HOST -b 1-1'");
  d.bind("--usbip-bind", o.usbip_opts.bind,
         "with --usbip: listen on ADDR (a numeric IPv4 or IPv6 address, or localhost) instead of 127.0.0.1");
  d.value("--usb-pcap", "FILE", [&o](const std::string& f) -> std::string {
    if (f.empty()) return "needs a file name";
    o.usb_pcap = f;
    return {};
  }, "write every USB transfer into FILE, a usbmon pcap capture that Wireshark and tshark read (readable while "
     "it grows)");
  d.integer("--gdb", 1, 65535, [&o](std::uint64_t v) {
    if (!o.gdb) o.gdb.emplace();
    o.gdb->port = static_cast<int>(v);
  }, "serve GDB's remote protocol on TCP port N (1 to 65535; without N: 3333); the board starts halted at the "
     "reset vector until the debugger continues it");
  d.bind("--gdb-bind", o.gdb_bind,
         "with --gdb: listen on ADDR (a numeric IPv4 or IPv6 address, or localhost) instead of 127.0.0.1");
  d.flag("--gdb-run", [&o] { o.gdb_run = true; }, "with --gdb: start running instead of halted");
  // The front panel in a browser.
  d.integer("--web", 0, 65535, [&o](std::uint64_t v) {
    if (!o.web) o.web.emplace();
    o.web->port = static_cast<int>(v);
  }, "serve the front panel (LEDs, button, sound, both consoles, the cable) to browsers on TCP port N (0 to "
     "65535, 0 for any free one; without N: 8080) and print its URL");
  d.bind("--web-bind", o.web_bind,
         "with --web: listen on ADDR (a numeric IPv4 or IPv6 address, or localhost) instead of 127.0.0.1 (the "
         "page has no authentication: use another address only on a network you trust)");
  d.flag("--trace", [&o] { o.trace = true; },
         "show every LED going on or off and every beeper tone on stderr (on a terminal Ctrl-] b, h, d press the "
         "button; Ctrl-] l shows the LEDs)");
  d.flag("--usb-unplugged", [&o] { o.board.usb_cable = false; },
         "start with the USB cable unplugged (on a terminal Ctrl-] u plugs it in)");
  app.add_option("image", o.board.elf, wrap("the firmware ELF image (default: the one this tree builds)"))
      ->type_name("");
}

std::unique_ptr<CLI::App> make_app(Options& o) {
  auto app = std::make_unique<CLI::App>(kDescription, "vboard");
  app->footer(kFooter);
  app->get_formatter()->column_width(kNameColumn);
  app->set_help_flag("-h,--help", "this text");
  app->allow_extras();  // reported below, in the order given
  app->get_formatter()->label("OPTIONS", "options");
  declare(*app, o);
  return app;
}

}  // namespace

Options parse_options(const std::vector<std::string>& args, Options defaults) {
  Options o = std::move(defaults);
  auto app = make_app(o);
  // --usbip, --gdb and --web take their port only when a number follows; alone they
  // mean the default port (so `--gdb image.elf` keeps the image).
  std::vector<std::string> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const char* port = a == "--usbip" ? "3240" : a == "--gdb" ? "3333" : a == "--web" ? "8080" : nullptr;
    if (!port) {
      given.push_back(a);
    } else if (i + 1 < args.size() && !args[i + 1].empty() &&
               args[i + 1].find_first_not_of("0123456789") == std::string::npos) {
      given.push_back(a + "=" + args[++i]);
    } else {
      given.push_back(a + "=" + port);
    }
  }
  // CLI11 takes the arguments last to first.
  std::vector<std::string> reversed(given.rbegin(), given.rend());
  try {
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    o.help = true;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  bool after_dashes = false;  // "--": what follows is an image, whatever it looks like
  for (const std::string& extra : app->remaining()) {
    if (extra == "--" && !after_dashes) {
      after_dashes = true;
    } else if (!after_dashes && extra.size() > 1 && extra[0] == '-') {
      throw UsageError("unknown option " + extra);
    } else if (o.board.elf.empty()) {
      o.board.elf = extra;
    } else {
      throw UsageError("more than one image given ('" + o.board.elf + "' and '" + extra + "')");
    }
  }
  // A bind address and --gdb-run refine their listener, which may come
  // after them.
  for (const auto& [bind, listener] : kBindOptions)
    if (app->count(bind) > 0 && app->count(listener) == 0)
      throw UsageError(std::string(bind) + " needs " + listener);
  if (o.gdb_run && !o.gdb) throw UsageError("--gdb-run needs --gdb");
  if (o.gdb) {
    if (!o.gdb_bind.empty()) o.gdb->bind = o.gdb_bind;
    o.gdb->start_halted = !o.gdb_run;
  }
  if (o.web && !o.web_bind.empty()) o.web->bind = o.web_bind;
  return o;
}

std::string help_text() {
  Options scratch;
  return make_app(scratch)->help();
}

}  // namespace vb::cli
