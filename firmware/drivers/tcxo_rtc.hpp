// External TCXO real-time clock on a software SPI bus (SPI mode 3, MSB
// first): chip select PC13 (active low), clock PE6, data to the chip PE4,
// data from the chip PE5. A transfer is one chip-select period: an address
// byte (bit 7 set for a write) and the data bytes of consecutive registers,
// exchanged in place in the caller's buffer.
#pragma once
#include <cstdint>

extern "C" {

// Bus phase: 0 idle; in a transfer 1 at the start of each byte, then 2-17
// for its sixteen clock half-periods (even = clock low, odd = clock high).
extern volatile std::uint8_t ss_stat;

// Configures the four pins, idles the bus and clocks 128 pulses with chip
// select inactive. Needs the GPIOC/GPIOE clocks and the SysTick delays.
int init_sspi_rtc(void);
// One transfer of num (>= 1) bytes; each byte is replaced by the one received.
int sspi_xmit_rtc(std::uint8_t* data, std::uint32_t num);
// Clears bit 7 of data[0] (read) and transfers; num 0 does nothing.
int sspi_recv_rtc(std::uint8_t* data, std::uint32_t num);
// Sets bit 7 of data[0] (write) and transfers; num 0 does nothing.
int sspi_send_rtc(std::uint8_t* data, std::uint32_t num);

}  // extern "C"
