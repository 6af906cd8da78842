// External audio DAC (the SDAC) on a software I2C bus: clock PB6, data PB9,
// both open-drain with the board's pull-ups; reset PD4 (active low). The
// SDAC is configured once at start-up to pass its first analog input pair
// (fed by PA4) to the headphone amplifier; nothing talks to it afterwards.
#pragma once
#include <cstdint>

extern "C" {

// Bus status: 0 idle; 1 from the start condition of a transfer; 21 after
// its end sequence until the bus is seen idle again. Only written.
extern volatile std::uint8_t si_stat;
// Configuration: (register << 8) | value per entry, ended by 0xFEEF.
extern const std::uint16_t SDAC_CONF_REG[28];

// Reset pulse, bus set-up and the configuration table, one transfer per
// entry (results ignored). Needs the SysTick delays and the master clock.
void setup_SDAC(void);
// Configures PB6/PB9 and frees the bus (clock pulses while a device holds
// SDA low). 0, or -1 when a line stays low beyond the bounds.
int init_si2c_sdac(void);
// One write transfer to the SDAC (address 0x4A).
int si2c_send_sdac(std::uint8_t* data, std::uint32_t num);
// One write transfer of num bytes to the 7-bit address dev: 0 when every
// byte was acknowledged, else -1. Each byte of data is replaced by its
// acknowledge bit (0 = acknowledged).
int si2c_send_sdac_raw(std::uint8_t dev, std::uint8_t* data, std::uint32_t num);
// Clocks out *data MSB first and replaces it by the acknowledge bit, which
// is also returned (0 acknowledged, 1 not).
int si_send_byte(std::uint8_t* data);

}  // extern "C"
