// One hour of the clock as a user leaves it on the desk: started at 10:00:30
// in five-minute mode, enumerated on the USB host, LEDs breathing. The run
// watches what the clock does (the voice clips it starts, the chimes it
// sounds) and checks them against the clock's schedule, so a faster board
// can never pass with a wrong clock:
// - at start-up the time is spoken (hour clip, then the minute clip 1800 ms
//   later) and, at a minute that is a multiple of ten, the chime sounds;
// - at every change to a minute that is a multiple of five the time is
//   spoken again, its hour clip within a few milliseconds of the change;
// - at every change to a minute that is a multiple of ten the beeper sounds
//   1000 Hz for 99 ms (249 ms at the full hour), starting with the change.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/periph/rtc.hpp"
#include "sim/usbhost/usb_host.hpp"

namespace {

constexpr std::uint32_t kDmaS1Cr = 0x40026028, kDmaS1M0ar = 0x40026034;  // DMA1 stream 1: the voice stream
constexpr double kSliceMs = 1.0;                                          // as vboard runs the board
constexpr double kClipTolMs = 3.0;   // hour clip after the minute change: one pass, then the sequencer's pass
constexpr double kChimeTolMs = 2.0;  // chime start and length

double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

int bcd(std::uint8_t v) { return (v >> 4) * 10 + (v & 0xF); }

struct ClipStart {
  double ms;
  bool hour;
  int index;
};
struct Chime {
  double on_ms, off_ms;
};
struct MinuteChange {
  double ms;
  int hour, min, sec;
};

std::string clip_name(bool hour, int index) {
  char b[16];
  std::snprintf(b, sizeof b, "%c%02d", hour ? 'H' : 'M', index);
  return b;
}

}  // namespace

