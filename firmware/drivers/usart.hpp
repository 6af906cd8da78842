// Interrupt-driven USART driver: 1024-byte receive and transmit rings served
// by the port's interrupt, 8N1 at a rate derived from PCLK1 = 36 MHz. One
// template, instantiated for USART2 and USART3 (usart2.cpp, usart3.cpp),
// which export the fixed C names.
//
// Rings: all 1024 slots are usable. Empty when read == write; full when the
// write index holds 0xFFFFFFFF, and then the next slot to write is the one at
// the read index. Each ring has one producer and one consumer; the main
// program masks its own port's NVIC line around every ring update, the
// interrupt side needs no lock.
#pragma once
#include <cstdint>

#include "mcu/nvic.hpp"
#include "mcu/rcc.hpp"
#include "mcu/usart.hpp"

extern "C" {

struct USART_BUF_CTRL_t {
  volatile std::uint8_t err_flag;   // receive errors since the last USARTn_getErrorFlag
  volatile std::uint8_t not_done;   // 1 from a DR write until transmission complete
  volatile unsigned char tx_data;   // last byte written to DR
  volatile unsigned char rx_data;   // last byte read from DR by the interrupt
  volatile std::uint32_t rb_r;      // receive ring read index
  volatile std::uint32_t rb_w;      // receive ring write index, 0xFFFFFFFF = full
  volatile std::uint32_t tb_r;      // transmit ring read index
  volatile std::uint32_t tb_w;      // transmit ring write index, 0xFFFFFFFF = full
  volatile std::uint32_t rb_siz;    // 1024 once started; 0 = polled reception
  volatile std::uint32_t tb_siz;    // 1024 once started; 0 = polled transmission
  volatile char rb[1024];
  volatile char tb[1024];
};

// Destination of register reads made only to clear status flags.
extern volatile std::uint16_t dummy_buffer;

// err_flag bits: SR's PE, FE, NF, ORE, plus a dropped byte on a full ring.
inline constexpr std::uint8_t USART_ERR_PE = 0x01;
inline constexpr std::uint8_t USART_ERR_FE = 0x02;
inline constexpr std::uint8_t USART_ERR_NF = 0x04;
inline constexpr std::uint8_t USART_ERR_ORE = 0x08;
inline constexpr std::uint8_t USART_ERR_RX_FULL = 0x80;

// Per port (n = 2, 3). start_USARTn(rate): clock on, reset pulse, then
// USARTn_init(36000000 / rate - 1): both rings emptied, err_flag cleared,
// the port's NVIC line enabled. USARTn_putc waits while the transmit ring is
// full; USARTn_getc waits for a byte (check USARTn_nbuf first to avoid that);
// neither may wait inside the port's own interrupt. USARTn_getErrorFlag
// returns err_flag and clears it.
void start_USART2(int brr);
void USART2_init(int brr);
std::uint32_t USART2_nbuf(void);
std::int16_t USART2_getc(void);
void USART2_putc(char c);
std::uint32_t USART2_getErrorFlag(void);
void hndl_USART2(void);
extern USART_BUF_CTRL_t usart2;

void start_USART3(int brr);
void USART3_init(int brr);
std::uint32_t USART3_nbuf(void);
std::int16_t USART3_getc(void);
void USART3_putc(char c);
std::uint32_t USART3_getErrorFlag(void);
void hndl_USART3(void);
extern USART_BUF_CTRL_t usart3;

}  // extern "C"

