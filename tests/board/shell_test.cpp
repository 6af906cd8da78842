// The shell on the USB virtual COM port, through the host's CDC client:
// line editing and its echo, help, and setting the time of both RTCs.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "sim/parts/tcxo_rtc.hpp"
#include "sim/periph/rtc.hpp"
#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The formatter sends CR before every LF: a line end arrives as CR CR LF.
const std::string kEnd = "\r\r\n";
const std::string kSourceLine = "On chip RTC's ClockSource is LSE" + kEnd;
const std::string kHelpText = kEnd + "MMDDhhmm[.ss] date-time" + kEnd + "?             help message" + kEnd;

std::string show(const BcdCalendar& c) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "20%02X-%02X-%02X %02X:%02X:%02X wd%X", c.year, c.mon, c.mday, c.hour, c.min, c.sec,
                c.wday);
  return buf;
}

// Time lines replaced by "<time>", for replies whose time moves on.
std::string without_times(const std::string& s) {
  static const std::regex kTimeLine("\\d{4}-\\d{1,2}-\\d{1,2}\t[ \\d]\\d:\\d\\d:\\d\\d\r\r\n");
  return std::regex_replace(s, kTimeLine, "<time>");
}

class Shell : public UsbBoardTest {
protected:
  // Sends `bytes`, runs until `until` has arrived (or `limit_ms`), then a
  // few frames more; returns what arrived since the call.
  std::string type(const std::string& bytes, const std::string& until = {}, double limit_ms = 100) {
    host().clear_received();
    host().write(bytes);
    if (!until.empty())
      run_until([&] { return host().received().find(until) != std::string::npos; }, limit_ms);
    run_until([&] { return host().write_pending() == 0; }, limit_ms);
    run_until([] { return false; }, 15);
    return host().received();
  }
  // A command line and its Enter; returns the whole reply (echo included).
  std::string command(const std::string& line) { return type(line + "\r", kSourceLine); }
  std::string line() {
    const std::uint32_t a = m().symbol("inbuff");
    std::string s;
    for (std::uint32_t i = 0; i < 40; ++i) {
      const char c = static_cast<char>(m().read8(a + i));
      if (c == '\0') break;
      s += c;
    }
    return s;
  }
  int line_length() { return static_cast<int>(var("inbufn")); }
  TcxoRtc& chip() { return board().tcxo_rtc(); }
};

TEST_F(Shell, ShouldEchoAndStoreWhatIsTyped) {
  struct Case {
    const char* what;
    std::string typed, echo, line;
  };
  const std::string k39(39, 'x');
  const Case cases[] = {
      {"printable", "ab 9", "ab 9", "ab 9"},
      {"high bytes are printable", "a\x80\xff", "a\x80\xff", "a\x80\xff"},
      {"DEL erases like backspace", "abc\x7f", "abc" + kEnd + "ab", "ab"},
      {"DEL after a high byte", "a\x80\x7f\x7f", "a\x80" + kEnd + "a" + kEnd, ""},
      {"DEL on an empty line prints nothing", "\x7f", "", ""},
      {"39 characters fit, the 40th gets BEL", k39 + "yz", k39 + "\a\a", k39},
      {"backspace reprints the rest on a new line", "abc\b", "abc" + kEnd + "ab", "ab"},
      {"backspace to an empty line", "a\b", "a" + kEnd, ""},
      {"backspace on an empty line prints nothing", "\b\b", "", ""},
      {"Ctrl-C clears the line", "abc\x03", "abc" + kEnd, ""},
      {"Ctrl-U clears the line", "abc\x15", "abc" + kEnd, ""},
      {"TAB, ESC and other control bytes are ignored", "a\tb\x1b\x01\x1f", "ab", "ab"},
      {"Enter on an empty line does nothing", "\r\n\r", "", ""},
  };
  boot_enumerated();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.echo, type(c.typed, c.echo));
    EXPECT_EQ(c.line, line());
    EXPECT_EQ(static_cast<int>(c.line.size()), line_length());
    type("\x15", kEnd);  // start the next case on an empty line
  }
}

