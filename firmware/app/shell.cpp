// The shell on the USB virtual COM port: line editor, help, and the
// MMDDhhmm[.ss] command that sets the external TCXO RTC and the on-chip RTC.
#include "app/shell.hpp"

#include <cstdint>

#include "console/xprintf.hpp"
#include "drivers/rtc.hpp"
#include "drivers/tcxo_rtc.hpp"
#include "mcu/rcc.hpp"
#include "system/systick.hpp"
#include "usb/cdc/usb_vcp.hpp"
#include "usb/cdc/usbd_cdc.hpp"

extern "C" {

char inbuff[kShellLineSize] = {};
int inbufn = 0;

}  // extern "C"

namespace {

void usb_out(unsigned char c) { USB_putc(c); }

constexpr int kLineMax = kShellLineSize - 1;
constexpr char kBel = 0x07;
constexpr int kBackspace = 0x08, kDel = 0x7F, kCtrlC = 0x03, kCtrlU = 0x15, kCr = 0x0D, kLf = 0x0A;

// The shell's texts, kept here so the longest reply can be counted below.
constexpr const char kNewLine[] = "\r\n";
constexpr const char kHelp1[] = "\r\nMMDDhhmm[.ss] date-time";
constexpr const char kHelp2[] = "\r\n?             help message\r\n";
constexpr const char kNow[] = "Now RTC_time=";
constexpr const char kWrote[] = "wrote TCXO_RTC\r\n";
constexpr const char kSourceIntro[] = "On chip RTC's ClockSource is ";
constexpr const char* const kSourceNames[4] = {"None.\r\n", "LSE\r\n", "LSI\r\n", "HSE/128\r\n"};
constexpr const char kTimeFormat[] = "%d-%d-%d\t%2d:%02d:%02d\r\n";

// Bytes a text puts on the port: the formatter sends CR before every LF.
constexpr int sent_length(const char* s) {
  int n = 0;
  for (; *s != '\0'; ++s) n += *s == '\n' ? 2 : 1;
  return n;
}
// The longest time line: the year has four digits, and every other field
// the calendar registers can hold (even an invalid one) at most two.
constexpr int kTimeLineMax = 4 + 1 + 2 + 1 + 2 + 1 + 2 + 1 + 2 + 1 + 2 + 3;
constexpr int kSourceMax = [] {
  int longest = 0;
  for (const char* s : kSourceNames)
    if (sent_length(s) > longest) longest = sent_length(s);
  return sent_length(kSourceIntro) + longest;
}();
// What one received byte can make the shell print: Enter runs a command
// (help or time setting), backspace reprints the line, the rest one byte.
constexpr int kHelpReply = sent_length(kNewLine) + sent_length(kHelp1) + sent_length(kHelp2) + sent_length(kNow) +
                           kTimeLineMax + kSourceMax;
constexpr int kSetReply = sent_length(kNewLine) + sent_length(kWrote) + 2 * kTimeLineMax + kSourceMax;
constexpr int kBackspaceReply = sent_length(kNewLine) + kLineMax;
constexpr int kLongestReply = [] {
  int n = kHelpReply > kSetReply ? kHelpReply : kSetReply;
  return n > kBackspaceReply ? n : kBackspaceReply;
}();
// USB_putc holds at most one byte less than the ring.
constexpr std::uint32_t kTxCapacity = APP_RX_DATA_SIZE - 1;
static_assert(kLongestReply <= static_cast<int>(kTxCapacity), "a reply must fit the empty transmit ring");

// While no host has configured the port nothing drains the transmit ring:
// waiting for room would stop the shell for good, so bytes are taken and
// what does not fit is refused by USB_putc.
bool may_take_byte() {
  if (USB_OTG_dev.dev.device_status != USB_OTG_CONFIGURED) return true;
  return USB_tx_room() >= static_cast<std::uint32_t>(kLongestReply);
}

void clear_line() {
  inbufn = 0;
  inbuff[0] = '\0';
}

std::uint8_t to_bcd(int v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); }

// tm_year is years since 1900; the calendar holds 2000-2099, where every
// fourth year is a leap year.
bool leap_year(int tm_year) { return tm_year % 4 == 0; }

bool date_exists(int tm_year, int tm_mon, int mday) {
  if (tm_year < 100 || tm_year > 199) return false;
  const int leap_day = (tm_mon == 1 && leap_year(tm_year)) ? 1 : 0;
  return mday <= days_in_month[tm_mon] + leap_day;
}

// Day of the week, Sunday = 0, for a date in 2000-2099 (1 January 2000 was
// a Saturday).
int weekday(int tm_year, int tm_mon, int mday) {
  const int years = tm_year - 100;
  int days = 365 * years + (years + 3) / 4 + mday - 1;
  for (int m = 0; m < tm_mon; ++m) days += days_in_month[m];
  if (tm_mon > 1 && leap_year(tm_year)) ++days;
  return (6 + days) % 7;
}

// Write frame of the external RTC: register address 0, then seconds,
// minutes, hours (24-hour), weekday (1 = Monday ... 7 = Sunday), day and
// month, all BCD; the chip keeps its year register.
enum WriteByte : unsigned { kAddress, kSeconds, kMinutes, kHours, kWeekday, kDay, kMonth, kWriteBytes };

