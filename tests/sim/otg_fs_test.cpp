// The OTG_FS model alone: reset values, the receive FIFO's status sequence,
// handshakes, the transmit FIFOs and the interrupt line, against the
// reference manual.
#include "sim/periph/otg_fs.hpp"

#include <gtest/gtest.h>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using O = OtgFs;
constexpr std::uint32_t in_ep(unsigned n, std::uint32_t reg) { return 0x900 + 0x20 * n + reg; }
constexpr std::uint32_t out_ep(unsigned n, std::uint32_t reg) { return 0xB00 + 0x20 * n + reg; }
constexpr std::uint32_t kCtl = 0x00, kInt = 0x08, kTsiz = 0x10, kTxfsts = 0x18;
constexpr std::uint32_t kEpena = 1u << 31, kCnak = 1u << 26, kSnak = 1u << 27, kStall = 1u << 21,
                        kUsbaep = 1u << 15, kBulk = 2u << 18;
constexpr std::uint32_t status_word(unsigned ep, unsigned bcnt, unsigned pktsts, unsigned dpid = 0) {
  return ep | bcnt << 4 | dpid << 15 | pktsts << 17;
}

class OtgFsModel : public ::testing::Test {
protected:
  OtgFsModel() {
    clocks.t.sysclk = clocks.t.hclk = 144'000'000;
    clocks.t.clk48 = 48'000'000;
    m.set_clock_control(&clocks);
    m.attach(otg);
  }
  void w(std::uint32_t off, std::uint32_t v) { otg.write(off, v, ~0u); }
  std::uint32_t r(std::uint32_t off) { return otg.read(off); }
  void set(std::uint32_t off, std::uint32_t bits) { w(off, r(off) | bits); }  // read-modify-write
  // Powered, VBUS sensed, reset and enumerated at address 0; FIFOs laid out
  // as the firmware does (receive 128 words, transmit 0: 32, 1: 128).
  void attach() {
    w(O::GUSBCFG, 6u << 10);  // turnaround time for 144 MHz
    w(O::GCCFG, 1u << 16 | 1u << 19);
    w(O::DCFG, 3);
    w(O::GRXFSIZ, 128);
    w(O::DIEPTXF0, 128 | 32u << 16);
    w(O::DIEPTXF1, 160 | 128u << 16);
    otg.set_vbus(true);
    otg.bus_reset_begin();
    otg.bus_reset_end();
  }
  void open_bulk(unsigned n) {
    w(in_ep(n, kCtl), 64 | kBulk | n << 22 | kUsbaep | 1u << 28);
    w(out_ep(n, kCtl), 64 | kBulk | kUsbaep | 1u << 28);
  }

  test::FixedClocks clocks;
  Machine m;
  OtgFs otg;
};

