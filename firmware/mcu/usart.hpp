// Universal synchronous/asynchronous receiver-transmitters (USART2, USART3), STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct USART_Regs {
  mcu::reg32 SR;    // 0x00 status
  mcu::reg32 DR;    // 0x04 data
  mcu::reg32 BRR;   // 0x08 baud rate
  mcu::reg32 CR1;   // 0x0C control 1
  mcu::reg32 CR2;   // 0x10 control 2
  mcu::reg32 CR3;   // 0x14 control 3
  mcu::reg32 GTPR;  // 0x18 guard time and prescaler
};
static_assert(offsetof(USART_Regs, CR1) == 0x0C);
static_assert(offsetof(USART_Regs, GTPR) == 0x18);

inline constexpr mcu::Block<USART_Regs, 0x40004400> USART2{};
inline constexpr mcu::Block<USART_Regs, 0x40004800> USART3{};

// SR
inline constexpr std::uint32_t USART_SR_PE = 1u << 0;     // parity error
inline constexpr std::uint32_t USART_SR_FE = 1u << 1;     // framing error
inline constexpr std::uint32_t USART_SR_NF = 1u << 2;     // noise detected
inline constexpr std::uint32_t USART_SR_ORE = 1u << 3;    // overrun
inline constexpr std::uint32_t USART_SR_IDLE = 1u << 4;   // idle line
inline constexpr std::uint32_t USART_SR_RXNE = 1u << 5;   // receive data register not empty
inline constexpr std::uint32_t USART_SR_TC = 1u << 6;     // transmission complete
inline constexpr std::uint32_t USART_SR_TXE = 1u << 7;    // transmit data register empty
inline constexpr std::uint32_t USART_SR_LBD = 1u << 8;    // LIN break detected
inline constexpr std::uint32_t USART_SR_CTS = 1u << 9;    // CTS toggled

// CR1
inline constexpr std::uint32_t USART_CR1_SBK = 1u << 0;
inline constexpr std::uint32_t USART_CR1_RWU = 1u << 1;
inline constexpr std::uint32_t USART_CR1_RE = 1u << 2;       // receiver enable
inline constexpr std::uint32_t USART_CR1_TE = 1u << 3;       // transmitter enable
inline constexpr std::uint32_t USART_CR1_IDLEIE = 1u << 4;
inline constexpr std::uint32_t USART_CR1_RXNEIE = 1u << 5;   // RXNE (and ORE) interrupt
inline constexpr std::uint32_t USART_CR1_TCIE = 1u << 6;     // transmission complete interrupt
inline constexpr std::uint32_t USART_CR1_TXEIE = 1u << 7;    // TXE interrupt
inline constexpr std::uint32_t USART_CR1_PEIE = 1u << 8;     // parity error interrupt
inline constexpr std::uint32_t USART_CR1_PS = 1u << 9;
inline constexpr std::uint32_t USART_CR1_PCE = 1u << 10;
inline constexpr std::uint32_t USART_CR1_WAKE = 1u << 11;
inline constexpr std::uint32_t USART_CR1_M = 1u << 12;
inline constexpr std::uint32_t USART_CR1_UE = 1u << 13;      // USART enable
inline constexpr std::uint32_t USART_CR1_OVER8 = 1u << 15;

// CR2
inline constexpr std::uint32_t USART_CR2_STOP = 3u << 12;

// CR3
inline constexpr std::uint32_t USART_CR3_EIE = 1u << 0;      // error (FE, NF, ORE) interrupt
inline constexpr std::uint32_t USART_CR3_HDSEL = 1u << 3;
inline constexpr std::uint32_t USART_CR3_DMAR = 1u << 6;
inline constexpr std::uint32_t USART_CR3_DMAT = 1u << 7;
inline constexpr std::uint32_t USART_CR3_RTSE = 1u << 8;
inline constexpr std::uint32_t USART_CR3_CTSE = 1u << 9;
inline constexpr std::uint32_t USART_CR3_CTSIE = 1u << 10;
inline constexpr std::uint32_t USART_CR3_ONEBIT = 1u << 11;