void write_external_rtc(const rtc_tm& tm) {
  std::uint8_t frame[kWriteBytes];
  frame[kAddress] = 0x00;
  frame[kSeconds] = to_bcd(tm.tm_sec);
  frame[kMinutes] = to_bcd(tm.tm_min);
  frame[kHours] = to_bcd(tm.tm_hour);
  frame[kWeekday] = static_cast<std::uint8_t>(tm.tm_wday == 0 ? 7 : tm.tm_wday);
  frame[kDay] = to_bcd(tm.tm_mday);
  frame[kMonth] = to_bcd(tm.tm_mon + 1);
  sspi_send_rtc(frame, kWriteBytes);
}

// Fills tm from inbuff ("MMDDhhmm" or "MMDDhhmm.ss") and the kept year;
// false when a field is out of range or the date does not exist.
bool parse_time(rtc_tm& tm) {
  const int month = chr2bin(inbuff + 0);
  if (month < 1 || month > 12) return false;
  const int day = chr2bin(inbuff + 2);
  if (day < 1 || day > 31) return false;
  const int hour = chr2bin(inbuff + 4);
  if (hour < 0 || hour > 23) return false;
  const int minute = chr2bin(inbuff + 6);
  if (minute < 0 || minute > 59) return false;
  int second = 0;
  if (inbuff[8] != '\0') {
    if (inbuff[8] != '.') return false;
    second = chr2bin(inbuff + 9);
    if (second < 0 || second > 59) return false;
  }

  // The year is the one the on-chip RTC holds now.
  rtc_tm now;
  RTC_getlocaltime(&now);
  if (!date_exists(now.tm_year, month - 1, day)) return false;

  tm.tm_sec = second;
  tm.tm_min = minute;
  tm.tm_hour = hour;
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = now.tm_year;
  tm.tm_wday = weekday(now.tm_year, month - 1, day);
  tm.tm_yday = -1;
  tm.tm_isdst = -1;
  return true;
}

void run_command() {
  xfprintf(cmd_putc, kNewLine);
  if (inbufn == 8 || inbufn == 11)
    do_settime();
  else
    do_help();
  clear_line();
  do_print_onchipRTCstatus();
}

}  // namespace

extern "C" {

void (*const cmd_putc)(unsigned char c) = usb_out;

void shell_USB(void) {
  while (USB_nbuf() != 0 && may_take_byte()) shell_char(USB_getc());
}

void shell_char(int c) {
  if (c <= 31 || c == kDel) {
    do_cmd(c);
    return;
  }
  if (inbufn < kLineMax) {
    inbuff[inbufn] = static_cast<char>(c);
    inbufn += 1;
    inbuff[inbufn] = '\0';
    cmd_putc(static_cast<unsigned char>(c));
  } else {
    cmd_putc(kBel);  // the line is full: the byte is dropped
  }
}

void do_cmd(int c) {
  switch (c) {
    case kBackspace:
    case kDel:  // what most terminals send for their backspace key
      if (inbufn > 0) {
        inbufn -= 1;
        inbuff[inbufn] = '\0';
        xfprintf(cmd_putc, "\r\n%s", inbuff);  // the line again, on a new line
      }
      break;
    case kCtrlC:
    case kCtrlU:
      clear_line();
      xfprintf(cmd_putc, kNewLine);
      break;
    case kCr:
    case kLf:
      if (inbufn != 0) run_command();  // the LF of a CR LF finds an empty line
      break;
    default:  // TAB, ESC and the other control bytes are ignored
      break;
  }
}

void do_help(void) {
  rtc_tm tm;
  RTC_getlocaltime(&tm);
  xfprintf(cmd_putc, kHelp1);
  xfprintf(cmd_putc, kHelp2);
  xfprintf(cmd_putc, kNow);
  do_printtime(&tm);
}

void do_print_onchipRTCstatus(void) {
  xfprintf(cmd_putc, kSourceIntro);
  xfprintf(cmd_putc, kSourceNames[(RCC->BDCR & RCC_BDCR_RTCSEL) >> RCC_BDCR_RTCSEL_Pos]);
}

int chr2bin(const char* p) {
  const unsigned tens = static_cast<unsigned char>(p[0] - '0');
  if (tens > 9) return -1;
  const unsigned units = static_cast<unsigned char>(p[1] - '0');
  if (units > 9) return -2;
  return static_cast<int>(10 * tens + units);
}

void do_settime(void) {
  rtc_tm tm;
  if (parse_time(tm)) {
    write_external_rtc(tm);
    xfprintf(cmd_putc, kWrote);
    do_printtime(&tm);
    RTC_setlocaltime(&tm);  // cannot refuse: parse_time checked every field
    delay_msec(5);
  }
  // Set or refused: the time the on-chip RTC reads now.
  RTC_getlocaltime(&tm);
  do_printtime(&tm);
}

void do_printtime(const rtc_tm* tm) {
  xfprintf(cmd_putc, kTimeFormat, tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min,
           tm->tm_sec);
}

}  // extern "C"
