// Reset entry: everything between reset and main.
#include <cstddef>
#include <cstdint>

#include "board/board.hpp"
#include "mcu/scb.hpp"
#include "startup/startup.hpp"

extern "C" {

// Section bounds from the linker script.
extern std::uint8_t _vector_table[];
extern std::uint8_t _sidata[];
extern std::uint8_t _sdata[];
extern std::uint8_t _edata[];
extern std::uint8_t _sbss[];
extern std::uint8_t _ebss[];

void* memcpy(void* s1, const void* s2, std::size_t n);
void* memset(void* dst, int c, std::size_t cnt);

void ignore_not_presents(void) {}

void setup_FSMC(void) __attribute__((weak, alias("ignore_not_presents")));

void start(void) {
  SCB->VTOR = reinterpret_cast<std::uintptr_t>(_vector_table);
  SCB->CPACR |= SCB_CPACR_FPU_FULL;  // FPU usable from here on
  __asm__ volatile("dsb\n\tisb" ::: "memory");

  // No initialised or zeroed variable may be used before the copy/clear.
  setup_RCC();
  setup_GPIO();
  setup_FSMC();

  const auto data_size = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(_edata) -
                                                  reinterpret_cast<std::uintptr_t>(_sdata));
  const auto bss_size = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(_ebss) -
                                                 reinterpret_cast<std::uintptr_t>(_sbss));
  memcpy(_sdata, _sidata, data_size);
  memset(_sbss, 0, bss_size);

  main();
  for (;;) {
    __asm__ volatile("");
  }
}

}  // extern "C"
