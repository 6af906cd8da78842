// The console formatter, compiled for the host.
#include "console/xprintf.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

std::string g_out;
void capture(unsigned char c) { g_out.push_back(static_cast<char>(c)); }
std::string g_other;
void capture_other(unsigned char c) { g_other.push_back(static_cast<char>(c)); }

class XprintfTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_out.clear();
    g_other.clear();
    xfunc_out = capture;
  }
  void TearDown() override { xfunc_out = nullptr; }
};

struct SignedCase { const char* expected; const char* fmt; std::int32_t arg; };
struct UnsignedCase { const char* expected; const char* fmt; std::uint32_t arg; };
struct StringCase { const char* expected; const char* fmt; const char* arg; };
struct NoArgCase { const char* expected; const char* fmt; };

TEST_F(XprintfTest, ShouldFormatSignedDecimalWithFlagsAndWidth) {
  const SignedCase cases[] = {
      {"7", "%d", 7},
      {" 7", "%2d", 7},
      {"07", "%02d", 7},
      {"00-12", "%05d", -12},
      {"  -12", "%5d", -12},
      {"-12  |", "%-5d|", -12},
      {"-2147483648", "%d", INT_MIN},
      {"2147483647", "%D", INT_MAX},
      {"-5", "%ld", -5},
      {"0", "%d", 0},
      {"123456", "%3d", 123456},  // never truncated
      {"+-1 |", "+%-3d|", -1},
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt, c.arg);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
}

TEST_F(XprintfTest, ShouldFormatUnsignedInEveryRadix) {
  const UnsignedCase cases[] = {
      {"4294967295", "%u", UINT_MAX},
      {"4294967295", "%lu", UINT_MAX},
      {"ff", "%x", 255},
      {"FF", "%X", 255},
      {"deadbeef", "%lx", 0xDEADBEEF},
      {"0000ABCD", "%08X", 0xABCD},
      {"10", "%o", 8},
      {"37777777777", "%O", UINT_MAX},
      {"101", "%b", 5},
      {"00101", "%05B", 5},
      // The digit buffer holds all 32 binary digits.
      {"10010001101000101", "%b", 0x12345},
      {"11111111111111111111111111111111", "%b", UINT_MAX},
      {"0", "%x", 0},
      {"   0", "%4u", 0},
      {"1f  |", "%-4x|", 0x1F},
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt, c.arg);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
}

TEST_F(XprintfTest, ShouldPadStringsWithSpacesOnly) {
  const StringCase cases[] = {
      {"   ab", "%5s", "ab"},
      {"ab   |", "%-5s|", "ab"},
      {"   ab", "%05s", "ab"},
      {"abcdef", "%3s", "abcdef"},
      {"xy", "%S", "xy"},
      {"", "%s", ""},
      {"   ", "%3s", nullptr},  // a null string is an empty field, not a crash
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt, c.arg);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
}

TEST_F(XprintfTest, ShouldPrintCharacterOnceIgnoringWidth) {
  xprintf("%5c|%-3C|%c", 'A', 'b', '\t');
  EXPECT_EQ("A|b|\t", g_out);
}

TEST_F(XprintfTest, ShouldPrintUnknownConversionLiterallyWithoutConsumingArgument) {
  const NoArgCase cases[] = {
      {"%", "%%"},
      {"%", "%5%"},
      {"%", "%-3%"},
      {"q", "%q"},
      {"50%", "50%%"},
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
  g_out.clear();
  xprintf("%k%d", 9);  // %k takes nothing, so %d still gets the 9
  EXPECT_EQ("k9", g_out);
}

TEST_F(XprintfTest, ShouldStopAtFormatEndingInsideConversion) {
  const NoArgCase cases[] = {
      {"ab", "ab%"},
      {"ab", "ab%0"},
      {"ab", "ab%-"},
      {"ab", "ab%12"},
      {"ab", "ab%05l"},
      {"ab", "ab%L"},
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt, 1);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
}

TEST_F(XprintfTest, ShouldSendCarriageReturnBeforeEveryLineFeed) {
  const StringCase cases[] = {
      {"a\r\r\nb", "a\r\nb", ""},
      {"a\r\nb", "a\nb", ""},
      {"x\r\ny\r\r\n|", "%s|", "x\ny\r\n"},
      {"  \r\n", "%3s", "\n"},
  };
  for (const auto& c : cases) {
    g_out.clear();
    xprintf(c.fmt, c.arg);
    EXPECT_EQ(c.expected, g_out) << "format " << c.fmt;
  }
  g_out.clear();
  xputs("1\n2");
  xputc('\n');
  EXPECT_EQ("1\r\n2\r\n", g_out);
}

TEST_F(XprintfTest, ShouldDiscardOutputWhenHookIsNull) {
  xfunc_out = nullptr;
  xprintf("%d %s\n", 5, "text");
  xputs("more\n");
  xputc('x');
  EXPECT_EQ("", g_out);
}

TEST_F(XprintfTest, ShouldRestoreHookAfterFormattingToAnotherOutput) {
  xfprintf(capture_other, "%s=%d\n", "n", 3);
  EXPECT_EQ("n=3\r\n", g_other);
  EXPECT_EQ("", g_out);
  EXPECT_EQ(&capture, xfunc_out);

  xfunc_out = nullptr;
  xfprintf(capture_other, "z");
  EXPECT_EQ(nullptr, xfunc_out);
  EXPECT_EQ("n=3\r\nz", g_other);
}

}  // namespace
