// Formatted console output without buffering: every character produced goes
// straight to an output hook. Supported: %s %c %d %u %x %X %o %b (letters in
// either case, x/X choose the hex digit case), one flag '0' or '-' directly
// after '%', a decimal width, and an ignored length letter 'l'/'L'. Every
// numeric argument is one 32-bit value. Any other conversion character is
// printed as it is, without consuming an argument ("%%" and "%5%" print '%').
//
// Every character goes through xputc, which sends CR before each LF; so a
// "\r\n" in a format comes out as CR CR LF.
//
// Not reentrant: xfprintf swaps the one global hook for the length of the
// call. Use it from the main program only, never from an interrupt handler.
#pragma once

extern "C" {

// Output hook; null discards the output.
extern void (*xfunc_out)(unsigned char c);
// Input hook; kept for the console set-up, nothing in this module reads it.
extern unsigned char (*xfunc_in)(void);

void xputc(char c);
void xputs(const char* str);
void xprintf(const char* fmt, ...);
// Formats through func, then puts the previous hook back.
void xfprintf(void (*func)(unsigned char), const char* fmt, ...);

}  // extern "C"
