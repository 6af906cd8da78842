// Device controller driver: endpoint operations by endpoint address (bit 7 =
// IN) over the core driver, and the OTG_FS interrupt dispatch that reports
// bus and transfer events through the device core's event table.
#pragma once
#include <cstdint>

#include "usb/usb_core.hpp"

extern "C" {

// The events the interrupt dispatch reports (filled by the device core).
struct USBD_DCD_INT_cb_TypeDef {
  std::uint8_t (*DataOutStage)(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
  std::uint8_t (*DataInStage)(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
  std::uint8_t (*SetupStage)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*SOF)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*Reset)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*Suspend)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*Resume)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*IsoINIncomplete)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*IsoOUTIncomplete)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*DevConnected)(USB_OTG_CORE_HANDLE* pdev);
  std::uint8_t (*DevDisconnected)(USB_OTG_CORE_HANDLE* pdev);
};
extern USBD_DCD_INT_cb_TypeDef* USBD_DCD_INT_fops;

void DCD_Init(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID);
std::uint32_t DCD_EP_Open(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint16_t ep_mps,
                          std::uint8_t ep_type);
std::uint32_t DCD_EP_Close(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr);
std::uint32_t DCD_EP_PrepareRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint8_t* pbuf,
                               std::uint16_t buf_len);
std::uint32_t DCD_EP_Tx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint8_t* pbuf, std::uint32_t buf_len);
std::uint32_t DCD_EP_Stall(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
std::uint32_t DCD_EP_ClrStall(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
void DCD_EP_SetAddress(USB_OTG_CORE_HANDLE* pdev, std::uint8_t address);
// Runs in the OTG_FS interrupt: 0 when not in device mode or nothing enabled
// is pending, else 1.
std::uint32_t USBD_OTG_ISR_Handler(USB_OTG_CORE_HANDLE* pdev);

}  // extern "C"