namespace usart {

inline constexpr std::uint32_t kRingSize = 1024;
inline constexpr std::uint32_t kFull = 0xFFFFFFFFu;  // write index of a full ring
inline constexpr std::uint32_t kPclk1 = 36'000'000;
// Status bits that are receive errors (and the same bits of err_flag).
inline constexpr std::uint32_t kSrErrors = USART_SR_PE | USART_SR_FE | USART_SR_NF | USART_SR_ORE;
// Writing this to SR clears RXNE, LBD and CTS and leaves TC and TXE alone.
inline constexpr std::uint32_t kSrClearFlags = USART_SR_TC | USART_SR_TXE;

static_assert(sizeof(USART_BUF_CTRL_t::rb) == kRingSize && sizeof(USART_BUF_CTRL_t::tb) == kRingSize);
static_assert(kSrErrors == 0x0F && kSrClearFlags == 0xC0);

// BRR for a rate: 36 MHz / rate, less one (every rate comes out slightly fast).
constexpr int brr_for(int rate) { return static_cast<int>(kPclk1 / static_cast<std::uint32_t>(rate)) - 1; }
static_assert(brr_for(115200) == 311 && brr_for(57600) == 624 && brr_for(38400) == 936);
static_assert(brr_for(19200) == 1874 && brr_for(9600) == 3749 && brr_for(4800) == 7499);

// --- ring rules ----------------------------------------------------------

inline void ring_put(volatile char* buf, volatile std::uint32_t& r, volatile std::uint32_t& w,
                     std::uint32_t size, char c) {
  buf[w] = c;
  std::uint32_t next = w + 1;
  if (next >= size) next = 0;
  if (next == r) next = kFull;
  w = next;
}

inline char ring_take(volatile char* buf, volatile std::uint32_t& r, volatile std::uint32_t& w,
                      std::uint32_t size) {
  const std::uint32_t i = r;
  const char c = buf[i];
  if (w == kFull) w = i;  // the slot just freed is the next one to write
  r = (i + 1 >= size) ? 0 : i + 1;
  return c;
}

inline std::uint32_t ring_count(std::uint32_t r, std::uint32_t w, std::uint32_t size) {
  if (w == kFull) return size;
  return w >= r ? w - r : w + size - r;
}

// --- the driver, one instance per port -------------------------------------

template <std::uintptr_t Base, unsigned Irq, std::uint32_t Apb1Bit, USART_BUF_CTRL_t& Ctrl>
struct Driver {
  static USART_Regs& regs() { return *reinterpret_cast<USART_Regs*>(Base); }

  // Main-program side only: keep this port's interrupt out of a ring update.
  static void mask() {
    nvic_disable_irq(Irq);
    __asm__ volatile("dsb\n\tisb" ::: "memory");  // disabled before the next access
  }
  static void unmask() {
    __asm__ volatile("" ::: "memory");
    nvic_enable_irq(Irq);
  }

  // init_APB1_IO: clock on, then a reset pulse (everything queued is gone).
  static void init_apb1_io() {
    RCC->APB1ENR |= Apb1Bit;
    RCC->APB1RSTR |= Apb1Bit;
    RCC->APB1RSTR &= ~Apb1Bit;
  }

  static void init(int brr) {
    USART_Regs& u = regs();
    // The line stays masked until the rings are set up: an interrupt in
    // between could send a byte left in the old transmit ring.
    mask();
    u.GTPR = 0;
    u.BRR = static_cast<std::uint32_t>(brr);

    // sci_init: receiver and transmitter off with their interrupts.
    u.CR1 &= ~(USART_CR1_RE | USART_CR1_RXNEIE | USART_CR1_PEIE);
    u.CR3 &= ~USART_CR3_EIE;
    u.CR1 &= ~(USART_CR1_TE | USART_CR1_TXEIE | USART_CR1_TCIE);
    u.SR = kSrClearFlags;
    u.CR1 |= USART_CR1_UE;

    // sci_init_RxBuf, then the receiver with its interrupts.
    Ctrl.rb_siz = kRingSize;
    Ctrl.rb_w = 0;
    Ctrl.rb_r = 0;
    Ctrl.err_flag = 0;
    Ctrl.rx_data = 0;
    u.CR1 |= USART_CR1_RXNEIE;
    u.SR = kSrClearFlags;
    u.CR1 |= USART_CR1_PEIE;
    u.CR3 |= USART_CR3_EIE;
    u.CR1 |= USART_CR1_RE;

    // sci_init_TxBuf, then the transmitter.
    Ctrl.tb_siz = kRingSize;
    Ctrl.tb_w = 0;
    Ctrl.tb_r = 0;
    Ctrl.not_done = 0;
    Ctrl.tx_data = 0;
    u.SR = kSrClearFlags;
    u.CR1 |= USART_CR1_TE;
    u.CR1 |= USART_CR1_UE;

    unmask();  // priority left at its reset value 0
  }

