// The GDB server against a protocol client of the test's own: framing,
// acknowledgements, malformed requests, halting, breakpoints, watchpoints
// and faults, all on the loopback interface with the real image.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/board/fixture.hpp"
#include "tests/board/gdb_client.hpp"

namespace vb::test {
namespace {

// Registers in the protocol's byte order: least significant byte first.
std::string le(std::uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF, v >> 24);
  return b;
}
std::string hex(std::uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

class GdbProtocol : public BoardTest {
protected:
  void SetUp() override {
    BoardTest::SetUp();
    server = std::make_unique<gdb::Server>(board(), gdb::ServerOptions{0, "127.0.0.1", true});
    client = std::make_unique<GdbClient>(*server);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    BoardTest::TearDown();
  }
  // Lets the board run in 1 ms steps until the debugger gets a packet, at
  // most `limit_ms` of device time.
  std::string run_until_reply(double limit_ms) {
    std::string got;
    for (double t = 0; t < limit_ms; t += 1) {
      server->run(1);
      got += client->receive([](const std::string&) { return false; }, 1);
      if (got.find('#') != std::string::npos && got.size() >= got.find('#') + 3) break;
    }
    return got;
  }
  std::string vector_reset_pc() { return le(m().read32(0x08000004) & ~1u); }
  // A monitor command; returns the text it printed (its "O" packets).
  std::string monitor(const std::string& command) {
    std::string h;
    for (const unsigned char ch : command) h += hex(ch >> 4) + hex(ch & 15);
    client->send_raw(GdbClient::packet("qRcmd," + h));
    const std::string raw = client->receive([](const std::string& s) {
      const auto ok = s.find("$OK#");
      return ok != std::string::npos && s.size() >= ok + 6;
    });
    std::string text;
    for (std::size_t at = raw.find("$O"); at != std::string::npos; at = raw.find("$O", at + 1)) {
      if (raw.compare(at, 4, "$OK#") == 0) continue;
      const auto end = raw.find('#', at);
      for (std::size_t i = at + 2; i + 1 < end; i += 2) text += static_cast<char>(std::stoi(raw.substr(i, 2), nullptr, 16));
    }
    return text;
  }

  std::unique_ptr<gdb::Server> server;
  std::unique_ptr<GdbClient> client;
};

TEST_F(GdbProtocol, ShouldFrameAcknowledgeAndRejectAsTheProtocolSays) {
  const std::string qc = GdbClient::packet("qC");
  const struct { const char* what; std::string sent; std::string expected; } cases[] = {
      {"well-formed packet", qc, "+" + GdbClient::packet("QC1")},
      {"bad checksum", "$qC#00", "-"},
      {"checksum not hex", "$qC#zz", "-"},
      {"unknown packet", GdbClient::packet("qNoSuchThing"), "+$#00"},
      {"truncated by the next packet", "$qC" + qc, "-+" + GdbClient::packet("QC1")},
      {"oversized", "$" + std::string(5000, 'a') + "#00", "-"},
      {"line noise before a packet", "xyz" + qc, "+" + GdbClient::packet("QC1")},
  };
  const std::uint32_t pc = m().pc();
  for (const auto& c : cases) {
    client->send_raw(c.sent);
    const std::string got = client->receive([&](const std::string& s) { return s.size() >= c.expected.size(); });
    EXPECT_EQ(c.expected, got) << c.what;
  }
  EXPECT_EQ(pc, m().pc());
  EXPECT_TRUE(server->halted());
}

TEST_F(GdbProtocol, ShouldResendOnNackAndStopAckingInNoAckMode) {
  EXPECT_EQ("QC1", client->ask("qC"));
  client->send_raw("-");
  EXPECT_EQ(GdbClient::packet("QC1"), client->receive_packet());

  EXPECT_EQ("+" + GdbClient::packet("OK"), client->exchange("QStartNoAckMode"));
  EXPECT_EQ(GdbClient::packet("QC1"), client->exchange("qC"));
  client->send_raw("$qC#00");  // a bad checksum is dropped without a word
  EXPECT_EQ("", client->receive([](const std::string& s) { return !s.empty(); }, 5));
}

TEST_F(GdbProtocol, ShouldRefuseBadRequestsWithErrorAndLeaveBoardAlone) {
  const std::uint32_t fn = m().symbol("RTC_getlocaltime");
  const struct { std::string request; } cases[] = {
      {"m30000000,4"},                    // nothing there
      {"m40007c00,4"},                    // a peripheral address no model owns
      {"mzz,4"},                          // not a number
      {"M30000000,2:0000"},               // write where nothing is
      {"M20000000,4:00"},                 // fewer bytes than announced
      {"Z0," + hex(fn | 1) + ",2"},       // odd address
      {"Z1," + hex(fn + 1) + ",4"},       // odd address
      {"Z0," + hex(fn) + ",5"},           // no Thumb instruction is 5 bytes
      {"Z0,30000000,2"},                  // no code memory there
      {"Z0,40004800,2"},                  // a peripheral register is no code
      {"p99"},                            // no such register
      {"P0f=1234"},                       // too short a value
      {"Z2,20000000,0"},                  // empty watch range
  };
  const std::uint32_t pc = m().pc();
  for (const auto& c : cases) EXPECT_EQ("E01", client->ask(c.request)) << c.request;
  EXPECT_FALSE(m().faulted());
  EXPECT_EQ(pc, m().pc());
  // The board still starts as usual once continued.
  client->exchange("c");
  for (int i = 0; i < 20; ++i) server->run(1);
  EXPECT_FALSE(m().faulted());
  EXPECT_FALSE(server->halted());
}

TEST_F(GdbProtocol, ShouldHaltOnCtrlCOnlyWhileRunning) {
  client->send_raw("\x03");  // already halted: nothing to say
  EXPECT_EQ("", client->receive([](const std::string& s) { return !s.empty(); }, 5));
  EXPECT_EQ("T05", client->ask("?").substr(0, 3));
  const cycles_t halted_at = m().now();

  EXPECT_EQ("+", client->exchange("c").substr(0, 1));
  for (int i = 0; i < 5; ++i) server->run(1);
  EXPECT_GT(m().now(), halted_at);
  client->send_raw("\x03");
  const std::string reply = client->receive_packet();
  EXPECT_EQ("$T02", reply.substr(0, 4));
  EXPECT_NE(std::string::npos, reply.find("0f:" + le(m().pc() & ~1u) + ";"));
  // Halted: board time stands still.
  const cycles_t stopped = m().now();
  server->run(5);
  EXPECT_EQ(stopped, m().now());
  EXPECT_EQ("T02", client->ask("?").substr(0, 3));
}

TEST_F(GdbProtocol, ShouldStopAtBreakpointThenReportWatchedWrite) {
  const std::uint32_t fn = m().symbol("RTC_getlocaltime");
  EXPECT_EQ("OK", client->ask("Z0," + hex(fn) + ",2"));
  client->exchange("c");
  std::string reply = run_until_reply(3000);
  EXPECT_NE(std::string::npos, reply.find("$T05")) << reply;
  EXPECT_NE(std::string::npos, reply.find("0f:" + le(fn) + ";")) << reply;
  EXPECT_EQ("OK", client->ask("z0," + hex(fn) + ",2"));

  // The tick callback reads CNT_tick and writes it back one higher.
  const std::uint32_t tick = m().symbol("CNT_tick");
  const std::string at = std::string(8 - hex(tick).size(), '0') + hex(tick);
  const struct { char type; const char* reported; std::uint32_t added; } cases[] = {
      {'2', "watch:", 1},   // stops after the write: the count is up
      {'3', "rwatch:", 0},  // stops after the read, before the write
      {'4', "awatch:", 1},  // resumed between that read and its write: the write
  };
  for (const auto& c : cases) {
    EXPECT_EQ("OK", client->ask(std::string("Z") + c.type + "," + hex(tick) + ",4")) << c.type;
    const std::uint32_t before = m().read32(tick);
    client->exchange("c");
    reply = run_until_reply(20);
    // The main loop reads the count too (the LEDs breathe with it): a read
    // watch goes on until it stops in the tick callback.
    const std::uint32_t cb = m().symbol("callback_SysTick") & ~1u;
    for (int i = 0; i < 10 && c.type == '3' && (m().pc() < cb || m().pc() >= cb + 0x10); ++i) {
      client->exchange("c");
      reply = run_until_reply(20);
    }
    EXPECT_NE(std::string::npos, reply.find(std::string(c.reported) + at + ";")) << reply;
    EXPECT_EQ(before + c.added, m().read32(tick)) << c.type;
    EXPECT_EQ("OK", client->ask(std::string("z") + c.type + "," + hex(tick) + ",4")) << c.type;
  }
}

TEST_F(GdbProtocol, ShouldRoundTripRegistersIncludingFloatingPoint) {
  EXPECT_EQ(std::size_t{kDebugRegCount} * 8, client->ask("g").size());
  const struct { int reg; std::uint32_t value; } cases[] = {
      {0, 0x12345678}, {12, 0xCAFEF00D}, {23, 0x3FC00000 /* s0 = 1.5f */}, {54, 0xC0490FDB /* s31 */}, {55, 0x03000000 /* fpscr */},
  };
  for (const auto& c : cases) {
    EXPECT_EQ("OK", client->ask("P" + hex(c.reg) + "=" + le(c.value))) << c.reg;
    EXPECT_EQ(le(c.value), client->ask("p" + hex(c.reg))) << c.reg;
  }
  EXPECT_EQ(0x12345678u, m().reg(0));
}

TEST_F(GdbProtocol, ShouldHaltAtFaultingInstructionWithItsSignal) {
  const struct { const char* what; std::string code; std::string signal; } cases[] = {
      // movs r0,#1; ldr r0,[r1] with r1 at a hole in the address map
      {"read where nothing is mapped", "01200868", "0b"},
      // movs r0,#1; udf #0
      {"undefined instruction", "012000de", "04"},
  };
  for (const auto& c : cases) {
    const std::uint32_t code = scratch();
    EXPECT_EQ("OK", client->ask("M" + hex(code) + ",4:" + c.code)) << c.what;
    EXPECT_EQ("OK", client->ask("P1=" + le(0x30000000))) << c.what;
    EXPECT_EQ("OK", client->ask("Pf=" + le(code))) << c.what;
    client->exchange("c");
    const std::string reply = run_until_reply(5);
    EXPECT_NE(std::string::npos, reply.find("$T" + c.signal)) << c.what << ": " << reply;
    EXPECT_NE(std::string::npos, reply.find("0f:" + le(code + 2) + ";")) << c.what << ": " << reply;
    EXPECT_TRUE(m().faulted()) << c.what;
    // The core cannot go past the fault: continuing reports it again.
    EXPECT_EQ("T" + c.signal, client->ask("c").substr(0, 3)) << c.what;
    // A reset brings the board back, halted at the reset vector.
    EXPECT_NE(std::string::npos, monitor("reset halt").find("halted")) << c.what;
    EXPECT_FALSE(m().faulted()) << c.what;
    EXPECT_EQ(vector_reset_pc(), client->ask("pf")) << c.what;
  }
  expect_fault();
}

TEST_F(GdbProtocol, ShouldTakeTheNextDebuggerAtOnceAfterDetach) {
  // GDB detaches and connects again before the server has seen the first
  // connection close: the second one is served, not turned away.
  EXPECT_EQ("OK", client->ask("D"));
  GdbClient again(*server);
  EXPECT_EQ("T05", again.ask("?").substr(0, 3));
  EXPECT_TRUE(server->halted());
  client.reset();
  // A third while the second holds the board is refused.
  GdbClient third(*server);
  EXPECT_EQ("E01", third.receive_packet().substr(1, 3));
  std::vector<std::string> said;
  for (const std::string& msg : m().messages()) said.push_back(msg.substr(0, msg.find(" from ")));
  EXPECT_EQ((std::vector<std::string>{"debugger connected", "debugger detached; the core runs on", "debugger connected"}),
            said);
}

TEST_F(GdbProtocol, FaultReportShouldNameTheFunctionAndTheDeviceTime) {
  // 300 ms of running, mostly from the PLL at 144 MHz; a reset (the clock
  // tree back on the 16 MHz HSI, as after a load); then a bad read in the
  // middle of a function in flash: ldr r0, [r1] with r1 at a hole in the
  // address map. The report's time is the 300 ms the board ran.
  client->exchange("c");
  for (int ms = 0; ms < 300; ++ms) server->run(1);
  client->send_raw("\x03");
  ASSERT_NE(std::string::npos, client->receive_packet().find("$T02"));
  monitor("reset halt");
  const std::uint32_t at = m().symbol("time_display") + 4;
  EXPECT_EQ("OK", client->ask("M" + hex(at) + ",2:0868"));
  EXPECT_EQ("OK", client->ask("P1=" + le(0x30000000)));
  EXPECT_EQ("OK", client->ask("Pf=" + le(at)));
  client->exchange("c");
  EXPECT_NE(std::string::npos, run_until_reply(5).find("$T0b"));
  const std::string report = m().fault_report();
  char where[64];
  std::snprintf(where, sizeof where, "at PC 0x%08x (time_display+0x4)", at);
  EXPECT_NE(std::string::npos, report.find(where)) << report;
  // Within a step of the runner's count: it takes each 1 ms step at the
  // HCLK the step starts with.
  std::smatch ms;
  ASSERT_TRUE(std::regex_search(report, ms, std::regex(R"(device time (\d+\.\d+) ms)"))) << report;
  EXPECT_NEAR(300.0, std::stod(ms[1]), 1.0) << report;
  expect_fault();
}

}  // namespace
}  // namespace vb::test

