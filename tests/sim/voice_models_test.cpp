// The models behind the voice output on their own: DMA1 streams, the DAC's
// data registers, TIM6's update requests and TIM8's toggle output, against
// the reference manual.
#include <gtest/gtest.h>

#include <vector>

#include "sim/core/machine.hpp"
#include "sim/periph/dac.hpp"
#include "sim/periph/dma.hpp"
#include "sim/periph/timer.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

using test::run_for;
constexpr std::uint32_t kAll = 0xFFFFFFFF;
constexpr std::uint32_t kDma = 0x40026000, kDacBase = 0x40007400;
constexpr std::uint32_t kS1 = 0x28;  // stream 1 registers: CR, NDTR +4, PAR +8, M0AR +0xC, FCR +0x14
constexpr std::uint32_t kSram = 0x20000000;

// DMA1, the DAC and TIM6 on a machine with the firmware's clocks.
struct VoiceBench {
  Machine m;
  test::FixedClocks clocks;
  Dma dma{"DMA1", kDma, {ClockGate::kAHB1, 21}, {11, 12, 13, 14, 15, 16, 17, 47}};
  bool pa4_analog = true;
  Dac dac{"DAC", kDacBase, {ClockGate::kAPB1, 29}, [this] { return pa4_analog; }};
  Timer tim6{"TIM6", 0x40001000, {ClockGate::kAPB1, 4}, -1, false};
  VoiceBench() {
    clocks.t.hclk = clocks.t.sysclk = 144'000'000;
    clocks.t.pclk1 = 36'000'000;
    clocks.t.tim_apb1 = 72'000'000;
    m.set_clock_control(&clocks);
    m.attach(dma);
    m.attach(dac);
    m.attach(tim6);
    m.reset();
    tim6.connect_update_dma(dma, 1, 7);
    dac.record_trace(true);
  }
  void stream1(std::uint32_t cr, std::uint32_t ndtr, std::uint32_t par, std::uint32_t m0ar) {
    dma.write(kS1 + 4, ndtr, kAll);
    dma.write(kS1 + 8, par, kAll);
    dma.write(kS1 + 0xC, m0ar, kAll);
    dma.write(kS1, cr, kAll);
  }
  std::vector<std::uint16_t> codes() {
    std::vector<std::uint16_t> v;
    for (const auto& s : dac.trace()) v.push_back(s.code);
    return v;
  }
};

TEST(Dma, ShouldLeaveResetWithStreamsOffAndFifoControlAt21) {
  VoiceBench b;
  for (int n = 0; n < 8; ++n) {
    const std::uint32_t s = 0x10 + 0x18 * n;
    EXPECT_EQ(0u, b.dma.read(s)) << "S" << n << "CR";
    EXPECT_EQ(0u, b.dma.read(s + 4)) << "S" << n << "NDTR";
    EXPECT_EQ(0x21u, b.dma.read(s + 0x14)) << "S" << n << "FCR: direct mode, FIFO empty, half threshold";
  }
  EXPECT_EQ(0u, b.dma.read(0x00));
  EXPECT_EQ(0u, b.dma.read(0x04));
}

