// The USB fuzz scenario of the benchmark: a USB/IP client on 127.0.0.1
// imports the board and sends, as a host would, the chapter-9 requests that
// hung or stopped earlier images and then a few thousand random setup
// packets (OUT requests with their data stage), re-importing the device
// every few hundred. Every request must be answered, with data, a status
// stage or a stall (-EPIPE); a time-out, a missing answer or babble counts
// as a failure. Afterwards the port must still carry the shell. Reported:
// failures, board faults, the worst main-loop pass over the whole run and
// under the shell's traffic alone, and the OTG_FS interrupt count.
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/usbhost/usbip_server.hpp"
#include "tests/support/usbip_client.hpp"
#include "tools/bench/usbip_board.hpp"

namespace {

using vb::test::UsbIpClient;
using Setup = std::array<std::uint8_t, 8>;

constexpr int kOtgFsException = 16 + 67;
constexpr double kClockPassTarget = 14'400;  // 100 us at 144 MHz: the clock's main-loop target
constexpr int kReimportEvery = 500;

// A small deterministic generator (xorshift), so every run sends the same packets.
struct Random {
  std::uint64_t s = 0x9E3779B97F4A7C15ull;
  std::uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<std::uint32_t>(s >> 16);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};

// A setup packet a host could send to this device: mostly standard and
// class requests with plausible fields, some with arbitrary ones. Never
// SET_ADDRESS, which a host controller handles itself.
Setup random_setup(Random& r) {
  static constexpr std::uint8_t kTypes[] = {0, 0, 0, 0, 0, 0, 1, 1, 2, 3};
  static constexpr std::uint16_t kIndexes[] = {0, 1, 2, 0x80, 0x81, 0x01, 0x82, 0x02, 0x83, 0x0409};
  static constexpr std::uint16_t kLengths[] = {0, 1, 2, 7, 8, 9, 18, 64, 67, 255};
  for (;;) {
    const std::uint8_t dir = r.below(2) ? 0x80 : 0x00;
    const std::uint8_t type = kTypes[r.below(10)];
    const std::uint8_t recipient = r.below(8) == 0 ? static_cast<std::uint8_t>(r.below(32)) : r.below(3);
    const std::uint8_t bm = static_cast<std::uint8_t>(dir | type << 5 | recipient);
    const std::uint8_t req = static_cast<std::uint8_t>(r.below(4) ? r.below(13) : r.below(256));
    const std::uint16_t value =
        static_cast<std::uint16_t>(r.below(2) ? (r.below(8) << 8 | r.below(8)) : r.below(65536));
    const std::uint16_t index = r.below(4) ? kIndexes[r.below(10)] : static_cast<std::uint16_t>(r.below(65536));
    const std::uint16_t length = r.below(8) ? kLengths[r.below(10)] : static_cast<std::uint16_t>(r.below(1024));
    if (bm == 0x00 && req == 5) continue;
    return UsbIpClient::setup(bm, req, value, index, length);
  }
}

// Requests that earlier images left unanswered or that stopped the board.
std::vector<Setup> chapter9_requests() {
  auto s = UsbIpClient::setup;
  return {
      s(0x80, 0, 0, 0, 0),        // GET_STATUS(device), no data stage
      s(0x81, 0, 0, 0, 2),        // GET_STATUS(interface)
      s(0x81, 0, 0, 1, 2),        //   of the data interface
      s(0x1D, 0, 0, 0, 0),        // reserved recipient
      s(0x9D, 0, 0, 0, 2),        //   the same, IN
      s(0x80, 6, 0x0100, 0, 0),   // GET_DESCRIPTOR with wLength 0
      s(0x00, 3, 7, 0, 0),        // SET_FEATURE(device), unknown selector
      s(0x00, 1, 7, 0, 0),        // CLEAR_FEATURE(device), unknown selector
      s(0x82, 12, 0, 0x81, 2),    // SYNCH_FRAME on a bulk endpoint
      s(0x02, 3, 5, 0x81, 0),     // endpoint feature, unknown selector
      s(0x00, 3, 2, 0x0400, 0),   // SET_FEATURE(TEST_MODE)
      s(0x01, 3, 0, 0, 0),        // SET_FEATURE(interface)
      s(0x01, 11, 1, 0, 0),       // SET_INTERFACE, alternate setting 1
      s(0x02, 3, 0, 0x81, 0),     // SET_FEATURE(ENDPOINT_HALT) on 0x81
      s(0x82, 0, 0, 0x81, 2),     //   GET_STATUS: halted
      s(0x02, 3, 0, 0x01, 0),     //   and on 0x01
      s(0x00, 9, 1, 0, 0),        // SET_CONFIGURATION ends the halts
      s(0x82, 0, 0, 0x81, 2),     //   GET_STATUS: not halted
      s(0x82, 0, 0, 0x80, 2),     // GET_STATUS(endpoint 0) after the stalls
      s(0x82, 0, 0, 0x83, 2),     // an endpoint the device does not have
  };
}

}  // namespace

