// Device controller driver: endpoint records and their start, stall and
// address operations.
#include <initializer_list>

#include "usb/usb_dcd.hpp"

namespace {
USB_OTG_EP* record(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr) {
  const std::uint8_t num = ep_addr & 0x7F;
  return (ep_addr & 0x80) ? &pdev->dev.in_ep[num] : &pdev->dev.out_ep[num];
}
}  // namespace

extern "C" {

void DCD_Init(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID) {
  USB_OTG_SelectCore(pdev, coreID);
  pdev->dev.device_status = USB_OTG_DEFAULT;
  pdev->dev.device_address = 0;
  for (std::uint8_t n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    for (USB_OTG_EP* ep : {&pdev->dev.in_ep[n], &pdev->dev.out_ep[n]}) {
      ep->is_in = ep == &pdev->dev.in_ep[n];
      ep->num = n;
      ep->tx_fifo_num = n;
      ep->type = EP_TYPE_CTRL;
      ep->maxpacket = 64;
      ep->xfer_buff = nullptr;
      ep->xfer_len = 0;
    }
  }
  USB_OTG_DisableGlobalInt(pdev);
  USB_OTG_CoreInit(pdev);
  USB_OTG_SetCurrentMode(pdev, DEVICE_MODE);
  USB_OTG_CoreInitDev(pdev);
  USB_OTG_EnableGlobalInt(pdev);
}

std::uint32_t DCD_EP_Open(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint16_t ep_mps,
                          std::uint8_t ep_type) {
  USB_OTG_EP* ep = record(pdev, ep_addr);
  ep->num = ep_addr & 0x7F;
  ep->is_in = (ep_addr & 0x80) != 0;
  ep->maxpacket = ep_mps;
  ep->type = ep_type;
  if (ep->is_in) ep->tx_fifo_num = ep->num;  // endpoint n uses transmit FIFO n
  if (ep_type == EP_TYPE_BULK) ep->data_pid_start = 0;
  ep->is_stall = 0;
  ep->xfer_len = 0;
  ep->xfer_count = 0;
  USB_OTG_EPActivate(pdev, ep);
  // An endpoint opens without a halt, its data toggle at DATA0, whatever
  // it had before.
  if (ep->num != 0) USB_OTG_EPClearStall(pdev, ep);
  return 0;
}

std::uint32_t DCD_EP_Close(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr) {
  USB_OTG_EP* ep = record(pdev, ep_addr);
  ep->num = ep_addr & 0x7F;
  ep->is_in = (ep_addr & 0x80) != 0;
  USB_OTG_EPDeactivate(pdev, ep);
  ep->xfer_len = 0;  // nothing left to move for a transfer the close ended
  ep->xfer_count = 0;
  return 0;
}

std::uint32_t DCD_EP_PrepareRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint8_t* pbuf,
                               std::uint16_t buf_len) {
  USB_OTG_EP* ep = &pdev->dev.out_ep[ep_addr & 0x7F];
  ep->xfer_buff = pbuf;
  ep->xfer_len = buf_len;
  ep->xfer_count = 0;
  ep->is_in = 0;
  ep->num = ep_addr & 0x7F;
  if (ep->num == 0)
    USB_OTG_EP0StartXfer(pdev, ep);
  else
    USB_OTG_EPStartXfer(pdev, ep);
  return 0;
}

std::uint32_t DCD_EP_Tx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr, std::uint8_t* pbuf, std::uint32_t buf_len) {
  USB_OTG_EP* ep = &pdev->dev.in_ep[ep_addr & 0x7F];
  ep->is_in = 1;
  ep->num = ep_addr & 0x7F;
  ep->xfer_buff = pbuf;
  ep->xfer_count = 0;
  ep->xfer_len = buf_len;
  if (ep->num == 0)
    USB_OTG_EP0StartXfer(pdev, ep);
  else
    USB_OTG_EPStartXfer(pdev, ep);
  return 0;
}

std::uint32_t DCD_EP_Stall(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum) {
  USB_OTG_EP* ep = record(pdev, epnum);
  ep->is_stall = 1;
  ep->num = epnum & 0x7F;
  ep->is_in = (epnum & 0x80) != 0;
  USB_OTG_EPSetStall(pdev, ep);
  return 0;
}

std::uint32_t DCD_EP_ClrStall(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum) {
  USB_OTG_EP* ep = record(pdev, epnum);
  ep->is_stall = 0;
  ep->num = epnum & 0x7F;
  ep->is_in = (epnum & 0x80) != 0;
  USB_OTG_EPClearStall(pdev, ep);
  return 0;
}

void DCD_EP_SetAddress(USB_OTG_CORE_HANDLE* pdev, std::uint8_t address) {
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  d->DCFG = (d->DCFG & ~OTG_DCFG_DAD) | ((std::uint32_t{address} << OTG_DCFG_DAD_Pos) & OTG_DCFG_DAD);
}

}  // extern "C"