TEST(Dma, ShouldMoveOneItemPerRequestAndEndOrReloadByMode) {
  struct Case {
    const char* what;
    std::uint32_t cr;          // stream 1 on channel 7
    unsigned requests;
    std::vector<std::uint16_t> codes;  // what reached DHR12R1/DHR8R1
    bool enabled_after;
    std::uint32_t ndtr_after;
    std::uint32_t lisr_after;  // stream 1's flags sit at bit 6
  };
  // Memory: 01 02 03 04 05 06 at kSram (as bytes), the DAC at PAR.
  const Case cases[] = {
      {"bytes to DHR8R1, normal mode", 0x0E000441, 6, {0x010, 0x020, 0x030, 0x040}, false, 0, 0x30u << 6},
      {"fewer requests than items", 0x0E000441, 2, {0x010, 0x020}, true, 2, 0x10u << 6},
      {"circular mode reloads NDTR", 0x0E000541, 6, {0x010, 0x020, 0x030, 0x040, 0x010, 0x020}, true, 2, 0x30u << 6},
      {"half-words to DHR12R1", 0x0E000C41 | (1u << 13), 2, {0x0201, 0x0403}, true, 2, 0x10u << 6},
  };
  for (const Case& c : cases) {
    VoiceBench b;
    const std::uint8_t mem[] = {1, 2, 3, 4, 5, 6};
    b.m.load_bytes(kSram, mem);
    b.dac.write(0x00, 1, kAll);  // EN1
    b.dac.clear_trace();
    const bool halves = (c.cr >> 11 & 3) == 1;
    b.stream1(c.cr, 4, kDacBase + (halves ? 0x08 : 0x10), kSram);
    for (unsigned i = 0; i < c.requests; ++i) b.dma.request(1, 7);
    EXPECT_EQ(c.codes, b.codes()) << c.what;
    EXPECT_EQ(c.enabled_after, (b.dma.read(kS1) & 1) != 0) << c.what;
    EXPECT_EQ(c.ndtr_after, b.dma.read(kS1 + 4)) << c.what;
    EXPECT_EQ(c.lisr_after, b.dma.read(0x00)) << c.what;
    b.dma.write(0x08, 0xF40, kAll);  // LIFCR: stream 1's flags
    EXPECT_EQ(0u, b.dma.read(0x00)) << c.what;
    EXPECT_FALSE(b.m.faulted()) << c.what << ": " << b.m.fault_report();
  }
}

TEST(Dma, ShouldIgnoreRequestsOfOtherChannelsAndStoppedStreams) {
  VoiceBench b;
  b.dma.connect_request(1, 3);
  b.dac.write(0x00, 1, kAll);
  b.dac.clear_trace();
  b.stream1(0x0E000441, 4, kDacBase + 0x10, 0x08000000);
  b.dma.request(1, 3);  // channel 3 is not selected
  b.dma.request(2, 7);  // another stream
  EXPECT_TRUE(b.dac.trace().empty());
  b.dma.write(kS1, 0, kAll);
  b.dma.request(1, 7);
  EXPECT_TRUE(b.dac.trace().empty());
  EXPECT_EQ(4u, b.dma.read(kS1 + 4)) << "NDTR keeps its count";
}

TEST(Dma, ShouldReportWhatTheChipForbidsOrTheModelLacks) {
  struct Case { const char* what; std::uint32_t cr; std::uint32_t par; bool ndtr_while_enabled; };
  const Case cases[] = {
      {"NDTR written while enabled", 0x0E000441, kDacBase + 0x10, true},
      {"channel without a request on the board", 0x06000441, kDacBase + 0x10, false},
      {"memory to memory", 0x0E000481, kDacBase + 0x10, false},
      {"transfer to an address nothing owns", 0x0E000441, 0x40007000, false},
  };
  for (const Case& c : cases) {
    VoiceBench b;
    b.dac.write(0x00, 1, kAll);
    b.stream1(c.cr, 4, c.par, 0x08000000);
    if (c.ndtr_while_enabled) b.dma.write(kS1 + 4, 9, kAll);
    b.dma.request(1, 7);
    EXPECT_TRUE(b.m.faulted()) << c.what;
  }
}

