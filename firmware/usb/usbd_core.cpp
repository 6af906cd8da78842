// Device core: initialisation, the events of the interrupt dispatch, the
// stages of control transfers on endpoint 0.
#include "usb/usbd_core.hpp"

// Board support (virtual COM port glue): pins and clocks, then the interrupt.
extern "C" void USB_OTG_BSP_Init(USB_OTG_CORE_HANDLE* pdev);
extern "C" void USB_OTG_BSP_EnableInterrupt(USB_OTG_CORE_HANDLE* pdev);

namespace {
bool configured(const USB_OTG_CORE_HANDLE* pdev) { return pdev->dev.device_status == USB_OTG_CONFIGURED; }

// A standard request in the direction its definition gives: the GET
// requests (and SYNCH_FRAME) device-to-host, the SET and CLEAR requests
// host-to-device without a data stage. Anything else would leave the host
// waiting on a data stage that never comes.
bool standard_request_well_formed(const USB_SETUP_REQ& req) {
  const bool in = (req.bmRequest & 0x80) != 0;
  switch (req.bRequest) {
    case USB_REQ_GET_STATUS:
    case USB_REQ_GET_DESCRIPTOR:
    case USB_REQ_GET_CONFIGURATION:
    case USB_REQ_GET_INTERFACE:
    case USB_REQ_SYNCH_FRAME:
      return in;
    case USB_REQ_CLEAR_FEATURE:
    case USB_REQ_SET_FEATURE:
    case USB_REQ_SET_ADDRESS:
    case USB_REQ_SET_CONFIGURATION:
    case USB_REQ_SET_INTERFACE:
      return !in && req.wLength == 0;
    default:
      return true;  // the handlers refuse what they do not know
  }
}
// A SETUP ends the control transfer before it, finished or not. What of
// that transfer's answer still waits for an IN token (the host gave up on
// it) leaves endpoint 0: the transfer is disabled, its packet flushed from
// the transmit FIFO and its completion, if one is pending, dropped.
// Otherwise it would go out as the first bytes of the next answer.
void abandon_control_in(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_INEP_Regs* in0 = pdev->regs.INEP_REGS[0];
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  d->DIEPEMPMSK = d->DIEPEMPMSK & ~1u;
  pdev->dev.in_ep[0].xfer_len = 0;
  pdev->dev.in_ep[0].xfer_count = 0;
  in0->DIEPINT = OTG_DIEPINT_XFRC;
  if ((in0->DIEPCTL & OTG_DEPCTL_EPENA) == 0) return;
  in0->DIEPCTL = in0->DIEPCTL | OTG_DEPCTL_EPDIS | OTG_DEPCTL_SNAK;
  USB_OTG_FlushTxFifo(pdev, 0);
}
}  // namespace

