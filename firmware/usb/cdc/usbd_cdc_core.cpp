// CDC abstract control model class: endpoints opened at configuration, class
// requests, the bulk IN transmission paced by start-of-frame, the bulk OUT
// reception into the receive ring, and the application's byte calls.
#include "usb/cdc/usb_vcp.hpp"
#include "usb/cdc/usbd_cdc.hpp"
#include "mcu/nvic.hpp"

extern "C" {

USBD_Class_cb_TypeDef USBD_CDC_cb = {
    usbd_cdc_Init,    usbd_cdc_DeInit, usbd_cdc_Setup, nullptr, usbd_cdc_EP0_RxReady, usbd_cdc_DataIn,
    usbd_cdc_DataOut, usbd_cdc_SOF,    nullptr,        nullptr, USBD_cdc_GetCfgDesc,
};

// Transmit ring, named from the stack's side: what it receives from the
// application. APP_Rx_ptr_in is written only by USB_putc; the others only in
// the interrupt. APP_Rx_ptr_out may hold 256, which stands for 0.
std::uint8_t APP_Rx_Buffer[APP_RX_DATA_SIZE];
volatile std::uint32_t APP_Rx_ptr_in = 0;
volatile std::uint32_t APP_Rx_ptr_out = 0;
std::uint32_t APP_Rx_length = 0;
std::uint8_t USB_Tx_State = 0;  // 1 while a piece is in flight on the bulk IN endpoint
// Ring index of the oldest byte the host has not yet taken: the start of
// the piece in flight, or APP_Rx_ptr_out between bursts (256 stands for 0).
// Room for the application is measured from here, since a piece the cable
// cuts off is sent again from its start. Written only in the interrupt.
volatile std::uint32_t APP_Rx_ptr_sent = 0;

// Receive side: the bulk OUT packet buffer and the ring the application reads.
std::uint8_t USB_Rx_Buffer[CDC_DATA_MAX_PACKET_SIZE];
RINGBUFF_CTRL_t ringbuff = {0, 0, 0, {}};
// 1 while the bulk OUT endpoint is left NAKing because the ring has no room
// for a whole packet; USB_getc re-arms it once there is.
volatile std::uint32_t USB_Rx_held = 0;

// Class requests.
std::uint8_t CmdBuff[8];
std::uint32_t cdcCmd = NO_CMD;
std::uint32_t cdcLen = 0;
std::uint32_t usbd_cdc_AltSet = 0;

}  // extern "C"

namespace {

std::uint32_t FrameCount = 0;

USB_OTG_CORE_HANDLE* handle(void* pdev) { return static_cast<USB_OTG_CORE_HANDLE*>(pdev); }

// Bytes waiting in the receive ring.
std::uint32_t ring_count() {
  const std::uint32_t w = ringbuff.rb_w, r = ringbuff.rb_r;
  if (w == r) return 0;
  if (w == RINGBUFF_FULL) return ringbuff.rb_siz;
  return (w < r ? w + ringbuff.rb_siz : w) - r;
}

bool ring_has_packet_room() { return ringbuff.rb_siz - ring_count() >= CDC_DATA_MAX_PACKET_SIZE; }

void arm_rx(void* pdev) { DCD_EP_PrepareRx(handle(pdev), CDC_OUT_EP, USB_Rx_Buffer, CDC_DATA_MAX_PACKET_SIZE); }

// Hands the next piece of the current burst (at most one packet) to the bulk
// IN endpoint.
void send_piece(void* pdev) {
  std::uint32_t len = APP_Rx_length > CDC_DATA_MAX_PACKET_SIZE ? CDC_DATA_MAX_PACKET_SIZE : APP_Rx_length;
  const std::uint32_t from = APP_Rx_ptr_out;
  APP_Rx_ptr_sent = from;
  APP_Rx_ptr_out = from + len;
  APP_Rx_length -= len;
  USB_Tx_State = 1;
  DCD_EP_Tx(handle(pdev), CDC_IN_EP, &APP_Rx_Buffer[from], len);
}

// Makes the oldest byte the host has not taken the next one to send: the
// piece in flight is given up (its stale copy leaves the transmit FIFO) and
// goes again, from its start, with the next burst.
void resend_from_oldest_unsent(void* pdev) {
  USB_OTG_CORE_HANDLE* dev = handle(pdev);
  const std::uint8_t num = CDC_IN_EP & 0x7F;
  dev->regs.DREGS->DIEPEMPMSK = dev->regs.DREGS->DIEPEMPMSK & ~(1u << num);
  dev->dev.in_ep[num].xfer_len = 0;
  dev->dev.in_ep[num].xfer_count = 0;
  USB_OTG_FlushTxFifo(dev, num);
  APP_Rx_ptr_out = APP_Rx_ptr_sent;
  USB_Tx_State = 0;
  APP_Rx_length = 0;
}

// A piece in flight whose transfer the host ended without taking it: a
// halt (SET_FEATURE(ENDPOINT_HALT)) disables the transfer, and no
// completion follows; once the halt is over the endpoint is neither
// enabled nor stalled, and no completion waits to be handled.
bool piece_cut_off(void* pdev) {
  const OTG_FS_INEP_Regs* in = handle(pdev)->regs.INEP_REGS[CDC_IN_EP & 0x7F];
  return (in->DIEPCTL & (OTG_DEPCTL_EPENA | OTG_DEPCTL_STALL)) == 0 && (in->DIEPINT & OTG_DIEPINT_XFRC) == 0;
}

// The OTG_FS interrupt line in the NVIC (masked around the main loop's
// receive-ring updates).
void mask_usb_irq() {
  NVIC->ICER[OTG_FS_IRQn / 32] = 1u << (OTG_FS_IRQn % 32);
  __asm__ volatile("dsb\n\tisb" ::: "memory");
}
void unmask_usb_irq() { NVIC->ISER[OTG_FS_IRQn / 32] = 1u << (OTG_FS_IRQn % 32); }

}  // namespace

