// USART2: the far side of the serial bridge (PD5 TX, PD6 RX); the driver template bound to
// this port, behind the fixed C names.
#include "drivers/usart.hpp"

extern "C" {
USART_BUF_CTRL_t usart2 = {};
}

namespace {
using Port = usart::Driver<USART2.address, USART2_IRQn, RCC_APB1ENR_USART2EN, usart2>;
static_assert(RCC_APB1ENR_USART2EN == RCC_APB1RSTR_USART2RST);
}  // namespace

extern "C" {

// brr is the rate in bit/s; USART2_init takes the BRR value for it.
void start_USART2(int brr) {
  Port::init_apb1_io();
  USART2_init(usart::brr_for(brr));
}
// Kept out of line: start_USART2 calls it by name, like any other caller.
__attribute__((noinline)) void USART2_init(int brr) { Port::init(brr); }
std::uint32_t USART2_nbuf(void) { return Port::nbuf(); }
std::int16_t USART2_getc(void) { return Port::getc(); }
void USART2_putc(char c) { Port::putc(c); }
std::uint32_t USART2_getErrorFlag(void) { return Port::get_error_flag(); }
void hndl_USART2(void) { Port::handler(); }  // interrupt handler, IRQ 38

}  // extern "C"
