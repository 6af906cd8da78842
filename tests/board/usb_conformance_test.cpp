// What a real host relies on beyond enumeration: the data PIDs of control
// and bulk transfers, halts and toggles after configuration, endpoint 0
// never reported halted, and an interrupt load that does not grow while the
// host leaves a packet waiting.
#include <gtest/gtest.h>

#include <string>

#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

constexpr int kOtgFsException = 16 + 67;

class UsbConformance : public UsbBoardTest {
protected:
  void SetUp() override {
    UsbBoardTest::SetUp();
    bypass_shell();  // the receive ring keeps what the host sends
  }
  // The acknowledged endpoint-0 data and status packets of transfer `t`,
  // as "IN1 IN0 OUT1" (token and data PID; the SETUP is left out).
  std::string ep0_pids(const UsbTransfer& t) {
    std::string s;
    for (const auto& x : host().transactions()) {
      if (x.time_us < t.submitted_us || x.time_us > t.done_us || x.ep != 0) continue;
      if (x.handshake != Handshake::kAck || x.token == UsbTransaction::Token::kSetup) continue;
      if (!s.empty()) s += ' ';
      s += (x.token == UsbTransaction::Token::kIn ? "IN" : "OUT") + std::to_string(x.pid);
    }
    return s;
  }
  // One byte each way, so that both bulk endpoints' toggles stand at DATA1.
  void move_bulk_toggles_to_data1() {
    const std::uint64_t out = host().bulk_out(0x01, {'a'});
    ASSERT_TRUE(run_until([&] { return host().transfer(out)->status == Status::kOk; }, 20));
    ASSERT_EQ('a', usb_getc());
    ASSERT_EQ(0, usb_putc('b'));
    const std::uint64_t in = host().bulk_in(0x81, 64);
    ASSERT_TRUE(run_until([&] { return host().transfer(in)->status == Status::kOk; }, 20));
    ASSERT_EQ(0, bulk_in_packets().back().pid);
  }
  std::uint64_t otg_interrupts() { return m().stats().exceptions[kOtgFsException].entries; }
};

struct PidCase {
  const char* name;
  std::uint8_t bm, req;
  std::uint16_t value, index, length;
  Bytes out;
  const char* pids;
};
void PrintTo(const PidCase& c, std::ostream* os) { *os << c.name; }

class UsbControlPids : public UsbConformance, public ::testing::WithParamInterface<PidCase> {};

// Every data stage starts with DATA1 and alternates; the status stage is a
// zero-length DATA1 packet, IN when there is no data stage.
TEST_P(UsbControlPids, ShouldStartEveryDataStageWithData1AndEndWithAData1Status) {
  const PidCase& c = GetParam();
  boot_manual();
  address_and_configure(5);
  const std::uint64_t id = host().control(c.bm, c.req, c.value, c.index, c.length, c.out);
  ASSERT_TRUE(run_until([&] { return host().transfer(id)->status != Status::kPending; }, 50));
  const UsbTransfer t = *host().transfer(id);
  ASSERT_EQ(Status::kOk, t.status) << transfer_status_name(t.status);
  EXPECT_EQ(c.pids, ep0_pids(t));
}