  // Moves the next byte of the transmit ring into DR if DR is free. Runs in
  // the interrupt, or in the main program with the line masked.
  static void tx_buf_to_tdr() {
    USART_Regs& u = regs();
    if (Ctrl.tb_r == Ctrl.tb_w) {  // nothing to send
      u.CR1 &= ~USART_CR1_TXEIE;
      return;
    }
    if ((u.SR & USART_SR_TXE) == 0) return;  // the next TXE interrupt continues
    const std::uint32_t r = Ctrl.tb_r;
    const char c = Ctrl.tb[r];
    Ctrl.tx_data = static_cast<unsigned char>(c);
    dummy_buffer = static_cast<std::uint16_t>(u.SR);  // SR read, then DR write: clears TC
    u.DR = static_cast<unsigned char>(c);
    Ctrl.not_done = 1;
    u.CR1 |= USART_CR1_TCIE;
    u.CR1 |= USART_CR1_TXEIE;
    ring_take(Ctrl.tb, Ctrl.tb_r, Ctrl.tb_w, Ctrl.tb_siz);
  }

  // 0 when the byte was taken, -1 when there is no room (yet).
  static std::int16_t put_tx_buf(char c) {
    USART_Regs& u = regs();
    if (Ctrl.tb_siz == 0) {  // polled transmission
      u.CR1 &= ~USART_CR1_TXEIE;
      if ((u.SR & USART_SR_TXE) == 0) return -1;
      Ctrl.tx_data = static_cast<unsigned char>(c);
      u.DR = static_cast<unsigned char>(c);
      Ctrl.not_done = 1;
      u.CR1 |= USART_CR1_TCIE;
      return 0;
    }
    if (Ctrl.tb_w == kFull) return -1;
    mask();
    ring_put(Ctrl.tb, Ctrl.tb_r, Ctrl.tb_w, Ctrl.tb_siz, c);
    tx_buf_to_tdr();
    unmask();
    return 0;
  }

  // Waits while the transmit ring is full. Not from this port's interrupt.
  static void putc(char c) {
    while (put_tx_buf(c) != 0) {
    }
  }

  // Waits for a byte. Not from this port's interrupt.
  static std::int16_t getc() {
    if (Ctrl.rb_siz == 0) {  // polled reception
      while ((regs().SR & USART_SR_RXNE) == 0) {
      }
      return static_cast<std::int16_t>(regs().DR & 0xFF);
    }
    while (Ctrl.rb_r == Ctrl.rb_w) {
    }
    mask();
    const char c = ring_take(Ctrl.rb, Ctrl.rb_r, Ctrl.rb_w, Ctrl.rb_siz);
    unmask();
    return static_cast<std::int16_t>(static_cast<unsigned char>(c));
  }

  // Bytes waiting in the receive ring; a snapshot, taken without masking.
  static std::uint32_t nbuf() { return ring_count(Ctrl.rb_r, Ctrl.rb_w, Ctrl.rb_siz); }

  // Returns the gathered error bits and clears them, with the line masked so
  // no bit set by the interrupt in between is lost.
  static std::uint32_t get_error_flag() {
    mask();
    const std::uint32_t e = Ctrl.err_flag;
    Ctrl.err_flag = 0;
    unmask();
    return e;
  }

  // The port's interrupt: status read afresh for each step; errors first,
  // then receive, transmit, transmission complete.
  static void handler() {
    USART_Regs& u = regs();
    std::uint32_t sr = u.SR;
    if ((sr & kSrErrors) != 0) {  // SR then DR clears the flags; the byte is discarded
      Ctrl.err_flag = static_cast<std::uint8_t>(Ctrl.err_flag | (sr & kSrErrors));
      dummy_buffer = static_cast<std::uint16_t>(u.DR);
      dummy_buffer = static_cast<std::uint16_t>(u.SR);
    }
    sr = u.SR;
    if ((sr & USART_SR_RXNE) != 0) {
      const char c = static_cast<char>(u.DR);
      Ctrl.rx_data = static_cast<unsigned char>(c);
      if (Ctrl.rb_w == kFull)
        Ctrl.err_flag = static_cast<std::uint8_t>(Ctrl.err_flag | USART_ERR_RX_FULL);
      else
        ring_put(Ctrl.rb, Ctrl.rb_r, Ctrl.rb_w, Ctrl.rb_siz, c);
    }
    sr = u.SR;
    if ((sr & USART_SR_TXE) != 0) tx_buf_to_tdr();
    sr = u.SR;
    if ((sr & USART_SR_TC) != 0) {
      Ctrl.not_done = 0;
      u.CR1 &= ~USART_CR1_TCIE;
    }
  }
};

}  // namespace usart
