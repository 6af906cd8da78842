// vboard --web: the link between the running board and the front panel's
// server. Between two slices of device time it
//  - applies what the page holding the controls asked for (the button held
//    and released, the USB cable, bytes typed into either console), as the
//    terminal's board commands do, at the slice boundary;
//  - hands the server what the page shows: console and USB bytes, the DAC's
//    samples, the LEDs' brightness, the beeper's tones with their device
//    times, the status line and the board's messages.
// It only observes the board otherwise: a run with pages attached that ask
// for nothing is the run without them, byte for byte.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/cli/runner.hpp"
#include "sim/web/button_timeline.hpp"
#include "sim/web/server.hpp"

namespace vb {
class AudioSink;
}

namespace vb::web {

struct PanelOptions {
  // The USB port can carry the page's USB terminal (false while the device
  // is exported over USB/IP: the remote host owns the port).
  bool usb_terminal = true;
  // Who is at the far end of the cable ("host model", "USB/IP client ...").
  std::function<std::string()> usb_host;
};

class PanelLink : public cli::HostLink {
public:
  // Chains itself behind the console's and the USB port's current
  // receivers: create it after the links that show those bytes elsewhere.
  PanelLink(Board& board, std::unique_ptr<Server> server, PanelOptions opts);
  ~PanelLink() override;

  void poll(Board& board) override;
  void close(Board& board) override;

  // A board message, also shown on the page's message line (board thread).
  void board_message(const std::string& text);
  // Pages are connected now (any thread).
  bool pages_attached() const { return server_->clients() > 0; }
  Server& server() { return *server_; }

private:
  void apply(Board& board, const Incoming& in);
  void press(Board& board, int page, bool pressed, std::optional<double> page_ms);
  void feed_inputs(Board& board);
  void publish(Board& board, bool final);
  std::string panel_json(Board& board);
  std::string status_json(Board& board, double speed);

  Board& board_;
  std::unique_ptr<Server> server_;
  PanelOptions opts_;
  std::shared_ptr<AudioSink> sink_;

  // Bytes since the last publish.
  std::string console_out_, usb_out_;
  std::vector<std::uint8_t> audio_;
  std::uint64_t audio_first_ = 0;  // index of audio_[0] since power-up
  std::vector<std::string> messages_;
  // Typed bytes waiting for their line (bounded: see kTypedLimit).
  std::string console_in_, usb_in_;

  // Device time: cycles converted at the HCLK of each slice.
  double last_ms_ = 0;
  std::uint64_t beeps_seen_ = 0;
  std::string tones_;  // JSON items since the last publish

  ButtonTimeline button_;  // the page's presses and releases in device time

  using clock = std::chrono::steady_clock;
  clock::time_point last_publish_{}, last_status_{};
  double status_ms_ = 0;
  bool warned_typing_ = false;
};

}  // namespace vb::web
