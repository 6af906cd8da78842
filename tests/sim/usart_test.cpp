// The USART model alone: registers, line timing, flags, interrupt request and
// the peer at the far end of the line.
#include "sim/periph/usart.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sim/core/machine.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using U = Usart;

constexpr std::uint32_t kBrr115200 = 311;  // 36 MHz / 311 = 115755.6 bit/s
constexpr std::uint32_t kOn = U::CR1_UE | U::CR1_TE | U::CR1_RE;
constexpr std::uint32_t kRxFlags = U::SR_RXNE | U::SR_PE | U::SR_FE | U::SR_NF | U::SR_ORE;

class UsartModel : public ::testing::Test {
protected:
  UsartModel() {
    clocks.t.sysclk = clocks.t.hclk = 144'000'000;
    clocks.t.pclk1 = 36'000'000;
    m.set_clock_control(&clocks);
    m.attach(port);
  }

  void advance(cycles_t n) { test::run_for(m, n); }
  // Core cycles of `bits` bit times at the port's rate.
  cycles_t port_bits(double bits) const { return static_cast<cycles_t>(std::ceil(bits * brr * 4)); }

  void open(std::uint32_t b = kBrr115200, std::uint32_t cr1 = kOn) {
    brr = b;
    port.write(U::kBRR, b, ~0u);
    port.write(U::kCR1, cr1, ~0u);
  }
  std::uint32_t sr() { return port.read(U::kSR); }
  std::uint32_t dr() { return port.read(U::kDR); }
  void send(std::uint8_t b) { port.write(U::kDR, b, ~0u); }

  test::FixedClocks clocks;
  Machine m;
  Usart port{"USART2", 0x40004400, {ClockGate::kAPB1, 17}, 38};
  std::uint32_t brr = kBrr115200;
};

TEST_F(UsartModel, ShouldReturnToResetValuesOnReset) {
  port.write(U::kCR1, kOn, ~0u);
  port.write(U::kBRR, 1234, ~0u);
  port.reset();
  test::expect_reset_values(port, U::kRegs);
}

TEST_F(UsartModel, ShouldDeriveRateFromBrrAndPclk1) {
  const struct { std::uint32_t brr; double expected; } cases[] = {
      {311, 115755.6}, {624, 57692.3}, {936, 38461.5}, {1874, 19210.2}, {3749, 9602.6}, {7499, 4800.6},
      {15, 0.0},  // below 16 there is no valid rate
  };
  for (const auto& c : cases) {
    port.write(U::kBRR, c.brr, ~0u);
    EXPECT_NEAR(c.expected, port.baud(), 0.1) << "BRR " << c.brr;
  }
}

TEST_F(UsartModel, ShouldSendEachByteInTenBitTimesWithOneWaitingInDataRegister) {
  open();
  sr();
  send('1');
  EXPECT_EQ(U::SR_TXE, sr() & (U::SR_TXE | U::SR_TC)) << "moved to the shift register, TC cleared";
  send('2');
  EXPECT_EQ(0u, sr() & U::SR_TXE) << "waits in DR";
  advance(port_bits(10) - 2);
  EXPECT_EQ(0u, sr() & U::SR_TXE);
  advance(2);
  EXPECT_EQ(U::SR_TXE, sr() & (U::SR_TXE | U::SR_TC));
  advance(port_bits(10));
  EXPECT_EQ(U::SR_TXE | U::SR_TC, sr() & (U::SR_TXE | U::SR_TC));
  EXPECT_EQ("12", port.peer_received());
}

TEST_F(UsartModel, ShouldStayOffTheLineWhileTransmitterOrReceiverDisabled) {
  open(kBrr115200, U::CR1_UE);
  send('x');
  port.peer_send("y");
  advance(port_bits(30));
  EXPECT_EQ("", port.peer_received());
  EXPECT_EQ(0u, sr() & (U::SR_TXE | U::SR_RXNE));
  port.write(U::kCR1, kOn, ~0u);
  port.peer_send("z");
  advance(port_bits(12));
  EXPECT_EQ("x", port.peer_received());
  EXPECT_EQ('z', dr());
}

