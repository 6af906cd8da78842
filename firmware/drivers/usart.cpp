// State shared by both USART ports.
#include "drivers/usart.hpp"

extern "C" {
volatile std::uint16_t dummy_buffer = 0;
}