extern "C" {

USBD_DCD_INT_cb_TypeDef USBD_DCD_INT_cb = {
    USBD_DataOutStage, USBD_DataInStage,     USBD_SetupStage,      USBD_SOF,
    USBD_Reset,        USBD_Suspend,         USBD_Resume,          USBD_IsoINIncomplete,
    USBD_IsoOUTIncomplete, USBD_DevConnected, USBD_DevDisconnected,
};
USBD_DCD_INT_cb_TypeDef* USBD_DCD_INT_fops = &USBD_DCD_INT_cb;

void USBD_Init(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID, USBD_DEVICE* pDevice,
               USBD_Class_cb_TypeDef* class_cb, USBD_Usr_cb_TypeDef* usr_cb) {
  USB_OTG_BSP_Init(pdev);
  pdev->dev.class_cb = class_cb;
  pdev->dev.usr_cb = usr_cb;
  pdev->dev.usr_device = pDevice;
  DCD_Init(pdev, coreID);
  pdev->dev.usr_cb->Init();
  USB_OTG_BSP_EnableInterrupt(pdev);
}

std::uint8_t USBD_SetupStage(USB_OTG_CORE_HANDLE* pdev) {
  abandon_control_in(pdev);
  USB_SETUP_REQ req;
  USBD_ParseSetupRequest(pdev, &req);
  const std::uint8_t recipient = req.bmRequest & USB_REQ_RECIPIENT_MASK;
  const bool standard = (req.bmRequest & USB_REQ_TYPE_MASK) == USB_REQ_TYPE_STANDARD;
  if (standard && !standard_request_well_formed(req)) {
    USBD_CtlError(pdev, &req);
    return USBD_OK;
  }
  switch (recipient) {
    case USB_REQ_RECIPIENT_DEVICE:
      // Class and vendor requests to the device are not standard requests
      // of the same number: refused.
      if (standard)
        USBD_StdDevReq(pdev, &req);
      else
        USBD_CtlError(pdev, &req);
      break;
    case USB_REQ_RECIPIENT_INTERFACE:
      USBD_StdItfReq(pdev, &req);
      break;
    case USB_REQ_RECIPIENT_ENDPOINT:
      if (standard)
        USBD_StdEPReq(pdev, &req);
      else
        USBD_CtlError(pdev, &req);
      break;
    default:  // reserved recipients
      USBD_CtlError(pdev, &req);
      break;
  }
  return USBD_OK;
}

std::uint8_t USBD_DataOutStage(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum) {
  if (epnum == 0) {
    USB_OTG_EP* ep = &pdev->dev.out_ep[0];
    if (pdev->dev.device_state != USB_OTG_EP0_DATA_OUT) return USBD_OK;
    if (ep->rem_data_len > ep->maxpacket) {
      ep->rem_data_len -= ep->maxpacket;
      USBD_CtlContinueRx(pdev, ep->xfer_buff,
                         static_cast<std::uint16_t>(ep->rem_data_len < ep->maxpacket ? ep->rem_data_len
                                                                                     : ep->maxpacket));
    } else {
      if (pdev->dev.class_cb->EP0_RxReady != nullptr && configured(pdev)) pdev->dev.class_cb->EP0_RxReady(pdev);
      USBD_CtlSendStatus(pdev);
    }
  } else if (pdev->dev.class_cb->DataOut != nullptr && configured(pdev)) {
    pdev->dev.class_cb->DataOut(pdev, epnum);
  }
  return USBD_OK;
}

std::uint8_t USBD_DataInStage(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum) {
  if (epnum == 0) {
    USB_OTG_EP* ep = &pdev->dev.in_ep[0];
    if (pdev->dev.device_state == USB_OTG_EP0_DATA_IN) {
      if (ep->rem_data_len > ep->maxpacket) {
        ep->rem_data_len -= ep->maxpacket;
        USBD_CtlContinueSendData(pdev, ep->xfer_buff, static_cast<std::uint16_t>(ep->rem_data_len));
      } else if (ep->total_data_len % ep->maxpacket == 0 && ep->total_data_len != 0 &&
                 ep->total_data_len < ep->ctl_data_len) {
        // The host asked for more than there is: end with a zero-length packet.
        USBD_CtlContinueSendData(pdev, nullptr, 0);
        ep->ctl_data_len = 0;
      } else {
        if (pdev->dev.class_cb->EP0_TxSent != nullptr && configured(pdev)) pdev->dev.class_cb->EP0_TxSent(pdev);
        USBD_CtlReceiveStatus(pdev);
      }
    }
  } else if (pdev->dev.class_cb->DataIn != nullptr && configured(pdev)) {
    pdev->dev.class_cb->DataIn(pdev, epnum);
  }
  return USBD_OK;
}

std::uint8_t USBD_Reset(USB_OTG_CORE_HANDLE* pdev) {
  // A bus reset ends every halt (the core has deactivated endpoints 1-3).
  for (std::uint8_t n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    pdev->dev.in_ep[n].is_stall = 0;
    pdev->dev.out_ep[n].is_stall = 0;
  }
  DCD_EP_Open(pdev, 0x00, 64, EP_TYPE_CTRL);
  DCD_EP_Open(pdev, 0x80, 64, EP_TYPE_CTRL);
  pdev->dev.device_status = USB_OTG_DEFAULT;
  pdev->dev.usr_cb->DeviceReset(pdev->cfg.speed);
  return USBD_OK;
}

std::uint8_t USBD_Suspend(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.device_old_status = pdev->dev.device_status;
  pdev->dev.device_status = USB_OTG_SUSPENDED;
  pdev->dev.usr_cb->DeviceSuspended();
  return USBD_OK;
}

std::uint8_t USBD_Resume(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.usr_cb->DeviceResumed();
  pdev->dev.device_status = pdev->dev.device_old_status;
  return USBD_OK;
}

std::uint8_t USBD_SOF(USB_OTG_CORE_HANDLE* pdev) {
  if (pdev->dev.class_cb->SOF != nullptr) pdev->dev.class_cb->SOF(pdev);
  return USBD_OK;
}

std::uint8_t USBD_IsoINIncomplete(USB_OTG_CORE_HANDLE* pdev) {
  if (pdev->dev.class_cb->IsoINIncomplete != nullptr) pdev->dev.class_cb->IsoINIncomplete(pdev);
  return USBD_OK;
}

std::uint8_t USBD_IsoOUTIncomplete(USB_OTG_CORE_HANDLE* pdev) {
  if (pdev->dev.class_cb->IsoOUTIncomplete != nullptr) pdev->dev.class_cb->IsoOUTIncomplete(pdev);
  return USBD_OK;
}

std::uint8_t USBD_DevConnected(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.usr_cb->DeviceConnected();
  pdev->dev.connection_status = 1;
  return USBD_OK;
}

std::uint8_t USBD_DevDisconnected(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.usr_cb->DeviceDisconnected();
  pdev->dev.class_cb->DeInit(pdev, 0);
  pdev->dev.connection_status = 0;
  return USBD_OK;
}

USBD_Status USBD_SetCfg(USB_OTG_CORE_HANDLE* pdev, std::uint8_t cfgidx) {
  pdev->dev.class_cb->Init(pdev, cfgidx);
  pdev->dev.usr_cb->DeviceConfigured();
  return USBD_OK;
}

USBD_Status USBD_ClrCfg(USB_OTG_CORE_HANDLE* pdev, std::uint8_t cfgidx) {
  pdev->dev.class_cb->DeInit(pdev, cfgidx);
  return USBD_OK;
}

// --- control transfer stages --------------------------------------------------

// The data stage of an IN request: at most wLength bytes. With wLength 0
// there is no data stage, only the status stage (a zero-length IN).
USBD_Status USBD_CtlSendData(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len) {
  const std::uint32_t asked = pdev->dev.in_ep[0].ctl_data_len;
  if (len > asked) len = static_cast<std::uint16_t>(asked);
  if (len == 0) return USBD_CtlSendStatus(pdev);
  pdev->dev.in_ep[0].total_data_len = len;
  pdev->dev.in_ep[0].rem_data_len = len;
  pdev->dev.device_state = USB_OTG_EP0_DATA_IN;
  DCD_EP_Tx(pdev, 0, pbuf, len);
  return USBD_OK;
}

USBD_Status USBD_CtlContinueSendData(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len) {
  DCD_EP_Tx(pdev, 0, pbuf, len);
  return USBD_OK;
}

USBD_Status USBD_CtlPrepareRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len) {
  pdev->dev.out_ep[0].total_data_len = len;
  pdev->dev.out_ep[0].rem_data_len = len;
  pdev->dev.device_state = USB_OTG_EP0_DATA_OUT;
  DCD_EP_PrepareRx(pdev, 0, pbuf, len);
  return USBD_OK;
}

USBD_Status USBD_CtlContinueRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len) {
  DCD_EP_PrepareRx(pdev, 0, pbuf, len);
  return USBD_OK;
}

USBD_Status USBD_CtlSendStatus(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.device_state = USB_OTG_EP0_STATUS_IN;
  DCD_EP_Tx(pdev, 0, nullptr, 0);
  USB_OTG_EP0_OutStart(pdev);
  return USBD_OK;
}

USBD_Status USBD_CtlReceiveStatus(USB_OTG_CORE_HANDLE* pdev) {
  pdev->dev.device_state = USB_OTG_EP0_STATUS_OUT;
  DCD_EP_PrepareRx(pdev, 0, nullptr, 0);
  USB_OTG_EP0_OutStart(pdev);
  return USBD_OK;
}

// A request error: endpoint 0 answers STALL in both directions until the
// next SETUP. This is a protocol stall, not a halt: the records' halt state
// (GET_STATUS) stays clear.
void USBD_CtlError(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ*) {
  USB_OTG_EPSetStall(pdev, &pdev->dev.in_ep[0]);
  USB_OTG_EPSetStall(pdev, &pdev->dev.out_ep[0]);
  USB_OTG_EP0_OutStart(pdev);
}

}  // extern "C"