INSTANTIATE_TEST_SUITE_P(
    Ep0, UsbControlPids,
    ::testing::Values(PidCase{"device_18", 0x80, 6, 0x0100, 0, 18, {}, "IN1 OUT1"},
                      PidCase{"configuration_67", 0x80, 6, 0x0200, 0, 255, {}, "IN1 IN0 OUT1"},
                      PidCase{"string_66", 0x80, 6, 0x0302, 0x409, 255, {}, "IN1 IN0 OUT1"},
                      PidCase{"configuration_64_of_64", 0x80, 6, 0x0200, 0, 64, {}, "IN1 OUT1"},
                      PidCase{"get_line_coding", 0xA1, 0x21, 0, 0, 7, {}, "IN1 OUT1"},
                      PidCase{"set_line_coding", 0x21, 0x20, 0, 0, 7, {0x80, 0x25, 0, 0, 0, 0, 8}, "OUT1 IN1"},
                      PidCase{"set_control_line_state", 0x21, 0x22, 3, 0, 0, {}, "IN1"},
                      PidCase{"get_status_without_data_stage", 0x80, 0, 0, 0, 0, {}, "IN1"}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Restart { kPortResetAndConfiguration, kSameConfiguration, kDataInterfaceSetting, kClearHalt };

struct RestartCase {
  const char* name;
  Restart how;
  std::uint8_t halted;  // endpoint halted before the restart
};
void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class UsbEndpointRestart : public UsbConformance, public ::testing::WithParamInterface<RestartCase> {};

// SET_CONFIGURATION (after a port reset, as a re-import does, or the same
// configuration again) and SET_INTERFACE of the data interface end every
// halt and restart both bulk toggles at DATA0; CLEAR_FEATURE(ENDPOINT_HALT) does so for its endpoint. The first
// packet each way then arrives, and GET_STATUS reports no halt.
TEST_P(UsbEndpointRestart, ShouldLeaveNoHaltAndRestartTheToggleAtData0) {
  const RestartCase& c = GetParam();
  boot_manual();
  address_and_configure(5);
  ASSERT_NO_FATAL_FAILURE(move_bulk_toggles_to_data1());
  ASSERT_EQ(Status::kOk, ctl(0x02, 3, 0, c.halted, 0).status);
  ASSERT_EQ((Bytes{1, 0}), ctl(0x82, 0, 0, c.halted, 2).data);

  bool in_restarts = true, out_restarts = true;
  switch (c.how) {
    case Restart::kPortResetAndConfiguration: {
      bool done = false;
      host().bus_reset([&] { done = true; });
      ASSERT_TRUE(run_until([&] { return done; }, 100));
      address_and_configure(6);
      break;
    }
    case Restart::kSameConfiguration:
      ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
      host().reset_toggle(0x81);
      host().reset_toggle(0x01);
      break;
    case Restart::kDataInterfaceSetting:
      ASSERT_EQ(Status::kOk, ctl(0x01, 11, 0, 1, 0).status);
      host().reset_toggle(0x81);
      host().reset_toggle(0x01);
      break;
    case Restart::kClearHalt:
      ASSERT_EQ(Status::kOk, ctl(0x02, 1, 0, c.halted, 0).status);
      host().reset_toggle(c.halted);
      in_restarts = c.halted == 0x81;
      out_restarts = c.halted == 0x01;
      break;
  }
  EXPECT_EQ((Bytes{0, 0}), ctl(0x82, 0, 0, c.halted, 2).data);
  EXPECT_EQ(0u, var8("USB_OTG_dev", (c.halted & 0x80 ? in_ep(1) : out_ep(1)) + kEpIsStall));

  host().clear_logs();
  const std::uint64_t out = host().bulk_out(0x01, {'q'});
  ASSERT_TRUE(run_until([&] { return host().transfer(out)->status != Status::kPending; }, 20));
  EXPECT_EQ(Status::kOk, host().transfer(out)->status);
  ASSERT_FALSE(host().transactions().empty());
  EXPECT_EQ(out_restarts ? 0 : 1, host().transactions().back().pid);
  EXPECT_EQ('q', usb_getc()) << "the first packet after the restart arrives";

  ASSERT_EQ(0, usb_putc('y'));
  const std::uint64_t in = host().bulk_in(0x81, 64);
  ASSERT_TRUE(run_until([&] { return host().transfer(in)->status != Status::kPending; }, 20));
  EXPECT_EQ(Status::kOk, host().transfer(in)->status);
  EXPECT_EQ((Bytes{'y'}), host().transfer(in)->data);
  ASSERT_FALSE(bulk_in_packets().empty());
  EXPECT_EQ(in_restarts ? 0 : 1, bulk_in_packets().front().pid);
}

INSTANTIATE_TEST_SUITE_P(
    Bulk, UsbEndpointRestart,
    ::testing::Values(RestartCase{"port_reset_in_halted", Restart::kPortResetAndConfiguration, 0x81},
                      RestartCase{"port_reset_out_halted", Restart::kPortResetAndConfiguration, 0x01},
                      RestartCase{"same_configuration_in_halted", Restart::kSameConfiguration, 0x81},
                      RestartCase{"same_configuration_out_halted", Restart::kSameConfiguration, 0x01},
                      RestartCase{"set_interface_in_halted", Restart::kDataInterfaceSetting, 0x81},
                      RestartCase{"set_interface_out_halted", Restart::kDataInterfaceSetting, 0x01},
                      RestartCase{"clear_halt_in", Restart::kClearHalt, 0x81},
                      RestartCase{"clear_halt_out", Restart::kClearHalt, 0x01}),
    [](const auto& info) { return std::string(info.param.name); });

// The host halts the bulk IN endpoint while a piece waits in its transmit
// FIFO for an IN token, then ends the halt (CLEAR_FEATURE, or
// SET_CONFIGURATION of the configuration it has): the piece the halt cut
// off goes out again from the ring, once, and the output goes on.
TEST_F(UsbConformance, ShouldSendAPieceCutOffByAHaltOnceTheHaltEnds) {
  for (bool by_configuration : {false, true}) {
    SCOPED_TRACE(by_configuration ? "SET_CONFIGURATION" : "CLEAR_FEATURE");
    SetUp();
    boot_manual();
    address_and_configure(5);
    for (char c : std::string("hello")) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));
    ASSERT_TRUE(run_until([&] { return var8("USB_Tx_State") == 1; }, 20));
    run_until([] { return false; }, 2);
    ASSERT_EQ(Status::kOk, ctl(0x02, 3, 0, 0x81, 0).status);
    run_until([] { return false; }, 10);
    if (by_configuration)
      ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
    else
      ASSERT_EQ(Status::kOk, ctl(0x02, 1, 0, 0x81, 0).status);
    host().reset_toggle(0x81);
    for (char c : std::string(" world")) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));

    std::string got;
    for (int read = 0; read < 4 && got.size() < 11; ++read) {
      const std::uint64_t id = host().bulk_in(0x81, 128);
      if (!run_until([&] { return host().transfer(id)->status != Status::kPending; }, 20)) {
        host().cancel(id);
        continue;
      }
      ASSERT_EQ(Status::kOk, host().transfer(id)->status);
      const Bytes& d = host().transfer(id)->data;
      got.append(d.begin(), d.end());
    }
    EXPECT_EQ("hello world", got);
  }
}

