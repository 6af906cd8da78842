// A bare machine with a hand-assembled program in flash: a vector table, a
// routine that appends r0 to a log in SRAM, interrupt handlers that log
// their entry and exit, and a thread loop that counts its passes.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/core/machine.hpp"
#include "sim/core/nvic.hpp"
#include "tests/support/thumb.hpp"

namespace vb::test {

inline constexpr std::uint32_t kFlash = 0x08000000;
inline constexpr std::uint32_t kCode = kFlash + 0x200;
inline constexpr std::uint32_t kLog = 0x20000000;      // count, then the entries
inline constexpr std::uint32_t kCounter = 0x20000400;  // thread loop passes
inline constexpr std::uint32_t kStackTop = 0x20010000;

// System control space registers.
inline constexpr std::uint32_t kSysTickCtrl = 0xE000E010, kSysTickLoad = 0xE000E014, kSysTickVal = 0xE000E018;
inline constexpr std::uint32_t kIser0 = 0xE000E100, kIspr0 = 0xE000E200, kIpr0 = 0xE000E400;
inline constexpr std::uint32_t kIcsr = 0xE000ED04, kAircr = 0xE000ED0C, kShpr3 = 0xE000ED20, kCpacr = 0xE000ED88;

class CoreBench : public ::testing::Test {
protected:
  Machine m;
  Thumb t{kCode};
  Thumb::Label log_fn, trap;
  std::array<std::uint32_t, exc::kCount> vectors{};
  std::uint32_t initial_sp = kStackTop;

  CoreBench() {
    // log(r0): appends r0 to the log; uses r1-r3.
    t.bind(log_fn);
    t.mov32(1, kLog).ldr(2, 1).adds(2, 1).str(2, 1).lsls(3, 2, 2).adds(3, 3, 1).str(0, 3).bx(14);
    // Every unused vector leads here; entering it is a fault.
    t.bind(trap);
    t.b_self();
  }

  void TearDown() override {
    if (!expect_fault_) {
      EXPECT_FALSE(m.faulted()) << m.fault_report();
    }
  }
  void expect_fault() { expect_fault_ = true; }

  // A handler that logs `id`, the thread loop counter when `log_counter`,
  // runs `body`, then logs id + 100 and returns.
  std::uint32_t handler(int id, const std::function<void(Thumb&)>& body = {}, bool log_counter = false) {
    const std::uint32_t at = t.here();
    t.push_lr().movs(0, static_cast<std::uint8_t>(id)).bl(log_fn);
    if (log_counter) t.mov32(1, kCounter).ldr(0, 1).bl(log_fn);
    if (body) body(t);
    t.movs(0, static_cast<std::uint8_t>(id + 100)).bl(log_fn).pop_pc();
    return at;
  }
  // The thread loop: counts passes at kCounter forever. Returns its address.
  std::uint32_t counting_loop() {
    Thumb::Label loop;
    t.bind(loop);
    t.mov32(4, kCounter).ldr(5, 4).adds(5, 1).str(5, 4).b(loop);
    return loop.addr;
  }
  // Writes 1 << bit to a register from the program (r1, r2 clobbered).
  static std::function<void(Thumb&)> store_bit(std::uint32_t reg, int bit) {
    return [=](Thumb& a) { a.mov32(1, reg).mov32(2, 1u << bit).str(2, 1); };
  }
  void set_vector(int number, std::uint32_t addr) { vectors[number] = addr | 1; }

  // Vector table and code into flash, then reset: the core starts at `entry`.
  void load(std::uint32_t entry) {
    for (std::uint32_t& v : vectors)
      if (v == 0) v = trap.addr | 1;
    vectors[0] = initial_sp;
    vectors[1] = entry | 1;
    Thumb table(kFlash);
    for (std::uint32_t v : vectors) table.word(v);
    m.load_bytes(kFlash, table.bytes());
    m.load_bytes(kCode, t.bytes());
    m.set_trap_address(trap.addr);
    m.reset();
    clear_variables(m);
  }
  // RAM holds arbitrary values at power-up: the program's variables start
  // cleared, as a start-up routine would leave them.
  virtual void clear_variables(Machine& mm) {
    mm.write32(kLog, 0);
    mm.write32(kCounter, 0);
  }

  std::vector<std::uint32_t> log() {
    std::vector<std::uint32_t> v;
    const std::uint32_t n = m.read32(kLog);
    for (std::uint32_t i = 1; i <= n && i < 64; ++i) v.push_back(m.read32(kLog + 4 * i));
    return v;
  }

private:
  bool expect_fault_ = false;
};

}  // namespace vb::test
