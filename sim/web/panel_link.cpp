#include "sim/web/panel_link.hpp"

#include <algorithm>
#include <cstdio>

#include "sim/board/board.hpp"
#include "sim/cli/serial_links.hpp"
#include "sim/cli/usb_link.hpp"
#include "sim/parts/audio_sink.hpp"
#include "sim/periph/rcc.hpp"
#include "sim/periph/rtc.hpp"
#include "sim/periph/usart.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/web/json.hpp"

namespace vb::web {
namespace {

// Typed bytes that may wait for their line; a page pasting more than this
// before the line has carried it loses the rest (and is told).
constexpr std::size_t kTypedLimit = 64 * 1024;
// Bytes written to the USB device and not yet taken, above which typed
// bytes wait (as UsbPty holds its pty).
constexpr std::size_t kUsbWindow = 4096;
// How often the page is updated (host time): often enough for the LEDs'
// breathing to look smooth, seldom enough to cost the board nothing.
constexpr auto kPublishEvery = std::chrono::milliseconds(20);
constexpr auto kStatusEvery = std::chrono::milliseconds(250);

Frame shared_frame(std::string s, bool text, bool lossless) {
  return Frame{std::make_shared<const std::string>(std::move(s)), text, lossless};
}

int bcd(std::uint32_t v, int shift, std::uint32_t tens_mask) {
  return static_cast<int>((v >> (shift + 4) & tens_mask) * 10 + (v >> shift & 0xF));
}

// The on-chip RTC's calendar as the firmware would read it now.
std::string rtc_text(Board& board) {
  const auto tr = board.rtc().debug_peek(0x00);
  const auto dr = board.rtc().debug_peek(0x04);
  if (!tr || !dr) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "20%02d-%02d-%02d %02d:%02d:%02d", bcd(*dr, 16, 0xF), bcd(*dr, 8, 0x1),
                bcd(*dr, 0, 0x3), bcd(*tr, 16, 0x3), bcd(*tr, 8, 0x7), bcd(*tr, 0, 0x7));
  return buf;
}

}  // namespace

PanelLink::PanelLink(Board& board, std::unique_ptr<Server> server, PanelOptions opts)
    : board_(board), server_(std::move(server)), opts_(std::move(opts)) {
  Usart& console = board.usart3();
  console.on_peer_byte([this, shown = console.peer_byte_receiver()](const LineByte& b) {
    if (shown) shown(b);
    console_out_ += static_cast<char>(b.data);
  });
  if (opts_.usb_terminal) {
    UsbHost& host = board.usb_host();
    host.on_received([this, shown = host.received_receiver()](const std::string& bytes) {
      if (shown) shown(bytes);
      usb_out_ += bytes;
    });
  }
  sink_ = std::make_shared<AudioSink>(board.m(), board.dac(), [this](std::span<const std::uint8_t> s) {
    audio_.insert(audio_.end(), s.begin(), s.end());
  });
  std::weak_ptr<AudioSink> weak = sink_;
  board.rcc().on_change([weak] {
    if (auto sink = weak.lock()) sink->clocks_changed();
  });
}

PanelLink::~PanelLink() = default;

void PanelLink::board_message(const std::string& text) { messages_.push_back(text); }

void PanelLink::press(Board& board, int page, bool pressed, std::optional<double> page_ms) {
  Machine& m = board.m();
  const auto at = button_.place(m.now(), m.clocks().hclk / 1000.0, page, pressed, page_ms);
  if (!at) return messages_.push_back("button: too many presses queued ahead; this edge is ignored");
  vb::Button& button = board.button();
  m.scheduler().at(*at, [&button, pressed] { button.set(pressed); });
}

void PanelLink::apply(Board& board, const Incoming& in) {
  if (std::holds_alternative<TakeControls>(in.request)) {
    // The controls changed hands: a button the last holder kept down goes up.
    if (board.button().pressed() || button_.active()) press(board, in.client, false, std::nullopt);
    return;
  }
  if (const auto* b = std::get_if<ButtonEdge>(&in.request)) return press(board, in.client, b->pressed, b->t);
  if (const auto* c = std::get_if<CableSwitch>(&in.request)) {
    UsbHost& host = board.usb_host();
    if (c->plugged != host.plugged()) messages_.push_back(cli::toggle_usb_cable(host));
    return;
  }
  const auto& typed = std::get<Typed>(in.request);
  std::string& queue = typed.port == Channel::kConsole ? console_in_ : usb_in_;
  if (typed.port == Channel::kUsb && !opts_.usb_terminal) {
    messages_.push_back("the USB port is exported over USB/IP: type into it on the remote host");
    return;
  }
  const std::size_t room = kTypedLimit - std::min(kTypedLimit, queue.size());
  queue.append(typed.bytes, 0, room);
  if (typed.bytes.size() > room && !warned_typing_) {
    warned_typing_ = true;
    messages_.push_back("typed too far ahead of the line: " + std::to_string(typed.bytes.size() - room) +
                        " bytes dropped");
  }
}

void PanelLink::feed_inputs(Board& board) {
  if (!console_in_.empty()) {
    const std::size_t n = std::min(console_in_.size(), cli::console_line_room(board));
    if (n > 0) {
      board.usart3().peer_send(std::string_view(console_in_).substr(0, n));
      console_in_.erase(0, n);
    }
  }
  UsbHost& host = board.usb_host();
  if (!usb_in_.empty() && host.port_open() && host.write_pending() < kUsbWindow) {
    const std::size_t n = std::min<std::size_t>(usb_in_.size(), 512);
    host.write(usb_in_.substr(0, n));
    usb_in_.erase(0, n);
  }
  if (console_in_.empty() && usb_in_.empty()) warned_typing_ = false;
}

