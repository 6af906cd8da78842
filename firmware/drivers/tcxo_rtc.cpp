// External TCXO RTC over software SPI: pin set-up and bit-level transfers.
// Every bus phase waits at least 1 us, so the clock runs at 500 kHz at most.
#include "drivers/tcxo_rtc.hpp"

#include "mcu/gpio.hpp"
#include "system/systick.hpp"

// Declared extern "C" in the header.
volatile std::uint8_t ss_stat = 0;

namespace {

// Pin set-up in the order latch, type, speed, pull, mode.
template <typename Port>
void configure(Port port, unsigned n, std::uint32_t mode) {
  port->BSRR = gpio_bsrr_set(n);  // latch high first, so an output starts high
  port->OTYPER &= ~(1u << n);     // push-pull
  port->OSPEEDR &= ~gpio_ospeedr_mask(n);  // low speed
  port->PUPDR &= ~gpio_pupdr_mask(n);      // no pull
  port->MODER = (port->MODER & ~gpio_moder_mask(n)) | gpio_moder(n, mode);
}

constexpr unsigned kCs = 13;    // PC13, active low
constexpr unsigned kSck = 6;    // PE6
constexpr unsigned kMiso = 5;   // PE5
constexpr unsigned kMosi = 4;   // PE4
constexpr unsigned kBurstPulses = 128;

inline void cs(bool high) { GPIOC->BSRR = high ? gpio_bsrr_set(kCs) : gpio_bsrr_reset(kCs); }
inline void sck(bool high) { GPIOE->BSRR = high ? gpio_bsrr_set(kSck) : gpio_bsrr_reset(kSck); }
inline void mosi(bool high) { GPIOE->BSRR = high ? gpio_bsrr_set(kMosi) : gpio_bsrr_reset(kMosi); }
inline bool miso() { return GPIOE->IDR & (1u << kMiso); }

}  // namespace

extern "C" int init_sspi_rtc(void) {
  configure(GPIOC, kCs, GPIO_MODE_OUTPUT);
  configure(GPIOE, kSck, GPIO_MODE_OUTPUT);
  configure(GPIOE, kMiso, GPIO_MODE_INPUT);
  configure(GPIOE, kMosi, GPIO_MODE_OUTPUT);
  cs(true);
  mosi(true);
  // Clock pulses with the chip deselected bring a chip that was left in the
  // middle of a transfer back to a byte boundary.
  for (unsigned i = 0; i < kBurstPulses; ++i) {
    sck(false);
    delay_usec(1);
    sck(true);
    delay_usec(1);
  }
  ss_stat = 0;
  return 0;
}

// Mode 3: the output changes after the falling edge, the input is sampled
// right after the rising edge.
extern "C" int sspi_xmit_rtc(std::uint8_t* data, std::uint32_t num) {
  cs(false);
  ss_stat = 1;
  delay_usec(1);
  for (std::uint32_t i = 0; i < num; ++i) {
    std::uint8_t b = data[i];
    for (std::uint8_t step = 2; step <= 17; ++step) {
      ss_stat = step;
      if ((step & 1) == 0) {
        sck(false);
        mosi(b & 0x80);
      } else {
        b = static_cast<std::uint8_t>(b << 1);
        sck(true);
        if (miso()) b |= 1;
      }
      delay_usec(1);
    }
    data[i] = b;
    if (i + 1 < num) ss_stat = 1;
  }
  cs(true);
  ss_stat = 0;
  return 0;
}

extern "C" int sspi_recv_rtc(std::uint8_t* data, std::uint32_t num) {
  if (num == 0) return 0;
  data[0] &= 0x7F;
  return sspi_xmit_rtc(data, num);
}

extern "C" int sspi_send_rtc(std::uint8_t* data, std::uint32_t num) {
  if (num == 0) return 0;
  data[0] |= 0x80;
  return sspi_xmit_rtc(data, num);
}
