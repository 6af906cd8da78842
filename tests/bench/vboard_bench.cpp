// Benchmark of the virtual board (make bench): how fast the emulated core
// runs the firmware idling in its main loop with the 1 ms tick, and, for
// comparison, what the engine costs per kind of instruction.
//
//   vboard_bench [firmware.elf] [--ms N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "sim/board/board.hpp"
#include "sim/core/nvic.hpp"
#include "tests/sim/core_thumb.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vb::test::Thumb;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A five-instruction loop built by `body` (four instructions) plus the
// branch back, run for `cycles` on a bare machine.
void engine_loop(const char* name, const std::function<void(Thumb&)>& body, std::uint64_t cycles = 200'000'000) {
  vb::Machine m;
  Thumb t(0x08000200);
  const std::uint32_t entry = t.here();
  t.mov32(0, 0x20000000).mov32(5, 0xE000E010);  // r0: SRAM, r5: SysTick CTRL
  Thumb::Label loop;
  t.bind(loop);
  body(t);
  t.b(loop);
  Thumb table(0x08000000);
  table.word(0x20010000).word(entry | 1);
  m.load_bytes(0x08000000, table.bytes());
  m.load_bytes(0x08000200, t.bytes());
  m.reset();
  const auto t0 = Clock::now();
  m.run_cycles(cycles);
  const double s = seconds_since(t0);
  std::printf("  %-34s %8.1f M instructions/s\n", name, m.stats().instructions / s / 1e6);
}

int idle_firmware(const std::string& elf, double ms) {
  vb::BoardOptions o;
  o.elf = elf;
  vb::Board board(o);
  vb::Machine& m = board.m();
  auto t0 = Clock::now();
  if (!board.boot()) {
    std::printf("firmware: boot did not reach the main loop:\n%s\n",
                m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  const double boot_s = seconds_since(t0);
  std::printf("firmware %s\n  boot to the main loop: %.3f ms device time in %.3f s\n", elf.c_str(),
              m.now() * 1000.0 / m.clocks().hclk, boot_s);

  m.stats().watch_pc = m.symbol("fast_loop");
  const std::uint64_t i0 = m.stats().instructions, c0 = m.now();
  const std::uint64_t ticks0 = m.stats().exceptions[vb::exc::kSysTick].entries;
  t0 = Clock::now();
  const vb::Stop stop = m.run_ms(ms);
  const double s = seconds_since(t0);
  const vb::Stats& st = m.stats();
  const double instr = static_cast<double>(st.instructions - i0);
  const double device_ms = (m.now() - c0) * 1000.0 / m.clocks().hclk;
  std::printf("  idle main loop, %.0f ms device time in %.3f s host time:\n", device_ms, s);
  std::printf("    %.1f M instructions/s, %.1f emulated ms per host second (%.2fx real time)\n", instr / s / 1e6,
              device_ms / s, device_ms / 1000.0 / s);
  std::printf("    %llu SysTick interrupts, worst main loop pass %llu cycles, lowest SP 0x%08x\n",
              static_cast<unsigned long long>(st.exceptions[vb::exc::kSysTick].entries - ticks0),
              static_cast<unsigned long long>(st.worst_pass_cycles), static_cast<unsigned>(st.lowest_sp));
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string elf = vb::default_firmware_elf();
  double ms = 5000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ms") == 0 && i + 1 < argc)
      ms = std::atof(argv[++i]);
    else
      elf = argv[i];
  }

  std::printf("engine, five-instruction loops on a bare machine:\n");
  engine_loop("register arithmetic", [](Thumb& a) { a.adds(1, 1).adds(2, 1).adds(3, 1).adds(4, 1); });
  engine_loop("3 loads from SRAM", [](Thumb& a) { a.ldr(1, 0).ldr(2, 0, 4).ldr(3, 0, 8).adds(4, 1); });
  engine_loop("3 stores to SRAM", [](Thumb& a) { a.str(1, 0).str(2, 0, 4).str(3, 0, 8).adds(4, 1); }, 50'000'000);
  engine_loop("1 register read (SysTick)", [](Thumb& a) { a.ldr(1, 5, 8).adds(2, 1).adds(3, 1).adds(4, 1); },
              50'000'000);
  engine_loop("1 register write (SysTick VAL)", [](Thumb& a) { a.str(1, 5, 8).adds(2, 1).adds(3, 1).adds(4, 1); },
              50'000'000);

  try {
    return idle_firmware(elf, ms);
  } catch (const std::exception& e) {
    std::printf("firmware: %s\n", e.what());
    return 1;
  }
}