namespace vb::test {
namespace {

// A debugger that only watches changes nothing the firmware sees: the board
// with the debugger attached runs the same instructions at the same cycles,
// whether run one cycle at a time (every block boundary a stop) or in
// milliseconds, and sends the same console bytes.
TEST(GdbAttached, ShouldRunExactlyAsWithoutDebugger) {
  Board plain, debugged;
  debugged.m().debug_attach(true);
  auto same = [&](const std::string& when) {
    EXPECT_EQ(plain.m().now(), debugged.m().now()) << when;
    EXPECT_EQ(plain.m().stats().instructions, debugged.m().stats().instructions) << when;
    EXPECT_EQ(plain.m().pc(), debugged.m().pc()) << when;
  };
  for (int i = 0; i < 2000 && !::testing::Test::HasFailure(); ++i) {
    plain.m().run_cycles(1);
    debugged.m().debug_run(1, false);
    same("single cycles, step " + std::to_string(i));
  }
  for (int ms = 0; ms < 150 && !::testing::Test::HasFailure(); ++ms) {
    plain.m().run_ms(1);
    debugged.m().debug_run(static_cast<cycles_t>(std::llround(debugged.m().clocks().hclk / 1000.0)), false);
    same("after " + std::to_string(ms) + " ms");
  }
  EXPECT_EQ(plain.usart3_output(), debugged.usart3_output());
  EXPECT_FALSE(plain.m().faulted());
  EXPECT_FALSE(debugged.m().faulted());
}

// A bad access names the faulting instruction without a debugger as with
// one, unless its block cannot tell it apart; then the block's start.
TEST(GdbAttached, BadAccessShouldNameTheSameInstructionWithoutDebugger) {
  constexpr std::uint32_t kCode = 0x20018000;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> code;  // ends in b . (never reached)
    std::uint32_t r1;
    std::uint32_t faulting;  // offset of the faulting instruction
    bool told_apart;
  };
  const Case cases[] = {
      // movs r0,#1 x3; ldr r0,[r1]
      {"read after three moves", {0x01, 0x20, 0x01, 0x20, 0x01, 0x20, 0x08, 0x68, 0xfe, 0xe7}, 0x30000000, 6, true},
      // movs r2,#5; str r2,[r1,#4]; movs r0,#1
      {"write", {0x05, 0x22, 0x4a, 0x60, 0x01, 0x20, 0xfe, 0xe7}, 0x30000000, 2, true},
      // ldr.w r0,[r1,#8] (32-bit) after a 16-bit move
      {"32-bit load", {0x01, 0x20, 0xd1, 0xf8, 0x08, 0x00, 0xfe, 0xe7}, 0x30000000, 2, true},
      // adds r1,#4; ldr r0,[r1]; ldr r2,[r1]: both loads reach the address
      {"two loads of one address", {0x04, 0x31, 0x08, 0x68, 0x0a, 0x68, 0xfe, 0xe7}, 0x2FFFFFFC, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string reports[2];
    for (int attached = 0; attached < 2; ++attached) {
      Board b;
      b.m().run_ms(100);
      b.m().debug_attach(attached == 1);
      b.m().load_bytes(kCode, c.code);
      b.m().set_reg(1, c.r1);
      b.m().set_reg(15, kCode | 1);
      if (attached) b.m().debug_run(1000, false);
      else b.m().run_cycles(1000);
      reports[attached] = b.m().fault_report();
    }
    char at[48];
    std::snprintf(at, sizeof at, "; at PC 0x%08x", kCode + c.faulting);
    EXPECT_NE(std::string::npos, reports[1].find(at)) << reports[1];
    if (c.told_apart) {
      EXPECT_NE(std::string::npos, reports[0].find(at)) << reports[0];
    } else {
      std::snprintf(at, sizeof at, "; in the block starting at PC 0x%08x", kCode);
      EXPECT_NE(std::string::npos, reports[0].find(at)) << reports[0];
    }
  }
}

}  // namespace
}  // namespace vb::test
