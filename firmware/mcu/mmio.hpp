// Access to memory-mapped register blocks. Each block header declares a
// struct with the reference manual's register names and offsets
// (static_assert'ed) and a constexpr handle at the block's fixed address:
//
//   RCC->CR = RCC_CR_HSEON | RCC_CR_HSEBYP;
//
// The handle is a constant object, so nothing runs at start-up for it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace mcu {

using reg32 = volatile std::uint32_t;
using reg16 = volatile std::uint16_t;
using reg8 = volatile std::uint8_t;

template <typename Regs, std::uintptr_t Address>
struct Block {
  static constexpr std::uintptr_t address = Address;
  Regs* operator->() const { return reinterpret_cast<Regs*>(Address); }
  Regs& operator*() const { return *reinterpret_cast<Regs*>(Address); }
};

}  // namespace mcu