extern "C" {

std::uint8_t usbd_cdc_Init(void* pdev, std::uint8_t) {
  DCD_EP_Open(handle(pdev), CDC_IN_EP, CDC_DATA_MAX_PACKET_SIZE, EP_TYPE_BULK);
  DCD_EP_Open(handle(pdev), CDC_OUT_EP, CDC_DATA_MAX_PACKET_SIZE, EP_TYPE_BULK);
  DCD_EP_Open(handle(pdev), CDC_CMD_EP, CDC_CMD_PACKET_SIZE, EP_TYPE_INTR);
  USBD_DeviceDesc[4] = 0x02;  // communications device class
  USBD_DeviceDesc[5] = 0x00;
  // Nothing can be in flight on freshly opened endpoints: a piece that was
  // (the cable went while it waited) is sent again from the ring, and its
  // stale copy leaves the transmit FIFO.
  resend_from_oldest_unsent(pdev);
  VCP_fops.pIf_Init();
  USB_Rx_held = 0;
  arm_rx(pdev);
  return USBD_OK;
}

std::uint8_t usbd_cdc_DeInit(void* pdev, std::uint8_t) {
  DCD_EP_Close(handle(pdev), CDC_IN_EP);
  DCD_EP_Close(handle(pdev), CDC_OUT_EP);
  DCD_EP_Close(handle(pdev), CDC_CMD_EP);
  USB_Rx_held = 0;
  VCP_fops.pIf_DeInit();
  return USBD_OK;
}

std::uint8_t usbd_cdc_Setup(void* pdev, USB_SETUP_REQ* req) {
  switch (req->bmRequest & USB_REQ_TYPE_MASK) {
    case USB_REQ_TYPE_CLASS:
      if (req->wLength == 0) {
        VCP_fops.pIf_Ctrl(req->bRequest, nullptr, 0);
        return USBD_OK;
      }
      if (req->wLength > sizeof CmdBuff) {  // no data stage beyond the command buffer
        USBD_CtlError(handle(pdev), req);
        return USBD_FAIL;
      }
      if (req->bmRequest & 0x80) {
        VCP_fops.pIf_Ctrl(req->bRequest, CmdBuff, req->wLength);
        USBD_CtlSendData(handle(pdev), CmdBuff, req->wLength);
      } else {
        cdcCmd = req->bRequest;
        cdcLen = req->wLength;
        USBD_CtlPrepareRx(handle(pdev), CmdBuff, req->wLength);
      }
      return USBD_OK;
    case USB_REQ_TYPE_STANDARD:
      switch (req->bRequest) {
        case USB_REQ_GET_DESCRIPTOR: {
          // 0x21 (CDC functional): from the first functional descriptor;
          // otherwise from the first interface descriptor.
          const std::uint16_t offset = (req->wValue >> 8) == 0x21 ? 18 : 9;
          const std::uint16_t len = USB_CDC_CONFIG_DESC_SIZ - offset;
          USBD_CtlSendData(handle(pdev), usbd_cdc_CfgDesc + offset, len < req->wLength ? len : req->wLength);
          break;
        }
        case USB_REQ_GET_INTERFACE:
          USBD_CtlSendData(handle(pdev), reinterpret_cast<std::uint8_t*>(&usbd_cdc_AltSet), 1);
          break;
        case USB_REQ_SET_INTERFACE:
          if ((req->wValue & 0xFF) != 0) {
            USBD_CtlError(handle(pdev), req);
            return USBD_FAIL;
          }
          usbd_cdc_AltSet = 0;
          // Choosing the setting puts the interface's endpoints back to
          // their defaults, as SET_CONFIGURATION does: no halt, data toggle
          // DATA0 (a host resets its own toggles for them).
          if ((req->wIndex & 0xFF) == 0) {
            DCD_EP_ClrStall(handle(pdev), CDC_CMD_EP);
          } else {
            DCD_EP_ClrStall(handle(pdev), CDC_IN_EP);
            DCD_EP_ClrStall(handle(pdev), CDC_OUT_EP);
          }
          break;
        default:  // no other standard request concerns these interfaces
          USBD_CtlError(handle(pdev), req);
          return USBD_FAIL;
      }
      return USBD_OK;
    default:  // vendor and reserved types
      USBD_CtlError(handle(pdev), req);
      return USBD_FAIL;
  }
}

std::uint8_t usbd_cdc_EP0_RxReady(void*) {
  if (cdcCmd != NO_CMD) {
    VCP_fops.pIf_Ctrl(cdcCmd, CmdBuff, cdcLen);
    cdcCmd = NO_CMD;
  }
  return USBD_OK;
}

// A burst that ended with a full packet is closed by a zero-length packet:
// the host's read (a multiple of the packet size) completes only when full
// or on a short packet, and would otherwise wait for the next burst.
std::uint8_t usbd_cdc_DataIn(void* pdev, std::uint8_t) {
  if (USB_Tx_State != 1) return USBD_OK;
  const std::uint32_t piece_len = APP_Rx_ptr_out - APP_Rx_ptr_sent;  // 0 for a zero-length packet
  APP_Rx_ptr_sent = APP_Rx_ptr_out;  // the piece is the host's now
  if (APP_Rx_length != 0) {
    send_piece(pdev);
  } else if (piece_len == CDC_DATA_MAX_PACKET_SIZE) {
    send_piece(pdev);  // zero-length
  } else {
    USB_Tx_State = 0;
  }
  return USBD_OK;
}

std::uint8_t usbd_cdc_DataOut(void* pdev, std::uint8_t epnum) {
  const std::uint16_t count = static_cast<std::uint16_t>(handle(pdev)->dev.out_ep[epnum].xfer_count);
  VCP_fops.pIf_DataRx(USB_Rx_Buffer, count);
  // Flow control: a packet is only accepted while it fits as a whole.
  if (ring_has_packet_room())
    arm_rx(pdev);
  else
    USB_Rx_held = 1;
  return USBD_OK;
}

std::uint8_t usbd_cdc_SOF(void* pdev) {
  if (FrameCount++ != CDC_IN_FRAME_INTERVAL) return USBD_OK;
  FrameCount = 0;
  if (handle(pdev)->dev.device_status != USB_OTG_CONFIGURED) return USBD_OK;
  if (USB_Tx_State == 1) {
    if (!piece_cut_off(pdev)) return USBD_OK;
    resend_from_oldest_unsent(pdev);
  }
  if (APP_Rx_ptr_out == APP_RX_DATA_SIZE) APP_Rx_ptr_out = 0;
  const std::uint32_t in = APP_Rx_ptr_in, out = APP_Rx_ptr_out;
  if (out == in) {
    USB_Tx_State = 0;
    return USBD_OK;
  }
  // A burst never crosses the end of the ring.
  APP_Rx_length = out > in ? APP_RX_DATA_SIZE - out : in - out;
  send_piece(pdev);
  return USBD_OK;
}

std::uint8_t* USBD_cdc_GetCfgDesc(std::uint8_t, std::uint16_t* length) {
  *length = USB_CDC_CONFIG_DESC_SIZ;
  return usbd_cdc_CfgDesc;
}

// Free bytes of the transmit ring, counted from the oldest byte the host
// has not taken. Full at 255: one more would make the ring look empty.
std::uint32_t USB_tx_room(void) {
  const std::uint32_t in = APP_Rx_ptr_in;
  const std::uint32_t tail = APP_Rx_ptr_sent % APP_RX_DATA_SIZE;  // 256 stands for 0
  return APP_RX_DATA_SIZE - 1 - (in + APP_RX_DATA_SIZE - tail) % APP_RX_DATA_SIZE;
}

std::int16_t USB_putc(std::uint8_t c) {
  std::int16_t result = -1;
  __asm__ volatile("cpsid i" ::: "memory");
  if (USB_tx_room() != 0) {
    const std::uint32_t in = APP_Rx_ptr_in;
    APP_Rx_Buffer[in] = c;
    APP_Rx_ptr_in = (in + 1) % APP_RX_DATA_SIZE;
    result = 0;
  }
  __asm__ volatile("cpsie i" ::: "memory");
  return result;
}

std::int16_t USB_getc(void) {
  mask_usb_irq();
  std::int16_t c = -1;
  if (ringbuff.rb_r != ringbuff.rb_w) {
    c = static_cast<std::uint8_t>(ringbuff.rb[ringbuff.rb_r]);
    if (ringbuff.rb_w == RINGBUFF_FULL) ringbuff.rb_w = ringbuff.rb_r;  // the freed slot is written next
    if (++ringbuff.rb_r == ringbuff.rb_siz) ringbuff.rb_r = 0;
    if (USB_Rx_held != 0 && ring_has_packet_room()) {
      USB_Rx_held = 0;
      arm_rx(&USB_OTG_dev);
    }
  }
  unmask_usb_irq();
  return c;
}

std::uint32_t USB_nbuf(void) {
  mask_usb_irq();
  const std::uint32_t n = ring_count();
  unmask_usb_irq();
  return n;
}

// --- serial-port glue -------------------------------------------------------------

CDC_IF_Prop_TypeDef VCP_fops = {VCP_Init, VCP_DeInit, VCP_Ctrl, VCP_DataTx, VCP_DataRx};
LINE_CODING linecoding = {115200, 0, 0, 8};

std::uint16_t VCP_Init(void) {
  ringbuff.rb_siz = sizeof ringbuff.rb;
  ringbuff.rb_w = 0;
  ringbuff.rb_r = 0;
  return USBD_OK;
}

std::uint16_t VCP_DeInit(void) { return USBD_OK; }

std::uint16_t VCP_Ctrl(std::uint32_t Cmd, std::uint8_t* Buf, std::uint32_t) {
  if (Buf == nullptr) return USBD_OK;
  switch (Cmd) {
    case SET_LINE_CODING:
      linecoding.bitrate = std::uint32_t{Buf[0]} | std::uint32_t{Buf[1]} << 8 | std::uint32_t{Buf[2]} << 16 |
                           std::uint32_t{Buf[3]} << 24;
      linecoding.format = Buf[4];
      linecoding.paritytype = Buf[5];
      linecoding.datatype = Buf[6];
      break;
    case GET_LINE_CODING:
      for (unsigned i = 0; i < 4; ++i) Buf[i] = static_cast<std::uint8_t>(linecoding.bitrate >> (8 * i));
      Buf[4] = linecoding.format;
      Buf[5] = linecoding.paritytype;
      Buf[6] = linecoding.datatype;
      break;
    default:  // the other PSTN requests are accepted without effect
      break;
  }
  return USBD_OK;
}

std::uint16_t VCP_DataTx(std::uint8_t*, std::uint32_t) { return USBD_OK; }

std::uint16_t VCP_DataRx(std::uint8_t* Buf, std::uint32_t Len) {
  for (std::uint32_t i = 0; i < Len; ++i) USB_Rx_putc(static_cast<char>(Buf[i]));
  return USBD_OK;
}

std::int16_t USB_Rx_putc(char c) {
  if (ringbuff.rb_w == RINGBUFF_FULL) return -1;
  ringbuff.rb[ringbuff.rb_w] = c;
  if (++ringbuff.rb_w == ringbuff.rb_siz) ringbuff.rb_w = 0;
  if (ringbuff.rb_w == ringbuff.rb_r) ringbuff.rb_w = RINGBUFF_FULL;
  return 0;
}

}  // extern "C"
