// The USB virtual COM port as the application sees it: start-up, and a byte
// stream each way. The calls never block and never wait for the host; all
// USB traffic moves in the OTG_FS interrupt.
#pragma once
#include <cstdint>

extern "C" {

// Brings the OTG_FS core up in device mode and enables its interrupt
// (about 70 ms of initialisation waits). Needs the SysTick tick running.
void OTG_FS_init(void);
// Main loop: queues one byte for the host. 0, or -1 when 255 bytes already
// wait to be sent (the byte is dropped; nothing queued is overwritten).
std::int16_t USB_putc(std::uint8_t c);
// Main loop: bytes USB_putc would still take (0-255), counted from the
// oldest byte the host has not taken, so room never includes the slots of
// a piece that may have to be sent again after a reconnect.
std::uint32_t USB_tx_room(void);
// Main loop: the next received byte 0-255, or -1 when none waits.
std::int16_t USB_getc(void);
// Main loop: received bytes waiting, 0-256.
std::uint32_t USB_nbuf(void);

}  // extern "C"
