// The shell on the USB virtual COM port: a line editor without a prompt.
// Enter on a line of 8 or 11 characters sets the date and time of both RTCs
// from "MMDDhhmm[.ss]"; any other line prints the help and the time. Every
// command ends with the on-chip RTC's clock source. All of it runs in the
// main loop; the output is queued with USB_putc.
#pragma once
#include <cstdint>

#include "drivers/rtc.hpp"

extern "C" {

inline constexpr int kShellLineSize = 40;  // 39 characters and the NUL

extern char inbuff[kShellLineSize];  // the line being typed, always NUL-terminated
extern int inbufn;                   // characters in inbuff, 0-39
// The shell's byte output: the virtual COM port.
extern void (*const cmd_putc)(unsigned char c);

// Main-loop step: hands the bytes waiting in the USB receive ring to the
// line editor, each only while the transmit ring has room for the longest
// reply it can cause (so nothing the shell prints is refused while a host
// is there to take it).
void shell_USB(void);
// Line editor: one received byte 0-255.
void shell_char(int c);
// Line editor: a control byte (0-31).
void do_cmd(int c);
void do_help(void);
void do_print_onchipRTCstatus(void);
// Two decimal digits at p: 0-99; -1 when p[0] is not a digit, -2 when p[0]
// is and p[1] is not.
int chr2bin(const char* p);
// Parses inbuff as MMDDhhmm[.ss] and sets both RTCs, keeping the year the
// on-chip RTC holds; a refused line changes nothing. Ends with the time the
// on-chip RTC now reads.
void do_settime(void);
void do_printtime(const rtc_tm* tm);

}  // extern "C"
