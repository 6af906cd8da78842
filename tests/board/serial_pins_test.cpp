// The serial lines run through the pins: a byte reaches the far end only
// when the pin carries the USART's alternate function from a clocked port,
// and a wrong pin map is silence on the line.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {

constexpr std::uint32_t kGpiod = 0x40020C00;
constexpr std::uint32_t kModer = kGpiod + 0x00, kAfrl = kGpiod + 0x20, kAfrh = kGpiod + 0x24;
constexpr std::uint32_t kRccAhb1enr = 0x40023830;

struct PinCase {
  const char* what;
  std::uint32_t reg;   // register changed after boot (0: none)
  std::uint32_t mask;  // its field
  std::uint32_t value;
  bool from_console;   // the text goes USART3 -> USART2, else USART2 -> USART3
  const char* pin;     // named in the board message ("" when none)
};

const PinCase kCases[] = {
    {"pin map as built, console to USART2", 0, 0, 0, true, ""},
    {"pin map as built, USART2 to console", 0, 0, 0, false, ""},
    {"USART3 RX PD9 in input mode", kModer, 3u << 18, 0, true, "PD9"},
    {"USART2 TX PD5 as a plain output", kModer, 3u << 10, 1u << 10, true, "PD5"},
    {"USART2 RX PD6 on alternate function 8", kAfrl, 0xFu << 24, 8u << 24, false, "PD6"},
    {"USART3 TX PD8 on alternate function 8", kAfrh, 0xFu << 0, 8u << 0, false, "PD8"},
    {"GPIOD clock off", kRccAhb1enr, 1u << 3, 0, true, "PD9"},
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.what; }

class SerialPins : public BoardTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(SerialPins, ShouldCarryBytesOnlyThroughPinsRoutedToTheUsart) {
  const PinCase& c = GetParam();
  ASSERT_TRUE(boot());
  m().run_ms(50);  // the start-up report is out
  Usart& u2 = board().usart2();
  Usart& u3 = board().usart3();
  u2.clear_peer_received();
  u3.clear_peer_received();
  if (c.reg != 0) m().write32(c.reg, (m().read32(c.reg) & ~c.mask) | c.value);

  const std::string text = "pins";
  (c.from_console ? u3 : u2).peer_send(text, 115200);
  m().run_ms(5);
  const std::string& got = (c.from_console ? u2 : u3).peer_received();
  std::string said;
  for (const std::string& msg : m().messages())
    if (msg.find("lost on the pin") != std::string::npos) said += msg + "\n";

  if (c.reg == 0) {
    EXPECT_EQ(text, got);
    EXPECT_EQ("", said);
  } else {
    EXPECT_EQ("", got) << "bytes crossed a pin that does not carry the USART";
    EXPECT_NE(std::string::npos, said.find(c.pin)) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said more than once:\n" << said;
  }
}

// Test names from the case descriptions, letters and digits only.
std::string case_name(const ::testing::TestParamInfo<PinCase>& info) {
  std::string name;
  bool up = true;
  for (const char* p = info.param.what; *p; ++p) {
    if (std::isalnum(static_cast<unsigned char>(*p))) {
      name += up ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
      up = false;
    } else {
      up = true;
    }
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Routing, SerialPins, ::testing::ValuesIn(kCases), case_name);

using SerialTxPins = BoardTest;

TEST_F(SerialTxPins, ShouldIdleHighOnceTheTransmittersRun) {
  ASSERT_TRUE(boot());
  m().run_ms(50);  // PD8 (USART3 TX) and PD5 (USART2 TX) between frames
  EXPECT_TRUE(m().pins().level(PD(8)));
  EXPECT_TRUE(m().pins().level(PD(5)));
}

}  // namespace
}  // namespace vb::test
