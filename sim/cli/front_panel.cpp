#include "sim/cli/front_panel.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <iostream>

namespace vb::cli {

namespace {
std::string percent(double share) { return std::to_string(static_cast<int>(share * 100 + 0.5)) + "%"; }

std::string tone_text(const Beeper::Tone& t) {
  if (t.hz == 0) return "beeper off";
  char buf[48];
  std::snprintf(buf, sizeof buf, "beeper %.0f Hz %s", t.hz, percent(t.duty).c_str());
  return buf;
}

void say(const std::string& text) { board_line("[board] " + text); }

// The device time of a cycle count.
std::string at_ms(Board& board, cycles_t at) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f ms", board.m().device_ms_at(at));
  return buf;
}
}  // namespace

std::string front_panel_status(Board& board) {
  std::string s = "LEDs";
  const Leds::Levels levels = board.leds().levels();
  for (int i = 0; i < Leds::kCount; ++i)
    s += " " + std::to_string(i + 1) + ":" + (levels[i] > 0 ? percent(levels[i]) : std::string("off"));
  return s + "  " + tone_text(board.beeper().tone());
}

std::vector<BoardCommand> front_panel_commands() {
  return {
      {'b', "press the button (150 ms)", [](Board& b) {
         b.button().press(0, 150);
         say("button pressed for 150 ms");
       }},
      {'h', "hold the button (1 s)", [](Board& b) {
         b.button().press(0, 1000);
         say("button held for 1 s");
       }},
      {'d', "double press (100 ms, 150 ms pause, held 400 ms)", [](Board& b) {
         b.button().press(0, 100);
         b.button().press(250, 400);
         say("button double press");
       }},
      {'l', "show the LEDs and the beeper", [](Board& b) { say(front_panel_status(b)); }},
  };
}

// Records in the LED trace change with every step of the breathing, and
// one call of the firmware sets the four channels one after the other: only
// the lit set a slice ends with is shown, at the time it came about. Beeper
// tones that lasted under 0.1 ms (the first period of a new prescaler) are
// left out.
void FrontPanelTrace::poll(Board& board) {
  std::vector<std::pair<cycles_t, std::string>> lines;
  const auto& leds = board.leds().trace();
  const auto lit_of = [](const Leds::Record& r) {
    unsigned lit = 0;
    for (int i = 0; i < Leds::kCount; ++i)
      if (r.levels[i] > 0) lit |= 1u << i;
    return lit;
  };
  // Positions count every record since power-up; the trace keeps the latest.
  const std::uint64_t led_base = board.leds().trace_dropped(), led_total = led_base + leds.size();
  if (leds_seen_ < led_total) {
    std::size_t since = leds.size() - 1;
    const unsigned lit = lit_of(leds.back());
    while (since > 0 && led_base + since > leds_seen_ && lit_of(leds[since - 1]) == lit) --since;
    leds_seen_ = led_total;
    if (lit != lit_) {
      lit_ = lit;
      std::string s = "LEDs lit:";
      for (int i = 0; i < Leds::kCount; ++i) s += (lit >> i & 1) ? " " + std::to_string(i + 1) : std::string(" -");
      lines.emplace_back(leds[since].at, s);
    }
  }
  const cycles_t brief = board.m().clocks().hclk / 10'000;
  board.beeper().for_each_new_tone(beeps_seen_, brief, [&](const Beeper::Record& r) {
    // Changes only: the beeper is silent at power-up.
    std::string tone = tone_text(r.tone);
    if (tone == tone_) return;
    tone_ = tone;
    lines.emplace_back(r.at, std::move(tone));
  });
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [at, text] : lines) board_line("[panel] " + at_ms(board, at) + " " + text);
}

}  // namespace vb::cli
