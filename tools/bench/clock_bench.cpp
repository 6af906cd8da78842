// The clock at work: its main loop with the clock logic running, both
// serial ports streaming at 115200 bit/s in both directions and an
// announcement starting (chime, clip starts, LED updates every pass). What
// the firmware costs in cycles, and how deep its stack goes.
#include <chrono>
#include <cstdio>
#include <string>

#include "sim/board/board.hpp"
#include "sim/core/nvic.hpp"
#include "sim/periph/usart.hpp"

int clock_busy_bench(const std::string& elf, double ms) {
  using Clock = std::chrono::steady_clock;
  vb::BoardOptions o;
  o.elf = elf;
  o.rtc_chip.start = vb::BcdCalendar{0x58, 0x09, 0x10, 1, 0x07, 0x12, 0x26};  // 10:09:58: chime and voice 2 s in
  vb::Board board(o);
  vb::Machine& m = board.m();
  if (!board.boot()) {
    std::printf("  boot did not reach the main loop:\n%s\n", m.faulted() ? m.fault_report().c_str() : m.where().c_str());
    return 1;
  }
  constexpr int kUsart2 = 16 + 38, kUsart3 = 16 + 39;
  const std::string stream(static_cast<std::size_t>(ms * 11.52), 'x');  // 115200 bit/s, 10 bits a byte
  board.usart2().peer_send(stream);
  board.usart3().peer_send(stream);
  vb::Stats& st = m.stats();
  st.watch_pc = m.symbol("fast_loop");
  st.worst_pass_cycles = 0;
  const vb::Stats before = st;
  const std::size_t out2 = board.usart2().peer_received().size(), out3 = board.usart3().peer_received().size();
  const auto t0 = Clock::now();
  const vb::Stop stop = m.run_ms(ms);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const auto per = [&](int exc) {
    const auto n = st.exceptions[exc].entries - before.exceptions[exc].entries;
    return std::pair{n, st.exceptions[exc].cycles - before.exceptions[exc].cycles};
  };
  const auto [ticks, tick_cycles] = per(vb::exc::kSysTick);
  const auto [n2, c2] = per(kUsart2);
  const auto [n3, c3] = per(kUsart3);
  // Every byte is received once and sent once by each port.
  const double bytes = 2.0 * stream.size() + (board.usart2().peer_received().size() - out2) +
                       (board.usart3().peer_received().size() - out3);
  const std::uint32_t top = m.symbol("_endof_stack");
  std::printf("  %.0f ms device time in %.3f s\n", ms, wall);
  std::printf("  worst main loop pass       %llu cycles (target <= 14400)\n",
              static_cast<unsigned long long>(st.worst_pass_cycles));
  std::printf("  SysTick exception          %.1f cycles each, callback included (target <= 150), %llu ticks\n",
              ticks ? double(tick_cycles) / ticks : 0.0, static_cast<unsigned long long>(ticks));
  std::printf("  USART2 + USART3 interrupts %.1f cycles per byte moved (target <= 120), %llu entries, %.0f bytes\n",
              bytes > 0 ? double(c2 + c3) / bytes : 0.0, static_cast<unsigned long long>(n2 + n3), bytes);
  std::printf("  stack high-water mark      %u bytes below the top (target <= 2048)\n",
              static_cast<unsigned>(top - st.lowest_sp));
  if (stop == vb::Stop::kFault) {
    std::printf("  the firmware faulted:\n%s\n", m.fault_report().c_str());
    return 1;
  }
  return 0;
}