// Runs the hour; returns 0 when everything the clock did matches its
// schedule. host_s/cpu_s/device_s: what it cost.
int clock_hour_bench(const std::string& elf, double run_s, double& host_s, double& cpu_s, double& device_s) {
  using Clock = std::chrono::steady_clock;
  vb::BoardOptions o;
  o.elf = elf;
  o.usb_cable = true;
  o.rtc_chip.start = vb::BcdCalendar{0x30, 0x00, 0x10, 1, 0x07, 0x12, 0x26};  // 10:00:30
  vb::Board board(o);
  vb::Machine& m = board.m();
  const auto t0 = Clock::now();
  const double c0 = cpu_now();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  auto ms_now = [&] { return m.device_ms(); };
  const double start_ms = ms_now();

  // The clip tables in flash: which clip a stream address is.
  const std::uint32_t htab = m.symbol("Hxx_raw"), mtab = m.symbol("Mxx_raw");
  auto clip_at = [&](std::uint32_t addr, bool& hour, int& index) {
    for (int i = 0; i < 60; ++i) {
      if (i < 24 && m.read32(htab + 4 * i) == addr) { hour = true; index = i; return true; }
      if (m.read32(mtab + 4 * i) == addr) { hour = false; index = i; return true; }
    }
    return false;
  };

  std::vector<ClipStart> clips;
  std::vector<MinuteChange> changes;
  std::string problems;
  bool was_on = false;
  std::uint32_t last_addr = 0;
  vb::BcdCalendar cal = board.rtc().calendar();
  changes.push_back({start_ms, bcd(cal.hour), bcd(cal.min), bcd(cal.sec)});
  bool usb_up = false;
  const double end_ms = start_ms + run_s * 1000.0;
  while (ms_now() < end_ms) {
    if (m.run_ms(kSliceMs) == vb::Stop::kFault) {
      std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
      return 1;
    }
    const double now = ms_now();
    const auto cr = m.peek(kDmaS1Cr, 4), addr = m.peek(kDmaS1M0ar, 4);
    const bool on = cr && (*cr & 1);
    if (on && addr && (!was_on || *addr != last_addr)) {
      ClipStart c{now, false, -1};
      if (!clip_at(*addr, c.hour, c.index)) problems += "  a clip started from an address no table names\n";
      clips.push_back(c);
      last_addr = *addr;
    }
    was_on = on;
    const vb::BcdCalendar c = board.rtc().calendar();
    if (c.min != cal.min) changes.push_back({now, bcd(c.hour), bcd(c.min), bcd(c.sec)});
    cal = c;
    usb_up = usb_up || board.usb_host().state() == vb::UsbHost::State::kConfigured;
  }
  host_s = std::chrono::duration<double>(Clock::now() - t0).count();
  cpu_s = cpu_now() - c0;
  device_s = (ms_now() - start_ms) / 1000.0;

  std::vector<Chime> chimes;
  {
    double on_at = -1;
    for (const auto& r : board.beeper().trace()) {
      const double t = m.device_ms_at(r.at);
      const bool chime = std::fabs(r.tone.hz - 1000.0) < 1.0;
      if (chime && on_at < 0) on_at = t;
      else if (!chime && on_at >= 0) { chimes.push_back({on_at, t}); on_at = -1; }
    }
    if (on_at >= 0) chimes.push_back({on_at, -1});
  }

  // The schedule: announcements and chimes expected from the calendar.
  std::vector<ClipStart> want_clips;
  std::vector<std::pair<double, double>> want_chimes;  // start, length
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const MinuteChange& c = changes[i];
    const bool first = i == 0;  // start-up: spoken whatever the minute, rounded after second 50
    if (first || c.min % 5 == 0) {
      int h = c.hour, mi = c.min;
      if (first && c.sec > 50 && ++mi > 59) { mi = 0; h = (h + 1) % 24; }
      want_clips.push_back({c.ms, true, h});
      want_clips.push_back({c.ms + 1800, false, mi});
    }
    if (c.min % 10 == 0) want_chimes.push_back({c.ms, c.min == 0 ? 249.0 : 99.0});
  }
  // The last announcement may still be under way at the end of the run.
  if (!want_clips.empty() && want_clips.back().ms > device_s * 1000.0 + start_ms - kClipTolMs) want_clips.pop_back();

  std::printf("  %zu announcements seen, clips (device time since boot):", clips.size() / 2);
  for (std::size_t i = 0; i < clips.size(); ++i)
    std::printf("%s%s at %.0f ms", i % 4 == 0 ? "\n    " : ", ", clip_name(clips[i].hour, clips[i].index).c_str(),
                clips[i].ms - start_ms);
  std::printf("\n  %zu chimes seen (1000 Hz):", chimes.size());
  for (std::size_t i = 0; i < chimes.size(); ++i)
    std::printf("%s%.0f ms for %.0f ms", i % 4 == 0 ? "\n    " : ", ", chimes[i].on_ms - start_ms,
                chimes[i].off_ms - chimes[i].on_ms);
  std::printf("\n");

  if (clips.size() != want_clips.size()) {
    problems += "  " + std::to_string(clips.size()) + " clips started, the schedule has " +
                std::to_string(want_clips.size()) + "\n";
  }
  for (std::size_t i = 0; i < std::min(clips.size(), want_clips.size()); ++i) {
    const ClipStart &got = clips[i], &want = want_clips[i];
    const bool first = i < 2;  // the start-up announcement: its change is when the board was first looked at
    const double late = got.ms - want.ms;
    if (got.hour != want.hour || got.index != want.index || (!first && (late < -kClipTolMs || late > kClipTolMs))) {
      char b[200];
      std::snprintf(b, sizeof b, "  clip %zu: %s at %.0f ms, the schedule says %s at %.0f ms\n", i,
                    clip_name(got.hour, got.index).c_str(), got.ms - start_ms, clip_name(want.hour, want.index).c_str(),
                    want.ms - start_ms);
      problems += b;
    }
  }
  if (chimes.size() != want_chimes.size()) {
    problems += "  " + std::to_string(chimes.size()) + " chimes sounded, the schedule has " +
                std::to_string(want_chimes.size()) + "\n";
  }
  for (std::size_t i = 0; i < std::min(chimes.size(), want_chimes.size()); ++i) {
    const double late = chimes[i].on_ms - want_chimes[i].first, len = chimes[i].off_ms - chimes[i].on_ms;
    if (late < -kChimeTolMs || late > kChimeTolMs || len < want_chimes[i].second - kChimeTolMs ||
        len > want_chimes[i].second + kChimeTolMs) {
      char b[200];
      std::snprintf(b, sizeof b, "  chime %zu: at %.0f ms for %.0f ms, the schedule says %.0f ms for %.0f ms\n", i,
                    chimes[i].on_ms - start_ms, len, want_chimes[i].first - start_ms, want_chimes[i].second);
      problems += b;
    }
  }
  if (!usb_up) problems += "  the USB host never had the board configured\n";
  std::printf("  %.0f s device time in %.1f s host time, %.1f CPU seconds: %.1fx real time per CPU second\n", device_s,
              host_s, cpu_s, device_s / cpu_s);
  if (!problems.empty()) {
    std::printf("  the clock did not keep its schedule:\n%s", problems.c_str());
    return 1;
  }
  std::printf("  announcements and chimes as scheduled\n");
  return 0;
}
