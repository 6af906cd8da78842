// Board support of the USB port: the OTG_FS pins and clocks, the interrupt
// priority, the two OTG_FS vectors, the status-event table (which does
// nothing: the application learns nothing of the bus state) and the start
// call of the virtual COM port.
#include "mcu/exti.hpp"
#include "mcu/gpio.hpp"
#include "mcu/nvic.hpp"
#include "mcu/rcc.hpp"
#include "usb/cdc/usb_vcp.hpp"
#include "usb/cdc/usbd_cdc.hpp"

namespace {

// 2-bit fields of pins 9-12 given as four values.
constexpr std::uint32_t pins9_12(std::uint32_t (*field)(unsigned, std::uint32_t), std::uint32_t a, std::uint32_t b,
                                 std::uint32_t c, std::uint32_t d) {
  return field(9, a) | field(10, b) | field(11, c) | field(12, d);
}
constexpr std::uint32_t kPins9_12 = (1u << 9) | (1u << 10) | (1u << 11) | (1u << 12);
constexpr std::uint32_t kMask2bit9_12 =
    gpio_2bit_mask(9) | gpio_2bit_mask(10) | gpio_2bit_mask(11) | gpio_2bit_mask(12);
constexpr std::uint32_t kAfMask9_12 = gpio_afr_mask(9) | gpio_afr_mask(10) | gpio_afr_mask(11) | gpio_afr_mask(12);
constexpr std::uint32_t kAfOtgFs = 10;
constexpr std::uint8_t kOtgFsPriority = 0x20;  // level 2 of the 4 implemented bits

}  // namespace

extern "C" {

USB_OTG_CORE_HANDLE USB_OTG_dev;

void USB_StatusEvent_callback_Init(void) {}
void USB_StatusEvent_callback_DeviceReset(std::uint8_t) {}
void USB_StatusEvent_callback_DeviceConfigured(void) {}
void USB_StatusEvent_callback_DeviceSuspended(void) {}
void USB_StatusEvent_callback_DeviceResumed(void) {}
void USB_StatusEvent_callback_DeviceConnected(void) {}
void USB_StatusEvent_callback_DeviceDisconnected(void) {}

USBD_Usr_cb_TypeDef USR_cb = {
    USB_StatusEvent_callback_Init,           USB_StatusEvent_callback_DeviceReset,
    USB_StatusEvent_callback_DeviceConfigured, USB_StatusEvent_callback_DeviceSuspended,
    USB_StatusEvent_callback_DeviceResumed,  USB_StatusEvent_callback_DeviceConnected,
    USB_StatusEvent_callback_DeviceDisconnected,
};

void USB_OTG_BSP_Init(USB_OTG_CORE_HANDLE*) {
  // PC0: open-drain output driven high, pulled up; never changed again.
  GPIOC->ODR = GPIOC->ODR | 1u;
  GPIOC->PUPDR = (GPIOC->PUPDR & ~gpio_pupdr_mask(0)) | gpio_pupdr(0, GPIO_PULL_UP);
  GPIOC->OSPEEDR = (GPIOC->OSPEEDR & ~gpio_ospeedr_mask(0)) | gpio_ospeedr(0, GPIO_SPEED_LOW);
  GPIOC->OTYPER = GPIOC->OTYPER | 1u;
  GPIOC->AFR[0] = GPIOC->AFR[0] & ~gpio_afr_mask(0);
  GPIOC->MODER = (GPIOC->MODER & ~gpio_moder_mask(0)) | gpio_moder(0, GPIO_MODE_OUTPUT);

  // PA9 VBUS sense (input), PA10 open-drain output pulled down, PA11/PA12
  // the DM/DP data lines (AF10, highest speed).
  GPIOA->ODR = GPIOA->ODR | kPins9_12;
  GPIOA->PUPDR = (GPIOA->PUPDR & ~kMask2bit9_12) |
                 pins9_12(gpio_pupdr, GPIO_PULL_NONE, GPIO_PULL_DOWN, GPIO_PULL_NONE, GPIO_PULL_NONE);
  GPIOA->OSPEEDR = (GPIOA->OSPEEDR & ~kMask2bit9_12) |
                   pins9_12(gpio_ospeedr, GPIO_SPEED_LOW, GPIO_SPEED_LOW, GPIO_SPEED_HIGH, GPIO_SPEED_HIGH);
  GPIOA->OTYPER = (GPIOA->OTYPER & ~((1u << 10) | (1u << 11) | (1u << 12))) | (1u << 10);
  GPIOA->AFR[1] = (GPIOA->AFR[1] & ~kAfMask9_12) | gpio_afr(10, kAfOtgFs) | gpio_afr(11, kAfOtgFs) |
                  gpio_afr(12, kAfOtgFs);
  GPIOA->MODER = (GPIOA->MODER & ~kMask2bit9_12) |
                 pins9_12(gpio_moder, GPIO_MODE_INPUT, GPIO_MODE_OUTPUT, GPIO_MODE_AF, GPIO_MODE_AF);

  RCC->APB2ENR = RCC->APB2ENR | RCC_APB2ENR_SYSCFGEN;
  RCC->AHB2ENR = RCC->AHB2ENR | RCC_AHB2ENR_OTGFSEN;
}

void USB_OTG_BSP_EnableInterrupt(USB_OTG_CORE_HANDLE*) {
  NVIC->IPR[OTG_FS_IRQn] = kOtgFsPriority;
  NVIC->ISER[OTG_FS_IRQn / 32] = 1u << (OTG_FS_IRQn % 32);
}

void OTG_FS_init(void) { USBD_Init(&USB_OTG_dev, USB_OTG_FS_CORE_ID, &USR_desc, &USBD_CDC_cb, &USR_cb); }

// OTG_FS global interrupt (IRQ 67): the whole USB stack.
void hndl_OTG_FS(void) { USBD_OTG_ISR_Handler(&USB_OTG_dev); }

// OTG_FS wake-up (IRQ 42, EXTI line 18): clears the pending line. The line
// is never unmasked, so this only stands in the vector table.
void hndl_OTG_FS_WKUP(void) { EXTI->PR = EXTI_LINE_OTG_FS_WKUP; }

}  // extern "C"