TEST_F(UsartModel, ShouldRequestInterruptOnlyForEnabledFlags) {
  const struct { const char* what; std::uint32_t cr1; bool rx_byte; bool expected; } cases[] = {
      {"TXE with TXEIE", U::CR1_TXEIE, false, true},
      {"TC with TCIE", U::CR1_TCIE, false, true},
      {"TXE and TC without enables", U::CR1_PEIE | U::CR1_IDLEIE, false, false},
      {"RXNE with RXNEIE", U::CR1_RXNEIE, true, true},
  };
  for (const auto& c : cases) {
    port.reset();
    open(kBrr115200, kOn | c.cr1);
    if (c.rx_byte) {
      port.peer_send("z");
      advance(port_bits(11));
    }
    EXPECT_EQ(c.expected, port.irq_level()) << c.what;
  }
  dr();  // RXNE gone, TXE/TC without their enables
  EXPECT_FALSE(port.irq_level());
}

TEST_F(UsartModel, ShouldDeliverPeerBytesAtPeerRate) {
  open();
  port.peer_send("hi", 115200);
  const cycles_t bit = 144'000'000 / 115200;  // 1250 cycles
  advance(bit * 9);
  EXPECT_EQ(0u, sr() & U::SR_RXNE);
  advance(bit * 2);
  EXPECT_EQ(U::SR_RXNE, sr() & (U::SR_RXNE | U::SR_FE | U::SR_NF | U::SR_ORE));
  EXPECT_EQ('h', dr());
  advance(bit * 10);
  EXPECT_EQ('i', dr());
  EXPECT_EQ(0u, sr() & U::SR_RXNE);
}

TEST_F(UsartModel, ShouldSetOverrunAndKeepUnreadByte) {
  open(kBrr115200, kOn | U::CR1_RXNEIE);
  port.peer_send("ab");
  advance(port_bits(25));
  const std::uint32_t s = sr();
  EXPECT_EQ(U::SR_RXNE | U::SR_ORE, s & (U::SR_RXNE | U::SR_ORE));
  EXPECT_TRUE(port.irq_level());
  EXPECT_EQ('a', dr());
  EXPECT_EQ(0u, sr() & (U::SR_RXNE | U::SR_ORE)) << "SR then DR clears ORE";
  EXPECT_FALSE(port.irq_level());
}

TEST_F(UsartModel, ShouldClearErrorFlagsOnlyWithStatusThenDataRead) {
  open();
  port.peer_send_byte('q', U::Fault::kFraming);
  advance(port_bits(12));
  EXPECT_EQ('q', dr());  // no SR read before: only RXNE clears
  EXPECT_EQ(U::SR_FE, sr() & (U::SR_FE | U::SR_RXNE));
  dr();
  EXPECT_EQ(0u, sr() & U::SR_FE);
}

TEST_F(UsartModel, ShouldReportInjectedFaultOnItsByteOnly) {
  // A bad parity bit means nothing while parity checking (PCE) is off.
  const struct { U::Fault fault; std::uint32_t flag; } cases[] = {
      {U::Fault::kNoise, U::SR_NF}, {U::Fault::kFraming, U::SR_FE}, {U::Fault::kParity, 0}};
  for (const auto& c : cases) {
    port.reset();
    open();
    port.peer_send_byte(0x5A, c.fault);
    port.peer_send_byte(0x3C);
    advance(port_bits(12));
    EXPECT_EQ(c.flag | U::SR_RXNE, sr() & kRxFlags);
    EXPECT_EQ(0x5A, dr());
    advance(port_bits(11));
    EXPECT_EQ(U::SR_RXNE, sr() & kRxFlags);
    EXPECT_EQ(0x3C, dr()) << "the byte after the fault arrives intact";
  }
}

TEST_F(UsartModel, ShouldReceiveCleanlyWithinToleranceAndGarbleBeyond) {
  const std::string text = "The quick brown fox jumps over the lazy dog 0123456789";
  const struct { double peer_bps; bool clean; } cases[] = {
      {115200, true}, {115200 * 1.03, true}, {115200 * 0.97, true},
      {115200 * 1.10, false}, {115200 * 0.90, false}, {9600, false}, {57600, false},
  };
  for (const auto& c : cases) {
    port.reset();
    open();
    std::string got;
    int errors = 0;
    port.peer_send(text, c.peer_bps);
    // Read every byte as it lands (a byte time at the port is ~1244 cycles).
    while (m.now() < port.peer_done_at() + port_bits(20)) {
      advance(port_bits(1));
      const std::uint32_t s = sr();
      if (s & U::SR_RXNE) {
        const char b = static_cast<char>(dr());
        if (s & (U::SR_FE | U::SR_NF | U::SR_ORE)) ++errors;
        else got.push_back(b);
      }
    }
    if (c.clean) {
      EXPECT_EQ(text, got) << c.peer_bps;
      EXPECT_EQ(0, errors) << c.peer_bps;
    } else {
      EXPECT_NE(text, got) << c.peer_bps;
      EXPECT_LT(0, errors) << c.peer_bps;
    }
  }
}

