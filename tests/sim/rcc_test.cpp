#include "sim/periph/rcc.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/machine.hpp"
#include "sim/periph/timer.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using namespace rcc_reg;
using test::run_for;

constexpr std::uint32_t kAll = 0xFFFFFFFF;

struct RccBench {
  Machine m;
  Rcc rcc;
  explicit RccBench(bool hse = true) : rcc(hse) {
    m.attach(rcc);
    m.set_clock_control(&rcc);
  }
  void write(std::uint32_t off, std::uint32_t v) { rcc.write(off, v, kAll); }
  std::uint32_t read(std::uint32_t off) { return rcc.read(off); }
  // Polls `reg` like the start-up code until (reg & bits) == want, at most `limit` polls.
  bool wait(std::uint32_t reg, std::uint32_t bits, std::uint32_t want, int limit = 10000) {
    for (int i = 0; i < limit; ++i) {
      if ((read(reg) & bits) == want) return true;
      run_for(m, 4);
    }
    return false;
  }
};

TEST(Rcc, ShouldSayOnceThatFirmwareWaitsForMissingHse) {
  RccBench b(false);
  b.write(CR, 0x00050081);
  EXPECT_FALSE(b.wait(CR, CR_HSERDY, CR_HSERDY, 5 * Rcc::kHsePollsBeforeMessage));
  ASSERT_EQ(1u, b.m.messages().size());
  EXPECT_NE(std::string::npos, b.m.messages()[0].find("waits for HSERDY"));
  EXPECT_EQ(b.m.messages()[0], b.rcc.waiting_for());
}

