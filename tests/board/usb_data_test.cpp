// The virtual COM port's data path: host to USB_getc, USB_putc to host, the
// start-of-frame pacing of the transmit ring, flow control of the receive
// ring, and what the cable coming and going does to both.
#include <gtest/gtest.h>

#include <string>

#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

std::string pattern(std::size_t n, int from = 0) {
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((from + i * 7) % 256);
  return s;
}

// The port below the shell: the shell's step is bypassed.
class UsbData : public UsbBoardTest {
protected:
  void SetUp() override {
    UsbBoardTest::SetUp();
    bypass_shell();
  }
  // Takes up to `n` bytes with USB_getc (fewer when the ring runs dry).
  std::string getc_n(std::size_t n) {
    std::string s;
    while (s.size() < n) {
      const std::int16_t c = usb_getc();
      if (c < 0) break;
      EXPECT_LE(c, 255);
      s += static_cast<char>(c);
    }
    return s;
  }
  std::vector<std::size_t> packet_sizes() {
    std::vector<std::size_t> v;
    for (const auto& t : bulk_in_packets()) v.push_back(t.data.size());
    return v;
  }
  void queue(const std::string& s) {
    for (char c : s) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));
  }
};

TEST_F(UsbData, ShouldDeliverHostBytesInOrderThroughGetc) {
  boot_enumerated();
  EXPECT_EQ(-1, usb_getc());
  EXPECT_EQ(0u, m().call("USB_nbuf"));
  const std::string sent = pattern(200) + "\xFF";
  host().write(sent);
  ASSERT_TRUE(run_until([&] { return m().call("USB_nbuf") == sent.size(); }, 50));
  EXPECT_EQ(sent, getc_n(sent.size()));
  EXPECT_EQ(-1, usb_getc());
}

TEST_F(UsbData, ShouldHoldTheHostOffInsteadOfDroppingWhenTheRingIsFull) {
  boot_enumerated();
  const std::string sent = pattern(300, 3);
  host().write(sent);
  ASSERT_TRUE(run_until([&] { return m().call("USB_nbuf") == 256; }, 50));
  run_until([] { return false; }, 20);
  EXPECT_EQ(256u, m().call("USB_nbuf"));
  EXPECT_EQ(44u, host().write_pending()) << "the last packet waits, NAKed";
  // Less than a packet of room: still held.
  std::string got = getc_n(10);
  run_until([] { return false; }, 10);
  EXPECT_EQ(246u, m().call("USB_nbuf"));
  // A packet's worth of room: the endpoint is armed again.
  got += getc_n(60);
  ASSERT_TRUE(run_until([&] { return host().write_pending() == 0; }, 20));
  got += getc_n(300);
  EXPECT_EQ(sent, got);
}

TEST_F(UsbData, ShouldPassTwoKilobytesToASlowReaderInOrder) {
  boot_enumerated();
  const std::string sent = pattern(2048, 11);
  host().write(sent);
  std::string got;
  for (int ms = 0; ms < 600 && got.size() < sent.size(); ++ms) {
    run_until([] { return false; }, 1);
    got += getc_n(5);  // five bytes a millisecond
  }
  EXPECT_EQ(sent, got);
}

TEST_F(UsbData, ShouldSendQueuedBytesInBurstsOnEverySixthFrame) {
  boot_enumerated();
  // 200 bytes from the start of the ring: one burst of four packets.
  move_tx_ring(0);
  host().clear_logs();
  queue(pattern(200));
  ASSERT_TRUE(run_until([&] { return host().received().size() == 200; }, 20));
  EXPECT_EQ((std::vector<std::size_t>{64, 64, 64, 8}), packet_sizes());
  EXPECT_EQ(0u, var8("USB_Tx_State"));

  // 64 bytes: one packet, and a zero-length packet to end the host's read.
  move_tx_ring(0);
  host().clear_logs();
  host().clear_received();
  queue(pattern(64, 5));
  ASSERT_TRUE(run_until([&] { return host().received().size() == 64; }, 20));
  run_until([] { return false; }, 15);
  EXPECT_EQ((std::vector<std::size_t>{64, 0}), packet_sizes());

  // 100 bytes from index 200: the burst stops at the ring's end; the rest
  // follows with a later burst, six frames on at least.
  move_tx_ring(200);
  host().clear_logs();
  host().clear_received();
  const std::string wrap = pattern(100, 9);
  queue(wrap);
  ASSERT_TRUE(run_until([&] { return host().received().size() == 100; }, 30));
  EXPECT_EQ(wrap, host().received());
  const auto packets = bulk_in_packets();
  ASSERT_EQ(2u, packets.size());
  EXPECT_EQ(56u, packets[0].data.size());
  EXPECT_EQ(44u, packets[1].data.size());
  EXPECT_GE(packets[1].time_us - packets[0].time_us, 5900.0);
}

