// Control-transfer rules of the device core seen on the bus: data stages in
// packets with or without a closing zero-length packet, addressing,
// configuration, features, suspend and resume, and the class's line coding.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

class UsbControl : public UsbBoardTest {
protected:
  // Sizes of the IN data packets endpoint 0 sent for transfer `t` (the
  // status stage, a zero-length OUT, is not among them).
  std::vector<std::size_t> ep0_in_packets(const UsbTransfer& t) {
    std::vector<std::size_t> sizes;
    for (const auto& x : host().transactions()) {
      const double us = x.time_us;
      if (us < t.submitted_us || us > t.done_us) continue;
      if (x.token == UsbTransaction::Token::kIn && x.ep == 0 && x.handshake == Handshake::kAck)
        sizes.push_back(x.data.size());
    }
    return sizes;
  }
  // Shortens a text in the image's flash to `chars` characters (a patch, as
  // a debugger would write it).
  void shorten_flash_text(const std::string& text, std::size_t chars) {
    for (std::uint32_t a = 0x08000000; a < 0x08000000 + 0x40000; ++a) {
      std::size_t i = 0;
      while (i < text.size() && m().read8(a + i) == static_cast<std::uint8_t>(text[i])) ++i;
      if (i == text.size()) {
        const std::uint8_t zero = 0;
        m().load_bytes(a + static_cast<std::uint32_t>(chars), std::span<const std::uint8_t>(&zero, 1));
        return;
      }
    }
    FAIL() << "text not in flash: " << text;
  }
};

struct DataStageCase {
  const char* name;
  std::uint16_t value;    // descriptor type and index
  std::uint16_t length;   // wLength
  std::vector<std::size_t> packets;
};
void PrintTo(const DataStageCase& c, std::ostream* os) { *os << c.name; }

class UsbDataStage : public UsbControl, public ::testing::WithParamInterface<DataStageCase> {};

// A data stage ends with a short packet, or with a zero-length packet when
// the answer is a whole number of packets shorter than wLength.
TEST_P(UsbDataStage, ShouldEndWithShortOrZeroLengthPacket) {
  const DataStageCase& c = GetParam();
  boot_manual();
  ASSERT_EQ(Status::kOk, ctl(0x00, 5, 5, 0, 0).status);
  host().set_address(5);
  // The product string cut to 31 characters is a 64-byte descriptor.
  shorten_flash_text("STM32 Virtual ComPort in FS Mode", 31);
  const UsbTransfer t = ctl(0x80, 6, c.value, 0x409, c.length);
  ASSERT_EQ(Status::kOk, t.status);
  EXPECT_EQ(c.packets, ep0_in_packets(t));
}

