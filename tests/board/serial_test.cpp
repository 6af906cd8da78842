// The serial consoles on the image: the start-up report on USART3, the
// USART2<->USART3 bridge with its Ctrl-A escape commands and rate search,
// and the USART driver's rings, error flags and register set-up.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"
#include "tests/support/thumb.hpp"

namespace vb::test {
namespace {

using U = Usart;

// Formatted console lines end CR CR LF (the formatter adds a CR before LF).
const std::string kStartHead =
    "   \r\r\nUSART3 console start.(Esc=ctrl-A)\r\r\n"
    "start (USART2<->USART3) serial line bridge.";
const std::string kBanner =
    "\r\r\n\r\r\nSTM32F4:\r\r\n"
    "\tCPU (AHB )clock =144000000(Hz)\r\r\n"
    "\tPCLK(APB1)clock =36000000(Hz)\r\r\n"
    "\tPCLK(APB2)clock =72000000(Hz)\r\r\n"
    "\tIO  (OTG )clock =48000000(Hz)\r\r\n"
    "\tCPU CLK in usec.=144\r\r\n"
    "\tCPU CLK in msec.=144000\r\r\n"
    "\r\r\n";
const std::string kHelp =
    "\r\r\nESC=ctrl-A\r\r\n"
    "ESC & TAB : display RTC date time.\r\r\n"
    "ESC & 0   : set USART2 115200 fix rate.\r\r\n"
    "ESC & A   : set USART2 auto adjust rate.\r\r\n"
    "ESC & F   : set USART2 fix rate.\r\r\n"
    "ESC & else: send else char to USART2.\r\r\n";
const std::regex kTimeLine("\r\r\nstm32f4:RTC=[0-9]{1,2}-[0-9]{1,2} [0-9]{1,2}:[0-9]{2}:[0-9]{2}\r\r\n");

const std::vector<std::uint32_t> kSearchOrder = {7499, 3749, 1874, 936, 624, 311};  // after 115200

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string pattern(std::size_t n, int from = 0) {
  std::string s(n, ' ');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(' ' + (from + i) % 90);  // printable, no Ctrl-A
  return s;
}

class Serial : public BoardTest {
protected:
  Usart& u2() { return board().usart2(); }
  Usart& u3() { return board().usart3(); }
  const std::string& console() { return board().usart3_output(); }
  // Boots, lets the start-up report go out, and starts with the time-line
  // limiter expired (TO_tick[3] = 0; the tick callback counts it down).
  void boot_quiet() {
    ASSERT_TRUE(boot());
    m().run_ms(100);
    m().set_var32("TO_tick", 0, 3 * 4);
    u3().clear_peer_received();
  }
  // Types on the console at 115200 bit/s and lets the board run `ms`.
  void type(const std::string& s, double ms = 5) {
    u3().peer_send(s, 115200);
    m().run_ms(ms);
  }
  // Turns the USART2 rate search on and forgets the writes so far.
  void search_on() {
    type("\x01" "A");
    u2().clear_writes();
  }
  // BRR values the firmware wrote to USART2 since the last clear.
  std::vector<std::uint32_t> usart2_rates() {
    std::vector<std::uint32_t> v;
    for (const RegWrite& w : u2().writes())
      if (w.offset == U::kBRR) v.push_back(w.value);
    return v;
  }
  // A peer at 9600 bit/s sends text one character every 5 ms (a person
  // typing), with the rate search running, until the text comes through.
  void lock_on_9600(const std::string& text) {
    for (int round = 0; round < 4; ++round) {
      for (char c : text) {
        u2().peer_send(std::string(1, c), 9600);
        m().run_ms(5);
      }
    }
  }
};

TEST_F(Serial, ShouldReportStartUpOnConsoleByteForByte) {
  ASSERT_TRUE(boot());
  m().run_ms(200);
  const std::string& out = console();
  ASSERT_EQ(kStartHead + kBanner, out.substr(0, kStartHead.size() + kBanner.size()));
  const std::string tail = "setup done.\r\r\n\r\r\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
  std::smatch line;
  const std::string before_tail = out.substr(0, out.size() - tail.size());
  ASSERT_TRUE(std::regex_search(before_tail, line, kTimeLine));
  EXPECT_EQ(before_tail.size(), static_cast<std::size_t>(line.position(0) + line.length(0)))
      << "the time line comes right before \"setup done.\"";
}

TEST_F(Serial, ShouldForwardConsoleBytesAndEscapedBytesToUsart2) {
  const struct { const char* typed; const char* expected; } cases[] = {
      {"plain text", "plain text"},
      {"\x01\x01", "\x01"},        // Ctrl-A Ctrl-A: one Ctrl-A
      {"\x01" "a", "a"},           // lower case is no command
      {"\x01" "b-\x01\x01x", "b-\x01x"},
      {"\x01" "f", "f"},
  };
  boot_quiet();
  for (const auto& c : cases) {
    u2().clear_peer_received();
    type(c.typed);
    EXPECT_EQ(c.expected, u2().peer_received()) << "typed " << c.typed;
    EXPECT_EQ(0u, m().var32("ESC_mode"));
  }
  EXPECT_EQ(311u, u2().peek(U::kBRR)) << "no rate change";
  EXPECT_EQ("", console());
}

TEST_F(Serial, ShouldKeepEscapeAcrossPassesWhenCtrlAIsLastByte) {
  boot_quiet();
  type("\x01");
  EXPECT_EQ(1u, m().var32("ESC_mode"));
  type("A");
  EXPECT_EQ("\r\r\nUSART2 auto adjust rate\r\r\n", console());
  EXPECT_EQ("", u2().peer_received());
}

TEST_F(Serial, ShouldShowBannerHelpAndFixedRateAfterReset) {
  boot_quiet();
  type("\x01?", 100);
  const std::string head = kBanner + kHelp + "\r\r\nUSART2=115200bps FIXED\r\r\n";
  ASSERT_EQ(head, console().substr(0, head.size()));
  EXPECT_TRUE(std::regex_match(console().substr(head.size()), kTimeLine)) << console().substr(head.size());
}

TEST_F(Serial, ShouldSearchRateUpToPeerAndForwardItsText) {
  boot_quiet();
  search_on();
  u3().clear_peer_received();
  lock_on_9600("hello world\r\n");
  EXPECT_EQ((std::vector<std::uint32_t>{7499, 3749}), usart2_rates());
  EXPECT_EQ(2u, m().var32("USART2_BRR_idx"));
  const std::string out = console();
  EXPECT_EQ("hello world\r\nhello world\r\n", out.substr(out.size() - 26)) << out;

  type("\x01" "F\x01?", 100);  // fixed at the rate reached
  EXPECT_NE(std::string::npos, console().find("\r\r\nUSART2 fixed rate\r\r\n"));
  EXPECT_NE(std::string::npos, console().find("\r\r\nUSART2=9600bps FIXED\r\r\n"));
  EXPECT_EQ(0u, m().var32("USART2_auto_rate"));
  EXPECT_EQ(3749u, u2().peek(U::kBRR));
}

TEST_F(Serial, ShouldReturnToFixed115200OnEscapeZero) {
  boot_quiet();
  search_on();
  u2().peer_send("x", 9600);  // errors: the search moves away from 115200
  m().run_ms(5);
  ASSERT_NE(0u, m().var32("USART2_BRR_idx"));
  u3().clear_peer_received();
  type("\x01" "0", 10);
  EXPECT_EQ("\r\r\nset USART2 115200bps.\r\r\n\r\r\nUSART2 fixed rate\r\r\n", console());
  EXPECT_EQ(0u, m().var32("USART2_BRR_idx"));
  EXPECT_EQ(0u, m().var32("USART2_auto_rate"));
  EXPECT_EQ(311u, u2().peek(U::kBRR));
}

TEST_F(Serial, ShouldCycleThroughEveryRateOnContinuousErrors) {
  boot_quiet();
  search_on();
  for (int i = 0; i < 7; ++i) {  // a framing error at whatever rate USART2 runs
    u2().set_peer_baud(u2().baud());
    u2().peer_send_byte('e', U::Fault::kFraming);
    m().run_ms(5);
  }
  const std::vector<std::uint32_t> rates = usart2_rates();
  ASSERT_EQ(7u, rates.size());
  EXPECT_EQ(kSearchOrder, std::vector<std::uint32_t>(rates.begin(), rates.begin() + 6));
  EXPECT_EQ(7499u, rates[6]);
}

TEST_F(Serial, ShouldForwardBytesArrivingWithErrorOnNextPassWhenSearchIsOff) {
  boot_quiet();
  u2().clear_writes();
  u2().peer_send_byte('!', U::Fault::kFraming);
  u2().peer_send("ok");
  m().run_ms(5);
  EXPECT_EQ("ok", console());
  EXPECT_TRUE(usart2_rates().empty()) << "no restart";

  u3().peer_send_byte('!', U::Fault::kNoise);
  type("go");
  EXPECT_EQ("go", u2().peer_received());
}

TEST_F(Serial, ShouldPrintOneTimeLineForTwoTabsWithin300ms) {
  boot_quiet();
  type("\x01\t\x01\t", 20);
  EXPECT_EQ(1u, count(console(), "stm32f4:RTC="));
  EXPECT_TRUE(std::regex_match(console(), kTimeLine)) << console();
  const std::uint32_t limiter = m().var32("TO_tick", 3 * 4);
  EXPECT_TRUE(limiter > 250 && limiter <= 300) << "TO_tick[3] = " << limiter;

  m().set_var32("TO_tick", 0, 3 * 4);  // 300 ms later
  type("\x01\t", 20);
  EXPECT_EQ(2u, count(console(), "stm32f4:RTC="));
}

TEST_F(Serial, ShouldBridgeTenSecondsOfTrafficBothWaysCompleteAndInOrder) {
  boot_quiet();
  const std::string to_usart2 = pattern(115'200);  // 10 s at 115200 bit/s
  const std::string to_usart3 = pattern(115'200, 45);
  u3().peer_send(to_usart2, 115200);
  u2().peer_send(to_usart3, 115200);
  m().run_ms(10'050);
  EXPECT_TRUE(to_usart2 == u2().peer_received()) << u2().peer_received().size() << " bytes reached USART2's peer";
  EXPECT_TRUE(to_usart3 == console()) << console().size() << " bytes reached the console";
  EXPECT_EQ(0u, u2().peer_errors() + u3().peer_errors());
}

// The driver itself, called directly while the main loop is held at its
// entry (so nothing reads the rings behind the test's back).
class UsartDriver : public Serial {
protected:
  std::uint32_t spin_ = 0, text_ = 0;

  void SetUp() override {
    Serial::SetUp();
    ASSERT_TRUE(boot());
    m().run_ms(100);  // the start-up report is out
    ASSERT_TRUE(run_to("fast_loop"));
    spin_ = scratch();
    text_ = spin_ + 0x100;
    Thumb t(spin_);
    Thumb::Label again;  // spin(n): about n cycles, interrupts running
    t.bind(again);
    t.subs(0, 2).bne(again).bx(14);
    m().load_bytes(spin_, t.bytes());
    u3().clear_peer_received();
  }
  // Restarts the console port at `bps`, its peer following.
  void restart(std::uint32_t bps) {
    m().call("start_USART3", {bps});
    u3().set_peer_baud(bps);
  }
  void wait_ms(double ms) { m().call(spin_, {static_cast<std::uint32_t>(ms * 144'000) & ~1u}); }
  std::uint32_t nbuf() { return m().call("USART3_nbuf"); }
  std::uint32_t error_flag() { return m().call("USART3_getErrorFlag"); }
  char getc() { return static_cast<char>(m().call("USART3_getc")); }
  std::uint32_t field(std::uint32_t offset) { return m().var32("usart3", offset); }
  // Queues text with USART3_putc through xputs (no line feeds in it).
  void put(const std::string& s) {
    std::vector<std::uint8_t> bytes(s.begin(), s.end());
    bytes.push_back(0);
    m().load_bytes(text_, bytes);
    m().call("xputs", {text_});
  }
  static constexpr std::uint32_t kRbR = 4, kRbW = 8, kTbR = 12, kTbW = 16;
};

TEST_F(UsartDriver, ShouldHold1024BytesAndDropThe1025thWithFlag) {
  const std::string sent = pattern(1025);
  u3().peer_send(sent, 115200);
  wait_ms(100);
  EXPECT_EQ(1024u, nbuf());
  EXPECT_EQ(0xFFFFFFFFu, field(kRbW)) << "full marker";
  EXPECT_EQ(0x80u, error_flag());
  EXPECT_EQ(0u, error_flag()) << "reading clears the flag";

  EXPECT_EQ(sent[0], getc());
  EXPECT_EQ(1023u, nbuf());
  u3().peer_send("Z");
  wait_ms(1);
  EXPECT_EQ(1024u, nbuf()) << "the byte went to the slot just freed";
  EXPECT_EQ(0u, error_flag());
  std::string got;
  for (int i = 0; i < 1024; ++i) got.push_back(getc());
  EXPECT_EQ(sent.substr(1, 1023) + "Z", got);
  EXPECT_EQ(0u, nbuf());
}

TEST_F(UsartDriver, ShouldWaitInPutcWhileTxRingIsFullAndSendAllInOrder) {
  restart(4800);
  const std::string text = pattern(1100);
  const cycles_t before = m().now();
  put(text);
  // Two bytes sit in the shift and data registers, 1024 in the ring: the
  // 74 others had to wait for a byte time (2.08 ms) each.
  EXPECT_LT(70 * 2 * 144'000ull, m().now() - before);
  EXPECT_EQ(0xFFFFFFFFu, field(kTbW));
  m().run_ms(2350);
  EXPECT_TRUE(text == u3().peer_received()) << u3().peer_received().size() << " bytes arrived";
}

TEST_F(UsartDriver, ShouldDiscardByteWithFramingErrorAndFlagIt) {
  u3().peer_send_byte('x', U::Fault::kFraming);
  u3().peer_send("y");
  wait_ms(1);
  EXPECT_EQ(0x02u, error_flag());
  EXPECT_EQ(1u, nbuf());
  EXPECT_EQ('y', getc());
}

TEST_F(UsartDriver, ShouldEmptyBothRingsOnRestart) {
  restart(4800);
  u3().peer_send("12345");
  put(pattern(300));
  wait_ms(15);
  ASSERT_EQ(5u, nbuf());
  ASSERT_NE(field(kTbR), field(kTbW));
  m().call("start_USART3", {115200});
  EXPECT_EQ(0u, nbuf());
  EXPECT_EQ(field(kTbR), field(kTbW));
  EXPECT_EQ(0u, error_flag());
}

TEST_F(UsartDriver, ShouldSetUpPortInReferenceOrder) {
  u3().clear_writes();
  m().call("start_USART3", {115200});
  constexpr std::uint32_t UE = U::CR1_UE, RX = U::CR1_RXNEIE, PE = U::CR1_PEIE, RE = U::CR1_RE, TE = U::CR1_TE;
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
      {U::kGTPR, 0}, {U::kBRR, 311},
      {U::kCR1, 0}, {U::kCR3, 0}, {U::kCR1, 0}, {U::kSR, 0xC0}, {U::kCR1, UE},
      {U::kCR1, UE | RX}, {U::kSR, 0xC0}, {U::kCR1, UE | RX | PE}, {U::kCR3, U::CR3_EIE}, {U::kCR1, UE | RX | PE | RE},
      {U::kSR, 0xC0}, {U::kCR1, UE | RX | PE | RE | TE}, {U::kCR1, UE | RX | PE | RE | TE},
  };
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (const RegWrite& w : u3().writes()) got.emplace_back(w.offset, w.value);
  EXPECT_EQ(expected, got);
  EXPECT_EQ(1u << 7, m().read32(0xE000E104) & (1u << 7)) << "IRQ 39 enabled in the NVIC";
}

}  // namespace
}  // namespace vb::test