TEST_F(UsartModel, ShouldArriveGarbledAtPeerRunningAnotherRate) {
  open(7499);  // 4800 bit/s
  port.set_peer_baud(115200);
  for (char c : std::string("abc")) {
    send(static_cast<std::uint8_t>(c));
    advance(port_bits(10));
  }
  advance(port_bits(10));
  EXPECT_NE("abc", port.peer_received());
  EXPECT_LT(0u, port.peer_errors());
}

TEST_F(UsartModel, ShouldClearWriteZeroFlagsAndKeepTheOthers) {
  open();
  port.peer_send("r");
  advance(port_bits(12));
  port.write(U::kSR, 0xC0, ~0u);  // what the driver writes: clears RXNE, keeps TC and TXE
  EXPECT_EQ(U::SR_TXE | U::SR_TC, sr());
  port.write(U::kSR, 0, ~0u);  // TC is rc_w0 as well; TXE is read-only
  EXPECT_EQ(U::SR_TXE, sr());
}

TEST_F(UsartModel, ShouldRaiseIdleAfterAFrameOfSilence) {
  open(kBrr115200, kOn | U::CR1_IDLEIE);
  port.peer_send("k");
  advance(port_bits(11));
  EXPECT_EQ(0u, sr() & U::SR_IDLE);
  dr();
  advance(port_bits(11));
  EXPECT_NE(0u, sr() & U::SR_IDLE);
  EXPECT_TRUE(port.irq_level());
  dr();
  EXPECT_EQ(0u, sr() & U::SR_IDLE);
}

TEST_F(UsartModel, ShouldStopFrameOnResetSoPeerSeesTruncatedByte) {
  open();
  send(0x00);
  advance(port_bits(3));
  port.reset();
  advance(port_bits(20));
  EXPECT_FALSE(port.irq_level());
  ASSERT_EQ(1u, port.peer_received().size());
  EXPECT_NE(0, port.peer_received()[0]) << "data bits after the reset read as idle high";
}

TEST_F(UsartModel, ShouldReportModesTheModelDoesNotImplement) {
  const struct { std::uint32_t offset; std::uint32_t value; } cases[] = {
      {U::kCR1, U::CR1_M}, {U::kCR1, U::CR1_PCE}, {U::kCR1, U::CR1_OVER8},
      {U::kCR2, 2u << 12}, {U::kCR3, U::CR3_DMAR}, {U::kCR3, 1u << 9},
  };
  for (const auto& c : cases) {
    Machine fresh;
    Usart p{"USART3", 0x40004800, {ClockGate::kAPB1, 18}, 39};
    fresh.attach(p);
    p.write(c.offset, c.value, ~0u);
    EXPECT_TRUE(fresh.faulted()) << std::hex << c.offset << " " << c.value;
  }
}

// A debugger looking at the port sees SR and DR as they are and changes
// nothing: RXNE stays set and an SR read does not arm the SR-then-DR clear.
TEST_F(UsartModel, ShouldShowReceivedByteToDebuggerWithoutClearingIt) {
  open();
  port.peer_send("k");
  advance(port_bits(12));
  const std::uint32_t sr_before = port.peek(U::kSR);
  ASSERT_EQ(U::SR_RXNE, sr_before & U::SR_RXNE);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(sr_before, m.peek(0x40004400 + U::kSR, 4));
    EXPECT_EQ(std::optional<std::uint32_t>('k'), m.peek(0x40004400 + U::kDR, 4));
    EXPECT_EQ(std::optional<std::uint32_t>('k'), m.peek(0x40004400 + U::kDR, 1));
  }
  EXPECT_EQ(sr_before, sr());
  EXPECT_EQ('k', dr());
  EXPECT_EQ(0u, sr() & U::SR_RXNE);
  // An offset the port does not have: nothing to show, and no report.
  EXPECT_EQ(std::nullopt, m.peek(0x40004400 + 0x40, 4));
  EXPECT_FALSE(m.faulted());
}

}  // namespace
}  // namespace vb
