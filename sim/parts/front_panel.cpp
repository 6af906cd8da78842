#include "sim/parts/front_panel.hpp"

#include "sim/core/machine.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/timer.hpp"

namespace vb {

namespace {
// A pin driven by a timer channel through one alternate function.
struct TimedPin {
  Pin pin;
  unsigned af;
  int channel;  // 0-3
};

constexpr TimedPin kLedPins[Leds::kCount] = {{PD(12), 2, 0}, {PD(13), 2, 1}, {PD(14), 2, 2}, {PD(15), 2, 3}};
constexpr TimedPin kBeeperPin = {PB(8), 3, 0};

cycles_t ms_to_cycles(const Machine& m, double ms) {
  return static_cast<cycles_t>(ms * m.clocks().hclk / 1000.0);
}

// The signal on the pin; nothing (undriven) when the pin is not in that
// alternate function.
ChannelOutput pin_signal(Gpio& gpio, Timer& timer, const TimedPin& p) {
  if (gpio.mode(p.pin) != Gpio::Mode::kAlternate || gpio.alternate_function(p.pin) != p.af) return {};
  return timer.output(p.channel);
}
}  // namespace

Leds::Leds(Machine& m, Gpio& gpio, Timer& tim4) : m_(m), gpio_(gpio), tim_(tim4) {
  tim_.on_output_change([this] { refresh(); });
}

// An LED is lit for the share of the period its pin is high; a pin the
// timer does not drive leaves it dark.
void Leds::refresh() {
  Levels now{};
  for (int i = 0; i < kCount; ++i) {
    const ChannelOutput out = pin_signal(gpio_, tim_, kLedPins[i]);
    now[i] = out.driven ? out.duty : 0;
  }
  if (now == current_ && !trace_.records().empty()) return;
  current_ = now;
  trace_.push({m_.now(), now});
}

Beeper::Beeper(Machine& m, Gpio& gpio, Timer& tim10) : m_(m), gpio_(gpio), tim_(tim10) {
  tim_.on_output_change([this] { refresh(); });
}

// The beeper sounds only for a wave; a constant level is silence.
void Beeper::refresh() {
  const ChannelOutput out = pin_signal(gpio_, tim_, kBeeperPin);
  const Tone now = out.driven && out.hz > 0 ? Tone{out.hz, out.duty} : Tone{};
  if (now == current_ && !trace_.records().empty()) return;
  current_ = now;
  trace_.push({m_.now(), now});
}

Button::Button(Machine& m, PinIo& pins) : m_(m), pins_(pins) { pins_.drive(kPin, Drive::kPullDown); }

void Button::set(bool pressed) {
  pressed_ = pressed;
  pins_.drive(kPin, pressed ? Drive::kHigh : Drive::kPullDown);
}

void Button::chatter(cycles_t at, bool settle_to, double bounce_ms) {
  const cycles_t step = ms_to_cycles(m_, bounce_ms / 4);
  for (int i = 0; i < 4; ++i) {
    const bool level = (i % 2 == 0) ? settle_to : !settle_to;
    m_.scheduler().at(at + i * step, [this, level] { set(level); });
  }
  m_.scheduler().at(at + 4 * step, [this, settle_to] { set(settle_to); });
}

void Button::press(double after_ms, double hold_ms, double bounce_ms) {
  const cycles_t down = m_.now() + ms_to_cycles(m_, after_ms);
  const cycles_t up = down + ms_to_cycles(m_, hold_ms);
  if (bounce_ms > 0) {
    chatter(down, true, bounce_ms);
    chatter(up, false, bounce_ms);
  } else {
    m_.scheduler().at(down, [this] { set(true); });
    m_.scheduler().at(up, [this] { set(false); });
  }
}

}  // namespace vb
