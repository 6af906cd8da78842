// Standard requests of the device core: device, interface and endpoint
// recipients, descriptors and string descriptors.
#include "usb/usbd_core.hpp"

extern "C" {

std::uint8_t USBD_StrDesc[255];
std::uint32_t USBD_cfg_status = 0;
std::uint32_t USBD_ep_status = 0;
std::uint32_t USBD_default_cfg = 0;
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
  if (len == 0) {
    USBD_CtlError(pdev, req);
    return;
  }
  USBD_CtlSendData(pdev, pbuf, len);  // cut to wLength there
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

// Every open endpoint other than 0 out of its halt, data toggle at DATA0.
void clear_endpoint_halts(USB_OTG_CORE_HANDLE* pdev) {
  for (std::uint8_t n = 1; n < pdev->cfg.dev_endpoints; ++n) {
    if (pdev->regs.INEP_REGS[n]->DIEPCTL & OTG_DEPCTL_USBAEP) DCD_EP_ClrStall(pdev, static_cast<std::uint8_t>(0x80 | n));
    if (pdev->regs.OUTEP_REGS[n]->DOEPCTL & OTG_DEPCTL_USBAEP) DCD_EP_ClrStall(pdev, n);
  }
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
      } else {
        // The same configuration again: its endpoints leave any halt and
        // start over at DATA0, the class keeps its state.
        clear_endpoint_halts(pdev);
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

// Remote wake-up is the one device feature: TEST_MODE is for high-speed
// capable devices (this one is full speed only, and a test mode would take
// it off the bus until power is cycled), other selectors do not exist.
void set_feature(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (!addressed_or_configured(pdev) || req->wValue != USB_FEATURE_REMOTE_WAKEUP) {
    USBD_CtlError(pdev, req);
    return;
  }
  pdev->dev.DevRemoteWakeup = 1;
  USBD_CtlSendStatus(pdev);
}

void clear_feature(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (!addressed_or_configured(pdev) || req->wValue != USB_FEATURE_REMOTE_WAKEUP) {
    USBD_CtlError(pdev, req);
    return;
  }
  pdev->dev.DevRemoteWakeup = 0;
  USBD_CtlSendStatus(pdev);
}

// An endpoint the device has: 0 always, the others while open (active in
// the core: configured, and not closed since).
bool endpoint_exists(USB_OTG_CORE_HANDLE* pdev, std::uint8_t ep_addr) {
  const std::uint8_t num = ep_addr & 0x7F;
  if (num == 0) return true;
  if (num >= pdev->cfg.dev_endpoints || pdev->dev.device_status != USB_OTG_CONFIGURED) return false;
  const std::uint32_t ctl =
      (ep_addr & 0x80) ? pdev->regs.INEP_REGS[num]->DIEPCTL : pdev->regs.OUTEP_REGS[num]->DOEPCTL;
  return (ctl & OTG_DEPCTL_USBAEP) != 0;
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

// Interface requests, in the configured state and for interfaces 0 and 1
// only. GET_STATUS is answered here (no interface status bits are
// defined); the rest goes to the class, which refuses what it does not handle.
USBD_Status USBD_StdItfReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  if (pdev->dev.device_status != USB_OTG_CONFIGURED || lo(req->wIndex) > 1 || hi(req->wIndex) != 0) {
    USBD_CtlError(pdev, req);
    return USBD_OK;
  }
  if ((req->bmRequest & USB_REQ_TYPE_MASK) == USB_REQ_TYPE_STANDARD && req->bRequest == USB_REQ_GET_STATUS) {
    USBD_ep_status = 0;
    USBD_CtlSendData(pdev, bytes(&USBD_ep_status), 2);
    return USBD_OK;
  }
  // Without a data stage the class only acts; the status stage follows
  // unless it refused the request.
  if (pdev->dev.class_cb->Setup(pdev, req) == USBD_OK && req->wLength == 0 &&
      pdev->dev.device_state == USB_OTG_EP0_SETUP)
    USBD_CtlSendStatus(pdev);
  return USBD_OK;
}

// Endpoint requests: GET_STATUS and the ENDPOINT_HALT feature. Endpoint 0
// answers in the addressed and configured states and is never halted (a
// stalled request is no halt); another endpoint answers while it is open.
USBD_Status USBD_StdEPReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req) {
  const std::uint8_t ep_addr = lo(req->wIndex);
  const bool ep0 = (ep_addr & 0x7F) == 0;
  const bool known = req->bRequest == USB_REQ_GET_STATUS || req->bRequest == USB_REQ_SET_FEATURE ||
                     req->bRequest == USB_REQ_CLEAR_FEATURE;
  if (!known || !addressed_or_configured(pdev) || hi(req->wIndex) != 0 || !endpoint_exists(pdev, ep_addr) ||
      (req->bRequest != USB_REQ_GET_STATUS && req->wValue != USB_FEATURE_EP_HALT)) {
    USBD_CtlError(pdev, req);
    return USBD_OK;
  }
  switch (req->bRequest) {
    case USB_REQ_SET_FEATURE:
      if (!ep0) DCD_EP_Stall(pdev, ep_addr);
      USBD_CtlSendStatus(pdev);
      break;
    case USB_REQ_CLEAR_FEATURE:
      if (!ep0) DCD_EP_ClrStall(pdev, ep_addr);
      USBD_CtlSendStatus(pdev);
      break;
    default: {  // GET_STATUS
      const USB_OTG_EP* ep = (ep_addr & 0x80) ? &pdev->dev.in_ep[ep_addr & 0x7F] : &pdev->dev.out_ep[ep_addr];
      USBD_ep_status = !ep0 && ep->is_stall ? 1 : 0;
      USBD_CtlSendData(pdev, bytes(&USBD_ep_status), 2);
      break;
    }
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
