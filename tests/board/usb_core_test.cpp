// The OTG_FS core as the firmware leaves it (initialisation, bus reset, board
// support) and the core driver's packet and endpoint operations, called on
// the emulated core.
#include <gtest/gtest.h>

#include "sim/periph/gpio.hpp"
#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

constexpr std::uint32_t kOtg = 0x50000000;
constexpr std::uint32_t kNvicIpr = 0xE000E400, kNvicIser = 0xE000E100;
constexpr std::uint32_t kGpioA = 0x40020000, kGpioC = 0x40020800;

class UsbCore : public UsbBoardTest {
protected:
  std::uint32_t reg(std::uint32_t offset) { return board().otg_fs().peek(offset); }
  // A USB_OTG_EP record in scratch RAM (32-bit layout: num, is_in, is_stall,
  // type, data_pid_start, even_odd_frame, tx_fifo_num, maxpacket, xfer_buff,
  // dma_addr, xfer_len, ...).
  std::uint32_t ep_record(std::uint8_t num, bool in, std::uint8_t type, std::uint32_t mps, std::uint32_t len,
                          std::uint32_t buff = 0) {
    const std::uint32_t at = scratch() + 0x800;
    for (std::uint32_t i = 0; i < 40; i += 4) m().write32(at + i, 0);
    m().write8(at + 0, num);
    m().write8(at + 1, in ? 1 : 0);
    m().write8(at + 3, type);
    m().write16(at + 6, num);
    m().write32(at + kEpMaxPacket, mps);
    m().write32(at + kEpXferBuff, buff);
    m().write32(at + kEpXferLen, len);
    return at;
  }
};

TEST_F(UsbCore, ShouldLeaveTheCoreInitialisedAsTheDeviceNeedsIt) {
  ASSERT_TRUE(boot());
  ASSERT_TRUE(board().run_until_console("setup done.", 100));
  const struct { const char* name; std::uint32_t addr, mask, value; } cases[] = {
      {"GINTMSK", kOtg + 0x018, ~0u, 0xC03C381C},
      {"GRXFSIZ", kOtg + 0x024, ~0u, 128},
      {"DIEPTXF0", kOtg + 0x028, ~0u, 0x00200080},
      {"DIEPTXF1", kOtg + 0x104, ~0u, 0x008000A0},
      {"DIEPTXF2", kOtg + 0x108, ~0u, 0x00200120},
      {"DIEPTXF3", kOtg + 0x10C, ~0u, 0x00000140},
      {"GCCFG", kOtg + 0x038, ~0u, 0x000D0000},
      {"GAHBCFG global interrupt", kOtg + 0x008, 1u, 1u},
      {"GUSBCFG PHYSEL, FDMOD, FHMOD", kOtg + 0x00C, 0x60000040, 0x40000040},
      {"DCFG DSPD full speed, PFIVL 80 %", kOtg + 0x800, 0x1803, 3},
      {"DIEPMSK", kOtg + 0x810, ~0u, 0x100},
      {"DAINTMSK", kOtg + 0x81C, ~0u, 0},
      {"PCGCCTL", kOtg + 0xE00, ~0u, 0},
      {"NVIC priority of IRQ 67", kNvicIpr + 64, 0xFF000000, 0x20000000},
      {"NVIC ISER2 (IRQ 67)", kNvicIser + 8, 1u << 3, 1u << 3},
      {"PA9-PA12 mode: in, out, AF, AF", kGpioA + 0x00, 0x03FC0000, 0x02900000},
      {"PA10-PA12 AF10", kGpioA + 0x24, 0x000FFFF0, 0x000AAA00},
      {"PA10 open-drain, PA11/12 push-pull", kGpioA + 0x04, 0x1C00, 0x0400},
      {"PA10 pull-down", kGpioA + 0x0C, 0x03FC0000, 0x00200000},
      {"PA11/PA12 highest speed", kGpioA + 0x08, 0x03FC0000, 0x03C00000},
      {"PC0 open-drain output, pulled up, high", kGpioC + 0x00, 3u, 1u},
      {"PC0 pull-up", kGpioC + 0x0C, 3u, 1u},
      {"PC0 latch", kGpioC + 0x14, 1u, 1u},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, m().read32(c.addr) & c.mask) << c.name;
  EXPECT_NE(std::string::npos, board().usart3_output().find("setup OTG_FS(CDC:VCP)\r\r\n"
                                                            "USB(OTG_FS) CDC-VCOM Port shell console start.\r\r\n"));
}

// Pins are configured latch first and mode last, so no pin glitches through
// an unintended level; the ports' clocks were on before.
TEST_F(UsbCore, ShouldConfigureTheUsbPinsInTheSafeOrder) {
  ASSERT_TRUE(boot());
  for (int port : {0, 2}) {
    SCOPED_TRACE(port == 0 ? "GPIOA" : "GPIOC");
    const auto& writes = board().gpio().port(port).writes();
    ASSERT_GE(writes.size(), 6u);
    std::vector<std::uint32_t> last;
    for (std::size_t i = writes.size() - 6; i < writes.size(); ++i) last.push_back(writes[i].offset);
    const std::uint32_t afr = port == 0 ? 0x24 : 0x20;
    EXPECT_EQ((std::vector<std::uint32_t>{0x14, 0x0C, 0x08, 0x04, afr, 0x00}), last);
  }
}