// DMA1's peripheral port is wired to APB1 only, its memory port to the bus
// matrix, which has no path to the CCM RAM: an item off them is a transfer
// error. The bench maps nothing else, so an access tried would be reported.
TEST(Dma, ShouldEndWithATransferErrorWhereItsPortsDoNotReach) {
  struct Case { const char* what; std::uint32_t par, m0ar; bool moves; };
  const Case cases[] = {
      {"SRAM to the DAC (APB1)", kDacBase + 0x10, kSram, true},
      {"CCM RAM to the DAC", kDacBase + 0x10, 0x10000000, false},
      {"end of CCM RAM to the DAC", kDacBase + 0x10, 0x1000FFFF, false},
      {"SRAM to TIM8 on APB2", 0x40010434, kSram, false},
      {"SRAM to GPIOA on AHB1", 0x40020014, kSram, false},
  };
  for (const Case& c : cases) {
    VoiceBench b;
    b.dac.write(0x00, 1, kAll);
    b.dac.clear_trace();
    b.stream1(0x0E000441, 4, c.par, c.m0ar);
    b.dma.request(1, 7);
    EXPECT_EQ(c.moves ? 1u : 0u, b.dac.trace().size()) << c.what;
    EXPECT_EQ(c.moves ? 0u : 0x08u << 6, b.dma.read(0x00)) << c.what << ": TEIF";
    EXPECT_EQ(c.moves, (b.dma.read(kS1) & 1) != 0) << c.what << ": EN";
    EXPECT_EQ(c.moves ? 3u : 4u, b.dma.read(kS1 + 4)) << c.what << ": NDTR";
    EXPECT_FALSE(b.m.faulted()) << c.what << ": " << b.m.fault_report();
  }
}

TEST(Dma, ShouldStopAfterTheItemInFlightReadingEnUntilThenAndFlagTheStop) {
  VoiceBench b;
  b.dac.write(0x00, 1, kAll);
  b.dac.clear_trace();
  b.stream1(0x0E000441 | (1u << 4), 4, kDacBase + 0x10, kSram);  // TCIE on
  b.dma.request(1, 7);
  b.dma.write(kS1, 0, kAll);
  EXPECT_EQ(1u, b.dma.read(kS1) & 1) << "EN reads 1 while the stream stops";
  EXPECT_EQ(0u, b.dma.read(0x00));
  b.dma.request(1, 7);  // a request now is not served by the stopping stream
  run_for(b.m, Dma::kStopCycles - 1);
  EXPECT_EQ(1u, b.dma.read(kS1) & 1);
  run_for(b.m, 1);
  EXPECT_EQ(0u, b.dma.read(kS1) & 1);
  EXPECT_EQ(0x20u << 6, b.dma.read(0x00)) << "TCIF: the stream was stopped";
  EXPECT_EQ(3u, b.dma.read(kS1 + 4)) << "NDTR shows the items left";
  EXPECT_EQ(1u, b.dac.trace().size());
  EXPECT_FALSE(b.m.faulted()) << b.m.fault_report();
}

TEST(Dma, ShouldTakeInterruptEnablesWhileTheStreamRunsAndNothingElse) {
  struct Case { const char* what; std::uint32_t offset, value; bool fault; std::uint32_t reads; };
  const std::uint32_t cr = 0x0E000441;
  const Case cases[] = {
      {"CR: TCIE, HTIE, TEIE, DMEIE", kS1, cr | 0x1E, false, cr | 0x1E},
      {"FCR: FEIE", kS1 + 0x14, 0xA1, false, 0xA1},
      {"CR: MINC cleared", kS1, cr & ~(1u << 10), true, cr},
      {"FCR: direct mode off", kS1 + 0x14, 0x25, true, 0x21},
  };
  for (const Case& c : cases) {
    VoiceBench b;
    b.dac.write(0x00, 1, kAll);
    b.stream1(cr, 4, kDacBase + 0x10, kSram);
    b.dma.write(c.offset, c.value, kAll);
    EXPECT_EQ(c.fault, b.m.faulted()) << c.what;
    EXPECT_EQ(c.reads, b.dma.read(c.offset)) << c.what;
  }
}