TEST_F(OtgFsModel, ShouldStartFromTheManualsResetValues) {
  const struct { std::uint32_t offset, value; } cases[] = {
      {O::GUSBCFG, 0x0000'0A00},  {O::GINTSTS, 0x0400'0020}, {O::GINTMSK, 0},
      {O::GRXFSIZ, 0x0000'0200},  {O::DIEPTXF0, 0x0000'0200}, {O::HPTXFSIZ, 0x0200'0600},
      {O::DIEPTXF1, 0x0200'0400}, {O::GCCFG, 0},             {O::DCFG, 0x0220'0000},
      {O::DCTL, 0},               {O::DSTS, 0x0000'0010},    {O::DVBUSDIS, 0x0000'17D7},
      {O::DVBUSPULSE, 0x0000'05B8}, {in_ep(0, kCtl), 0x0000'8000}, {out_ep(0, kCtl), 0x0000'8000},
      {in_ep(1, kCtl), 0},        {in_ep(1, kInt), 0x0000'0080},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, r(c.offset)) << std::hex << c.offset;
  EXPECT_NE(0u, r(O::GRSTCTL) & 1u << 31) << "AHBIDL";
}

TEST_F(OtgFsModel, ShouldQueueSetupAsDataThenDoneOnTheNextTokenAndRaiseStupOnThatPop) {
  attach();
  w(out_ep(0, kTsiz), 3u << 29 | 1u << 19 | 24);
  const std::array<std::uint8_t, 8> setup{0x80, 6, 0, 1, 0, 0, 64, 0};
  EXPECT_EQ(Handshake::kAck, otg.setup(0, setup));
  EXPECT_NE(0u, r(O::GINTSTS) & O::GINT_RXFLVL);
  EXPECT_EQ(status_word(0, 8, 6), r(O::GRXSTSR));
  EXPECT_EQ(status_word(0, 8, 6), r(O::GRXSTSP));
  EXPECT_EQ(0x01000680u, r(0x1000));
  EXPECT_EQ(0x00400000u, r(0x1000));
  EXPECT_EQ(0u, r(O::GINTSTS) & O::GINT_RXFLVL) << "the setup phase lasts until the host's next token";
  set(out_ep(0, kCtl), kEpena);
  std::vector<std::uint8_t> data;
  int pid = -1;
  EXPECT_EQ(Handshake::kNak, otg.in(0, 0, data, pid)) << "the token that ends the setup phase";
  EXPECT_EQ(0u, r(out_ep(0, kInt)) & O::EPINT_STUP) << "not before the completion entry is popped";
  EXPECT_EQ(status_word(0, 0, 4), r(O::GRXSTSP));
  EXPECT_NE(0u, r(out_ep(0, kInt)) & O::EPINT_STUP);
  EXPECT_EQ(0u, r(out_ep(0, kCtl)) & kEpena);
  EXPECT_EQ(0u, r(O::GINTSTS) & O::GINT_RXFLVL);
  EXPECT_EQ(2u, r(out_ep(0, kTsiz)) >> 29) << "STUPCNT counts SETUPs";
}

// Back-to-back SETUPs (a host retrying one whose ACK it missed) are one
// setup phase: the data of each, one completion, one STUP.
TEST_F(OtgFsModel, ShouldRaiseStupOncePerSetupPhase) {
  attach();
  w(out_ep(0, kTsiz), 3u << 29 | 1u << 19 | 24);
  const std::array<std::uint8_t, 8> setup{0x80, 6, 0, 1, 0, 0, 64, 0};
  ASSERT_EQ(Handshake::kAck, otg.setup(0, setup));
  ASSERT_EQ(Handshake::kAck, otg.setup(0, setup));
  std::vector<std::uint8_t> data;
  int pid = -1;
  EXPECT_EQ(Handshake::kNak, otg.in(0, 0, data, pid));
  EXPECT_EQ(Handshake::kNak, otg.in(0, 0, data, pid));
  std::vector<std::uint32_t> pktsts;
  while (r(O::GINTSTS) & O::GINT_RXFLVL) {
    const std::uint32_t st = r(O::GRXSTSP);
    pktsts.push_back((st >> 17) & 0xF);
    for (std::uint32_t i = 0; i < ((st >> 4) & 0x7FF) / 4; ++i) r(0x1000);
  }
  EXPECT_EQ((std::vector<std::uint32_t>{6, 6, 4}), pktsts);
}

// A control transfer's data stage starts with DATA1 after the SETUP (the
// SETUP itself is DATA0), whatever the last transfer left; the packets of
// the stage alternate from there.
TEST_F(OtgFsModel, ShouldStartEveryControlDataStageWithData1) {
  attach();
  const std::array<std::uint8_t, 8> setup{0x80, 6, 0, 1, 0, 0, 64, 0};
  std::vector<int> pids;
  for (unsigned packets : {1u, 2u, 3u}) {
    ASSERT_EQ(Handshake::kAck, otg.setup(0, setup));
    std::vector<std::uint8_t> data;
    int pid = -1;
    otg.in(0, 0, data, pid);  // ends the setup phase (NAKed)
    while (r(O::GINTSTS) & O::GINT_RXFLVL) {
      const std::uint32_t st = r(O::GRXSTSP);
      for (std::uint32_t i = 0; i < ((st >> 4) & 0x7FF) / 4; ++i) r(0x1000);
    }
    for (unsigned p = 0; p < packets; ++p) {
      w(in_ep(0, kTsiz), 1u << 19 | 8);
      set(in_ep(0, kCtl), kEpena | kCnak);
      w(0x1000, 0x11111111);
      w(0x1000, 0x22222222);
      ASSERT_EQ(Handshake::kAck, otg.in(0, 0, data, pid));
      pids.push_back(pid);
    }
  }
  EXPECT_EQ((std::vector<int>{1, 1, 0, 1, 0, 1}), pids);
}

TEST_F(OtgFsModel, ShouldQueueOutPacketsAndCompleteOnShortPacket) {
  attach();
  open_bulk(1);
  w(out_ep(1, kTsiz), 2u << 19 | 128);
  set(out_ep(1, kCtl), kEpena | kCnak);
  const std::vector<std::uint8_t> full(64, 0x11), shortp = {1, 2, 3, 4, 5};
  EXPECT_EQ(Handshake::kAck, otg.out(0, 1, full, 0));
  EXPECT_EQ(1u, (r(out_ep(1, kTsiz)) >> 19) & 0x3FF) << "PKTCNT drops as the packet enters";
  EXPECT_EQ(status_word(1, 64, 2), r(O::GRXSTSP));
  for (int i = 0; i < 16; ++i) r(0x1000);
  EXPECT_EQ(64u, r(out_ep(1, kTsiz)) & 0x7FFFF) << "XFRSIZ drops as the data is read";
  EXPECT_EQ(Handshake::kAck, otg.out(0, 1, shortp, 1));
  EXPECT_EQ(Handshake::kNak, otg.out(0, 1, shortp, 0)) << "transfer over, completion not yet popped";
  EXPECT_EQ(status_word(1, 5, 2, 2), r(O::GRXSTSP));
  EXPECT_EQ(0x04030201u, r(0x2000));
  EXPECT_EQ(0x00000005u, r(0x3000)) << "any window pops the receive FIFO";
  EXPECT_EQ(0u, r(out_ep(1, kInt)) & O::EPINT_XFRC);
  EXPECT_EQ(status_word(1, 0, 3, 2), r(O::GRXSTSP));
  EXPECT_NE(0u, r(out_ep(1, kInt)) & O::EPINT_XFRC);
  EXPECT_EQ(0u, r(out_ep(1, kCtl)) & kEpena);
}

TEST_F(OtgFsModel, ShouldHandshakeByEndpointState) {
  attach();
  open_bulk(1);
  const std::vector<std::uint8_t> one = {7};
  const struct {
    const char* name;
    std::uint32_t ctl_out;   // written to DOEPCTL1 (after arming PKTCNT 1)
    std::uint32_t dctl;      // written to DCTL
    std::uint8_t addr;
    Handshake expect;
  } cases[] = {
      {"not enabled", 0, 0, 0, Handshake::kNak},
      {"enabled", kEpena | kCnak, 0, 0, Handshake::kAck},
      {"NAK set", kEpena | kSnak, 0, 0, Handshake::kNak},
      {"global OUT NAK", kEpena | kCnak, 1u << 9, 0, Handshake::kNak},
      {"stalled", kEpena | kCnak | kStall, 0, 0, Handshake::kStall},
      {"other address", kEpena | kCnak, 0, 9, Handshake::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    otg.reset();
    attach();
    open_bulk(1);
    w(out_ep(1, kTsiz), 1u << 19 | 64);
    set(out_ep(1, kCtl), c.ctl_out);
    w(O::DCTL, c.dctl);
    EXPECT_EQ(c.expect, otg.out(c.addr, 1, one, 0));
  }
}

TEST_F(OtgFsModel, ShouldSendFifoDataOnInAndCompleteWhenThePacketsAreDone) {
  attach();
  open_bulk(1);
  EXPECT_EQ(128u, r(in_ep(1, kTxfsts)));
  std::vector<std::uint8_t> data;
  int pid = -1;
  EXPECT_EQ(Handshake::kNak, otg.in(0, 1, data, pid)) << "not enabled";
  w(in_ep(1, kTsiz), 1u << 19 | 6);
  set(in_ep(1, kCtl), kEpena | kCnak);
  EXPECT_EQ(Handshake::kNak, otg.in(0, 1, data, pid)) << "FIFO empty";
  EXPECT_NE(0u, r(in_ep(1, kInt)) & O::EPINT_ITTXFE);
  w(0x2000, 0x64636261);
  w(0x2000, 0x00006665);
  EXPECT_EQ(126u, r(in_ep(1, kTxfsts)));
  EXPECT_EQ(Handshake::kAck, otg.in(0, 1, data, pid));
  EXPECT_EQ((std::vector<std::uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}), data);
  EXPECT_EQ(0, pid);
  EXPECT_NE(0u, r(in_ep(1, kInt)) & O::EPINT_XFRC);
  EXPECT_EQ(0u, r(in_ep(1, kCtl)) & kEpena);
  // A zero-length packet: XFRSIZ 0, PKTCNT 1.
  w(in_ep(1, kTsiz), 1u << 19);
  set(in_ep(1, kCtl), kEpena | kCnak);
  EXPECT_EQ(Handshake::kAck, otg.in(0, 1, data, pid));
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(1, pid);
}

TEST_F(OtgFsModel, ShouldGateFifoEmptyByItsOwnMaskAndTheLineByGlobalEnable) {
  attach();
  open_bulk(1);
  w(O::GINTSTS, 0xFFFFFFFF);
  w(O::GINTMSK, O::GINT_IEPINT);
  w(O::DAINTMSK, 0x2);
  w(O::DIEPMSK, 0x0B);  // XFRC, EPDISD, TOC: not TXFE
  EXPECT_EQ(0u, r(O::GINTSTS) & O::GINT_IEPINT) << "TXFE is masked by DIEPEMPMSK, not DIEPMSK";
  w(O::DIEPEMPMSK, 0x2);
  EXPECT_NE(0u, r(O::GINTSTS) & O::GINT_IEPINT);
  EXPECT_EQ(0x2u, r(O::DAINT));
  EXPECT_FALSE(otg.irq_level()) << "GAHBCFG GINTMSK off";
  w(O::GAHBCFG, 1);
  EXPECT_TRUE(otg.irq_level());
  w(O::DIEPEMPMSK, 0);
  EXPECT_FALSE(otg.irq_level());
}

TEST_F(OtgFsModel, ShouldReportSessionRequestAndSessionEnd) {
  w(O::GCCFG, 1u << 16 | 1u << 19);
  w(O::GINTSTS, 0xFFFFFFFF);
  otg.set_vbus(true);
  EXPECT_NE(0u, r(O::GINTSTS) & O::GINT_SRQINT);
  EXPECT_NE(0u, r(O::GOTGCTL) & 1u << 19) << "B-session valid";
  otg.set_vbus(false);
  EXPECT_NE(0u, r(O::GOTGINT) & 1u << 2) << "SEDET";
  EXPECT_NE(0u, r(O::GINTSTS) & O::GINT_OTGINT);
  w(O::GOTGINT, 1u << 2);
  EXPECT_EQ(0u, r(O::GINTSTS) & O::GINT_OTGINT);
}

TEST_F(OtgFsModel, ShouldReportDeviceRegistersWrittenBeforeTheForcedModeApplies) {
  w(O::GUSBCFG, 1u << 30);
  test::run_for(m, 144'000 * 24);  // 24 ms
  w(O::DCFG, 3);
  EXPECT_TRUE(m.faulted());
}

TEST_F(OtgFsModel, ShouldAcceptDeviceRegistersOnceTheForcedModeApplies) {
  w(O::GUSBCFG, 1u << 30);
  test::run_for(m, 144'000 * 26);
  w(O::DCFG, 3);
  EXPECT_FALSE(m.faulted()) << m.fault_report();
}

TEST_F(OtgFsModel, ShouldPulseTheWakeupLineOnResumeFromSuspendOnly) {
  int rising = 0;
  otg.set_wakeup_line([&](bool level) { rising += level; });
  attach();
  otg.resume();
  EXPECT_EQ(0, rising);
  otg.suspend();
  EXPECT_NE(0u, r(O::DSTS) & 1u);
  otg.resume();
  EXPECT_EQ(1, rising);
  EXPECT_EQ(0u, r(O::DSTS) & 1u);
  EXPECT_NE(0u, r(O::GINTSTS) & O::GINT_WKUPINT);
}

// A USB reset deactivates endpoints 1-3 (USBAEP), so the firmware opens
// them again with their data toggles at DATA0; endpoint 0 stays active.
TEST_F(OtgFsModel, ShouldDeactivateEndpointsOneToThreeOnUsbReset) {
  attach();
  for (unsigned n = 1; n < 4; ++n) {
    w(in_ep(n, kCtl), 64 | kBulk | n << 22 | kUsbaep);
    w(out_ep(n, kCtl), 64 | kBulk | kUsbaep);
  }
  otg.bus_reset_begin();
  otg.bus_reset_end();
  for (unsigned n = 1; n < 4; ++n) {
    EXPECT_EQ(0u, r(in_ep(n, kCtl)) & kUsbaep) << n;
    EXPECT_EQ(0u, r(out_ep(n, kCtl)) & kUsbaep) << n;
  }
  EXPECT_NE(0u, r(in_ep(0, kCtl)) & kUsbaep);
  EXPECT_NE(0u, r(out_ep(0, kCtl)) & kUsbaep);
}

// The device is on the bus only in a valid session: VBUS sensed with
// VBUSBSEN, or sensing off (NOVBUSSENS).
TEST_F(OtgFsModel, ShouldSeeASessionOnlyAsTheVbusSensingAllows) {
  const struct {
    const char* name;
    std::uint32_t gccfg;
    bool vbus, attached;
  } cases[] = {
      {"B sensing, VBUS", 1u << 16 | 1u << 19, true, true},
      {"B sensing, no VBUS", 1u << 16 | 1u << 19, false, false},
      {"A sensing only", 1u << 16 | 1u << 18, true, false},
      {"no sensing configured", 1u << 16, true, false},
      {"NOVBUSSENS", 1u << 16 | 1u << 21, true, true},
      {"transceiver off", 1u << 19, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    otg.reset();
    otg.set_vbus(false);
    w(O::GCCFG, c.gccfg);
    otg.set_vbus(c.vbus);
    EXPECT_EQ(c.attached, otg.attached());
    EXPECT_FALSE(m.faulted()) << m.fault_report();
  }
}

// Transmit FIFO layouts the core cannot work with are reported when the
// FIFO is used.
TEST_F(OtgFsModel, ShouldReportATransmitFifoLayoutTheCoreCannotUse) {
  const struct {
    const char* name;
    std::uint32_t grxfsiz, txf0, txf1;
    bool report;
  } cases[] = {
      {"the firmware's layout", 128, 128 | 32u << 16, 160 | 128u << 16, false},
      {"256 words deep", 16, 16 | 32u << 16, 48 | 256u << 16, false},
      {"overlapping FIFO 0", 128, 128 | 32u << 16, 150 | 128u << 16, true},
      {"15 words deep", 128, 128 | 32u << 16, 160 | 15u << 16, true},
      {"257 words deep", 16, 16 | 32u << 16, 48 | 257u << 16, true},
      {"past the RAM", 128, 128 | 32u << 16, 200 | 128u << 16, true},
      {"over the receive FIFO", 128, 128 | 32u << 16, 100 | 16u << 16, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine mm;
    OtgFs o;
    mm.set_clock_control(&clocks);
    mm.attach(o);
    o.write(O::GRXFSIZ, c.grxfsiz, ~0u);
    o.write(O::DIEPTXF0, c.txf0, ~0u);
    o.write(O::DIEPTXF1, c.txf1, ~0u);
    o.write(0x2000, 0x12345678, ~0u);
    EXPECT_EQ(c.report, mm.faulted()) << mm.fault_report();
  }
}

// A turnaround time below the reference manual's minimum for HCLK is
// reported at the first transaction; 6 is the minimum from 32 MHz up.
TEST_F(OtgFsModel, ShouldReportATurnaroundTimeBelowTheMinimumForTheAhbClock) {
  for (std::uint32_t trdt : {5u, 6u}) {
    SCOPED_TRACE(trdt);
    Machine mm;
    OtgFs o;
    mm.set_clock_control(&clocks);
    mm.attach(o);
    o.write(O::GCCFG, 1u << 16 | 1u << 19, ~0u);
    o.write(O::DCFG, 3, ~0u);
    o.write(O::GUSBCFG, trdt << 10, ~0u);
    o.set_vbus(true);
    o.bus_reset_begin();
    o.bus_reset_end();
    const std::array<std::uint8_t, 8> setup{0x80, 6, 0, 1, 0, 0, 64, 0};
    o.setup(0, setup);
    EXPECT_FALSE(mm.faulted()) << "checked once the firmware has taken ENUMDNE";
    o.write(O::GINTSTS, O::GINT_ENUMDNE, ~0u);
    o.setup(0, setup);
    EXPECT_EQ(trdt < 6, mm.faulted()) << mm.fault_report();
  }
}

// A test mode (DCTL TCTL) takes the device off the bus until the core is
// soft-reset; the board says so and runs on.
TEST_F(OtgFsModel, ShouldStopAnsweringInATestModeUntilTheCoreIsReset) {
  std::vector<std::string> messages;
  m.set_message_sink([&](const std::string& s) { messages.push_back(s); });
  attach();
  const std::array<std::uint8_t, 8> setup{0x80, 6, 0, 1, 0, 0, 64, 0};
  ASSERT_EQ(Handshake::kAck, otg.setup(0, setup));
  w(O::DCTL, 4u << 4);  // test mode 4: packet
  w(O::DCTL, 4u << 4);
  EXPECT_EQ(Handshake::kNone, otg.setup(0, setup));
  EXPECT_FALSE(m.faulted()) << m.fault_report();
  EXPECT_EQ(1u, messages.size());
  w(O::GRSTCTL, 1);  // core soft reset
  attach();
  EXPECT_EQ(Handshake::kAck, otg.setup(0, setup));
}

}  // namespace
}  // namespace vb