// Runs the scenario with `random_setups` random packets; 0 when every
// request was answered, the board never faulted and the shell answers after.
int usb_fuzz_bench(const std::string& elf, unsigned random_setups) {
  UsbIpBoard b(elf);
  vb::Machine& m = b.m;
  vb::UsbIpServer& server = b.server;
  if (!b.boot()) return 1;
  m.stats().watch_pc = m.symbol("fast_loop");
  m.stats().worst_pass_cycles = 0;
  const std::uint64_t irq0 = m.stats().exceptions[kOtgFsException].entries;
  const double ms0 = m.device_ms();

  std::unique_ptr<UsbIpClient> c;
  std::map<std::uint32_t, UsbIpClient::Ret> rets;
  bool imported = false;
  auto step = [&] { return b.step(*c, imported ? &rets : nullptr); };
  auto import = [&] {
    if (c) {
      c.reset();  // the holder goes: the device is detached and comes back
      imported = false;
      for (int i = 0; i < 300; ++i) m.run_ms(1), server.poll();
    }
    c = std::make_unique<UsbIpClient>(server.port());
    rets.clear();
    if (!b.import(*c)) return false;
    imported = true;
    return true;
  };
  // One control request, run to its reply (the host's time-out is 5 s).
  std::map<std::int32_t, unsigned> outcomes;
  unsigned failures = 0, sent = 0;
  std::vector<std::string> failed;
  auto request = [&](const Setup& s) {
    const std::uint16_t len = static_cast<std::uint16_t>(s[6] | s[7] << 8);
    const UsbIpClient::Bytes data = (s[0] & 0x80) ? UsbIpClient::Bytes{} : UsbIpClient::Bytes(len, 0x5A);
    const std::uint32_t seq = c->control(s, data);
    ++sent;
    for (int i = 0; i < 6000 && !rets.count(seq); ++i)
      if (!step()) break;
    const std::int32_t status = rets.count(seq) ? rets[seq].status : 1;
    rets.erase(seq);
    ++outcomes[status];
    if (status != 0 && status != vb::usbip::kEPipe) {
      ++failures;
      char b[96];
      std::snprintf(b, sizeof b, "%02x %02x %02x%02x %02x%02x %02x%02x -> %d", s[0], s[1], s[3], s[2], s[5], s[4], s[7],
                    s[6], status);
      if (failed.size() < 8) failed.push_back(b);
    }
  };

  if (!import()) {
    std::printf("  the import failed\n");
    return 1;
  }
  request(UsbIpClient::setup(0x00, 9, 1, 0, 0));
  for (const Setup& s : chapter9_requests()) request(s);
  Random r;
  for (unsigned i = 0; i < random_setups && !m.faulted(); ++i) {
    if (i % kReimportEvery == kReimportEvery - 1 && !import()) {
      std::printf("  a re-import failed\n");
      ++failures;
      break;
    }
    request(random_setup(r));
  }
  const std::uint64_t worst_fuzz = m.stats().worst_pass_cycles;

  // The port still carries the shell: re-import, configure, open, type "?".
  bool shell_ok = false;
  std::uint64_t worst_shell = 0;
  if (!m.faulted() && import()) {
    request(UsbIpClient::setup(0x00, 9, 1, 0, 0));
    request(UsbIpClient::setup(0x21, 0x22, 3, 0, 0));
    std::set<std::uint32_t> reads;
    for (int i = 0; i < 16; ++i) reads.insert(c->urb(1, 1, 128));
    m.stats().worst_pass_cycles = 0;
    std::string got;
    const std::uint32_t typing = c->urb(0, 1, 2, {}, {'?', '\r'});
    for (int i = 0; i < 500 && got.find("help message") == std::string::npos; ++i) {
      if (!step()) break;
      for (auto it = rets.begin(); it != rets.end();) {
        if (reads.erase(it->first)) {
          got.append(it->second.data.begin(), it->second.data.end());
          reads.insert(c->urb(1, 1, 128));
          it = rets.erase(it);
        } else {
          it = it->first == typing ? rets.erase(it) : std::next(it);
        }
      }
    }
    shell_ok = got.find("help message") != std::string::npos;
    worst_shell = m.stats().worst_pass_cycles;
  }

  const double device_s = (m.device_ms() - ms0) / 1000.0;
  const std::uint64_t irqs = m.stats().exceptions[kOtgFsException].entries - irq0;
  const double hclk = m.clocks().hclk;
  std::printf("  %u requests (%zu chapter-9, %u random, re-imported every %d): %u failures\n", sent,
              chapter9_requests().size(), random_setups, kReimportEvery, failures);
  std::printf("  answers:");
  for (const auto& [status, n] : outcomes) std::printf(" %s %u", status == 0 ? "ok" : std::to_string(status).c_str(), n);
  std::printf("\n");
  for (const std::string& f : failed) std::printf("    failed: %s\n", f.c_str());
  std::printf("  board faults: %d%s%s\n", m.faulted() ? 1 : 0, m.faulted() ? "\n    " : "",
              m.faulted() ? m.fault_report().c_str() : "");
  std::printf("  worst main-loop pass: %llu cycles (%.1f us) during the fuzz, %llu cycles (%.1f us, target %.0f) "
              "with the shell answering\n",
              static_cast<unsigned long long>(worst_fuzz), worst_fuzz / hclk * 1e6,
              static_cast<unsigned long long>(worst_shell), worst_shell / hclk * 1e6, kClockPassTarget);
  std::printf("  OTG_FS interrupts: %llu in %.2f s of device time (%.0f per second)\n",
              static_cast<unsigned long long>(irqs), device_s, irqs / device_s);
  std::printf("  the shell answers afterwards: %s\n", shell_ok ? "yes" : "no");
  return failures == 0 && !m.faulted() && shell_ok && worst_fuzz < hclk / 1000 ? 0 : 1;
}