TEST(Dma, ShouldServeARequestMadeWhileItsStreamWasOffWhenItStarts) {
  VoiceBench b;
  b.dac.write(0x00, 1, kAll);
  b.dac.clear_trace();
  b.dma.request(1, 7);
  b.dma.request(1, 7);  // a request line is a level: two make one
  EXPECT_TRUE(b.dac.trace().empty());
  b.stream1(0x0E000441, 4, kDacBase + 0x10, kSram);
  EXPECT_EQ(1u, b.dac.trace().size()) << "served as the stream starts";
  EXPECT_EQ(3u, b.dma.read(kS1 + 4));
  b.dma.write(kS1, 0, kAll);
  run_for(b.m, Dma::kStopCycles);
  b.dma.write(0x08, 0xF40, kAll);
  b.stream1(0x0E000441, 4, kDacBase + 0x10, kSram);
  EXPECT_EQ(1u, b.dac.trace().size()) << "nothing was pending any more";
  EXPECT_FALSE(b.m.faulted()) << b.m.fault_report();
}

TEST(Timer, ShouldRequestDmaOnUgOnlyWithoutUrs) {
  struct Case { std::uint32_t cr1; std::size_t items; };
  for (const Case& c : {Case{0, 1}, Case{tim_reg::CR1_URS, 0}}) {
    VoiceBench b;
    b.dac.write(0x00, 1, kAll);
    b.dac.clear_trace();
    b.stream1(0x0E000441, 4, kDacBase + 0x10, kSram);
    b.tim6.write(tim_reg::DIER, tim_reg::DIER_UDE, kAll);
    b.tim6.write(tim_reg::CR1, c.cr1, kAll);
    b.tim6.write(tim_reg::EGR, 1, kAll);  // UG
    EXPECT_EQ(c.items, b.dac.trace().size()) << "URS " << (c.cr1 != 0);
    b.tim6.write(tim_reg::ARR, 10, kAll);
    b.tim6.write(tim_reg::CR1, c.cr1 | tim_reg::CR1_CEN, kAll);
    run_for(b.m, 11 * 2);  // one overflow at 72 MHz from the 144 MHz core: 2 cycles a count
    EXPECT_EQ(c.items + 1, b.dac.trace().size()) << "an overflow always requests";
  }
}