TEST_F(UsbData, ShouldKeepTheFirst255BytesQueuedWhileUnpluggedAndRefuseTheRest) {
  ASSERT_TRUE(boot());
  std::string sent = pattern(300, 1);
  int refused = 0;
  std::string accepted;
  for (char c : sent) {
    if (usb_putc(static_cast<std::uint8_t>(c)) == 0)
      accepted += c;
    else
      ++refused;
  }
  EXPECT_EQ(45, refused);
  EXPECT_EQ(sent.substr(0, 255), accepted);
  host().plug();
  ASSERT_TRUE(run_until([&] { return host().received().size() >= 255; }, 1000));
  run_until([] { return false; }, 20);
  EXPECT_EQ(accepted, host().received());
}

TEST_F(UsbData, ShouldResumeOutputAfterUnplugAndNewEnumeration) {
  boot_enumerated();
  const std::string first = pattern(20, 2);
  queue(first);
  ASSERT_TRUE(run_until([&] { return host().received() == first; }, 20));
  host().unplug();
  run_until([] { return false; }, 5);
  // Disconnect: the class closed its endpoints.
  EXPECT_EQ(0u, board().otg_fs().peek(OtgFs::kInEp + OtgFs::kEpStride * 1) & OtgFs::EPCTL_USBAEP);
  EXPECT_EQ(0u, board().otg_fs().peek(OtgFs::kOutEp + OtgFs::kEpStride * 1) & OtgFs::EPCTL_USBAEP);
  EXPECT_EQ(0u, var8("USB_OTG_dev", kConnectionStatus));
  const std::string second = pattern(150, 4);
  queue(second);
  run_until([] { return false; }, 20);
  EXPECT_EQ(first, host().received());
  host().plug();
  ASSERT_TRUE(run_until([&] { return host().received().size() == first.size() + second.size(); }, 1000));
  EXPECT_EQ(first + second, host().received());
  EXPECT_EQ(2u, host().enumerations());
  EXPECT_EQ(1u, var8("USB_OTG_dev", kConnectionStatus));
}

// Skipping idle main-loop passes changes nothing the bus sees.
TEST_F(UsbData, ShouldSeeTheSameBusWithAndWithoutIdleSkipping) {
  std::vector<std::vector<std::string>> logs;
  for (bool skip : {true, false}) {
    options.idle_skip = skip;
    SetUp();
    boot_enumerated();
    host().write(pattern(100, 6));
    queue(pattern(70, 8));
    run_until([] { return false; }, 20);
    std::vector<std::string> log;
    for (const auto& t : host().transactions()) {
      log.push_back(std::to_string(t.time) + " " + std::to_string(static_cast<int>(t.token)) + " " +
                    std::to_string(t.ep) + " " + handshake_name(t.handshake) + " " +
                    std::string(t.data.begin(), t.data.end()));
    }
    logs.push_back(log);
  }
  EXPECT_GT(logs[0].size(), 30u);
  EXPECT_EQ(logs[0], logs[1]);
}

TEST_F(UsbData, ShouldSendAPieceCutOffByTheCableAgainAfterReplug) {
  boot_enumerated();
  host().close_port();  // nobody reads: the piece waits in the transmit FIFO
  queue("abcdef");
  ASSERT_TRUE(run_until([&] { return var8("USB_Tx_State") == 1; }, 20));
  run_until([] { return false; }, 10);
  host().unplug();
  run_until([] { return false; }, 5);
  queue("ghi");
  host().plug();
  ASSERT_TRUE(run_until([&] { return host().received().size() >= 9; }, 1000));
  run_until([] { return false; }, 20);
  EXPECT_EQ("abcdefghi", host().received());
}