// A stalled request is a protocol stall: endpoint 0 is not halted by it,
// GET_STATUS of 0x00 and 0x80 answers 00 00 and endpoint 0 works on.
TEST_F(UsbConformance, ShouldNeverReportEndpointZeroHalted) {
  const struct {
    const char* name;
    std::uint8_t bm, req;
    std::uint16_t value, index, length;
  } stalled[] = {
      {"vendor request", 0x40, 5, 9, 0, 0},
      {"SET_DESCRIPTOR", 0x00, 7, 0x0100, 0, 0},
      {"unknown string", 0x80, 6, 0x0309, 0x409, 255},
      {"class request too long", 0xA1, 0x21, 0, 0, 64},
  };
  boot_manual();
  address_and_configure(5);
  for (const auto& s : stalled) {
    SCOPED_TRACE(s.name);
    ASSERT_EQ(Status::kStall, ctl(s.bm, s.req, s.value, s.index, s.length).status);
    EXPECT_EQ((Bytes{0, 0}), ctl(0x82, 0, 0, 0x80, 2).data);
    EXPECT_EQ((Bytes{0, 0}), ctl(0x82, 0, 0, 0x00, 2).data);
    EXPECT_EQ(0u, var8("USB_OTG_dev", in_ep(0) + kEpIsStall));
    EXPECT_EQ(0u, var8("USB_OTG_dev", out_ep(0) + kEpIsStall));
    EXPECT_EQ(18u, get_descriptor(1, 0, 18).data.size());
  }
}

