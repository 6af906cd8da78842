// Software I2C master for the audio DAC. Every phase lasts at least 5 us
// (100 kHz at most); after releasing SCL the driver waits until it reads
// high, so a device may stretch the clock. Lines are never driven high:
// releasing one sets its output latch (open drain), the pull-up does the rest.
//
// Every wait for a released line and the bus-recovery clocking are bounded,
// so a line held low for good (a short, a missing pull-up) ends the transfer
// with -1 instead of stopping the start-up.
#include "drivers/sdac.hpp"

#include "mcu/gpio.hpp"
#include "system/systick.hpp"

extern "C" {
volatile std::uint8_t si_stat = 0;

// Register, value pairs as the SDAC's data sheet orders them: its required
// initialisation sequence, power-down while configuring, clocking and
// interface, volumes, analog passthrough of AIN1A/AIN1B to the headphones,
// power-up, then ramp, limiter, tone and PCM volume.
const std::uint16_t SDAC_CONF_REG[28] = {
    0x0099, 0x4780, 0x3280, 0x3200, 0x0000,  // initialisation sequence
    0x0201,                                  // power control 1: down
    0x04AF,                                  // power control 2: headphones on, speakers off
    0x0580,                                  // clocking: automatic from the master clock
    0x0604,                                  // interface: slave, I2S
    0x2088, 0x2188,                          // master volume A, B
    0x22C0, 0x23C0,                          // headphone volume A, B
    0x24C0, 0x25C0,                          // speaker volume A, B
    0x0801, 0x0901,                          // passthrough inputs AIN1A, AIN1B
    0x0EC0,                                  // passthrough on, not muted
    0x1490, 0x1590,                          // passthrough volume A, B
    0x029E,                                  // power control 1: up
    0x0A00,                                  // soft ramp and zero cross off
    0x0EC0,                                  // passthrough again
    0x2700,                                  // limiter thresholds
    0x1F0F,                                  // tone
    0x1A88, 0x1B88,                          // PCM volume A, B
    0xFEEF,                                  // end of table
};
}  // extern "C"

namespace {

constexpr unsigned kScl = 6;     // PB6
constexpr unsigned kSda = 9;     // PB9
constexpr unsigned kReset = 4;   // PD4, low = SDAC in reset
constexpr std::uint8_t kSdacAddress = 0x4A;
constexpr std::uint16_t kEndMark = 0xFEEF;
constexpr unsigned kMaxEntries = 255;
constexpr std::uint32_t kPhaseUs = 5;
// A released line must read high within 10 ms (10000 polls of at least 1 us).
constexpr unsigned kReleasePolls = 10'000;
// Bus recovery: a device holding SDA low lets go within nine clocks; allow
// a hundred times that.
constexpr unsigned kRecoveryPulses = 9 * 100;

inline void scl_low() { GPIOB->BSRR = gpio_bsrr_reset(kScl); }
inline void scl_release() { GPIOB->BSRR = gpio_bsrr_set(kScl); }
inline void sda_low() { GPIOB->BSRR = gpio_bsrr_reset(kSda); }
inline void sda_release() { GPIOB->BSRR = gpio_bsrr_set(kSda); }
inline bool scl_high() { return (GPIOB->IDR & (1u << kScl)) != 0; }
inline bool sda_high() { return (GPIOB->IDR & (1u << kSda)) != 0; }
inline void phase() { delay_usec(kPhaseUs); }

// Waits until a released line reads high; false when it stays low.
bool wait_high(bool (*line)()) {
  for (unsigned i = 0; i < kReleasePolls; ++i) {
    if (line()) return true;
    delay_usec(1);
  }
  return line();
}
bool release_scl() {
  scl_release();
  return wait_high(scl_high);
}

// Clock pulses while a device holds SDA low (it is in the middle of a byte
// it sends or acknowledges); false when it does not let go.
bool free_sda() {
  sda_release();
  for (unsigned i = 0; i < kRecoveryPulses && !sda_high(); ++i) {
    scl_low();
    phase();
    if (!release_scl()) return false;
    phase();
    sda_release();
  }
  return sda_high();
}

// Bus idle: both lines released and reading high.
bool bus_idle() {
  sda_release();
  if (!wait_high(sda_high)) return false;
  return release_scl();
}

// Latch high, open-drain, low speed, no pull, output: the pin starts released.
void configure_open_drain(unsigned n) {
  GPIOB->BSRR = gpio_bsrr_set(n);
  GPIOB->OTYPER |= 1u << n;
  GPIOB->OSPEEDR &= ~gpio_ospeedr_mask(n);
  GPIOB->PUPDR &= ~gpio_pupdr_mask(n);
  GPIOB->MODER = (GPIOB->MODER & ~gpio_moder_mask(n)) | gpio_moder(n, GPIO_MODE_OUTPUT);
}

}  // namespace