void PanelLink::poll(Board& board) {
  for (const Incoming& in : server_->take_requests()) apply(board, in);
  feed_inputs(board);
  sink_->flush();

  // Beeper tones since the last look, with their device times; a tone that
  // lasted under 0.1 ms (the first period after a new prescaler) is skipped.
  const cycles_t brief = static_cast<cycles_t>(board.m().clocks().hclk / 10'000);
  board.beeper().for_each_new_tone(beeps_seen_, brief, [&](const Beeper::Record& r) {
    tones_ += std::string(tones_.empty() ? "" : ",") + "{\"t\":" + json_number(board.m().device_ms_at(r.at)) +
              ",\"hz\":" + json_number(r.tone.hz) + ",\"duty\":" + json_number(r.tone.duty) + "}";
  });
  last_ms_ = board.m().device_ms();

  for (std::string& note : server_->take_notes()) {
    // On a line of its own, as every board line, between the console's.
    cli::board_line("[web] " + note);
    messages_.push_back(std::move(note));
  }
  const auto now = clock::now();
  if (now - last_publish_ >= kPublishEvery) publish(board, false);
}

std::string PanelLink::panel_json(Board& board) {
  const Leds::Levels levels = board.leds().levels();
  std::string s = "{\"type\":\"panel\",\"t\":" + json_number(last_ms_) + ",\"leds\":[";
  for (int i = 0; i < Leds::kCount; ++i) s += (i ? "," : "") + json_number(levels[i]);
  const Beeper::Tone tone = board.beeper().tone();
  s += "],\"button\":" + std::string(board.button().pressed() ? "true" : "false") +
       ",\"beeper\":{\"hz\":" + json_number(tone.hz) + ",\"duty\":" + json_number(tone.duty) + "},\"tones\":[" +
       tones_ + "]}";
  tones_.clear();
  return s;
}

std::string PanelLink::status_json(Board& board, double speed) {
  Machine& m = board.m();
  const double hclk = m.clocks().hclk;
  UsbHost& host = board.usb_host();
  const double worst_us = hclk > 0 ? static_cast<double>(m.stats().worst_pass_cycles) * 1e6 / hclk : 0;
  return "{\"type\":\"status\",\"t\":" + json_number(last_ms_) + ",\"speed\":" + json_number(speed) +
         ",\"rtc\":" + json_string(rtc_text(board)) + ",\"worst_pass_us\":" + json_number(worst_us) +
         ",\"usb\":{\"plugged\":" + (host.plugged() ? "true" : "false") +
         ",\"state\":" + json_string(host.state_name()) + ",\"port_open\":" + (host.port_open() ? "true" : "false") +
         ",\"host\":" + json_string(opts_.usb_host ? opts_.usb_host() : "host model") +
         ",\"terminal\":" + (opts_.usb_terminal ? "true" : "false") + "}}";
}

void PanelLink::publish(Board& board, bool final) {
  const auto now = clock::now();
  last_publish_ = now;
  std::vector<Outgoing> out;
  if (!console_out_.empty())
    out.push_back({shared_frame(console_frame(Channel::kConsole, console_out_), false, true), Replay::kConsole});
  if (!usb_out_.empty())
    out.push_back({shared_frame(console_frame(Channel::kUsb, usb_out_), false, true), Replay::kUsb});
  console_out_.clear();
  usb_out_.clear();
  // Samples since power-up: audio_ holds the latest ones.
  const std::uint64_t first = audio_first_;
  audio_first_ += audio_.size();
  if (!audio_.empty() && server_->clients() > 0)
    out.push_back({shared_frame(audio_frame(first, audio_), false, false), Replay::kNone});
  audio_.clear();
  for (const std::string& msg : messages_)
    out.push_back({shared_frame("{\"type\":\"message\",\"text\":" + json_string(msg) + "}", true, true), Replay::kNone});
  messages_.clear();
  out.push_back({shared_frame(panel_json(board), true, false), Replay::kPanel});
  if (final || now - last_status_ >= kStatusEvery) {
    const double wall_ms = std::chrono::duration<double, std::milli>(now - last_status_).count();
    const double speed = last_status_ == clock::time_point{} || wall_ms <= 0 ? 0 : (last_ms_ - status_ms_) / wall_ms;
    last_status_ = now;
    status_ms_ = last_ms_;
    out.push_back({shared_frame(status_json(board, speed), true, false), Replay::kStatus});
  }
  server_->publish(std::move(out));
}

void PanelLink::close(Board& board) {
  sink_->flush();
  // The pages learn how the run ended before they are closed.
  Machine& m = board.m();
  char ended[96];
  std::snprintf(ended, sizeof ended, "the run ended at %.3f ms of device time", last_ms_);
  messages_.push_back(m.faulted() ? "the firmware faulted: " + m.fault_report() : std::string(ended));
  publish(board, true);
  server_->stop();
  for (const std::string& note : server_->take_notes()) cli::board_line("[web] " + note);
  board.usart3().on_peer_byte({});
  if (opts_.usb_terminal) board.usb_host().on_received({});
  sink_.reset();
}

}  // namespace vb::web
