// General-purpose I/O ports (GPIOA-GPIOE), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct GPIO_Regs {
  mcu::reg32 MODER;    // 0x00 mode, 2 bits per pin
  mcu::reg32 OTYPER;   // 0x04 output type, 1 bit per pin (1 = open-drain)
  mcu::reg32 OSPEEDR;  // 0x08 output speed, 2 bits per pin
  mcu::reg32 PUPDR;    // 0x0C pull-up/pull-down, 2 bits per pin
  mcu::reg32 IDR;      // 0x10 input data
  mcu::reg32 ODR;      // 0x14 output data (latch)
  mcu::reg32 BSRR;     // 0x18 bit set (low half) / reset (high half)
  mcu::reg32 LCKR;     // 0x1C configuration lock
  mcu::reg32 AFR[2];   // 0x20 alternate function low (pins 0-7), 0x24 high (pins 8-15)
};
static_assert(offsetof(GPIO_Regs, IDR) == 0x10);
static_assert(offsetof(GPIO_Regs, BSRR) == 0x18);
static_assert(offsetof(GPIO_Regs, AFR) == 0x20);
static_assert(sizeof(GPIO_Regs) == 0x28);

inline constexpr mcu::Block<GPIO_Regs, 0x40020000> GPIOA{};
inline constexpr mcu::Block<GPIO_Regs, 0x40020400> GPIOB{};
inline constexpr mcu::Block<GPIO_Regs, 0x40020800> GPIOC{};
inline constexpr mcu::Block<GPIO_Regs, 0x40020C00> GPIOD{};
inline constexpr mcu::Block<GPIO_Regs, 0x40021000> GPIOE{};

// MODER field values
inline constexpr std::uint32_t GPIO_MODE_INPUT = 0;
inline constexpr std::uint32_t GPIO_MODE_OUTPUT = 1;
inline constexpr std::uint32_t GPIO_MODE_AF = 2;
inline constexpr std::uint32_t GPIO_MODE_ANALOG = 3;
// OSPEEDR field values
inline constexpr std::uint32_t GPIO_SPEED_LOW = 0;      // 2 MHz
inline constexpr std::uint32_t GPIO_SPEED_MEDIUM = 1;   // 25 MHz
inline constexpr std::uint32_t GPIO_SPEED_FAST = 2;     // 50 MHz
inline constexpr std::uint32_t GPIO_SPEED_HIGH = 3;     // 100 MHz
// PUPDR field values
inline constexpr std::uint32_t GPIO_PULL_NONE = 0;
inline constexpr std::uint32_t GPIO_PULL_UP = 1;
inline constexpr std::uint32_t GPIO_PULL_DOWN = 2;

// Two-bit fields (MODER, OSPEEDR, PUPDR) of pin n.
constexpr std::uint32_t gpio_2bit_mask(unsigned n) { return 3u << (2 * n); }
constexpr std::uint32_t gpio_2bit(unsigned n, std::uint32_t v) { return v << (2 * n); }
constexpr std::uint32_t gpio_moder_mask(unsigned n) { return gpio_2bit_mask(n); }
constexpr std::uint32_t gpio_moder(unsigned n, std::uint32_t mode) { return gpio_2bit(n, mode); }
constexpr std::uint32_t gpio_ospeedr_mask(unsigned n) { return gpio_2bit_mask(n); }
constexpr std::uint32_t gpio_ospeedr(unsigned n, std::uint32_t speed) { return gpio_2bit(n, speed); }
constexpr std::uint32_t gpio_pupdr_mask(unsigned n) { return gpio_2bit_mask(n); }
constexpr std::uint32_t gpio_pupdr(unsigned n, std::uint32_t pull) { return gpio_2bit(n, pull); }
// Four-bit alternate-function field of pin n inside AFR[n / 8].
constexpr unsigned gpio_afr_index(unsigned n) { return n / 8; }
constexpr std::uint32_t gpio_afr_mask(unsigned n) { return 0xFu << (4 * (n % 8)); }
constexpr std::uint32_t gpio_afr(unsigned n, std::uint32_t af) { return af << (4 * (n % 8)); }
// BSRR: drive pin n high / low.
constexpr std::uint32_t gpio_bsrr_set(unsigned n) { return 1u << n; }
constexpr std::uint32_t gpio_bsrr_reset(unsigned n) { return 1u << (n + 16); }

static_assert(gpio_moder_mask(15) == 0xC0000000u);
static_assert(gpio_afr_mask(9) == 0xF0u && gpio_afr_index(9) == 1);
