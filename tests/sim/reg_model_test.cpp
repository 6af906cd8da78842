// What every register-mapped model shares: reset values on read, the write
// log, and the reports for offsets without a register and for accesses
// narrower than the block takes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "sim/core/machine.hpp"
#include "sim/periph/dbgmcu.hpp"
#include "sim/periph/exti.hpp"
#include "sim/periph/flash_if.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/pwr.hpp"
#include "sim/periph/rcc.hpp"
#include "sim/periph/timer.hpp"
#include "sim/periph/usart.hpp"
#include "tests/sim/model_bench.hpp"

namespace vb {
namespace {

// A model on a machine of its own; `owner` keeps what the model needs alive.
struct Rig {
  Machine m;
  test::FixedClocks clocks;
  std::shared_ptr<void> owner;
  RegModel* model = nullptr;
  std::span<const RegDef> map;
};

template <class T, class... Args>
std::function<void(Rig&)> make(std::span<const RegDef> map, Args... args) {
  return [=](Rig& r) {
    auto p = std::make_shared<T>(args...);
    r.model = p.get();
    r.owner = p;
    r.map = map;
    r.m.attach(*p);
  };
}

struct Case {
  const char* name;
  std::function<void(Rig&)> build;
  unsigned min_bytes;  // narrowest write the block takes
};

const Case kCases[] = {
    {"RCC", make<Rcc>(rcc_reg::kMap, true), 1},
    {"PWR", make<Pwr>(pwr_reg::kMap), 2},
    {"DBGMCU", make<Dbgmcu>(dbgmcu_reg::kMap), 4},
    {"EXTI", make<Exti>(exti_reg::kMap), 4},
    {"FLASH", make<FlashInterface>(flash_reg::kMap), 1},
    {"TIM1", make<Timer>(timer_map(TimerKind::kAdvanced), "TIM1", 0x40010000u, ClockGate{}, 25, true), 2},
    {"TIM4", make<Timer>(timer_map(TimerKind::kGeneral), "TIM4", 0x40000800u, ClockGate{}, 30, false), 2},
    {"TIM6", make<Timer>(timer_map(TimerKind::kBasic), "TIM6", 0x40001000u, ClockGate{}, 54, false), 2},
    {"TIM10", make<Timer>(timer_map(TimerKind::kOneChannel), "TIM10", 0x40014400u, ClockGate{}, 25, false), 2},
    {"USART2", make<Usart>(Usart::kRegs, "USART2", 0x40004400u, ClockGate{}, 38), 2},
    {"GPIOC",
     [](Rig& r) {
       auto g = std::make_shared<Gpio>();
       for (Peripheral* p : g->blocks()) r.m.attach(*p);
       r.m.set_pins(g.get());
       r.model = &g->port(2);
       r.map = gpio_reg::kMaps[2];
       r.owner = g;
     },
     1},
};

class RegModels : public ::testing::TestWithParam<Case> {
protected:
  std::unique_ptr<Rig> rig() {
    auto r = std::make_unique<Rig>();
    // The clocks after reset (HSI), which suit every model's reset state
    // (the flash's reset latency included).
    r->clocks.t.hclk = r->clocks.t.sysclk = 16'000'000;
    r->clocks.t.pclk1 = 16'000'000;
    r->m.set_clock_control(&r->clocks);
    GetParam().build(*r);
    return r;
  }
  // The first register a write may change.
  static const RegDef& writable(std::span<const RegDef> map) {
    for (const RegDef& d : map)
      if (!read_only(d)) return d;
    return map.front();
  }
  static std::uint32_t hole(std::span<const RegDef> map) {
    std::uint32_t off = 0;
    while (find_reg(map, off)) off += 4;
    return off;
  }
};

TEST_P(RegModels, ShouldReadResetValuesAndLogWritesWithTheirTime) {
  auto r = rig();
  test::expect_reset_values(*r->model, r->map);
  const RegDef& target = writable(r->map);
  test::run_for(r->m, 10);
  const std::uint32_t v = r->model->read(target.offset);
  r->model->write(target.offset, v, ~0u);  // the same value back: no side effect
  ASSERT_FALSE(r->model->writes().empty());
  EXPECT_EQ((RegWrite{target.offset, v, ~0u, 10}), r->model->writes().back());
  EXPECT_FALSE(r->m.faulted()) << r->m.fault_report();
}

// Each access on a fresh model, so one report does not hide the next.
TEST_P(RegModels, ShouldReportAccessWithoutRegisterOrNarrowerThanTheBlockTakes) {
  struct Access { bool is_write, to_hole; std::uint32_t mask; };
  for (const Access a : {Access{false, true, ~0u}, Access{true, true, ~0u}, Access{true, false, 0xFFu},
                         Access{true, false, 0xFFFFu}, Access{true, false, ~0u}}) {
    auto r = rig();
    const std::uint32_t off = a.to_hole ? hole(r->map) : writable(r->map).offset;
    if (!a.is_write) r->model->read(off);
    else r->model->write(off, a.to_hole ? 0 : r->model->read(off) & a.mask, a.mask);
    EXPECT_EQ(a.to_hole || access_bytes(a.mask) < GetParam().min_bytes, r->m.faulted())
        << (a.is_write ? "write" : "read") << " at " << std::hex << off << " lanes " << a.mask;
  }
}

INSTANTIATE_TEST_SUITE_P(Models, RegModels, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vb
