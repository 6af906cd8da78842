// USART3: the operator console (PD8 TX, PD9 RX); the driver template bound to
// this port, behind the fixed C names.
#include "drivers/usart.hpp"

extern "C" {
USART_BUF_CTRL_t usart3 = {};
}

namespace {
using Port = usart::Driver<USART3.address, USART3_IRQn, RCC_APB1ENR_USART3EN, usart3>;
static_assert(RCC_APB1ENR_USART3EN == RCC_APB1RSTR_USART3RST);
}  // namespace

extern "C" {

// brr is the rate in bit/s; USART3_init takes the BRR value for it.
void start_USART3(int brr) {
  Port::init_apb1_io();
  USART3_init(usart::brr_for(brr));
}
// Kept out of line: start_USART3 calls it by name, like any other caller.
__attribute__((noinline)) void USART3_init(int brr) { Port::init(brr); }
std::uint32_t USART3_nbuf(void) { return Port::nbuf(); }
std::int16_t USART3_getc(void) { return Port::getc(); }
void USART3_putc(char c) { Port::putc(c); }
std::uint32_t USART3_getErrorFlag(void) { return Port::get_error_flag(); }
void hndl_USART3(void) { Port::handler(); }  // interrupt handler, IRQ 39

}  // extern "C"