struct ReplugCase {
  const char* name;
  double open_ms;    // after queuing output, the port open
  double closed_ms;  // then the port closed (nothing reads) before the cable goes; < 0: stays open
  double out_ms;     // cable out
  bool with_sof;     // the cable goes while a start-of-frame waits for the interrupt
};
void PrintTo(const ReplugCase& c, std::ostream* os) { *os << c.name; }

class UsbReplug : public UsbData, public ::testing::WithParamInterface<ReplugCase> {
protected:
  static constexpr std::uint32_t kNvicIser2 = 0xE000E100 + 8, kNvicIcer2 = 0xE000E180 + 8, kOtgFsIrqBit = 1u << 3;
};

// Output in flight when the cable goes, more queued while it is out: after
// each new enumeration every byte USB_putc accepted reaches the host once,
// in order, and the stream goes on. The cable goes in every phase of the
// six-frame pacing: idle, mid-burst, with a packet waiting in the FIFO for
// a host that stopped reading, and together with the start-of-frame that
// starts a burst.
TEST_P(UsbReplug, ShouldDeliverEveryAcceptedByteExactlyOnceAcrossReplugs) {
  const ReplugCase& c = GetParam();
  boot_enumerated();
  std::string accepted;
  unsigned next = 0;
  auto offer = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, ++next) {
      const auto b = static_cast<std::uint8_t>(next * 37 + next / 256);
      if (usb_putc(b) == 0) accepted += static_cast<char>(b);
    }
  };
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    offer(200);
    run_until([] { return false; }, c.open_ms);
    if (c.closed_ms >= 0) {
      host().close_port();
      run_until([] { return false; }, c.closed_ms);
    }
    if (c.with_sof) {
      m().write32(kNvicIcer2, kOtgFsIrqBit);  // the interrupt held off over the next frame's start
      run_until([] { return false; }, 1);
    }
    host().unplug();
    if (c.with_sof) {
      run_until([] { return false; }, 0.01);
      m().write32(kNvicIser2, kOtgFsIrqBit);  // session end and SOF taken in one interrupt
    }
    offer(300);  // fills the ring; what does not fit is refused
    run_until([] { return false; }, c.out_ms);
    host().plug();
    ASSERT_TRUE(run_until([&] { return host().state() == UsbHost::State::kConfigured; }, 1000));
    ASSERT_TRUE(run_until([&] { return host().received().size() >= accepted.size(); }, 200))
        << host().received().size() << " of " << accepted.size();
  }
  offer(100);  // the stream is alive
  run_until([&] { return host().received().size() >= accepted.size(); }, 100);
  run_until([] { return false; }, 15);
  EXPECT_EQ(accepted.size(), host().received().size());
  EXPECT_TRUE(accepted == host().received()) << "bytes lost, repeated or out of order";
}

INSTANTIATE_TEST_SUITE_P(
    Timings, UsbReplug,
    ::testing::Values(ReplugCase{"open_at_once", 0.05, -1, 5, false}, ReplugCase{"open_0_9_ms", 0.9, -1, 5, false},
                      ReplugCase{"open_2_2_ms", 2.2, -1, 50, false}, ReplugCase{"open_3_7_ms", 3.7, -1, 5, false},
                      ReplugCase{"open_6_05_ms", 6.05, -1, 120, false},
                      ReplugCase{"closed_at_once", 0.05, 0.05, 5, false}, ReplugCase{"closed_0_5_ms", 1, 0.5, 5, false},
                      ReplugCase{"closed_3_ms", 0.3, 3, 20, false}, ReplugCase{"closed_7_ms", 2.5, 7, 5, false},
                      ReplugCase{"closed_13_ms", 4.1, 13, 60, false}, ReplugCase{"sof_0_ms", 0, -1, 5, true},
                      ReplugCase{"sof_1_ms", 1, -1, 5, true}, ReplugCase{"sof_2_ms", 2, -1, 5, true},
                      ReplugCase{"sof_3_ms", 3, -1, 5, true}, ReplugCase{"sof_4_ms", 4, -1, 5, true},
                      ReplugCase{"sof_5_ms", 5, -1, 5, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vb::test