INSTANTIATE_TEST_SUITE_P(
    Ep0, UsbDataStage,
    ::testing::Values(DataStageCase{"exact_64_of_255", 0x0302, 255, {64, 0}},
                      DataStageCase{"exact_64_of_64", 0x0302, 64, {64}},
                      DataStageCase{"config_67_of_255", 0x0200, 255, {64, 3}},
                      DataStageCase{"config_64_of_64", 0x0200, 64, {64}},
                      DataStageCase{"device_18", 0x0100, 18, {18}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbControl, ShouldAnswerAtTheLastAddressSet) {
  boot_manual();
  ASSERT_EQ(Status::kOk, ctl(0x00, 5, 5, 0, 0).status);
  host().set_address(5);
  ASSERT_EQ(Status::kOk, ctl(0x00, 5, 3, 0, 0).status);  // the status stage still goes to address 5
  host().set_address(5);
  EXPECT_EQ(Status::kError, get_descriptor(1, 0, 18).status);  // nobody at 5 any more
  host().set_address(3);
  EXPECT_EQ(18u, get_descriptor(1, 0, 18).data.size());
  EXPECT_EQ(3u, var8("USB_OTG_dev", kDeviceAddress));
  // SET_ADDRESS 0 goes back to the default state.
  ASSERT_EQ(Status::kOk, ctl(0x00, 5, 0, 0, 0).status);
  host().set_address(0);
  EXPECT_EQ(1u, var8("USB_OTG_dev", kDeviceStatus));
  EXPECT_EQ(8u, get_descriptor(1, 0, 18).data.size());
}

TEST_F(UsbControl, ShouldStallVendorRequestFiveAndKeepTheAddress) {
  boot_manual();
  address_and_configure(5);
  EXPECT_EQ(Status::kStall, ctl(0x40, 5, 9, 0, 0).status);
  EXPECT_EQ(5u, var8("USB_OTG_dev", kDeviceAddress));
  EXPECT_EQ(Status::kOk, ctl(0x80, 0, 0, 0, 2).status);  // still answering at 5
}

TEST_F(UsbControl, ShouldInitialiseTheClassOnceForTheSameConfiguration) {
  bypass_shell();
  boot_manual();
  address_and_configure(5);
  const std::uint64_t id = host().bulk_out(0x01, {'a', 'b', 'c'});
  ASSERT_TRUE(run_until([&] { return host().transfer(id)->status == Status::kOk; }, 50));
  ASSERT_EQ(3u, m().call("USB_nbuf"));
  // The same configuration again: the class is not set up anew (which would
  // empty the receive ring).
  ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
  EXPECT_EQ(3u, m().call("USB_nbuf"));
  // Configuration 0 and 1 again: a fresh start.
  ASSERT_EQ(Status::kOk, ctl(0x00, 9, 0, 0, 0).status);
  EXPECT_EQ(2u, var8("USB_OTG_dev", kDeviceStatus));
  ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
  EXPECT_EQ(0u, m().call("USB_nbuf"));
}

TEST_F(UsbControl, ShouldReportRemoteWakeupInDeviceStatus) {
  boot_manual();
  address_and_configure();
  EXPECT_EQ((Bytes{1, 0}), ctl(0x80, 0, 0, 0, 2).data);
  ASSERT_EQ(Status::kOk, ctl(0x00, 3, 1, 0, 0).status);
  EXPECT_EQ((Bytes{3, 0}), ctl(0x80, 0, 0, 0, 2).data);
  ASSERT_EQ(Status::kOk, ctl(0x00, 1, 1, 0, 0).status);
  EXPECT_EQ((Bytes{1, 0}), ctl(0x80, 0, 0, 0, 2).data);
}

TEST_F(UsbControl, ShouldHaltBulkInAndResetItsToggleOnClear) {
  boot_manual();
  address_and_configure();
  // One packet goes out first, so the endpoint's toggle is at DATA1.
  ASSERT_EQ(0, usb_putc('x'));
  host().bulk_in(0x81, 64);
  ASSERT_TRUE(run_until([&] { return !bulk_in_packets().empty(); }, 20));
  EXPECT_EQ(0, bulk_in_packets().back().pid);

  ASSERT_EQ(Status::kOk, ctl(0x02, 3, 0, 0x81, 0).status);  // SET_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ((Bytes{1, 0}), ctl(0x82, 0, 0, 0x81, 2).data);
  EXPECT_EQ(1u, var8("USB_OTG_dev", in_ep(1) + kEpIsStall));
  const std::uint64_t stalled = host().bulk_in(0x81, 64);
  ASSERT_TRUE(run_until([&] { return host().transfer(stalled)->status != Status::kPending; }, 20));
  EXPECT_EQ(Status::kStall, host().transfer(stalled)->status);

  ASSERT_EQ(Status::kOk, ctl(0x02, 1, 0, 0x81, 0).status);  // CLEAR_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ((Bytes{0, 0}), ctl(0x82, 0, 0, 0x81, 2).data);
  host().reset_toggle(0x81);
  ASSERT_EQ(0, usb_putc('y'));
  host().bulk_in(0x81, 64);
  ASSERT_TRUE(run_until([&] { return bulk_in_packets().size() == 2; }, 20));
  EXPECT_EQ(0, bulk_in_packets().back().pid) << "the data toggle restarts at DATA0";
  EXPECT_EQ((Bytes{'y'}), bulk_in_packets().back().data);
}

TEST_F(UsbControl, ShouldKeepTheDeviceStateOverSuspendAndResume) {
  for (bool configure : {false, true}) {
    SCOPED_TRACE(configure ? "configured" : "addressed");
    SetUp();
    boot_manual();
    ASSERT_EQ(Status::kOk, ctl(0x00, 5, 5, 0, 0).status);
    host().set_address(5);
    if (configure) {
      ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
    }
    host().suspend();
    ASSERT_TRUE(run_until([&] { return var8("USB_OTG_dev", kDeviceStatus) == 4; }, 20));
    host().resume();
    run_until([] { return false; }, 30);
    EXPECT_EQ(configure ? 3u : 2u, var8("USB_OTG_dev", kDeviceStatus));
    EXPECT_EQ(Status::kOk, ctl(0x80, 0, 0, 0, 2).status);
  }
}

TEST_F(UsbControl, ShouldStoreAndReturnTheLineCodingAndAcceptLineState) {
  boot_manual();
  address_and_configure();
  const Bytes coding = {0x80, 0x25, 0x00, 0x00, 2, 2, 7};  // 9600 bit/s, 2 stop bits, even parity, 7 bits
  ASSERT_EQ(Status::kOk, ctl(0x21, 0x20, 0, 0, 7, coding).status);
  EXPECT_EQ(coding, ctl(0xA1, 0x21, 0, 0, 7).data);
  EXPECT_EQ(9600u, var("linecoding"));
  EXPECT_EQ(Status::kOk, ctl(0x21, 0x22, 3, 0, 0).status);
  EXPECT_EQ(Status::kOk, ctl(0x21, 0x23, 0, 0, 0).status);  // SEND_BREAK, accepted and ignored
  EXPECT_EQ(coding, ctl(0xA1, 0x21, 0, 0, 7).data);
}

TEST_F(UsbControl, ShouldGiveUpARequestTheFirmwareNeverAnswers) {
  bypass_shell();  // its ring checks would unmask the interrupt again
  boot_manual();
  m().write32(0xE000E180 + 8, 1u << 3);  // NVIC ICER2: the OTG_FS interrupt off
  const std::uint64_t id = host().control(0x80, 6, 0x0100, 0, 18);
  m().run_ms(4900);
  EXPECT_EQ(Status::kPending, host().transfer(id)->status) << "the data stage is NAKed meanwhile";
  run_until([&] { return host().transfer(id)->status != Status::kPending; }, 200);
  EXPECT_EQ(Status::kTimeout, host().transfer(id)->status);
}

TEST_F(UsbControl, ShouldNeverWritePastTheCommandBuffer) {
  boot_manual();
  address_and_configure();
  const std::uint32_t at = m().symbol("CmdBuff");
  auto marks = [&] {
    std::size_t n = 0;
    for (std::uint32_t a = at - 256; a < at + 256; ++a) n += m().read8(a) == 0xA5;
    return n;
  };
  const std::size_t before = marks();
  // A class request announcing 64 bytes is refused at its SETUP.
  EXPECT_EQ(Status::kStall, ctl(0x21, 0x20, 0, 0, 64, Bytes(64, 0xA5)).status);
  // A host that announces 7 bytes and sends a whole packet: 7 are kept.
  const std::array<std::uint8_t, 8> setup{0x21, 0x20, 0, 0, 0, 0, 7, 0};
  const std::uint64_t id = host().control(setup, Bytes(64, 0xA5));
  run_until([&] { return host().transfer(id)->status != Status::kPending; }, 50);
  EXPECT_EQ(before + 7, marks());
  EXPECT_EQ(0xA5A5A5A5u, var("linecoding"));
  EXPECT_EQ(0xFFu, var("cdcCmd"));
}

}  // namespace
}  // namespace vb::test