TEST_F(UsbCore, ShouldOpenOnlyEndpointZeroAfterBusReset) {
  boot_manual();
  EXPECT_EQ(0x00010001u, reg(0x81C));  // DAINTMSK
  EXPECT_EQ(0x0Bu, reg(0x814));        // DOEPMSK: XFRC, EPDISD, STUP
  EXPECT_EQ(0x0Bu, reg(0x810));        // DIEPMSK: XFRC, EPDISD, TOC
  EXPECT_EQ(0u, reg(0x800) & 0x7F0);   // address 0
  EXPECT_EQ(6u, (reg(0x00C) >> 10) & 0xF) << "the manual's minimum turnaround time for HCLK >= 32 MHz";
  EXPECT_EQ(3u, reg(0xB10) >> 29) << "endpoint 0 ready for three SETUPs";
  EXPECT_EQ(1u, var8("USB_OTG_dev", kDeviceStatus));
}

struct XferCase {
  const char* name;
  std::uint8_t num;
  bool in;
  std::uint32_t len;
  std::uint32_t tsiz_offset;
  std::uint32_t pktcnt, xfrsiz;
  std::uint32_t len_after;  // the record's xfer_len afterwards
};
void PrintTo(const XferCase& c, std::ostream* os) { *os << c.name; }

class UsbStartXfer : public UsbCore, public ::testing::WithParamInterface<XferCase> {};

TEST_P(UsbStartXfer, ShouldProgramPacketCountAndSize) {
  const XferCase& c = GetParam();
  boot_manual();
  address_and_configure();
  m().write32(kOtg + 0x008, 0);  // global interrupt off: the handler stays out
  const std::uint32_t ep = ep_record(c.num, c.in, c.num == 0 ? 0 : 2, 64, c.len, scratch());
  m().call(c.num == 0 ? "USB_OTG_EP0StartXfer" : "USB_OTG_EPStartXfer", {m().symbol("USB_OTG_dev"), ep});
  const std::uint32_t tsiz = reg(c.tsiz_offset);
  EXPECT_EQ(c.pktcnt, (tsiz >> 19) & 0x3FF);
  EXPECT_EQ(c.xfrsiz, tsiz & 0x7FFFF);
  EXPECT_EQ(c.len_after, m().read32(ep + kEpXferLen));
  EXPECT_NE(0u, reg(c.tsiz_offset - 0x10) & 1u << 31) << "EPENA";
}

INSTANTIATE_TEST_SUITE_P(
    Core, UsbStartXfer,
    ::testing::Values(XferCase{"in_200", 1, true, 200, 0x930, 4, 200, 200},
                      XferCase{"in_zero_length", 1, true, 0, 0x930, 1, 0, 0},
                      XferCase{"out_10", 1, false, 10, 0xB30, 1, 64, 10},
                      XferCase{"out_130", 1, false, 130, 0xB30, 3, 192, 130},
                      XferCase{"ep0_in_67", 0, true, 67, 0x910, 1, 64, 64},
                      XferCase{"ep0_out_8", 0, false, 8, 0xB10, 1, 64, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbCore, ShouldWriteAndReadPacketsByTheWordWithoutOverrunningBuffers) {
  boot_manual();
  address_and_configure();
  m().write32(kOtg + 0x008, 0);  // global interrupt off
  const std::uint32_t dev = m().symbol("USB_OTG_dev");
  const std::uint32_t buf = scratch();
  // 7 bytes into transmit FIFO 1: two words, the second with bytes 4-6.
  for (std::uint32_t i = 0; i < 8; ++i) m().write8(buf + i, static_cast<std::uint8_t>(0x10 + i));
  const std::uint32_t free_before = reg(0x938);
  m().call("USB_OTG_WritePacket", {dev, buf, 1, 7});
  EXPECT_EQ(free_before - 2, reg(0x938));
  m().write32(kOtg + 0x930, 1u << 19 | 7);
  m().write32(kOtg + 0x920, m().read32(kOtg + 0x920) | 1u << 31 | 1u << 26);
  std::vector<std::uint8_t> data;
  int pid = 0;
  ASSERT_EQ(Handshake::kAck, board().otg_fs().in(5, 1, data, pid));
  EXPECT_EQ((Bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}), data);

  // 13 bytes out of the receive FIFO into a 13-byte buffer: four words
  // popped, nothing stored past the buffer.
  const Bytes packet = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  ASSERT_EQ(Handshake::kAck, board().otg_fs().out(5, 1, packet, 0));
  (void)m().read32(kOtg + 0x020);  // pop the status
  for (std::uint32_t i = 0; i < 16; ++i) m().write8(buf + 0x40 + i, 0xEE);
  m().call("USB_OTG_ReadPacket", {dev, buf + 0x40, 13});
  for (std::uint32_t i = 0; i < 13; ++i) EXPECT_EQ(packet[i], m().read8(buf + 0x40 + i));
  EXPECT_EQ(0xEE, m().read8(buf + 0x40 + 13));
  EXPECT_EQ(1u | 3u << 17, m().read32(kOtg + 0x01C)) << "next: the completion of the short transfer";
}

}  // namespace
}  // namespace vb::test
