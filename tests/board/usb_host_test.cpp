// The host model behaves as the Linux host stack does where the device's
// faults would otherwise hide: babble, packet sizes from the descriptors,
// the device qualifier asked for, and a failed enumeration tried again.
#include <gtest/gtest.h>

#include <string>

#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

using UsbHostModel = UsbBoardTest;

// More data than a read asked for is babble: the read fails, nothing of it
// is cut off silently.
TEST_F(UsbHostModel, ShouldFailAReadThatGetsMoreThanItAskedFor) {
  bypass_shell();
  boot_manual();
  address_and_configure(5);
  for (char c : std::string("twenty bytes waiting")) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));
  const std::uint64_t id = host().bulk_in(0x81, 10);
  ASSERT_TRUE(run_until([&] { return host().transfer(id)->status != Status::kPending; }, 20));
  EXPECT_EQ(Status::kBabble, host().transfer(id)->status);
}

// A data packet with the wrong DATA PID is a transaction error: its data is
// dropped and the token tried again; the next packet with the right PID
// completes the read.
TEST_F(UsbHostModel, ShouldDropADataPacketWithTheWrongPid) {
  bypass_shell();
  boot_manual();
  address_and_configure(5);
  const std::uint32_t diepctl1 = 0x50000920;
  m().write32(diepctl1, m().read32(diepctl1) | 1u << 29);  // SODDFRM: the device's toggle to DATA1
  ASSERT_EQ(0, usb_putc('x'));
  const std::uint64_t id = host().bulk_in(0x81, 64);
  ASSERT_TRUE(run_until([&] { return !bulk_in_packets().empty(); }, 20));
  run_until([] { return false; }, 10);
  EXPECT_EQ(1, bulk_in_packets().front().pid);
  EXPECT_EQ(Status::kPending, host().transfer(id)->status) << "the DATA1 packet is not taken";
  ASSERT_EQ(0, usb_putc('y'));
  ASSERT_TRUE(run_until([&] { return host().transfer(id)->status != Status::kPending; }, 20));
  EXPECT_EQ(Status::kOk, host().transfer(id)->status);
  EXPECT_EQ((Bytes{'y'}), host().transfer(id)->data);
}

// The packet sizes come from the descriptors the host read: bMaxPacketSize0
// and each endpoint's wMaxPacketSize (the notification endpoint has 8).
TEST_F(UsbHostModel, ShouldTakePacketSizesFromTheDescriptors) {
  boot_enumerated();
  EXPECT_EQ(64u, host().max_packet(0x00));
  EXPECT_EQ(64u, host().max_packet(0x81));
  EXPECT_EQ(64u, host().max_packet(0x01));
  EXPECT_EQ(8u, host().max_packet(0x82));
}

// cdc_acm's reads are 128 bytes: one completes when full or on a short
// packet, so a reply ending on a 64-byte boundary needs the device's
// zero-length packet to reach the reader at all.
TEST_F(UsbHostModel, ShouldCompleteAReadOfTwoPacketsOnlyWhenFullOrShort) {
  bypass_shell();
  boot_enumerated();
  const struct {
    std::size_t queued;
    std::vector<std::size_t> reads;  // bytes of the reads that completed
  } cases[] = {{63, {63}}, {64, {64}}, {128, {128, 0}}, {130, {128, 2}}, {192, {128, 64}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.queued);
    move_tx_ring(0);
    host().clear_logs();
    host().clear_received();
    for (std::size_t i = 0; i < c.queued; ++i) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>('A' + i % 26)));
    run_until([&] { return host().received().size() == c.queued; }, 20);
    run_until([] { return false; }, 15);
    std::vector<std::size_t> reads;
    for (const auto& t : host().transfers())
      if (t.ep == 0x81) {
        EXPECT_EQ(UsbHost::kReadSize, t.length);
        reads.push_back(t.data.size());
      }
    EXPECT_EQ(c.reads, reads);
  }
}

// A USB 2.00 device is asked for its device qualifier right after its
// device descriptor; a full-speed-only device stalls it and enumeration
// goes on.
TEST_F(UsbHostModel, ShouldAskForTheDeviceQualifierAndAcceptItsStall) {
  boot_enumerated();
  std::vector<std::uint16_t> asked;
  for (const auto& t : host().transfers())
    if (t.kind == UsbTransfer::Kind::kControl && t.setup[1] == 6)
      asked.push_back(static_cast<std::uint16_t>(t.setup[3] << 8 | t.setup[2]));
  ASSERT_GE(asked.size(), 4u);
  EXPECT_EQ(0x0100, asked[1]);
  EXPECT_EQ(0x0600, asked[2]);
  EXPECT_EQ(UsbHost::State::kConfigured, host().state());
}

// A failed enumeration is followed by a port reset and a new attempt, and
// the host says so; after kEnumerationTries failures it gives up.
TEST_F(UsbHostModel, ShouldResetThePortAndTryAgainAfterAFailedEnumeration) {
  std::vector<std::string> said;
  host().set_message_sink([&](const std::string& s) { said.push_back(s); });
  bypass_shell();  // its ring checks would unmask the interrupt again
  host().plug();
  ASSERT_TRUE(boot());
  m().write32(0xE000E180 + 8, 1u << 3);  // NVIC ICER2: the OTG_FS interrupt off, requests time out
  ASSERT_TRUE(run_until([&] { return !said.empty(); }, 6000));
  EXPECT_NE(std::string::npos, said.front().find("trying again")) << said.front();
  m().write32(0xE000E100 + 8, 1u << 3);  // ISER2: on again
  ASSERT_TRUE(run_until([&] { return host().state() == UsbHost::State::kConfigured; }, 1000)) << host().failure();
  EXPECT_EQ(2u, host().enumerations());
}

// A device that answers nothing (here: in a test mode) fails every attempt.
TEST_F(UsbHostModel, ShouldGiveUpAfterTheLastAttempt) {
  std::vector<std::string> said;
  host().set_message_sink([&](const std::string& s) { said.push_back(s); });
  host().plug();
  ASSERT_TRUE(boot());
  m().write32(0x50000804, 4u << 4);  // DCTL TCTL: test mode 4, off the bus until the core is reset
  ASSERT_TRUE(run_until([&] { return said.size() == UsbHost::kEnumerationTries; }, 2000));
  EXPECT_NE(std::string::npos, said.back().find("unable to enumerate")) << said.back();
  EXPECT_EQ(UsbHost::kEnumerationTries, host().enumerations());
  EXPECT_EQ(UsbHost::State::kFailed, host().state());
}

}  // namespace
}  // namespace vb::test