TEST_F(Shell, ShouldAnswerEveryOtherLineLengthWithHelpAndTime) {
  const std::string lines[] = {"?", "1231235", "123123591", "1231235930", "123123593012", std::string(39, '?')};
  boot_enumerated();
  for (const std::string& l : lines) {
    SCOPED_TRACE(l);
    const std::string reply = command(l);
    EXPECT_EQ(l + kEnd + kHelpText + "Now RTC_time=<time>" + kSourceLine, without_times(reply));
    // The chip started at 2026-01-01 12:00:00; the board booted a second or so ago.
    EXPECT_TRUE(std::regex_search(reply, std::regex("RTC_time=2026-1-1\t12:00:0\\d\r"))) << reply;
    EXPECT_EQ("", line());
  }
  EXPECT_EQ(1u, chip().frames().size()) << "only the start-up read";
  // CR LF runs one command; what follows in the same packet is the next line.
  EXPECT_EQ("?" + kEnd + kHelpText + "Now RTC_time=<time>" + kSourceLine + "ab", without_times(type("?\r\nab", "ab")));
  EXPECT_EQ("ab", line());
}

TEST_F(Shell, ShouldSetBothRtcsKeepingTheYear) {
  struct Case {
    const char* line;
    Bytes frame;        // what the external chip receives, address byte first
    BcdCalendar onchip; // what the on-chip RTC then holds
    const char* shown;  // the time line
  };
  const Case cases[] = {
      {"12312359", {0x80, 0x00, 0x59, 0x23, 4, 0x31, 0x12}, {0x00, 0x59, 0x23, 4, 0x31, 0x12, 0x26},
       "2026-12-31\t23:59:00"},
      {"12312359.30", {0x80, 0x30, 0x59, 0x23, 4, 0x31, 0x12}, {0x30, 0x59, 0x23, 4, 0x31, 0x12, 0x26},
       "2026-12-31\t23:59:30"},
      {"12061059", {0x80, 0x00, 0x59, 0x10, 7, 0x06, 0x12}, {0x00, 0x59, 0x10, 7, 0x06, 0x12, 0x26},
       "2026-12-6\t10:59:00"},  // a Sunday
      {"03010705.09", {0x80, 0x09, 0x05, 0x07, 7, 0x01, 0x03}, {0x09, 0x05, 0x07, 7, 0x01, 0x03, 0x26},
       "2026-3-1\t 7:05:09"},  // a Sunday
      {"01050000", {0x80, 0x00, 0x00, 0x00, 1, 0x05, 0x01}, {0x00, 0x00, 0x00, 1, 0x05, 0x01, 0x26},
       "2026-1-5\t 0:00:00"},  // a Monday
  };
  boot_enumerated();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::size_t frames = chip().frames().size();
    const std::string time = std::string(c.shown) + kEnd;
    EXPECT_EQ(std::string(c.line) + kEnd + "wrote TCXO_RTC" + kEnd + time + time + kSourceLine, command(c.line));
    ASSERT_EQ(frames + 1, chip().frames().size());
    EXPECT_EQ(c.frame, chip().frames().back().mosi);
    EXPECT_EQ(show(c.onchip), show(board().rtc().calendar()));
    BcdCalendar want_chip = c.onchip;
    want_chip.year = 0x26;  // the chip's own year register, never written
    EXPECT_EQ(show(want_chip), show(chip().time()));
  }
}

TEST_F(Shell, ShouldRefuseBadLinesWithoutWritingAnything) {
  const char* lines[] = {
      "12312359x30",                              // not "." before the seconds
      "12312359.60", "12312360", "12312459",      // second, minute, hour out of range
      "00311200", "13311200", "12001200", "12321200",  // month, day out of range
      "1a311200", "1231b200", "12312359.3x",      // letters in digit positions
      "02301200", "02291200", "04311200",         // no such day in 2026
  };
  boot_enumerated();
  for (const char* l : lines) {
    SCOPED_TRACE(l);
    const BcdCalendar before = board().rtc().calendar();
    const std::string reply = command(l);
    EXPECT_EQ(std::string(l) + kEnd + "<time>" + kSourceLine, without_times(reply));
    EXPECT_EQ(1u, chip().frames().size()) << "no bus traffic to the external RTC";
    const BcdCalendar after = board().rtc().calendar();
    EXPECT_EQ(show({after.sec, before.min, before.hour, before.wday, before.mday, before.mon, before.year}),
              show(after));
  }
}

