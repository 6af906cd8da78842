// USB device stack, lowest layer: the handle shared by every layer, and the
// register-level driver of the OTG full-speed core (device mode, embedded
// PHY, no DMA). Every function runs at start-up or in the OTG_FS interrupt.
#pragma once
#include <cstddef>
#include <cstdint>

#include "mcu/otg_fs.hpp"

extern "C" {

enum USB_OTG_STS : std::uint8_t { USB_OTG_OK = 0, USB_OTG_FAIL = 1 };
enum USB_OTG_CORE_ID_TypeDef : std::uint8_t { USB_OTG_HS_CORE_ID = 0, USB_OTG_FS_CORE_ID = 1 };
enum : std::uint8_t { USB_SPEED_UNKNOWN = 0, USB_SPEED_LOW = 1, USB_SPEED_FULL = 2, USB_SPEED_HIGH = 3 };
enum : std::uint8_t { USB_OTG_SPEED_HIGH = 0, USB_OTG_SPEED_FULL = 1 };
enum : std::uint8_t { EP_TYPE_CTRL = 0, EP_TYPE_ISOC = 1, EP_TYPE_BULK = 2, EP_TYPE_INTR = 3 };
enum : std::uint8_t { DEVICE_MODE = 0, HOST_MODE = 1 };

inline constexpr unsigned USB_OTG_MAX_EP = 15;      // endpoint records per direction
inline constexpr unsigned USB_OTG_MAX_CH = 15;      // host channel / FIFO window slots

struct USB_OTG_core_cfg {
  std::uint8_t host_channels;
  std::uint8_t dev_endpoints;
  std::uint8_t speed;          // 0 high speed, 1 full speed
  std::uint8_t dma_enable;
  std::uint16_t mps;           // endpoint 0 packet size
  std::uint16_t TotalFifoSize; // FIFO RAM in 32-bit words
  std::uint8_t phy_itface;     // 1 ULPI, 2 embedded PHY
  std::uint8_t Sof_output;
  std::uint8_t low_power;
  std::uint8_t coreID;
};

struct USB_OTG_CORE_REGS {
  OTG_FS_Global_Regs* GREGS;
  OTG_FS_Device_Regs* DREGS;
  OTG_FS_Host_Regs* HREGS;
  OTG_FS_INEP_Regs* INEP_REGS[USB_OTG_MAX_EP];
  OTG_FS_OUTEP_Regs* OUTEP_REGS[USB_OTG_MAX_EP];
  OTG_FS_HostChannel_Regs* HC_REGS[USB_OTG_MAX_CH];
  mcu::reg32* HPRT0;
  mcu::reg32* DFIFO[USB_OTG_MAX_CH];
  mcu::reg32* PCGCCTL;
};

// Transfer record of one endpoint direction.
struct USB_OTG_EP {
  std::uint8_t num;
  std::uint8_t is_in;
  std::uint8_t is_stall;
  std::uint8_t type;
  std::uint8_t data_pid_start;
  std::uint8_t even_odd_frame;
  std::uint16_t tx_fifo_num;
  std::uint32_t maxpacket;
  std::uint8_t* xfer_buff;   // where the next byte goes or comes from
  std::uint32_t dma_addr;
  std::uint32_t xfer_len;    // bytes asked for
  std::uint32_t xfer_count;  // bytes done
  // Endpoint 0 only: data stage bytes still to go, its total, the host's wLength.
  std::uint32_t rem_data_len;
  std::uint32_t total_data_len;
  std::uint32_t ctl_data_len;
};

struct USB_SETUP_REQ {
  std::uint8_t bmRequest;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};

struct USBD_Class_cb_TypeDef {
  std::uint8_t (*Init)(void* pdev, std::uint8_t cfgidx);
  std::uint8_t (*DeInit)(void* pdev, std::uint8_t cfgidx);
  std::uint8_t (*Setup)(void* pdev, USB_SETUP_REQ* req);
  std::uint8_t (*EP0_TxSent)(void* pdev);
  std::uint8_t (*EP0_RxReady)(void* pdev);
  std::uint8_t (*DataIn)(void* pdev, std::uint8_t epnum);
  std::uint8_t (*DataOut)(void* pdev, std::uint8_t epnum);
  std::uint8_t (*SOF)(void* pdev);
  std::uint8_t (*IsoINIncomplete)(void* pdev);
  std::uint8_t (*IsoOUTIncomplete)(void* pdev);
  std::uint8_t* (*GetConfigDescriptor)(std::uint8_t speed, std::uint16_t* length);
};

struct USBD_Usr_cb_TypeDef {
  void (*Init)(void);
  void (*DeviceReset)(std::uint8_t speed);
  void (*DeviceConfigured)(void);
  void (*DeviceSuspended)(void);
  void (*DeviceResumed)(void);
  void (*DeviceConnected)(void);
  void (*DeviceDisconnected)(void);
};

struct USBD_DEVICE {
  std::uint8_t* (*GetDeviceDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetLangIDStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetManufacturerStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetProductStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetSerialStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetConfigurationStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
  std::uint8_t* (*GetInterfaceStrDescriptor)(std::uint8_t speed, std::uint16_t* length);
};

struct DCD_DEV {
  std::uint8_t device_config;
  std::uint8_t device_state;       // control stage: 0 idle .. 5 status OUT
  std::uint8_t device_status;      // 1 default, 2 addressed, 3 configured, 4 suspended
  std::uint8_t device_old_status;
  std::uint8_t device_address;
  std::uint8_t connection_status;
  std::uint8_t test_mode;
  std::uint32_t DevRemoteWakeup;
  USB_OTG_EP in_ep[USB_OTG_MAX_EP];
  USB_OTG_EP out_ep[USB_OTG_MAX_EP];
  std::uint8_t setup_packet[8 * 3];
  USBD_Class_cb_TypeDef* class_cb;
  USBD_Usr_cb_TypeDef* usr_cb;
  USBD_DEVICE* usr_device;
  std::uint8_t* pConfig_descriptor;
};

struct USB_OTG_CORE_HANDLE {
  USB_OTG_core_cfg cfg;
  USB_OTG_CORE_REGS regs;
  DCD_DEV dev;
};

// The layout the virtual board's tests read through the handle's symbol.
static_assert(sizeof(USB_OTG_EP) == 40);
static_assert(offsetof(USB_OTG_CORE_HANDLE, dev) == 272);
static_assert(offsetof(DCD_DEV, DevRemoteWakeup) == 8 && offsetof(DCD_DEV, in_ep) == 12);
static_assert(offsetof(DCD_DEV, out_ep) == 612 && offsetof(DCD_DEV, setup_packet) == 1212);

// Control transfer stages (device_state) and device states (device_status).
enum : std::uint8_t {
  USB_OTG_EP0_IDLE = 0, USB_OTG_EP0_SETUP = 1, USB_OTG_EP0_DATA_IN = 2,
  USB_OTG_EP0_DATA_OUT = 3, USB_OTG_EP0_STATUS_IN = 4, USB_OTG_EP0_STATUS_OUT = 5,
};
enum : std::uint8_t {
  USB_OTG_DEFAULT = 1, USB_OTG_ADDRESSED = 2, USB_OTG_CONFIGURED = 3, USB_OTG_SUSPENDED = 4,
};

USB_OTG_STS USB_OTG_SelectCore(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID);
USB_OTG_STS USB_OTG_CoreInit(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_SetCurrentMode(USB_OTG_CORE_HANDLE* pdev, std::uint8_t mode);
USB_OTG_STS USB_OTG_CoreInitDev(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_EnableGlobalInt(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_DisableGlobalInt(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_FlushTxFifo(USB_OTG_CORE_HANDLE* pdev, std::uint32_t num);
USB_OTG_STS USB_OTG_FlushRxFifo(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_WritePacket(USB_OTG_CORE_HANDLE* pdev, const std::uint8_t* src, std::uint8_t ch_ep_num,
                                std::uint16_t len);
void* USB_OTG_ReadPacket(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* dest, std::uint16_t len);
std::uint8_t USB_OTG_GetMode(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USB_OTG_IsDeviceMode(USB_OTG_CORE_HANDLE* pdev);
std::uint32_t USB_OTG_ReadCoreItr(USB_OTG_CORE_HANDLE* pdev);
void USB_OTG_InitDevSpeed(USB_OTG_CORE_HANDLE* pdev, std::uint8_t speed);
USB_OTG_STS USB_OTG_EnableDevInt(USB_OTG_CORE_HANDLE* pdev);
std::uint8_t USB_OTG_GetDeviceSpeed(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_EP0Activate(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_EPActivate(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
USB_OTG_STS USB_OTG_EPDeactivate(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
USB_OTG_STS USB_OTG_EPStartXfer(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
USB_OTG_STS USB_OTG_EP0StartXfer(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
void USB_OTG_EP0_OutStart(USB_OTG_CORE_HANDLE* pdev);
USB_OTG_STS USB_OTG_EPSetStall(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
USB_OTG_STS USB_OTG_EPClearStall(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep);
std::uint32_t USB_OTG_ReadDevAllOutEp_itr(USB_OTG_CORE_HANDLE* pdev);
std::uint32_t USB_OTG_ReadDevOutEP_itr(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum);
std::uint32_t USB_OTG_ReadDevAllInEPItr(USB_OTG_CORE_HANDLE* pdev);

}  // extern "C"
