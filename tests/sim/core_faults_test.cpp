// Firmware mistakes end the run with a report that says what happened and
// where: bad memory accesses, dead peripherals, undefined instructions,
// broken vectors and the trap handler.
#include <gtest/gtest.h>

#include <string>

#include "sim/core/elf.hpp"
#include "tests/sim/core_bench.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb::test {
namespace {

struct FaultCase {
  const char* name;
  std::function<void(Thumb&)> program;  // runs in thread mode after reset
  std::vector<std::string> expected;    // all appear in the report
};

class CoreFaults : public CoreBench, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CoreFaults, ShouldStopWithAReportNamingTheFault) {
  const FaultCase& c = GetParam();
  const std::uint32_t entry = t.here();
  c.program(t);
  t.b_self();
  load(entry);
  expect_fault();

  EXPECT_EQ(Stop::kFault, m.run_cycles(1000)) << c.name;

  ASSERT_TRUE(m.faulted());
  for (const std::string& s : c.expected) EXPECT_NE(std::string::npos, m.fault_report().find(s)) << m.fault_report();
  EXPECT_EQ(Stop::kFault, m.run_cycles(1000)) << "a faulted machine does not run on";
}

INSTANTIATE_TEST_SUITE_P(
    Core, CoreFaults,
    ::testing::Values(
        FaultCase{"read of unmapped memory",
                  [](Thumb& a) { a.mov32(1, 0x30000000).ldr(0, 1); },
                  {"read", "0x30000000", "nothing is mapped", "PC 0x08000"}},
        FaultCase{"write to flash",
                  [](Thumb& a) { a.mov32(1, 0x08000400).movs(0, 7).str(0, 1); },
                  {"write", "0x00000007", "flash", "0x08000400"}},
        FaultCase{"write to flash through the boot alias",
                  [](Thumb& a) { a.mov32(1, 0x00000400).movs(0, 7).str(0, 1); },
                  {"write", "flash", "0x00000400"}},
        FaultCase{"peripheral that no model owns",
                  [](Thumb& a) { a.mov32(1, 0x40004800).movs(0, 1).str(0, 1); },
                  {"0x40004800", "no model"}},
        FaultCase{"undefined instruction", [](Thumb& a) { a.nop().udf(); }, {"undefined instruction", "de00"}},
        FaultCase{"jump to address 0",
                  [](Thumb& a) { a.movs(0, 1).bx(0); },  // 0 | Thumb bit
                  {"0x00000000"}},
        FaultCase{"execution from RAM that cannot hold code (CCM)",
                  [](Thumb& a) { a.mov32(0, 0x10000001).bx(0); },
                  {"0x10000000"}},
        FaultCase{"unimplemented system register",
                  [](Thumb& a) { a.mov32(1, 0xE000ED90).ldr(0, 1); },  // MPU TYPE
                  {"SCS", "0xD90"}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

class CoreTraps : public CoreBench {
protected:
  // Runs into the expected fault; returns its report.
  std::string fault() {
    expect_fault();
    EXPECT_EQ(Stop::kFault, m.run_cycles(1000));
    return m.fault_report();
  }
};

TEST_F(CoreTraps, ShouldReportInterruptWhoseVectorLeadsToTheTrap) {
  const std::uint32_t entry = t.here();
  const std::uint32_t loop = counting_loop();
  load(entry);  // every vector but reset leads to the trap
  m.write32(kIser0 + 4, 1u << (39 - 32));
  m.write32(kIspr0 + 4, 1u << (39 - 32));

  const std::string r = fault();
  EXPECT_NE(std::string::npos, r.find("IRQ 39 (USART3)")) << r;
  EXPECT_NE(std::string::npos, r.find("hndl_TRAP")) << r;
  EXPECT_NE(std::string::npos, r.find(hex(loop).substr(2))) << "names the interrupted PC: " << r;
}

TEST_F(CoreTraps, ShouldReportABranchIntoTheTrap) {
  const std::uint32_t entry = t.here();
  t.b(trap);
  load(entry);

  const std::string r = fault();
  EXPECT_NE(std::string::npos, r.find("hndl_TRAP")) << r;
}

TEST_F(CoreTraps, ShouldReportVectorWithoutThumbBit) {
  const std::uint32_t entry = t.here();
  counting_loop();
  const std::uint32_t h = handler(0);
  load(entry);
  m.write32(kFlash + 4 * exc::kIrq0, h);  // the handler's address, Thumb bit clear
  m.write32(kIser0, 1);
  m.write32(kIspr0, 1);

  const std::string r = fault();
  EXPECT_NE(std::string::npos, r.find("Thumb")) << r;
}

// A one-register model behind a clock gate.
class GatedModel : public Peripheral {
public:
  GatedModel() : Peripheral("GATED", 0x40001000, 0x400, ClockGate{ClockGate::kAPB1, 3}) {}
  std::uint32_t read(std::uint32_t offset) override {
    if (offset != 0) report_unimplemented(offset, false);
    return value;
  }
  void write(std::uint32_t offset, std::uint32_t v, std::uint32_t mask) override {
    if (offset != 0) report_unimplemented(offset, true);
    value = (value & ~mask) | (v & mask);
  }
  std::uint32_t value = 0x1234;
};

struct GateCase {
  bool clock_on;
  bool faults;
  std::uint32_t value_after;  // the model's register after the program's store
};

class CoreClockGates : public CoreBench, public ::testing::WithParamInterface<GateCase> {};

TEST_P(CoreClockGates, ShouldOnlyReachAModelWhoseClockRuns) {
  GatedModel model;
  FixedClocks clocks;
  clocks.gates_on = GetParam().clock_on;
  m.set_clock_control(&clocks);
  m.attach(model);
  const std::uint32_t entry = t.here();
  // One block: read the register into the log slot, then write it.
  t.mov32(1, model.base()).mov32(2, kLog).ldr(0, 1).str(0, 2).movs(0, 0x77).str(0, 1);
  t.b_self();
  load(entry);
  if (GetParam().faults) expect_fault();

  m.run_cycles(200);

  EXPECT_EQ(GetParam().faults, m.faulted()) << m.fault_report();
  if (GetParam().faults) {
    EXPECT_NE(std::string::npos, m.fault_report().find("clock is off")) << m.fault_report();
  }
  EXPECT_EQ(GetParam().value_after, model.value);
  EXPECT_EQ(GetParam().clock_on ? 0x1234u : 0u, m.read32(kLog)) << "a dead block reads 0";
}

INSTANTIATE_TEST_SUITE_P(Core, CoreClockGates,
                         ::testing::Values(GateCase{true, false, 0x77}, GateCase{false, true, 0x1234}));

}  // namespace
}  // namespace vb::test
