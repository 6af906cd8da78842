// Exception vector table: 104 words at the start of flash.
//
//   word 0        initial main stack pointer (top of CCM RAM)
//   word 1        reset entry
//   words 2-15    system exceptions (reserved slots named by byte offset)
//   words 16-97   device interrupts IRQ 0-81
//   words 98-103  zero
//
// Every handler name is a weak alias of hndl_TRAP: a module installs a
// handler just by defining a function of that name, and any exception or
// interrupt left without one ends in the trap loop.
#include <cstdint>

#include "startup/startup.hpp"

extern "C" {

extern const std::uint32_t _endof_stack[];

void hndl_TRAP(void) {
  for (;;) {
    __asm__ volatile("");
  }
}

// The aliases are plain handlers; that the trap never returns is its own
// business, so the attribute difference to hndl_TRAP is intended.
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#define FW_WEAK_TRAP __attribute__((weak, alias("hndl_TRAP")))

void hndl_NMI(void) FW_WEAK_TRAP;
void hndl_HardFault(void) FW_WEAK_TRAP;
void hndl_MemManage(void) FW_WEAK_TRAP;
void hndl_BusFault(void) FW_WEAK_TRAP;
void hndl_UsageFault(void) FW_WEAK_TRAP;
void hndl_TRAP0x1c(void) FW_WEAK_TRAP;
void hndl_TRAP0x20(void) FW_WEAK_TRAP;
void hndl_TRAP0x24(void) FW_WEAK_TRAP;
void hndl_TRAP0x28(void) FW_WEAK_TRAP;
void hndl_SVCall(void) FW_WEAK_TRAP;
void hndl_Debug_Monitor(void) FW_WEAK_TRAP;
void hndl_TRAP0x34(void) FW_WEAK_TRAP;
void hndl_PendSV(void) FW_WEAK_TRAP;
void hndl_SysTick(void) FW_WEAK_TRAP;
void hndl_WWDG(void) FW_WEAK_TRAP;
void hndl_PVD(void) FW_WEAK_TRAP;
void hndl_TAMP_STAMP(void) FW_WEAK_TRAP;
void hndl_RTC_WKUP(void) FW_WEAK_TRAP;
void hndl_FLASH(void) FW_WEAK_TRAP;
void hndl_RCC(void) FW_WEAK_TRAP;
void hndl_EXTI0(void) FW_WEAK_TRAP;
void hndl_EXTI1(void) FW_WEAK_TRAP;
void hndl_EXTI2(void) FW_WEAK_TRAP;
void hndl_EXTI3(void) FW_WEAK_TRAP;
void hndl_EXTI4(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream0(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream1(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream2(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream3(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream4(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream5(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream6(void) FW_WEAK_TRAP;
void hndl_ADC(void) FW_WEAK_TRAP;
void hndl_CAN1_TX(void) FW_WEAK_TRAP;
void hndl_CAN1_RX0(void) FW_WEAK_TRAP;
void hndl_CAN1_RX1(void) FW_WEAK_TRAP;
void hndl_CAN1_SCE(void) FW_WEAK_TRAP;
void hndl_EXTI9_5(void) FW_WEAK_TRAP;
void hndl_TIM1_BRK_TIM9(void) FW_WEAK_TRAP;
void hndl_TIM1_UP_TIM10(void) FW_WEAK_TRAP;
void hndl_TIM1_TRG_COM_TIM11(void) FW_WEAK_TRAP;
void hndl_TIM1_CC(void) FW_WEAK_TRAP;
void hndl_TIM2(void) FW_WEAK_TRAP;
void hndl_TIM3(void) FW_WEAK_TRAP;
void hndl_TIM4(void) FW_WEAK_TRAP;
void hndl_I2C1_EV(void) FW_WEAK_TRAP;
void hndl_I2C1_ER(void) FW_WEAK_TRAP;
void hndl_I2C2_EV(void) FW_WEAK_TRAP;
void hndl_I2C2_ER(void) FW_WEAK_TRAP;
void hndl_SPI1(void) FW_WEAK_TRAP;
void hndl_SPI2(void) FW_WEAK_TRAP;
void hndl_USART1(void) FW_WEAK_TRAP;
void hndl_USART2(void) FW_WEAK_TRAP;
void hndl_USART3(void) FW_WEAK_TRAP;
void hndl_EXTI15_10(void) FW_WEAK_TRAP;
void hndl_RTC_Alarm(void) FW_WEAK_TRAP;
void hndl_OTG_FS_WKUP(void) FW_WEAK_TRAP;
void hndl_TIM8_BRK_TIM12(void) FW_WEAK_TRAP;
void hndl_TIM8_UP_TIM13(void) FW_WEAK_TRAP;
void hndl_TIM8_TRG_COM_TIM14(void) FW_WEAK_TRAP;
void hndl_TIM8_CC(void) FW_WEAK_TRAP;
void hndl_DMA1_Stream7(void) FW_WEAK_TRAP;
void hndl_FSMC(void) FW_WEAK_TRAP;
void hndl_SDIO(void) FW_WEAK_TRAP;
void hndl_TIM5(void) FW_WEAK_TRAP;
void hndl_SPI3(void) FW_WEAK_TRAP;
void hndl_USART4(void) FW_WEAK_TRAP;
void hndl_USART5(void) FW_WEAK_TRAP;
void hndl_TIM6_DAC(void) FW_WEAK_TRAP;
void hndl_TIM7(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream0(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream1(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream2(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream3(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream4(void) FW_WEAK_TRAP;
void hndl_ETH(void) FW_WEAK_TRAP;
void hndl_ETH_WKUP(void) FW_WEAK_TRAP;
void hndl_CAN2_TX(void) FW_WEAK_TRAP;
void hndl_CAN2_RX0(void) FW_WEAK_TRAP;
void hndl_CAN2_RX1(void) FW_WEAK_TRAP;
void hndl_CAN2_SCE(void) FW_WEAK_TRAP;
void hndl_OTG_FS(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream5(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream6(void) FW_WEAK_TRAP;
void hndl_DMA2_Stream7(void) FW_WEAK_TRAP;
void hndl_USART6(void) FW_WEAK_TRAP;
void hndl_I2C3_EV(void) FW_WEAK_TRAP;
void hndl_I2C3_ER(void) FW_WEAK_TRAP;
void hndl_OTG_HS_EP1_OUT(void) FW_WEAK_TRAP;
void hndl_OTG_HS_EP1_IN(void) FW_WEAK_TRAP;
void hndl_OTG_HS_WKUP(void) FW_WEAK_TRAP;
void hndl_OTG_HS(void) FW_WEAK_TRAP;
void hndl_DCMI(void) FW_WEAK_TRAP;
void hndl_CRYP(void) FW_WEAK_TRAP;
void hndl_HASH_RNG(void) FW_WEAK_TRAP;
void hndl_FPU(void) FW_WEAK_TRAP;

using Handler = void (*)(void);

struct VectorTable {
  const std::uint32_t* initial_sp;
  Handler reset;
  Handler exceptions[14];  // words 2-15
  Handler irq[82];         // IRQ 0-81
  Handler unused[6];       // words 98-103, zero
};
static_assert(sizeof(VectorTable) == 104 * 4);

__attribute__((section(".vectors"), used)) extern const VectorTable vector = {
    _endof_stack,
    start,
    {
        hndl_NMI,
        hndl_HardFault,
        hndl_MemManage,
        hndl_BusFault,
        hndl_UsageFault,
        hndl_TRAP0x1c,
        hndl_TRAP0x20,
        hndl_TRAP0x24,
        hndl_TRAP0x28,
        hndl_SVCall,
        hndl_Debug_Monitor,
        hndl_TRAP0x34,
        hndl_PendSV,
        hndl_SysTick,
    },
    {
        hndl_WWDG,                  // 0
        hndl_PVD,                   // 1
        hndl_TAMP_STAMP,            // 2
        hndl_RTC_WKUP,              // 3
        hndl_FLASH,                 // 4
        hndl_RCC,                   // 5
        hndl_EXTI0,                 // 6
        hndl_EXTI1,                 // 7
        hndl_EXTI2,                 // 8
        hndl_EXTI3,                 // 9
        hndl_EXTI4,                 // 10
        hndl_DMA1_Stream0,          // 11
        hndl_DMA1_Stream1,          // 12
        hndl_DMA1_Stream2,          // 13
        hndl_DMA1_Stream3,          // 14
        hndl_DMA1_Stream4,          // 15
        hndl_DMA1_Stream5,          // 16
        hndl_DMA1_Stream6,          // 17
        hndl_ADC,                   // 18
        hndl_CAN1_TX,               // 19
        hndl_CAN1_RX0,              // 20
        hndl_CAN1_RX1,              // 21
        hndl_CAN1_SCE,              // 22
        hndl_EXTI9_5,               // 23
        hndl_TIM1_BRK_TIM9,         // 24
        hndl_TIM1_UP_TIM10,         // 25
        hndl_TIM1_TRG_COM_TIM11,    // 26
        hndl_TIM1_CC,               // 27
        hndl_TIM2,                  // 28
        hndl_TIM3,                  // 29
        hndl_TIM4,                  // 30
        hndl_I2C1_EV,               // 31
        hndl_I2C1_ER,               // 32
        hndl_I2C2_EV,               // 33
        hndl_I2C2_ER,               // 34
        hndl_SPI1,                  // 35
        hndl_SPI2,                  // 36
        hndl_USART1,                // 37
        hndl_USART2,                // 38
        hndl_USART3,                // 39
        hndl_EXTI15_10,             // 40
        hndl_RTC_Alarm,             // 41
        hndl_OTG_FS_WKUP,           // 42
        hndl_TIM8_BRK_TIM12,        // 43
        hndl_TIM8_UP_TIM13,         // 44
        hndl_TIM8_TRG_COM_TIM14,    // 45
        hndl_TIM8_CC,               // 46
        hndl_DMA1_Stream7,          // 47
        hndl_FSMC,                  // 48
        hndl_SDIO,                  // 49
        hndl_TIM5,                  // 50
        hndl_SPI3,                  // 51
        hndl_USART4,                // 52
        hndl_USART5,                // 53
        hndl_TIM6_DAC,              // 54
        hndl_TIM7,                  // 55
        hndl_DMA2_Stream0,          // 56
        hndl_DMA2_Stream1,          // 57
        hndl_DMA2_Stream2,          // 58
        hndl_DMA2_Stream3,          // 59
        hndl_DMA2_Stream4,          // 60
        hndl_ETH,                   // 61
        hndl_ETH_WKUP,              // 62
        hndl_CAN2_TX,               // 63
        hndl_CAN2_RX0,              // 64
        hndl_CAN2_RX1,              // 65
        hndl_CAN2_SCE,              // 66
        hndl_OTG_FS,                // 67
        hndl_DMA2_Stream5,          // 68
        hndl_DMA2_Stream6,          // 69
        hndl_DMA2_Stream7,          // 70
        hndl_USART6,                // 71
        hndl_I2C3_EV,               // 72
        hndl_I2C3_ER,               // 73
        hndl_OTG_HS_EP1_OUT,        // 74
        hndl_OTG_HS_EP1_IN,         // 75
        hndl_OTG_HS_WKUP,           // 76
        hndl_OTG_HS,                // 77
        hndl_DCMI,                  // 78
        hndl_CRYP,                  // 79
        hndl_HASH_RNG,              // 80
        hndl_FPU,                   // 81
    },
    {},
};

}  // extern "C"
