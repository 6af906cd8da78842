// CDC abstract control model class: the class callbacks of the device core,
// the rings between the class and the application, and the serial-port glue.
#pragma once
#include <cstdint>

#include "usb/usbd_core.hpp"

extern "C" {

// The receive ring the application reads: full when rb_w holds the marker
// (then all rb_siz bytes hold data), empty when rb_r equals rb_w.
struct RINGBUFF_CTRL_t {
  std::uint32_t rb_r;
  std::uint32_t rb_w;
  std::uint32_t rb_siz;
  char rb[256];
};
inline constexpr std::uint32_t RINGBUFF_FULL = 0xFFFFFFFFu;

struct LINE_CODING {
  std::uint32_t bitrate;
  std::uint8_t format;      // stop bits: 0 = 1, 1 = 1.5, 2 = 2
  std::uint8_t paritytype;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t datatype;    // data bits
};

struct CDC_IF_Prop_TypeDef {
  std::uint16_t (*pIf_Init)(void);
  std::uint16_t (*pIf_DeInit)(void);
  std::uint16_t (*pIf_Ctrl)(std::uint32_t Cmd, std::uint8_t* Buf, std::uint32_t Len);
  std::uint16_t (*pIf_DataTx)(std::uint8_t* Buf, std::uint32_t Len);
  std::uint16_t (*pIf_DataRx)(std::uint8_t* Buf, std::uint32_t Len);
};

// Endpoints of the virtual COM port.
inline constexpr std::uint8_t CDC_IN_EP = 0x81;   // bulk IN, data to the host
inline constexpr std::uint8_t CDC_OUT_EP = 0x01;  // bulk OUT, data from the host
inline constexpr std::uint8_t CDC_CMD_EP = 0x82;  // interrupt IN, notifications (never sent)
inline constexpr std::uint16_t CDC_DATA_MAX_PACKET_SIZE = 64;
inline constexpr std::uint16_t CDC_CMD_PACKET_SIZE = 8;
inline constexpr std::uint32_t APP_RX_DATA_SIZE = 256;
inline constexpr std::uint32_t CDC_IN_FRAME_INTERVAL = 5;  // transmit check on every sixth SOF
inline constexpr std::uint16_t USB_CDC_CONFIG_DESC_SIZ = 67;

// CDC PSTN class request codes.
inline constexpr std::uint8_t SET_LINE_CODING = 0x20;
inline constexpr std::uint8_t GET_LINE_CODING = 0x21;
inline constexpr std::uint8_t SET_CONTROL_LINE_STATE = 0x22;
inline constexpr std::uint8_t SEND_BREAK = 0x23;
inline constexpr std::uint32_t NO_CMD = 0xFF;

extern USB_OTG_CORE_HANDLE USB_OTG_dev;
extern USBD_Class_cb_TypeDef USBD_CDC_cb;
extern CDC_IF_Prop_TypeDef VCP_fops;
extern USBD_DEVICE USR_desc;
extern USBD_Usr_cb_TypeDef USR_cb;
extern std::uint8_t USBD_DeviceDesc[18];
extern std::uint8_t usbd_cdc_CfgDesc[USB_CDC_CONFIG_DESC_SIZ];
extern RINGBUFF_CTRL_t ringbuff;
extern LINE_CODING linecoding;

std::uint8_t usbd_cdc_Init(void* pdev, std::uint8_t cfgidx);
std::uint8_t usbd_cdc_DeInit(void* pdev, std::uint8_t cfgidx);
std::uint8_t usbd_cdc_Setup(void* pdev, USB_SETUP_REQ* req);
std::uint8_t usbd_cdc_EP0_RxReady(void* pdev);
std::uint8_t usbd_cdc_DataIn(void* pdev, std::uint8_t epnum);
std::uint8_t usbd_cdc_DataOut(void* pdev, std::uint8_t epnum);
std::uint8_t usbd_cdc_SOF(void* pdev);
std::uint8_t* USBD_cdc_GetCfgDesc(std::uint8_t speed, std::uint16_t* length);

std::uint16_t VCP_Init(void);
std::uint16_t VCP_DeInit(void);
std::uint16_t VCP_Ctrl(std::uint32_t Cmd, std::uint8_t* Buf, std::uint32_t Len);
std::uint16_t VCP_DataTx(std::uint8_t* Buf, std::uint32_t Len);
std::uint16_t VCP_DataRx(std::uint8_t* Buf, std::uint32_t Len);
// OTG_FS interrupt: pushes one received byte; 0, or -1 when the ring is full.
std::int16_t USB_Rx_putc(char c);

void USB_OTG_BSP_Init(USB_OTG_CORE_HANDLE* pdev);
void USB_OTG_BSP_EnableInterrupt(USB_OTG_CORE_HANDLE* pdev);

}  // extern "C"
