// Board tests of the USB virtual COM port: the host model on the cable,
// driven step by step (synchronous transfers that run the board until they
// finish) or left to enumerate on its own.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/periph/otg_fs.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {

using Bytes = std::vector<std::uint8_t>;

// Offsets in the firmware's USB_OTG_dev (32-bit layout, asserted there).
constexpr std::uint32_t kDev = 272;
constexpr std::uint32_t kDeviceConfig = kDev + 0, kDeviceStatus = kDev + 2, kDeviceAddress = kDev + 4,
                        kConnectionStatus = kDev + 5;
constexpr std::uint32_t in_ep(unsigned n) { return kDev + 12 + 40 * n; }
constexpr std::uint32_t out_ep(unsigned n) { return kDev + 612 + 40 * n; }
constexpr std::uint32_t kEpIsStall = 2, kEpMaxPacket = 8, kEpXferBuff = 12, kEpXferLen = 20, kEpXferCount = 24;
using Status = UsbTransfer::Status;

class UsbBoardTest : public BoardTest {
protected:
  UsbHost& host() { return board().usb_host(); }

  // Runs until pred() holds, at most `limit_ms` of device time. Checked
  // every 0.25 ms, so that idle main-loop passes can still be skipped.
  bool run_until(const std::function<bool()>& pred, double limit_ms) {
    for (double t = 0; t < limit_ms; t += 0.25) {
      if (pred()) return true;
      if (m().run_cycles(static_cast<cycles_t>(m().clocks().hclk / 4000.0)) == Stop::kFault) return false;
    }
    return pred();
  }
  // Boots with the cable plugged; the host enumerates and opens the port.
  void boot_enumerated() {
    host().plug();
    ASSERT_TRUE(boot());
    ASSERT_TRUE(run_until([&] { return host().state() == UsbHost::State::kConfigured; }, 1000))
        << host().state_name() << " " << host().failure();
  }
  // Boots with the cable plugged but the host doing nothing on its own:
  // the test resets the port and sends each request itself.
  void boot_manual() {
    host().set_auto_enumerate(false);
    host().plug();
    ASSERT_TRUE(boot());
    ASSERT_TRUE(run_until([&] { return board().otg_fs().attached(); }, 200));
    bool done = false;
    host().bus_reset([&] { done = true; });
    ASSERT_TRUE(run_until([&] { return done; }, 100));
  }
  // One control transfer, run to its end.
  UsbTransfer ctl(std::uint8_t bm, std::uint8_t req, std::uint16_t value, std::uint16_t index, std::uint16_t len,
                  Bytes data = {}) {
    const std::uint64_t id = host().control(bm, req, value, index, len, std::move(data));
    run_until([&] { return host().transfer(id)->status != Status::kPending; }, 200);
    return *host().transfer(id);
  }
  UsbTransfer get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t len, std::uint16_t lang = 0) {
    return ctl(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), lang, len);
  }
  // Default -> addressed (5) -> configured, by hand.
  void address_and_configure(std::uint8_t address = 5) {
    ASSERT_EQ(Status::kOk, ctl(0x00, 5, address, 0, 0).status);
    host().set_address(address);
    ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
  }
  // Makes the shell's main-loop step return at once (its first instruction
  // becomes BX LR), so the receive ring keeps what the host sent for the
  // test to take with USB_getc.
  void bypass_shell() {
    const std::uint8_t bx_lr[] = {0x70, 0x47};
    m().load_bytes(m().symbol("shell_USB") & ~1u, bx_lr);
  }
  // The transmit ring's indexes all to `at` (an empty ring), between bursts.
  void move_tx_ring(std::uint32_t at) {
    ASSERT_TRUE(run_until([&] { return var8("USB_Tx_State") == 0; }, 20));
    for (const char* index : {"APP_Rx_ptr_in", "APP_Rx_ptr_out", "APP_Rx_ptr_sent"}) m().set_var32(index, at);
  }
  std::uint32_t var(const std::string& sym, std::uint32_t off = 0) { return m().var32(sym, off); }
  std::uint8_t var8(const std::string& sym, std::uint32_t off = 0) { return m().read8(m().symbol(sym) + off); }
  std::int16_t usb_getc() { return static_cast<std::int16_t>(m().call("USB_getc")); }
  std::int16_t usb_putc(std::uint8_t c) { return static_cast<std::int16_t>(m().call("USB_putc", {c})); }
  // The data packets the device sent on bulk IN endpoint 1, with their times.
  std::vector<UsbTransaction> bulk_in_packets() {
    std::vector<UsbTransaction> out;
    for (const auto& t : host().transactions())
      if (t.token == UsbTransaction::Token::kIn && t.ep == 1 && t.handshake == Handshake::kAck) out.push_back(t);
    return out;
  }
};

// Text of a string descriptor (every second byte from offset 2).
inline std::string string_text(const Bytes& d) {
  std::string s;
  for (std::size_t i = 2; i + 1 < d.size(); i += 2) s += static_cast<char>(d[i]);
  return s;
}

}  // namespace vb::test
