// gdb-multiarch in batch mode against the board's GDB server: the sessions
// a firmware developer runs (break, backtrace, print, watch, finish, next,
// stepi into an interrupt, registers, peripheral memory, monitor commands,
// load, detach). The board runs in this thread between the debugger's
// packets; gdb runs under `timeout`, so a session never hangs the suite.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/core/elf.hpp"
#include "sim/periph/usart.hpp"
#include "tests/board/fixture.hpp"
#include "sim/gdb/gdb_server.hpp"

extern char** environ;

namespace vb::test {
namespace {

class GdbSession : public BoardTest {
protected:
  // Runs gdb with `commands` after connecting; the board serves it until gdb
  // exits. `each_ms` is called after every millisecond the board ran.
  std::string run_gdb(const std::vector<std::string>& commands, const std::function<void()>& each_ms = {}) {
    gdb::Server server(board(), {0, "127.0.0.1", true});
    const std::string out_path = ::testing::TempDir() + "gdb_session_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::vector<std::string> args = {"timeout", "-k", "5", "20", "gdb-multiarch", "-nx", "-batch",
                                     "-ex", "set pagination off", "-ex", "set confirm off",
                                     "-ex", "target extended-remote 127.0.0.1:" + std::to_string(server.port())};
    for (const auto& c : commands) {
      args.push_back("-ex");
      args.push_back(c);
    }
    args.push_back(FIRMWARE_ELF);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "timeout", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return "<cannot start gdb-multiarch>";
    int status = 0;
    for (;;) {
      if (waitpid(pid, &status, WNOHANG) == pid) break;
      if (server.halted()) {
        server.serve(2);
        if (while_halted) while_halted();
      } else {
        server.serve(0);
        server.run(1);
        if (each_ms) each_ms();
      }
    }
    after_exit(server);
    std::ifstream in(out_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Called between the debugger's packets while the board is halted.
  std::function<void()> while_halted;
  // Called once gdb has exited, with the server still there.
  std::function<void(gdb::Server&)> after_exit = [](gdb::Server&) {};

  // Every "$N = value" gdb printed, in order.
  static std::vector<std::string> printed(const std::string& out) {
    std::vector<std::string> v;
    const std::regex re(R"(\$\d+ = ([^\n]*))");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
      v.push_back((*it)[1]);
    return v;
  }
};

TEST_F(GdbSession, ShouldBreakAtFunctionShowBacktraceAndSeeTickGrow) {
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "bt", "print CNT_tick", "delete",
                                   "break callback_SysTick", "continue", "continue", "print CNT_tick"});
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(#0 +RTC_getlocaltime)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(#1 .*time_display)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(#\d+ .*main \(\))"))) << out;
  const auto v = printed(out);
  ASSERT_EQ(2u, v.size()) << out;
  EXPECT_LT(std::stoul(v[0]), std::stoul(v[1])) << out;
}

TEST_F(GdbSession, ShouldStopOnWatchedButtonCountWhenButtonIsPressed) {
  // The button (PA0 high while held) is released until the tick has run a
  // while past start-up, then pressed.
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "delete", "watch BTN_stat if BTN_stat >= 0",
                                   "continue", "print BTN_stat", "print CNT_tick"},
                                  [this] {
                                    m().pins().drive(PA(0), m().var32("CNT_tick") >= 150 ? Drive::kHigh : Drive::kLow);
                                  });
  const auto v = printed(out);
  ASSERT_EQ(2u, v.size()) << out;
  EXPECT_EQ("0", v[0]) << out;
  EXPECT_GE(std::stoul(v[1]), 150u) << out;
}

TEST_F(GdbSession, ShouldStepIntoInterruptAndFinishBackToInterruptedCode) {
  // SysTick pended by hand (ICSR.PENDSTSET) while the core is stopped in
  // thread mode: one stepi enters its handler.
  const std::string out =
      run_gdb({"break RTC_getlocaltime", "continue", "delete", "set *(unsigned int *)0xE000ED04 = 0x04000000", "stepi",
               "print $pc == &hndl_SysTick", "bt", "finish", "print $pc >= &RTC_getlocaltime", "next",
               "print $pc > &RTC_getlocaltime"});
  const auto v = printed(out);
  ASSERT_EQ(3u, v.size()) << out;
  EXPECT_EQ("true", v[0]) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(<signal handler called>\n#2 +RTC_getlocaltime)"))) << out;
  EXPECT_EQ("true", v[1]) << out;  // finish: back in the interrupted function
  EXPECT_EQ("true", v[2]) << out;  // next: on to its next line
}

TEST_F(GdbSession, ShouldRoundTripFloatingPointRegisters) {
  const std::string out = run_gdb({"set $s0 = 1.5", "print $s0", "set $s31 = -2.25", "print $s31",
                                   "set $fpscr = 0x03000000", "print/x $fpscr", "print/x $msp == $sp"});
  EXPECT_EQ((std::vector<std::string>{"1.5", "-2.25", "0x3000000", "0x1"}), printed(out)) << out;
  EXPECT_EQ(0x3FC00000u, m().debug_reg(23));
}

TEST_F(GdbSession, ShouldReadUsartRegistersWithoutChangingThem) {
  // USART3 as the firmware left it at the stop (board time stands still
  // while halted), and the bytes it has sent by then.
  std::uint32_t sr_at_stop = 0, brr_at_stop = 0;
  while_halted = [&] {
    sr_at_stop = board().usart3().peek(Usart::kSR);
    brr_at_stop = board().usart3().peek(Usart::kBRR);
  };
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "x/4wx 0x40004800", "x/4wx 0x40004800"});
  const std::regex re(R"(0x40004800:\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+))");
  std::vector<std::string> rows;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
    rows.push_back(it->str(0).substr(11));
  ASSERT_EQ(2u, rows.size()) << out;
  EXPECT_EQ(rows[0], rows[1]);
  std::smatch mt;
  ASSERT_TRUE(std::regex_search(out, mt, re));
  EXPECT_EQ(sr_at_stop, std::stoul(mt[1], nullptr, 16)) << out;
  EXPECT_EQ(brr_at_stop, std::stoul(mt[3], nullptr, 16)) << out;
}