// A host that gives up on a control transfer (its time-out) goes on with
// a new SETUP. Whatever of the abandoned answer is still waiting for an IN
// token must not become the start of the next answer: the requests after
// it get their own data.
TEST_F(UsbConformance, ShouldNotAnswerANewRequestWithAnAbandonedAnswer) {
  const struct {
    const char* name;
    std::uint16_t value, length;
    bool after_first_packet;  // else before the firmware has answered at all
  } abandoned[] = {
      {"device descriptor, unanswered", 0x0100, 18, false},
      {"configuration, unanswered", 0x0200, 255, false},
      {"configuration, first packet taken", 0x0200, 255, true},
  };
  for (const auto& a : abandoned) {
    SCOPED_TRACE(a.name);
    SetUp();
    boot_manual();
    address_and_configure(5);
    host().clear_logs();
    if (!a.after_first_packet) m().write32(0xE000E180 + 8, 1u << 3);  // NVIC ICER2: OTG_FS held off
    const std::uint64_t id = host().control(0x80, 6, a.value, 0, a.length);
    if (a.after_first_packet)
      ASSERT_TRUE(run_until(
          [&] {
            for (const auto& x : host().transactions())
              if (x.token == UsbTransaction::Token::kIn && x.ep == 0 && x.handshake == Handshake::kAck) return true;
            return false;
          },
          20));
    else
      run_until([] { return false; }, 1);
    host().cancel(id);
    m().write32(0xE000E100 + 8, 1u << 3);  // ISER2: on again
    run_until([] { return false; }, 3);

    const UsbTransfer status = ctl(0x80, 0, 0, 0, 2);
    EXPECT_EQ(Status::kOk, status.status) << transfer_status_name(status.status);
    EXPECT_EQ((Bytes{1, 0}), status.data);
    const UsbTransfer config = get_descriptor(2, 0, 9);
    ASSERT_EQ(9u, config.data.size());
    EXPECT_EQ((Bytes{9, 2, 67, 0}), Bytes(config.data.begin(), config.data.begin() + 4));
    const UsbTransfer device = get_descriptor(1, 0, 18);
    ASSERT_EQ(18u, device.data.size());
    EXPECT_EQ((Bytes{18, 1}), Bytes(device.data.begin(), device.data.begin() + 2));
  }
}

// A packet the host does not collect waits in the transmit FIFO, whose
// level reads "empty enough" all the while: the firmware must stop
// listening to it once the packet is written, or the interrupt never ends.
// Over 100 ms the OTG_FS interrupt then runs about once per frame, and no
// main-loop pass takes a millisecond.
TEST_F(UsbConformance, ShouldNotStormWhileAPacketWaitsForTheHost) {
  enum class Wait { kPortClosed, kCablePulled, kControlAnswerAbandoned };
  for (Wait wait : {Wait::kPortClosed, Wait::kCablePulled, Wait::kControlAnswerAbandoned}) {
    SCOPED_TRACE(static_cast<int>(wait));
    SetUp();
    boot_enumerated();
    if (wait == Wait::kControlAnswerAbandoned) {
      // The host sends the SETUP and gives up before the firmware has
      // answered (its interrupt held off meanwhile): the answer waits.
      m().write32(0xE000E180 + 8, 1u << 3);  // NVIC ICER2: OTG_FS off
      const std::uint64_t id = host().control(0x80, 6, 0x0100, 0, 18);
      run_until([] { return false; }, 1);
      host().cancel(id);
      m().write32(0xE000E100 + 8, 1u << 3);  // ISER2: on again
      run_until([] { return false; }, 2);
    } else {
      host().close_port();  // nobody reads bulk IN
      for (char c : std::string("waits")) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));
      ASSERT_TRUE(run_until([&] { return var8("USB_Tx_State") == 1; }, 20));
      run_until([] { return false; }, 2);
      if (wait == Wait::kCablePulled) {
        host().unplug();
        run_until([] { return false; }, 2);
      }
    }
    m().stats().watch_pc = m().symbol("fast_loop");
    m().stats().worst_pass_cycles = 0;
    const std::uint64_t before = otg_interrupts();
    run_until([] { return false; }, 100);
    EXPECT_LT(otg_interrupts() - before, 120u);
    EXPECT_LT(m().stats().worst_pass_cycles, m().clocks().hclk / 1000);
  }
}

}  // namespace
}  // namespace vb::test
