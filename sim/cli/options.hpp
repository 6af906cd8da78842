// vboard's command line: every option is declared once (name, value, range,
// help line) and both the parser and --help come from those declarations.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/cli/audio_out.hpp"
#include <optional>

#include "sim/cli/runner.hpp"
#include "sim/gdb/gdb_server.hpp"
#include "sim/usbhost/usbip_server.hpp"
#include "sim/web/server.hpp"

namespace vb::cli {

struct Options {
  vb::BoardOptions board;
  RunOptions run;
  std::string usart2;  // "pty", "loopback", "none"; empty: pty on a terminal
  AudioOptions audio;  // recording and live playback of the audio output
  bool usbip = false;          // export the USB device over USB/IP
  vb::UsbIpOptions usbip_opts;  // where the export listens
  std::string usb_pcap;         // capture file of every USB transfer; empty: none
  std::optional<vb::gdb::ServerOptions> gdb;  // --gdb: serve a debugger
  std::string gdb_bind;  // --gdb-bind, applied to `gdb` once all options are read
  bool gdb_run = false;  // --gdb-run, likewise
  std::optional<vb::web::ServerOptions> web;  // --web: the front panel in a browser
  std::string web_bind;  // --web-bind, applied to `web` once all options are read
  bool trace = false;  // LED and beeper changes on stderr
  bool help = false;   // --help given: print help_text() and do nothing else
};

// A command line vboard cannot run with; what() is one line naming the
// option and the problem.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Parses the arguments after the program name. `defaults` holds what a
// missing option means (the caller fills in the host's time for --rtc).
Options parse_options(const std::vector<std::string>& args, Options defaults);

// The --help text.
std::string help_text();

}  // namespace vb::cli
