// Device core: the USB device state, control transfers on endpoint 0 and the
// standard requests; class and interface requests go to the class table.
// Everything runs in the OTG_FS interrupt except USBD_Init.
#pragma once
#include <cstdint>

#include "usb/usb_dcd.hpp"

extern "C" {

enum USBD_Status : std::uint8_t { USBD_OK = 0, USBD_BUSY = 1, USBD_FAIL = 2 };

// bmRequest fields.
inline constexpr std::uint8_t USB_REQ_TYPE_MASK = 0x60;
inline constexpr std::uint8_t USB_REQ_TYPE_STANDARD = 0x00;
inline constexpr std::uint8_t USB_REQ_TYPE_CLASS = 0x20;
inline constexpr std::uint8_t USB_REQ_TYPE_VENDOR = 0x40;
inline constexpr std::uint8_t USB_REQ_RECIPIENT_MASK = 0x1F;
inline constexpr std::uint8_t USB_REQ_RECIPIENT_DEVICE = 0x00;
inline constexpr std::uint8_t USB_REQ_RECIPIENT_INTERFACE = 0x01;
inline constexpr std::uint8_t USB_REQ_RECIPIENT_ENDPOINT = 0x02;
// Standard request codes.
inline constexpr std::uint8_t USB_REQ_GET_STATUS = 0;
inline constexpr std::uint8_t USB_REQ_CLEAR_FEATURE = 1;
inline constexpr std::uint8_t USB_REQ_SET_FEATURE = 3;
inline constexpr std::uint8_t USB_REQ_SET_ADDRESS = 5;
inline constexpr std::uint8_t USB_REQ_GET_DESCRIPTOR = 6;
inline constexpr std::uint8_t USB_REQ_GET_CONFIGURATION = 8;
inline constexpr std::uint8_t USB_REQ_SET_CONFIGURATION = 9;
inline constexpr std::uint8_t USB_REQ_GET_INTERFACE = 10;
inline constexpr std::uint8_t USB_REQ_SET_INTERFACE = 11;
inline constexpr std::uint8_t USB_REQ_SYNCH_FRAME = 12;
// Descriptor types and feature selectors.
inline constexpr std::uint8_t USB_DESC_TYPE_DEVICE = 1;
inline constexpr std::uint8_t USB_DESC_TYPE_CONFIGURATION = 2;
inline constexpr std::uint8_t USB_DESC_TYPE_STRING = 3;
inline constexpr std::uint16_t USB_FEATURE_EP_HALT = 0;
inline constexpr std::uint16_t USB_FEATURE_REMOTE_WAKEUP = 1;
inline constexpr std::uint16_t USB_FEATURE_TEST_MODE = 2;

extern USBD_DCD_INT_cb_TypeDef USBD_DCD_INT_cb;
extern std::uint8_t USBD_StrDesc[255];

void USBD_Init(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID, USBD_DEVICE* pDevice,
               USBD_Class_cb_TypeDef* class_cb, USBD_Usr_cb_TypeDef* usr_cb);

std::uint8_t USBD_DataOutStage(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
std::uint8_t USBD_DataInStage(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
std::uint8_t USBD_SetupStage(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_SOF(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_Reset(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_Suspend(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_Resume(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_IsoINIncomplete(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_IsoOUTIncomplete(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_DevConnected(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USBD_DevDisconnected(USB_OTG_CORE_HANDLE* pdev);

USBD_Status USBD_SetCfg(USB_OTG_CORE_HANDLE* pdev, std::uint8_t cfgidx);
USBD_Status USBD_ClrCfg(USB_OTG_CORE_HANDLE* pdev, std::uint8_t cfgidx);

USBD_Status USBD_CtlSendData(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len);
USBD_Status USBD_CtlContinueSendData(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len);
USBD_Status USBD_CtlPrepareRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len);
USBD_Status USBD_CtlContinueRx(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* pbuf, std::uint16_t len);
USBD_Status USBD_CtlSendStatus(USB_OTG_CORE_HANDLE* pdev);
USBD_Status USBD_CtlReceiveStatus(USB_OTG_CORE_HANDLE* pdev);
void USBD_CtlError(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req);

void USBD_ParseSetupRequest(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req);
USBD_Status USBD_StdDevReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req);
USBD_Status USBD_StdItfReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req);
USBD_Status USBD_StdEPReq(USB_OTG_CORE_HANDLE* pdev, USB_SETUP_REQ* req);
void USBD_GetString(const std::uint8_t* desc, std::uint8_t* unicode, std::uint16_t* len);

}  // extern "C"
