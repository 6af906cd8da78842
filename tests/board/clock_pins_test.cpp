// What the reset code leaves behind before main: the clock tree's register
// sequence on RCC and the flash interface, and the board's pin map.
#include <cstdint>
#include <vector>

#include "sim/periph/flash_if.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/rcc.hpp"
#include "tests/board/fixture.hpp"

namespace vb::test {
namespace {

struct Expected {
  std::uint32_t offset;
  std::uint32_t value;
  std::uint32_t dont_care;  // read-only status bits a read-modify-write carries along
};

// Writes of `log` to the offsets in `expected`, compared in order.
void expect_sequence(const WriteLog& log, const std::vector<Expected>& expected, const char* block) {
  std::vector<RegWrite> seen;
  for (const RegWrite& w : log)
    for (const Expected& e : expected)
      if (w.offset == e.offset) {
        seen.push_back(w);
        break;
      }
  ASSERT_GE(seen.size(), expected.size()) << block << ": too few writes";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    EXPECT_EQ(e.offset, seen[i].offset) << block << " write #" << i;
    EXPECT_EQ(e.value & ~e.dont_care, seen[i].value & ~e.dont_care)
        << block << " write #" << i << " at offset " << hex32(e.offset) << " was " << hex32(seen[i].value);
  }
}

class BeforeMain : public BoardTest {
protected:
  void SetUp() override {
    BoardTest::SetUp();
    ASSERT_TRUE(run_to("main"));
  }
};

TEST_F(BeforeMain, ShouldProgramTheClockTreeInItsOrderWithItsValues) {
  using namespace rcc_reg;
  constexpr std::uint32_t kCrStatus = 0x0A02FF02;  // HSIRDY, HSICAL, HSERDY, PLLRDY, PLLI2SRDY
  constexpr std::uint32_t kSws = 0x0000000C;
  expect_sequence(board().rcc().writes(),
                  {
                      {CR, 0x00050081, kCrStatus},       // HSI on, trim 16, HSE on in bypass
                      {CFGR, 0x00009400, kSws},          // HSI, AHB /1, APB1 /4, APB2 /2
                      {CIR, 0x00000000, 0},              // no clock interrupts
                      {CFGR, 0x00009401, kSws},          // SYSCLK from HSE
                      {CFGR, 0x00009401, kSws},          // HSE asserted once more
                      {CFGR, 0x00009400, kSws},          // back to HSI while the PLL is set
                      {PLLCFGR, 0x06402404, 0},          // M 4, N 144, P 2, HSE, Q 6
                      {CR, 0x01050081, kCrStatus},       // PLL on
                      {CFGR, 0x00609402, kSws},          // SYSCLK from PLL, MCO1 = PLL
                  },
                  "RCC");
  // Cache reset, prefetch and caches on, then 4 wait states, all while HSE
  // (8 MHz) still clocks the core.
  expect_sequence(board().flash().writes(),
                  {{flash_reg::ACR, 0x0000, 0},
                   {flash_reg::ACR, 0x1800, 0},
                   {flash_reg::ACR, 0x0000, 0},
                   {flash_reg::ACR, 0x0700, 0},
                   {flash_reg::ACR, 0x0704, 0}},
                  "FLASH");
  cycles_t pll_programmed = 0;
  for (const RegWrite& w : board().rcc().writes())
    if (w.offset == PLLCFGR) pll_programmed = w.time;
  ASSERT_FALSE(board().flash().writes().empty());
  EXPECT_LE(board().flash().writes().back().time, pll_programmed) << "latency raised before the PLL runs";
}

TEST_F(BeforeMain, ShouldClockTheGpioPortsOneWriteEachInOrder) {
  std::vector<std::uint32_t> enables;
  for (const RegWrite& w : board().rcc().writes())
    if (w.offset == rcc_reg::AHB1ENR) enables.push_back(w.value & 0x1F);
  EXPECT_EQ((std::vector<std::uint32_t>{0x01, 0x03, 0x07, 0x0F, 0x1F}), enables);
}

TEST_F(BeforeMain, ShouldLeaveThePinMapOfTheBoard) {
  struct Reg {
    const char* name;
    std::uint32_t addr, mask, value;
  };
  constexpr std::uint32_t A = 0x40020000, B = 0x40020400, C = 0x40020800, D = 0x40020C00, E = 0x40021000;
  const Reg regs[] = {
      {"GPIOD ODR", D + 0x14, 0xFFFF, 0xFFEF},           // all high but PD4 (codec held in reset)
      {"GPIOD OTYPER", D + 0x04, 0xFFFF, 0x0000},        // push-pull
      {"GPIOD OSPEEDR", D + 0x08, ~0u, 0x00000000},      // low speed
      {"GPIOD PUPDR", D + 0x0C, ~0u, 0x00441000},        // pull-ups on PD6, PD9, PD11
      {"GPIOD AFRL", D + 0x20, ~0u, 0x07700000},         // PD5, PD6: USART2
      {"GPIOD AFRH", D + 0x24, ~0u, 0x22220077},         // PD8, PD9: USART3; PD12-15: TIM4
      {"GPIOD MODER", D + 0x00, ~0u, 0xAA1A6955},
      {"GPIOA MODER", A + 0x00, ~0u, 0xA8000000},        // PA0 input; debug pins as at reset
      {"GPIOA PUPDR", A + 0x0C, ~0u, 0x64000000},
      {"GPIOB MODER", B + 0x00, ~0u, 0x00000280},        // untouched
      {"GPIOC MODER", C + 0x00, ~0u, 0x00000000},
      {"GPIOE MODER", E + 0x00, ~0u, 0x00000000},
  };
  for (const Reg& r : regs) EXPECT_EQ(r.value, m().read32(r.addr) & r.mask) << r.name;

  PinIo& pins = m().pins();
  EXPECT_FALSE(pins.level(PD(4)));
  for (int n : {0, 1, 2, 3, 7, 10}) EXPECT_TRUE(pins.level(PD(n))) << "PD" << n;
}

}  // namespace
}  // namespace vb::test
