// Standard requests of the device core: device, interface and endpoint
// recipients, descriptors and string descriptors.
#include "usb/usbd_core.hpp"

extern "C" {

std::uint8_t USBD_StrDesc[255];
std::uint32_t USBD_cfg_status = 0;
std::uint32_t USBD_ep_status = 0;
std::uint32_t USBD_default_cfg = 0;
USB_OTG_DCTL_TypeDef SET_TEST_MODE = {0};
std::uint8_t cfgidx = 0;

}  // extern "C"

namespace {

std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint8_t* bytes(std::uint32_t* word) { return reinterpret_cast<std::uint8_t*>(word); }

void get_descriptor(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  std::uint16_t len = 0;
  std::uint8_t* pbuf = nullptr;
  const std::uint8_t speed = pdev->cfg.speed;
  USBD_DEVICE* desc = pdev->dev.usr_device;
  switch (hi(req->wValue)) {
    case USB_DESC_TYPE_DEVICE:
      pbuf = desc->GetDeviceDescriptor(speed, &len);
      if (req->wLength == 64 || pdev->dev.device_status == USB_OTG_DEFAULT) len = 8;
      break;
    case USB_DESC_TYPE_CONFIGURATION:
      pbuf = pdev->dev.class_cb->GetConfigDescriptor(speed, &len);
      pbuf[1] = USB_DESC_TYPE_CONFIGURATION;
      pdev->dev.pConfig_descriptor = pbuf;
      break;
    case USB_DESC_TYPE_STRING:
      switch (lo(req->wValue)) {
        case 0: pbuf = desc->GetLangIDStrDescriptor(speed, &len); break;
        case 1: pbuf = desc->GetManufacturerStrDescriptor(speed, &len); break;
        case 2: pbuf = desc->GetProductStrDescriptor(speed, &len); break;
        case 3: pbuf = desc->GetSerialStrDescriptor(speed, &len); break;
        case 4: pbuf = desc->GetConfigurationStrDescriptor(speed, &len); break;
        case 5: pbuf = desc->GetInterfaceStrDescriptor(speed, &len); break;
        default: USBD_CtlError(pdev, req); return;
      }
      break;
    default:
      USBD_CtlError(pdev, req);
      return;
  }
  if (len != 0 && req->wLength != 0) USBD_CtlSendData(pdev, pbuf, len < req->wLength ? len : req->wLength);
}

void set_address(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (req->wIndex != 0 || req->wLength != 0 || pdev->dev.device_status == USB_OTG_CONFIGURED) {
    USBD_CtlError(pdev, req);
    return;
  }
  const std::uint8_t address = static_cast<std::uint8_t>(req->wValue & 0x7F);
  pdev->dev.device_address = address;
  DCD_EP_SetAddress(pdev, address);
  USBD_CtlSendStatus(pdev);
  pdev->dev.device_status = address != 0 ? USB_OTG_ADDRESSED : USB_OTG_DEFAULT;
}

void set_config(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  cfgidx = lo(req->wValue);
  if (cfgidx > 1) {
    USBD_CtlError(pdev, req);
    return;
  }
  switch (pdev->dev.device_status) {
    case USB_OTG_ADDRESSED:
      if (cfgidx != 0) {
        pdev->dev.device_config = cfgidx;
        pdev->dev.device_status = USB_OTG_CONFIGURED;
        USBD_SetCfg(pdev, cfgidx);
      }
      USBD_CtlSendStatus(pdev);
      break;
    case USB_OTG_CONFIGURED:
      if (cfgidx == 0) {
        pdev->dev.device_status = USB_OTG_ADDRESSED;
        pdev->dev.device_config = cfgidx;
        USBD_ClrCfg(pdev, cfgidx);
      } else if (cfgidx != pdev->dev.device_config) {
        USBD_ClrCfg(pdev, pdev->dev.device_config);
        pdev->dev.device_config = cfgidx;
        USBD_SetCfg(pdev, cfgidx);
      }
      USBD_CtlSendStatus(pdev);
      break;
    default:
      USBD_CtlError(pdev, req);
      break;
  }
}

void get_config(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (req->wLength != 1) {
    USBD_CtlError(pdev, req);
    return;
  }
  switch (pdev->dev.device_status) {
    case USB_OTG_ADDRESSED: USBD_CtlSendData(pdev, bytes(&USBD_default_cfg), 1); break;
    case USB_OTG_CONFIGURED: USBD_CtlSendData(pdev, &pdev->dev.device_config, 1); break;
    default: USBD_CtlError(pdev, req); break;
  }
}

bool addressed_or_configured(const USB_OTG_CORE_HANDLE* pdev) {
  return pdev->dev.device_status == USB_OTG_ADDRESSED || pdev->dev.device_status == USB_OTG_CONFIGURED;
}

void get_status(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (!addressed_or_configured(pdev)) {
    USBD_CtlError(pdev, req);
    return;
  }
  USBD_cfg_status = pdev->dev.DevRemoteWakeup ? 3 : 1;  // self-powered, remote wake-up
  USBD_CtlSendData(pdev, bytes(&USBD_cfg_status), 2);
}

void set_feature(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (req->wValue == USB_FEATURE_REMOTE_WAKEUP) {
    pdev->dev.DevRemoteWakeup = 1;
    pdev->dev.class_cb->Setup(pdev, req);
    USBD_CtlSendStatus(pdev);
  } else if (req->wValue == USB_FEATURE_TEST_MODE && lo(req->wIndex) == 0) {
    std::uint32_t dctl = pdev->regs.DREGS->DCTL;
    const std::uint8_t selector = hi(req->wIndex);
    if (selector >= 1 && selector <= 5) dctl = (dctl & ~OTG_DCTL_TCTL) | (std::uint32_t{selector} << 4);
    SET_TEST_MODE.d32 = dctl;
    pdev->dev.test_mode = 1;
    USBD_CtlSendStatus(pdev);
  }
}

void clear_feature(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (!addressed_or_configured(pdev)) {
    USBD_CtlError(pdev, req);
    return;
  }
  if (req->wValue == USB_FEATURE_REMOTE_WAKEUP) {
    pdev->dev.DevRemoteWakeup = 0;
    pdev->dev.class_cb->Setup(pdev, req);
    USBD_CtlSendStatus(pdev);
  }
}

}  // namespace

