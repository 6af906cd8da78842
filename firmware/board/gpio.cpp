// Pin set-up at reset: port clocks, the button input and all of port D.
// Port D is written latch, type, speed, pull, alternate function and mode
// last, so every pin has its level and function before it starts to drive.
#include "board/board.hpp"
#include "mcu/gpio.hpp"
#include "mcu/rcc.hpp"

namespace {

constexpr unsigned kButtonPin = 0;  // PA0

constexpr unsigned kDacResetPin = 4;  // PD4, held low (audio DAC in reset)
constexpr unsigned kUsart2Tx = 5, kUsart2Rx = 6, kUsart3Tx = 8, kUsart3Rx = 9;
constexpr unsigned kUnreadInput = 11;
constexpr std::uint32_t kUsartAf = 7, kLedAf = 2;

// ODR: every port D output high except the audio DAC reset.
constexpr std::uint32_t kPortDLatch = 0xFFFFu & ~(1u << kDacResetPin);
static_assert(kPortDLatch == 0xFFEF);

constexpr std::uint32_t kPortDPullMask = gpio_pupdr_mask(kUsart2Tx) | gpio_pupdr_mask(kUsart2Rx) |
                                         gpio_pupdr_mask(kUsart3Rx) | gpio_pupdr_mask(kUnreadInput);
constexpr std::uint32_t kPortDPull = gpio_pupdr(kUsart2Rx, GPIO_PULL_UP) |
                                     gpio_pupdr(kUsart3Rx, GPIO_PULL_UP) |
                                     gpio_pupdr(kUnreadInput, GPIO_PULL_UP);

// AFR[1]: USART3 on PD8/PD9, TIM4 on PD12-PD15; PD10/PD11 keep their fields.
constexpr std::uint32_t kPortDAfrHighKeep = gpio_afr_mask(10) | gpio_afr_mask(11);
constexpr std::uint32_t kPortDAfrHigh = gpio_afr(kUsart3Tx, kUsartAf) | gpio_afr(kUsart3Rx, kUsartAf) |
                                        gpio_afr(12, kLedAf) | gpio_afr(13, kLedAf) |
                                        gpio_afr(14, kLedAf) | gpio_afr(15, kLedAf);
static_assert(kPortDAfrHigh == 0x22220077);

// AFR[0]: USART2 on PD5/PD6.
constexpr std::uint32_t kPortDAfrLowMask = gpio_afr_mask(kUsart2Tx) | gpio_afr_mask(kUsart2Rx);
constexpr std::uint32_t kPortDAfrLow = gpio_afr(kUsart2Tx, kUsartAf) | gpio_afr(kUsart2Rx, kUsartAf);

constexpr std::uint32_t port_d_moder() {
  constexpr std::uint8_t mode[16] = {
      GPIO_MODE_OUTPUT, GPIO_MODE_OUTPUT, GPIO_MODE_OUTPUT, GPIO_MODE_OUTPUT,  // PD0-PD3 unused
      GPIO_MODE_OUTPUT,                                                        // PD4 DAC reset
      GPIO_MODE_AF,     GPIO_MODE_AF,                                          // PD5-PD6 USART2
      GPIO_MODE_OUTPUT,                                                        // PD7 unused
      GPIO_MODE_AF,     GPIO_MODE_AF,                                          // PD8-PD9 USART3
      GPIO_MODE_OUTPUT,                                                        // PD10 unused
      GPIO_MODE_INPUT,                                                         // PD11
      GPIO_MODE_AF,     GPIO_MODE_AF,     GPIO_MODE_AF,     GPIO_MODE_AF,      // PD12-PD15 LEDs
  };
  std::uint32_t v = 0;
  for (unsigned pin = 0; pin < 16; ++pin) v |= gpio_moder(pin, mode[pin]);
  return v;
}
constexpr std::uint32_t kPortDModer = port_d_moder();
static_assert(kPortDModer == 0xAA1A6955);

}  // namespace

extern "C" void setup_GPIO(void) {
  // One clock-enable write per port, A to E.
  RCC->AHB1ENR |= RCC_AHB1ENR_GPIOAEN;
  RCC->AHB1ENR |= RCC_AHB1ENR_GPIOBEN;
  RCC->AHB1ENR |= RCC_AHB1ENR_GPIOCEN;
  RCC->AHB1ENR |= RCC_AHB1ENR_GPIODEN;
  RCC->AHB1ENR |= RCC_AHB1ENR_GPIOEEN;

  // Button: input, no pull. No other port A pin is touched.
  GPIOA->MODER &= ~gpio_moder_mask(kButtonPin);
  GPIOA->PUPDR &= ~gpio_pupdr_mask(kButtonPin);

  GPIOD->ODR = (GPIOD->ODR & 0xFFFF0000u) | kPortDLatch;
  GPIOD->OTYPER &= 0xFFFF0000u;  // all push-pull
  GPIOD->OSPEEDR = 0;            // all low speed
  GPIOD->PUPDR = (GPIOD->PUPDR & ~kPortDPullMask) | kPortDPull;
  GPIOD->AFR[1] = (GPIOD->AFR[1] & kPortDAfrHighKeep) | kPortDAfrHigh;
  GPIOD->AFR[0] = (GPIOD->AFR[0] & ~kPortDAfrLowMask) | kPortDAfrLow;
  GPIOD->MODER = kPortDModer;
}
