// The whole clock with the idle fast-forward on and off: everything anyone
// could observe is the same, down to the cycle. The clock speaks the time
// at start-up, chimes at the change to 10:10 while its LEDs breathe, the USB
// host enumerates the board and types into the shell, both serial lines
// carry bytes through the bridge, and finally a tick callback record that
// points into the peripherals makes the firmware fault in its tick.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/parts/audio_sink.hpp"
#include "sim/periph/usart.hpp"
#include "sim/usbhost/usb_host.hpp"

namespace vb::test {
namespace {

struct Observed {
  std::string console, bridge, usb_rx, fault;
  std::vector<std::uint8_t> wav;
  std::vector<std::string> usb;  // transfers as the host saw them, with the frame number
  std::vector<std::string> leds, beeper;
  std::vector<std::uint64_t> counts;  // instructions, cycles, exceptions, worst pass, stack
  std::uint64_t skipped_cycles = 0;
};

Observed run_clock(bool skip) {
  BoardOptions o;
  o.idle_skip = skip;
  o.usb_cable = true;
  o.rtc_chip.start = BcdCalendar{0x59, 0x09, 0x10, 1, 0x07, 0x12, 0x26};  // 10:09:59
  Board b(o);
  Machine& m = b.m();
  Observed r;
  AudioSink sink(m, b.dac(), [&](std::span<const std::uint8_t> s) { r.wav.insert(r.wav.end(), s.begin(), s.end()); });
  UsbHost& host = b.usb_host();
  host.add_transfer_observer([&](const UsbTransfer& t) {
    r.usb.push_back(std::to_string(host.frame()) + " " + std::to_string(t.id) + " " + std::to_string(t.ep) + " " +
                    transfer_status_name(t.status) + " " + std::string(t.data.begin(), t.data.end()));
  });
  if (!b.boot()) {
    r.fault = "no boot: " + m.fault_report();
    return r;
  }
  m.stats().watch_pc = m.symbol("fast_loop");
  b.usart3().peer_send("console typing reaches the bridge\r");
  b.usart2().peer_send("and the bridge answers\r\n");
  // The shell is typed into once the port is open; later the tick's
  // callback record is overwritten with an address where nothing is.
  m.scheduler().at(m.now() + 144'000 * 700, [&] { host.write("date\r"); });
  const std::uint32_t callback = m.symbol("callback");
  m.scheduler().at(m.now() + 144'000 * 2300 + 777, [&m, callback] { m.write32(callback, 0x40000001); });
  m.run_ms(2500);
  sink.flush();

  r.console = b.usart3().peer_received();
  r.bridge = b.usart2().peer_received();
  r.usb_rx = host.received();
  r.fault = m.fault_report();
  for (const auto& rec : b.leds().trace()) {
    std::string s = std::to_string(rec.at);
    for (double level : rec.levels) s += " " + std::to_string(level);
    r.leds.push_back(s);
  }
  for (const auto& rec : b.beeper().trace())
    r.beeper.push_back(std::to_string(rec.at) + " " + std::to_string(rec.tone.hz) + " " + std::to_string(rec.tone.duty));
  const Stats& st = m.stats();
  r.counts = {st.instructions, st.cycles, st.worst_pass_cycles, st.lowest_sp};
  for (const auto& e : st.exceptions) {
    r.counts.push_back(e.entries);
    r.counts.push_back(e.cycles);
  }
  r.skipped_cycles = st.skipped_cycles;
  return r;
}

TEST(FastForward, ShouldShowTheWholeClockExactlyAsARunOfEveryInstruction) {
  const Observed fast = run_clock(true), full = run_clock(false);

  // The scenario happened: the voice, the chime, the shell, the bridge, the fault.
  EXPECT_NE(std::string::npos, full.console.find("and the bridge answers"));
  EXPECT_NE(std::string::npos, full.bridge.find("console typing reaches the bridge"));
  EXPECT_NE(std::string::npos, full.usb_rx.find("date"));
  EXPECT_GT(full.wav.size(), 8000u);
  EXPECT_GE(full.beeper.size(), 2u);
  EXPECT_GT(full.leds.size(), 100u);
  EXPECT_NE(std::string::npos, full.fault.find("hndl_SysTick")) << full.fault;
  EXPECT_EQ(0u, full.skipped_cycles);
  EXPECT_GT(fast.skipped_cycles, fast.counts[1] / 2) << "most of the time was skipped";

  EXPECT_EQ(full.console, fast.console);
  EXPECT_EQ(full.bridge, fast.bridge);
  EXPECT_EQ(full.usb_rx, fast.usb_rx);
  EXPECT_EQ(full.usb, fast.usb);
  EXPECT_TRUE(full.wav == fast.wav) << "the recordings differ";
  EXPECT_EQ(full.leds, fast.leds);
  EXPECT_EQ(full.beeper, fast.beeper);
  EXPECT_EQ(full.counts, fast.counts);
  EXPECT_EQ(full.fault, fast.fault);
}

}  // namespace
}  // namespace vb::test
