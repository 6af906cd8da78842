// vboard's front panel: the button commands behind Ctrl-] (b a press, h a
// hold, d a double press, l the LEDs and beeper now) and the --trace lines
// that show every LED switching on or off and every beeper tone as it
// changes.
#pragma once
#include <string>
#include <vector>

#include "sim/cli/runner.hpp"
#include "sim/cli/serial_links.hpp"

namespace vb::cli {

// b: a 150 ms press; h: held 1 s; d: 100 ms press, 150 ms pause, press held
// 400 ms; l: the LED and beeper state.
std::vector<BoardCommand> front_panel_commands();
// "LEDs 1:45% 2:off 3:off 4:45%  beeper off" (or "beeper 1000 Hz 50%").
std::string front_panel_status(Board& board);

// Writes a line to stderr whenever an LED goes on or off or the beeper's
// tone changes, with the device time.
class FrontPanelTrace : public HostLink {
public:
  void poll(Board& board) override;

private:
  std::uint64_t leds_seen_ = 0, beeps_seen_ = 0;  // records since power-up
  unsigned lit_ = 0;
  std::string tone_ = "beeper off";  // the beeper as the trace last showed it
};

}  // namespace vb::cli