extern "C" {

void USBD_ParseSetupRequest(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  const std::uint8_t* p = pdev->dev.setup_packet;
  req->bmRequest = p[0];
  req->bRequest = p[1];
  req->wValue = static_cast<std::uint16_t>(p[2] | p[3] << 8);
  req->wIndex = static_cast<std::uint16_t>(p[4] | p[5] << 8);
  req->wLength = static_cast<std::uint16_t>(p[6] | p[7] << 8);
  pdev->dev.in_ep[0].ctl_data_len = req->wLength;
  pdev->dev.device_state = USB_OTG_EP0_SETUP;
}

USBD_Status USBD_StdDevReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  switch (req->bRequest) {
    case USB_REQ_GET_STATUS: get_status(pdev, req); break;
    case USB_REQ_CLEAR_FEATURE: clear_feature(pdev, req); break;
    case USB_REQ_SET_FEATURE: set_feature(pdev, req); break;
    case USB_REQ_SET_ADDRESS: set_address(pdev, req); break;
    case USB_REQ_GET_DESCRIPTOR: get_descriptor(pdev, req); break;
    case USB_REQ_GET_CONFIGURATION: get_config(pdev, req); break;
    case USB_REQ_SET_CONFIGURATION: set_config(pdev, req); break;
    default: USBD_CtlError(pdev, req); break;
  }
  return USBD_OK;
}

USBD_Status USBD_StdItfReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (pdev->dev.device_status != USB_OTG_CONFIGURED || lo(req->wIndex) > 1) {
    USBD_CtlError(pdev, req);
    return USBD_OK;
  }
  pdev->dev.class_cb->Setup(pdev, req);
  if (req->wLength == 0) USBD_CtlSendStatus(pdev);
  return USBD_OK;
}

USBD_Status USBD_StdEPReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  const std::uint8_t ep_addr = lo(req->wIndex);
  // Only the core's endpoints have records and registers.
  if ((ep_addr & 0x7F) >= USBD_ENDPOINTS) {
    USBD_CtlError(pdev, req);
    return USBD_OK;
  }
  const bool ep0 = (ep_addr & 0x7F) == 0;
  const std::uint8_t state = pdev->dev.device_status;
  switch (req->bRequest) {
    case USB_REQ_SET_FEATURE:
      if (state == USB_OTG_ADDRESSED) {
        if (!ep0) DCD_EP_Stall(pdev, ep_addr);
      } else if (state == USB_OTG_CONFIGURED) {
        if (req->wValue == USB_FEATURE_EP_HALT && !ep0) DCD_EP_Stall(pdev, ep_addr);
        pdev->dev.class_cb->Setup(pdev, req);
        USBD_CtlSendStatus(pdev);
      } else {
        USBD_CtlError(pdev, req);
      }
      break;
    case USB_REQ_CLEAR_FEATURE:
      if (state == USB_OTG_ADDRESSED) {
        if (!ep0) DCD_EP_Stall(pdev, ep_addr);
      } else if (state == USB_OTG_CONFIGURED) {
        if (req->wValue == USB_FEATURE_EP_HALT) {
          if (!ep0) {
            DCD_EP_ClrStall(pdev, ep_addr);
            pdev->dev.class_cb->Setup(pdev, req);
          }
          USBD_CtlSendStatus(pdev);
        }
      } else {
        USBD_CtlError(pdev, req);
      }
      break;
    case USB_REQ_GET_STATUS:
      if (state == USB_OTG_ADDRESSED) {
        if (!ep0) DCD_EP_Stall(pdev, ep_addr);
      } else if (state == USB_OTG_CONFIGURED) {
        const USB_OTG_EP* ep = (ep_addr & 0x80) ? &pdev->dev.in_ep[ep_addr & 0x7F] : &pdev->dev.out_ep[ep_addr];
        USBD_ep_status = ep->is_stall ? 1 : 0;
        USBD_CtlSendData(pdev, bytes(&USBD_ep_status), 2);
      } else {
        USBD_CtlError(pdev, req);
      }
      break;
    default:
      break;
  }
  return USBD_OK;
}

void USBD_GetString(const std::uint8_t* desc, std::uint8_t* unicode, std::uint16_t* len) {
  if (desc == nullptr) return;
  std::uint8_t count = 0;
  while (desc[count] != 0) ++count;
  *len = static_cast<std::uint16_t>((count + 1) * 2);
  unicode[0] = static_cast<std::uint8_t>(*len);
  unicode[1] = USB_DESC_TYPE_STRING;
  std::uint32_t i = 2;
  for (const std::uint8_t* c = desc; *c != 0; ++c) {
    unicode[i++] = *c;
    unicode[i++] = 0;
  }
}

}  // extern "C"