TEST(Rcc, ShouldKeepSystemClockUntilSelectedSourceIsReady) {
  RccBench b;
  b.write(PLLCFGR, 0x06402404);
  b.write(CFGR, 0x9402);  // PLL selected, but neither HSE nor PLL is on
  run_for(b.m, 100'000);
  EXPECT_EQ(0u, b.read(CFGR) & CFGR_SWS);
  EXPECT_EQ(Rcc::kHsiHz, b.rcc.tree().sysclk);

  b.write(CR, b.read(CR) | CR_HSEON | CR_HSEBYP | CR_PLLON);
  ASSERT_TRUE(b.wait(CFGR, CFGR_SWS, 2u << 2));
  EXPECT_EQ(144'000'000u, b.rcc.tree().sysclk);
}

// The board's 8 MHz source is a clock signal: the HSE runs only in bypass.
TEST(Rcc, ShouldReadyHseOnlyInBypassWithTheBoardsClockSignal) {
  struct Case { const char* what; std::vector<std::uint32_t> writes; bool ready; const char* message; };
  const Case cases[] = {
      {"bypass set with HSEON", {CR_HSION | CR_HSEON | CR_HSEBYP}, true, nullptr},
      {"bypass set before HSEON", {CR_HSION | CR_HSEBYP, CR_HSION | CR_HSEON | CR_HSEBYP}, true, nullptr},
      {"no bypass", {CR_HSION | CR_HSEON}, false, "without bypass"},
      {"bypass set after HSEON is ignored", {CR_HSION | CR_HSEON, CR_HSION | CR_HSEON | CR_HSEBYP}, false,
       "without bypass"},
  };
  for (const Case& c : cases) {
    RccBench b;
    for (std::uint32_t w : c.writes) b.write(CR, w);
    EXPECT_EQ(c.ready, b.wait(CR, CR_HSERDY, CR_HSERDY, 2 * Rcc::kHsePollsBeforeMessage)) << c.what;
    const std::string said = b.m.messages().empty() ? "" : b.m.messages()[0];
    if (c.message) EXPECT_NE(std::string::npos, said.find(c.message)) << c.what << ": " << said;
    else EXPECT_EQ("", said) << c.what;
  }
}

// Clock settings the chip does not support stop the run: its behaviour is
// undefined beyond them.
TEST(Rcc, ShouldStopRunOnClockSettingsOutsideTheChipsLimits) {
  struct Case {
    const char* what;
    std::uint32_t pllcfgr, cfgr;
    bool rewrite_pll_while_on;
    bool fault;
  };
  // PLLCFGR: M | N << 6 | HSE source | Q << 24 (P = 2); CFGR: PPRE2 << 13 | PPRE1 << 10 | SW PLL.
  constexpr std::uint32_t kHse = 1u << 22, kQ6 = 6u << 24;
  constexpr std::uint32_t kApb1Div4 = 5u << 10, kApb2Div2 = 4u << 13, kApb1Div2 = 4u << 10, kPll = 2;
  const Case cases[] = {
      {"144 MHz, APB1 36 MHz, APB2 72 MHz", 4 | 144u << 6 | kHse | kQ6, kApb2Div2 | kApb1Div4 | kPll, false, false},
      {"APB1 at 72 MHz (limit 42)", 4 | 144u << 6 | kHse | kQ6, kApb2Div2 | kApb1Div2 | kPll, false, true},
      {"APB2 at 144 MHz (limit 84)", 4 | 144u << 6 | kHse | kQ6, kApb1Div4 | kPll, false, true},
      {"HCLK at 176 MHz (limit 168)", 4 | 176u << 6 | kHse | kQ6, (5u << 13) | (6u << 10) | kPll, false, true},
      {"VCO input 4 MHz (1-2 MHz)", 2 | 72u << 6 | kHse | kQ6, kApb2Div2 | kApb1Div4 | kPll, false, true},
      {"VCO input 0.5 MHz", 16 | 576u / 2 << 6 | kHse | kQ6, kApb2Div2 | kApb1Div4 | kPll, false, true},
      {"VCO output 98 MHz (100-432)", 4 | 49u << 6 | kHse | kQ6, kApb1Div4 | kPll, false, true},
      {"PLLCFGR written while the PLL runs", 4 | 144u << 6 | kHse | kQ6, kApb2Div2 | kApb1Div4 | kPll, true, true},
  };
  for (const Case& c : cases) {
    RccBench b;
    b.write(PLLCFGR, c.pllcfgr);
    b.write(CR, CR_HSION | CR_HSEON | CR_HSEBYP);
    ASSERT_TRUE(b.wait(CR, CR_HSERDY, CR_HSERDY)) << c.what;
    b.write(CR, CR_HSION | CR_HSEON | CR_HSEBYP | CR_PLLON);
    if (!b.m.faulted()) {
      b.wait(CR, CR_PLLRDY, CR_PLLRDY);
      b.write(CFGR, c.cfgr);
      b.wait(CFGR, CFGR_SWS, 2u << 2);
    }
    if (c.rewrite_pll_while_on) b.write(PLLCFGR, c.pllcfgr);
    EXPECT_EQ(c.fault, b.m.faulted()) << c.what << ": " << b.m.fault_report();
  }
}

TEST(Rcc, ShouldKeepOscillatorOnWhileItClocksTheSystem) {
  RccBench b;
  b.write(CR, 0x00050081);
  ASSERT_TRUE(b.wait(CR, CR_HSERDY, CR_HSERDY));
  b.write(CFGR, 1);
  ASSERT_TRUE(b.wait(CFGR, CFGR_SWS, 1u << 2));
  b.write(CR, CR_HSION);  // tries to stop the HSE
  run_for(b.m, 1000);
  EXPECT_EQ(CR_HSEON | CR_HSERDY, b.read(CR) & (CR_HSEON | CR_HSERDY));
  EXPECT_EQ(Rcc::kHseHz, b.rcc.tree().sysclk);
}

TEST(Rcc, ShouldDoubleTimerClockOnlyWhenApbPrescalerDivides) {
  struct Case { std::uint32_t cfgr, hclk, pclk1, tim1, pclk2, tim2; };
  const Case cases[] = {
      {0x00000000, 16'000'000, 16'000'000, 16'000'000, 16'000'000, 16'000'000},
      {0x00001400, 16'000'000, 4'000'000, 8'000'000, 16'000'000, 16'000'000},   // APB1 / 4
      {0x00008000, 16'000'000, 16'000'000, 16'000'000, 8'000'000, 16'000'000},  // APB2 / 2
      {0x0000FC00, 16'000'000, 1'000'000, 2'000'000, 1'000'000, 2'000'000},     // both / 16
      {0x00000080, 8'000'000, 8'000'000, 8'000'000, 8'000'000, 8'000'000},      // AHB / 2
      {0x000000F0, 31'250, 31'250, 31'250, 31'250, 31'250},                     // AHB / 512
  };
  for (const Case& c : cases) {
    RccBench b;
    b.write(CFGR, c.cfgr);
    const ClockTree& t = b.rcc.tree();
    EXPECT_EQ(c.hclk, t.hclk) << std::hex << c.cfgr;
    EXPECT_EQ(c.pclk1, t.pclk1) << std::hex << c.cfgr;
    EXPECT_EQ(c.tim1, t.tim_apb1) << std::hex << c.cfgr;
    EXPECT_EQ(c.pclk2, t.pclk2) << std::hex << c.cfgr;
    EXPECT_EQ(c.tim2, t.tim_apb2) << std::hex << c.cfgr;
  }
}

TEST(Rcc, ShouldRunGateOnlyWhenEnabledAndNotHeldInReset) {
  struct Case { std::uint32_t enr, rstr; bool running; };
  const Case cases[] = {{0, 0, false}, {1, 0, true}, {1, 1, false}, {0, 1, false}, {2, 0, false}};
  for (const Case& c : cases) {
    RccBench b;
    b.write(APB2ENR, c.enr);
    b.write(APB2RSTR, c.rstr);
    EXPECT_EQ(c.running, b.rcc.running({ClockGate::kAPB2, 0})) << c.enr << "/" << c.rstr;
  }
  RccBench b;
  EXPECT_TRUE(b.rcc.running({}));                         // always-clocked blocks
  EXPECT_FALSE(b.rcc.running({ClockGate::kAHB1, 0}));     // GPIOA off after reset
}

TEST(Rcc, ShouldResetOnlyTheBlockWhoseResetBitIsSet) {
  RccBench b;
  Timer tim1("TIM1", 0x40010000, {ClockGate::kAPB2, 0}, 25, true);
  Timer tim8("TIM8", 0x40010400, {ClockGate::kAPB2, 1}, 44, true);
  for (Timer* t : {&tim1, &tim8}) {
    b.m.attach(*t);
    b.rcc.add_reset_target(*t);
    t->write(tim_reg::ARR, 17999, kAll);
  }
  b.write(APB2RSTR, 1);
  b.write(APB2RSTR, 0);
  EXPECT_EQ(0xFFFFu, tim1.read(tim_reg::ARR));
  EXPECT_EQ(17999u, tim8.read(tim_reg::ARR));
}

TEST(Rcc, ShouldTellListenersOnlyWhenClocksOrGatesChange) {
  RccBench b;
  int calls = 0;
  b.rcc.on_change([&] { ++calls; });
  b.write(CIR, 0);
  b.write(CFGR, 0);  // same configuration
  EXPECT_EQ(0, calls);
  b.write(CFGR, 0x80);  // AHB / 2
  EXPECT_EQ(1, calls);
  b.write(AHB1ENR, b.read(AHB1ENR) | 1);
  EXPECT_EQ(2, calls);
}

TEST(Rcc, ShouldFlagReadyOscillatorInCirOnlyWhenItsInterruptIsEnabled) {
  for (bool enabled : {true, false}) {
    RccBench b;
    b.write(CIR, enabled ? 1u << (kHseRdy + 8) : 0);
    b.write(CR, 0x00050081);
    ASSERT_TRUE(b.wait(CR, CR_HSERDY, CR_HSERDY));
    EXPECT_EQ(enabled, (b.read(CIR) >> kHseRdy & 1) != 0);
    b.write(CIR, 1u << (kHseRdy + 16));  // HSERDYC
    EXPECT_EQ(0u, b.read(CIR) & 0xFF);
  }
}

TEST(Rcc, ShouldStoreBackupDomainRegistersWithTheirWritableBits) {
  RccBench b;
  b.write(BDCR, kAll);
  EXPECT_EQ(0x00018305u, b.read(BDCR));
  b.write(CSR, CSR_RMVF | 1);
  EXPECT_EQ(1u, b.read(CSR));  // LSION kept, reset flags removed
}

TEST(Rcc, ShouldHandBackupDomainRegistersToTheirModel) {
  struct Hooks : BackupDomainHooks {
    std::vector<std::uint32_t> bdcr_writes, csr_writes;
    std::uint32_t read_bdcr() override { return 0x8102; }
    void write_bdcr(std::uint32_t v, std::uint32_t) override { bdcr_writes.push_back(v); }
    std::uint32_t read_csr() override { return 0x3; }
    void write_csr(std::uint32_t v, std::uint32_t) override { csr_writes.push_back(v); }
  } hooks;
  RccBench b;
  b.rcc.set_backup_domain(&hooks);
  b.write(BDCR, 0x5);
  b.write(CSR, 0x1);
  EXPECT_EQ(std::vector<std::uint32_t>{0x5}, hooks.bdcr_writes);
  EXPECT_EQ(std::vector<std::uint32_t>{0x1}, hooks.csr_writes);
  EXPECT_EQ(0x8102u, b.read(BDCR));
  EXPECT_EQ(Rcc::kLseHz, b.rcc.tree().rtcclk);  // RTCSEL = LSE, LSERDY
}

}  // namespace
}  // namespace vb
