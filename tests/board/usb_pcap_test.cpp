// Capture files of the USB bus: the usbmon event layout, and what tshark
// makes of a whole enumeration with the port opened and data both ways.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/usbhost/pcap_writer.hpp"
#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

std::uint32_t le32(const Bytes& b, std::size_t i) {
  return static_cast<std::uint32_t>(b[i] | b[i + 1] << 8 | b[i + 2] << 16 | static_cast<std::uint32_t>(b[i + 3]) << 24);
}

// The kernel's mmapped usbmon header: type at 8, transfer type at 9,
// endpoint at 10, device at 11, bus at 12, setup and data flags at 14 and 15,
// status at 28, urb length at 32, captured length at 36, setup at 40; data
// from 64. Linux: EINPROGRESS 115, EPIPE 32, ECONNRESET 104.
TEST(UsbPcapEvent, ShouldLayOutSubmitAndCompleteEventsAsUsbmonDoes) {
  UsbTransfer get{};
  get.id = 7;
  get.kind = UsbTransfer::Kind::kControl;
  get.ep = 0x80;
  get.setup = {0x80, 6, 0, 1, 0, 0, 18, 0};
  get.length = 18;
  UsbTransfer got = get;
  got.status = UsbTransfer::Status::kOk;
  got.data = Bytes(18, 0x12);
  UsbTransfer out{};
  out.id = 9;
  out.kind = UsbTransfer::Kind::kBulk;
  out.ep = 0x01;
  out.length = 3;
  out.data = {'a', 'b', 'c'};
  UsbTransfer sent = out;
  sent.status = UsbTransfer::Status::kOk;
  UsbTransfer stalled = get;
  stalled.status = UsbTransfer::Status::kStall;
  UsbTransfer notify{};
  notify.kind = UsbTransfer::Kind::kInterrupt;
  notify.ep = 0x82;
  notify.length = 16;
  notify.status = UsbTransfer::Status::kCancelled;

  struct Case {
    const char* what;
    const UsbTransfer& t;
    char type;
    std::uint8_t xfer, flag_setup, flag_data;
    std::int32_t status;
    std::uint32_t length, captured;
  };
  const Case cases[] = {
      {"control IN submitted", get, 'S', 2, 0, '<', -115, 18, 0},
      {"control IN completed", got, 'C', 2, '-', 0, 0, 18, 18},
      {"control IN stalled", stalled, 'C', 2, '-', '<', -32, 0, 0},
      {"bulk OUT submitted", out, 'S', 3, '-', 0, -115, 3, 3},
      {"bulk OUT completed", sent, 'C', 3, '-', '>', 0, 3, 0},
      {"interrupt IN unlinked", notify, 'C', 1, '-', '<', -104, 0, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const Bytes e = PcapWriter::event(k.t, 5, 1);
    ASSERT_EQ(64u + k.captured, e.size());
    EXPECT_EQ(k.t.id, le32(e, 0));
    EXPECT_EQ(k.type, static_cast<char>(e[8]));
    EXPECT_EQ(k.xfer, e[9]);
    EXPECT_EQ(k.t.ep, e[10]);
    EXPECT_EQ(5, e[11]);
    EXPECT_EQ(1, e[12] | e[13] << 8);
    EXPECT_EQ(k.flag_setup, e[14]);
    EXPECT_EQ(k.flag_data, e[15]);
    EXPECT_EQ(k.status, static_cast<std::int32_t>(le32(e, 28)));
    EXPECT_EQ(k.length, le32(e, 32));
    EXPECT_EQ(k.captured, le32(e, 36));
    if (k.flag_setup == 0) {
      EXPECT_EQ(Bytes(k.t.setup.begin(), k.t.setup.end()), Bytes(e.begin() + 40, e.begin() + 48));
    }
    EXPECT_EQ(Bytes(k.t.data.begin(), k.t.data.begin() + k.captured), Bytes(e.begin() + 64, e.end()));
  }
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

class UsbPcap : public UsbBoardTest {};

TEST_F(UsbPcap, ShouldGiveTsharkAnEnumerationItDecodesWithoutMalformedPackets) {
  const std::string path = ::testing::TempDir() + "usb_pcap_test.pcap";
  {
    PcapWriter pcap(path);
    pcap.attach(host());
    boot_enumerated();
    host().write("?\r");
    ASSERT_TRUE(run_until([&] { return host().received().find("LSE\r\r\n") != std::string::npos; }, 100));
    // Still growing: what is there already reads as a capture.
    const std::string partial = run("tshark -r " + path + " 2>&1 | wc -l");
    EXPECT_GT(std::stoi(partial.empty() ? "0" : partial), 20) << partial;
  }
  const std::string text = run("tshark -r " + path + " -V 2>&1");
  ASSERT_FALSE(text.empty()) << "tshark did not run (scripts/bootstrap installs it)";
  for (const char* want : {"DEVICE", "CONFIGURATION", "STRING", "SET CONFIGURATION", "SET LINE CODING",
                           "SET CONTROL LINE STATE", "URB_BULK (0x03)", "3f0d", "4d4d444468686d6d"})
    EXPECT_NE(std::string::npos, text.find(want)) << want;
  // The firmware answers the first GET_DESCRIPTOR(device, 64) with the
  // descriptor's first 8 bytes (all a host needs then), which tshark shows as
  // a cut descriptor; every other frame decodes cleanly.
  const std::string bad = run("tshark -r " + path +
                              " -Y '_ws.malformed || _ws.expert.severity >= \"warning\"' -T fields"
                              " -e frame.number -e usb.data_len -e usb.bDescriptorType 2>/dev/null");
  EXPECT_EQ("2\t8\t0x01\n", bad) << "frames with problems (number, data length, descriptor type)";
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vb::test