TEST_F(GdbSession, ShouldResetHaltAtResetHandlerAndLoadSameImageUnchanged) {
  const Elf elf(FIRMWARE_ELF);
  std::vector<std::vector<std::uint8_t>> before;
  for (const auto& seg : elf.segments()) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; i < seg.data.size(); ++i) bytes.push_back(m().read8(seg.load_addr + i));
    before.push_back(bytes);
  }
  const std::uint32_t reset_pc = m().read32(0x08000004) & ~1u;
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "monitor reset halt",
                                   "maintenance flush register-cache", "print/x $pc", "load",
                                   "print/x $pc", "monitor board"});
  const auto v = printed(out);
  ASSERT_GE(v.size(), 1u) << out;
  char expected[16];
  std::snprintf(expected, sizeof expected, "0x%x", reset_pc);
  EXPECT_EQ(expected, v[0]) << out;
  EXPECT_NE(std::string::npos, out.find("Transfer rate")) << out;
  EXPECT_NE(std::string::npos, out.find("APB1ENR")) << out;
  EXPECT_NE(std::string::npos, out.find("PA ")) << out;
  std::size_t k = 0;
  for (const auto& seg : elf.segments()) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t i = 0; i < seg.data.size(); ++i) bytes.push_back(m().read8(seg.load_addr + i));
    EXPECT_EQ(before[k++], bytes) << "segment at " << std::hex << seg.load_addr;
  }
}

TEST_F(GdbSession, LoadThenContinueShouldStartTheNewImageFromReset) {
  // After a while of running (the PLL on), `load` and `continue`: the image
  // starts over from a reset board and sets its clocks up again.
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "load", "continue", "print $pc == &RTC_getlocaltime",
                                   "print CNT_tick < 100"});
  EXPECT_EQ((std::vector<std::string>{"true", "true"}), printed(out)) << out;
  EXPECT_EQ(std::string::npos, out.find("faulted")) << out;
  EXPECT_FALSE(m().faulted()) << m().fault_report();
  bool said = false;
  for (const std::string& msg : m().messages()) said |= msg.find("flash programmed by the debugger; the board is reset") == 0;
  EXPECT_TRUE(said);
}

TEST_F(GdbSession, KillThenRunShouldRestartTheImageAndKeepTheSession) {
  const std::string out = run_gdb({"break RTC_getlocaltime", "continue", "kill", "run", "info registers", "continue",
                                   "print $pc == &RTC_getlocaltime"});
  EXPECT_EQ(std::string::npos, out.find("Malformed")) << out;
  EXPECT_EQ(std::string::npos, out.find("too long")) << out;
  // Stopped at the breakpoint before the kill, after the run and after the
  // continue; every register shown, the FP ones included.
  std::size_t stops = 0;
  for (auto at = out.find("Breakpoint 1, RTC_getlocaltime"); at != std::string::npos;
       at = out.find("Breakpoint 1, RTC_getlocaltime", at + 1))
    ++stops;
  EXPECT_EQ(3u, stops) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\nxpsr +0x)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\nfpscr +0x)"))) << out;
  EXPECT_EQ((std::vector<std::string>{"true"}), printed(out)) << out;
  // The board's messages say what the debugger did to it, in order.
  std::vector<std::string> said;
  for (const std::string& msg : m().messages())
    if (msg.rfind("debugger", 0) == 0) said.push_back(msg.substr(0, msg.find_first_of(":;")));
  said.resize(std::min<std::size_t>(said.size(), 3));  // then its going away, once seen
  EXPECT_EQ((std::vector<std::string>{"debugger connected from 127.0.0.1", "debugger killed the program",
                                      "debugger restarted the board"}),
            said);
}

TEST_F(GdbSession, ShouldLetClockRunOnAfterDetach) {
  std::uint32_t tick_at_exit = 0;
  bool halted_at_exit = true;
  after_exit = [&](gdb::Server& server) {
    halted_at_exit = server.halted();
    tick_at_exit = m().var32("CNT_tick");
    for (int i = 0; i < 20; ++i) server.run(1);
  };
  const std::string out = run_gdb({"break callback_SysTick", "continue", "detach"});
  EXPECT_NE(std::string::npos, out.find("detached")) << out;
  EXPECT_FALSE(halted_at_exit);
  EXPECT_GE(m().var32("CNT_tick"), tick_at_exit + 19);
}

}  // namespace
}  // namespace vb::test