TEST(Dac, ShouldTakeEachDataFormatIntoTheTwelveBitOutput) {
  struct Case { std::uint32_t offset; std::uint32_t value; std::uint16_t code; };
  const Case cases[] = {
      {0x08, 0xABC, 0xABC},        // DHR12R1: right-aligned
      {0x0C, 0xABC0, 0xABC},       // DHR12L1: left-aligned
      {0x10, 0xAB, 0xAB0},         // DHR8R1: byte b -> 16 b
      {0x20, 0x0123'0ABC, 0xABC},  // DHR12RD: channel 1 in the low half
      {0x28, 0x12AB, 0xAB0},       // DHR8RD: channel 1 in the low byte
  };
  for (const Case& c : cases) {
    VoiceBench b;
    b.dac.write(0x00, 1, kAll);
    b.dac.write(c.offset, c.value, kAll);
    EXPECT_EQ(c.code, b.dac.read(0x2C)) << "DOR1 after offset " << c.offset;
    EXPECT_EQ(c.code, b.dac.code());
  }
}

TEST(Dac, ShouldReportTriggersChannelTwoAndAnOutputOnADigitalPin) {
  struct Case { const char* what; std::uint32_t cr; bool analog; };
  const Case cases[] = {{"trigger enable", 0x5, true}, {"channel 2", 0x10001, true}, {"DMA enable", 0x1001, true},
                        {"PA4 not analog", 0x1, false}};
  for (const Case& c : cases) {
    VoiceBench b;
    b.pa4_analog = c.analog;
    b.dac.write(0x00, c.cr, kAll);
    b.dac.write(0x10, 0x80, kAll);
    EXPECT_TRUE(b.m.faulted()) << c.what;
  }
}

TEST(Timer, ShouldRequestDmaAtEveryUpdateOnlyWhileTheStreamListens) {
  VoiceBench b;
  b.dac.write(0x00, 1, kAll);
  b.tim6.write(tim_reg::ARR, 8999, kAll);
  b.tim6.write(tim_reg::DIER, tim_reg::DIER_UDE, kAll);
  b.tim6.write(tim_reg::CR1, tim_reg::CR1_CEN, kAll);
  EXPECT_TRUE(b.m.scheduler().empty()) << "no event while no stream listens";
  run_for(b.m, 10 * 18000);
  b.dac.clear_trace();
  b.stream1(0x0E000441, 3, kDacBase + 0x10, kSram);
  EXPECT_FALSE(b.m.scheduler().empty());
  run_for(b.m, 10 * 18000);
  ASSERT_EQ(3u, b.dac.trace().size()) << "three updates, three items, then the stream is off";
  EXPECT_EQ(18000u, b.dac.trace()[1].time - b.dac.trace()[0].time);
  EXPECT_TRUE(b.m.scheduler().empty());
  EXPECT_FALSE(b.m.faulted()) << b.m.fault_report();
}

TEST(Timer, ShouldPutOutAToggleClockOfHalfTheUpdateRate) {
  struct Case { const char* what; std::uint32_t ccmr1, ccer, bdtr, arr, ccr2; double hz; };
  const Case cases[] = {
      {"the audio DAC's master clock", 0xB000, 0x10, 0xCC00, 5, 5, 12e6},
      {"period of 12 counts", 0x3000, 0x10, 0x8000, 11, 0, 6e6},
      {"main output off", 0xB000, 0x10, 0x0000, 5, 5, 0},
      {"channel output off", 0xB000, 0x00, 0xCC00, 5, 5, 0},
      {"frozen, not toggling", 0x0000, 0x10, 0xCC00, 5, 5, 0},
      {"compare value never reached", 0x3000, 0x10, 0x8000, 5, 6, 0},
  };
  for (const Case& c : cases) {
    Machine m;
    test::FixedClocks clocks;
    clocks.t.hclk = clocks.t.tim_apb2 = 144'000'000;
    m.set_clock_control(&clocks);
    Timer tim8("TIM8", 0x40010400, {ClockGate::kAPB2, 1}, -1, true);
    m.attach(tim8);
    m.reset();
    tim8.write(tim_reg::ARR, c.arr, kAll);
    tim8.write(tim_reg::CCR1 + 4, c.ccr2, kAll);
    tim8.write(tim_reg::CCMR1, c.ccmr1, kAll);
    tim8.write(tim_reg::CCER, c.ccer, kAll);
    tim8.write(tim_reg::BDTR, c.bdtr, kAll);
    tim8.write(tim_reg::CR1, tim_reg::CR1_CEN, kAll);
    EXPECT_EQ(c.hz, tim8.output_clock_hz(1)) << c.what;
    EXPECT_FALSE(m.faulted()) << c.what;
  }
}

TEST(Timer, ShouldReportOutputModesCaptureAndDmaRequestsItDoesNotModel) {
  struct Case { const char* what; std::uint32_t offset, value; };
  const Case cases[] = {
      {"active level on match on an enabled output", tim_reg::CCMR1, 0x1000},
      {"input capture on an enabled channel", tim_reg::CCMR1, 0x0100},
      {"update DMA request with no stream", tim_reg::DIER, tim_reg::DIER_UDE},
      {"trigger DMA request", tim_reg::DIER, 1u << 14},
  };
  for (const Case& c : cases) {
    Machine m;
    test::FixedClocks clocks;
    m.set_clock_control(&clocks);
    Timer tim8("TIM8", 0x40010400, {ClockGate::kAPB2, 1}, -1, true);
    m.attach(tim8);
    m.reset();
    tim8.write(tim_reg::CCER, 0x11, kAll);  // channels 1 and 2 on
    EXPECT_FALSE(m.faulted()) << c.what;
    tim8.write(c.offset, c.value, kAll);
    EXPECT_TRUE(m.faulted()) << c.what;
  }
}

}  // namespace
}  // namespace vb