extern "C" int init_si2c_sdac(void) {
  configure_open_drain(kSda);
  configure_open_drain(kScl);
  const bool ok = free_sda() && bus_idle();
  si_stat = 0;
  return ok ? 0 : -1;
}

extern "C" int si_send_byte(std::uint8_t* data) {
  std::uint8_t b = *data;
  phase();
  for (int bit = 0; bit < 8; ++bit) {
    scl_low();
    if (b & 0x80) sda_release(); else sda_low();
    phase();
    if (!release_scl()) {  // clock held low: give up, as not acknowledged
      *data = 1;
      return 1;
    }
    b = static_cast<std::uint8_t>(b << 1);
    phase();
  }
  // Ninth clock: the device acknowledges by pulling SDA low during its low
  // phase; read before SCL rises.
  scl_low();
  sda_release();
  phase();
  sda_release();
  if (sda_high()) b |= 1;
  if (!release_scl()) b = 1;
  phase();
  scl_low();
  *data = b;
  return b;
}

extern "C" int si2c_send_sdac_raw(std::uint8_t dev, std::uint8_t* data, std::uint32_t num) {
  int result = 0;
  // Start condition: SDA falls while SCL is high.
  phase();
  if (!release_scl()) result = -1;
  phase();
  sda_low();
  phase();
  si_stat = 1;

  std::uint8_t address = static_cast<std::uint8_t>(dev << 1);  // write
  if (result != 0 || si_send_byte(&address) != 0) {
    result = -1;
  } else {
    for (std::uint32_t i = 0; i < num; ++i) {
      if (si_send_byte(&data[i]) != 0) {
        result = -1;
        break;
      }
    }
  }

  // End sequence: SDA is released while SCL is still low, so the bus sees no
  // stop condition; the next start is a repeated start for the device. SCL
  // stays low a full phase first (it has only just gone low after the last
  // acknowledge clock), so the device sees a proper low period.
  if (!free_sda()) result = -1;
  phase();
  if (!release_scl()) result = -1;
  phase();
  sda_release();
  phase();
  si_stat = 21;

  if (!bus_idle()) result = -1;
  si_stat = 0;
  return result;
}

extern "C" int si2c_send_sdac(std::uint8_t* data, std::uint32_t num) {
  return si2c_send_sdac_raw(kSdacAddress, data, num);
}

extern "C" void setup_SDAC(void) {
  GPIOD->BSRR = gpio_bsrr_reset(kReset);  // held in reset (it has been since the pin set-up)
  init_si2c_sdac();
  GPIOD->BSRR = gpio_bsrr_set(kReset);
  delay_msec(2);

  constexpr unsigned kEntries = sizeof SDAC_CONF_REG / sizeof SDAC_CONF_REG[0];
  constexpr unsigned kLimit = kEntries < kMaxEntries ? kEntries : kMaxEntries;
  for (unsigned i = 0; i < kLimit && SDAC_CONF_REG[i] != kEndMark; ++i) {
    std::uint8_t frame[2] = {static_cast<std::uint8_t>(SDAC_CONF_REG[i] >> 8),
                             static_cast<std::uint8_t>(SDAC_CONF_REG[i] & 0xFF)};
    si2c_send_sdac(frame, 2);
  }
}