// Every digit position of both line forms holding a character next to the
// digits ('/' below '0', ':' above '9') or a letter: the line is refused.
TEST_F(Shell, ShouldRefuseAnyOtherCharacterInEveryDigitPosition) {
  const std::string forms[] = {"12312259", "12312259.30"};
  boot_enumerated();
  for (const std::string& form : forms) {
    for (std::size_t pos = 0; pos < form.size(); ++pos) {
      if (form[pos] == '.') continue;
      for (const char bad : {'/', ':', 'O'}) {
        std::string l = form;
        l[pos] = bad;
        SCOPED_TRACE(l);
        const std::string reply = command(l);
        EXPECT_EQ(l + kEnd + "<time>" + kSourceLine, without_times(reply));
      }
    }
  }
  EXPECT_EQ(1u, chip().frames().size()) << "no bus traffic to the external RTC";
  EXPECT_EQ(0x12, board().rtc().calendar().hour) << "the on-chip RTC keeps its time";
}

class ShellIn2028 : public Shell {
protected:
  ShellIn2028() { options.rtc_chip.start = {0x00, 0x00, 0x12, 6, 0x01, 0x01, 0x28}; }  // Saturday 1 Jan 2028
};

TEST_F(ShellIn2028, ShouldAcceptLeapDayInALeapYear) {
  boot_enumerated();
  EXPECT_EQ("02291200" + kEnd + "wrote TCXO_RTC" + kEnd + "2028-2-29\t12:00:00" + kEnd + "2028-2-29\t12:00:00" + kEnd +
                kSourceLine,
            command("02291200"));
  EXPECT_EQ((Bytes{0x80, 0x00, 0x00, 0x12, 2, 0x29, 0x02}), chip().frames().back().mosi);  // a Tuesday
  EXPECT_EQ(show({0x00, 0x00, 0x12, 2, 0x29, 0x02, 0x28}), show(board().rtc().calendar()));
}

// A pasted text larger than both rings: every echo and every reply arrives,
// in order, even though the replies outgrow what the transmit ring holds.
// Meanwhile each pass of the main loop stays under a tick, so the clock
// logic (run from the loop once per tick) sees every tick.
TEST_F(Shell, ShouldEchoAPastedTextCompletelyAndInOrderBesideTheClock) {
  std::string paste, want;
  for (int i = 0; paste.size() < 2048; ++i) {
    std::string chunk(29, ' ');
    for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>('!' + (i * 29 + k) % 90);
    paste += chunk + "\x15?\r";
    want += chunk + kEnd + "?" + kEnd + kHelpText + "Now RTC_time=<time>" + kSourceLine;
  }
  boot_enumerated();
  m().stats().watch_pc = m().symbol("fast_loop");
  m().stats().worst_pass_cycles = 0;
  host().clear_received();
  host().write(paste);
  run_until([&] { return without_times(host().received()).size() >= want.size(); }, 3000);
  run_until([] { return false; }, 15);
  EXPECT_EQ(want, without_times(host().received()));
  EXPECT_LT(m().stats().worst_pass_cycles, m().clocks().hclk / 1000);
}

// Skipping idle main-loop passes changes nothing the host sees of the shell.
TEST_F(Shell, ShouldAnswerAtTheSameTimesWithAndWithoutIdleSkipping) {
  std::vector<std::vector<std::string>> logs;
  for (bool skip : {true, false}) {
    options.idle_skip = skip;
    SetUp();
    boot_enumerated();
    host().clear_logs();
    command("?");
    command("12312359.30");
    std::vector<std::string> log;
    for (const auto& t : bulk_in_packets())
      log.push_back(std::to_string(t.time) + " " + std::string(t.data.begin(), t.data.end()));
    logs.push_back(log);
  }
  EXPECT_GT(logs[0].size(), 4u);
  EXPECT_EQ(logs[0], logs[1]);
}

}  // namespace
}  // namespace vb::test
