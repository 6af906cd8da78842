// System control block (SCB) of the Cortex-M4 core, with the coprocessor
// access control register.
#pragma once
#include "mcu/mmio.hpp"

struct SCB_Regs {
  mcu::reg32 CPUID;     // 0x00 CPU identification
  mcu::reg32 ICSR;      // 0x04 interrupt control and state
  mcu::reg32 VTOR;      // 0x08 vector table offset
  mcu::reg32 AIRCR;     // 0x0C application interrupt and reset control
  mcu::reg32 SCR;       // 0x10 system control
  mcu::reg32 CCR;       // 0x14 configuration and control
  mcu::reg32 SHPR1;     // 0x18 priorities of MemManage, BusFault, UsageFault
  mcu::reg32 SHPR2;     // 0x1C priority of SVCall
  mcu::reg32 SHPR3;     // 0x20 priorities of PendSV, SysTick
  mcu::reg32 SHCSR;     // 0x24 system handler control and state
  mcu::reg32 CFSR;      // 0x28 configurable fault status
  mcu::reg32 HFSR;      // 0x2C hard fault status
  mcu::reg32 DFSR;      // 0x30 debug fault status
  mcu::reg32 MMFAR;     // 0x34 memory management fault address
  mcu::reg32 BFAR;      // 0x38 bus fault address
  mcu::reg32 AFSR;      // 0x3C auxiliary fault status
  mcu::reg32 ID_PFR[2];   // 0x40 processor features
  mcu::reg32 ID_DFR0;     // 0x48 debug features
  mcu::reg32 ID_AFR0;     // 0x4C auxiliary features
  mcu::reg32 ID_MMFR[4];  // 0x50 memory model features
  mcu::reg32 ID_ISAR[5];  // 0x60 instruction set attributes
  std::uint32_t reserved0[5];
  mcu::reg32 CPACR;     // 0x88 coprocessor access control
};
static_assert(offsetof(SCB_Regs, VTOR) == 0x08);
static_assert(offsetof(SCB_Regs, AIRCR) == 0x0C);
static_assert(offsetof(SCB_Regs, SHPR3) == 0x20);
static_assert(offsetof(SCB_Regs, CFSR) == 0x28);
static_assert(offsetof(SCB_Regs, AFSR) == 0x3C);
static_assert(offsetof(SCB_Regs, ID_ISAR) == 0x60);
static_assert(offsetof(SCB_Regs, CPACR) == 0x88);

inline constexpr mcu::Block<SCB_Regs, 0xE000ED00> SCB{};

// ICSR
inline constexpr std::uint32_t SCB_ICSR_VECTACTIVE = 0x1FFu << 0;
inline constexpr std::uint32_t SCB_ICSR_PENDSTCLR = 1u << 25;
inline constexpr std::uint32_t SCB_ICSR_PENDSTSET = 1u << 26;
inline constexpr std::uint32_t SCB_ICSR_PENDSVCLR = 1u << 27;
inline constexpr std::uint32_t SCB_ICSR_PENDSVSET = 1u << 28;

// AIRCR
inline constexpr std::uint32_t SCB_AIRCR_VECTKEY = 0x05FAu << 16;   // write key
inline constexpr std::uint32_t SCB_AIRCR_VECTKEY_MASK = 0xFFFFu << 16;
inline constexpr std::uint32_t SCB_AIRCR_SYSRESETREQ = 1u << 2;
inline constexpr std::uint32_t SCB_AIRCR_PRIGROUP_Pos = 8;          // priority grouping, 3 bits
inline constexpr std::uint32_t SCB_AIRCR_PRIGROUP = 7u << 8;

// SCR
inline constexpr std::uint32_t SCB_SCR_SLEEPONEXIT = 1u << 1;
inline constexpr std::uint32_t SCB_SCR_SLEEPDEEP = 1u << 2;
inline constexpr std::uint32_t SCB_SCR_SEVONPEND = 1u << 4;

// CCR
inline constexpr std::uint32_t SCB_CCR_UNALIGN_TRP = 1u << 3;
inline constexpr std::uint32_t SCB_CCR_DIV_0_TRP = 1u << 4;
inline constexpr std::uint32_t SCB_CCR_STKALIGN = 1u << 9;

// SHCSR
inline constexpr std::uint32_t SCB_SHCSR_MEMFAULTENA = 1u << 16;
inline constexpr std::uint32_t SCB_SHCSR_BUSFAULTENA = 1u << 17;
inline constexpr std::uint32_t SCB_SHCSR_USGFAULTENA = 1u << 18;

// CPACR: CP10 and CP11 (the FPU), two bits each; 3 = full access.
inline constexpr std::uint32_t SCB_CPACR_CP10_FULL = 3u << 20;
inline constexpr std::uint32_t SCB_CPACR_CP11_FULL = 3u << 22;
inline constexpr std::uint32_t SCB_CPACR_FPU_FULL = SCB_CPACR_CP10_FULL | SCB_CPACR_CP11_FULL;
static_assert(SCB_CPACR_FPU_FULL == 0x00F00000);
