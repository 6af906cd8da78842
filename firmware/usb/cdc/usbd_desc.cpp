// USB descriptors of the virtual COM port: device, configuration (two
// interfaces of the CDC abstract control model), language list and the
// strings, built on request into the device core's string buffer.
#include "usb/cdc/usbd_cdc.hpp"

namespace {

constexpr std::uint16_t kVendorId = 0x0483;
constexpr std::uint16_t kProductId = 0x5740;
constexpr std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
constexpr std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }

constexpr std::uint8_t kManufacturer[] = "STMicroelectronics";
constexpr std::uint8_t kProductHs[] = "STM32 Virtual ComPort in HS mode";
constexpr std::uint8_t kProductFs[] = "STM32 Virtual ComPort in FS Mode";
constexpr std::uint8_t kSerialHs[] = "00000000050B";
constexpr std::uint8_t kSerialFs[] = "00000000050C";
constexpr std::uint8_t kConfigString[] = "VCP Config";
constexpr std::uint8_t kInterfaceString[] = "VCP Interface";
// Every string descriptor fits its one-byte length and the 255-byte buffer.
static_assert(2 * sizeof kProductFs <= 255 && 2 * sizeof kProductHs <= 255);

std::uint8_t* string_descriptor(const std::uint8_t* text, std::uint16_t* length) {
  USBD_GetString(text, USBD_StrDesc, length);
  return USBD_StrDesc;
}

}  // namespace

extern "C" {

// Changed at run time: the first configuration sets the device class to
// communications (byte 4).
std::uint8_t USBD_DeviceDesc[18] = {
    18,   0x01,            // bLength, device
    0x00, 0x02,            // bcdUSB 2.00
    0x00, 0x00, 0x00,      // class, subclass, protocol: given per interface
    64,                    // bMaxPacketSize0
    lo(kVendorId), hi(kVendorId), lo(kProductId), hi(kProductId),
    0x00, 0x02,            // bcdDevice 2.00
    1, 2, 3,               // manufacturer, product, serial number strings
    1,                     // one configuration
};

std::uint8_t usbd_cdc_CfgDesc[USB_CDC_CONFIG_DESC_SIZ] = {
    // Configuration: 2 interfaces, value 1, self-powered, 100 mA.
    9, 0x02, lo(USB_CDC_CONFIG_DESC_SIZ), hi(USB_CDC_CONFIG_DESC_SIZ), 2, 1, 0, 0xC0, 0x32,
    // Interface 0: communications, abstract control model, AT commands.
    9, 0x04, 0, 0, 1, 0x02, 0x02, 0x01, 0,
    // Header functional, CDC 1.10.
    5, 0x24, 0x00, 0x10, 0x01,
    // Call management functional: no call management, data interface 1.
    5, 0x24, 0x01, 0x00, 1,
    // Abstract control management functional: line coding, serial state.
    4, 0x24, 0x02, 0x02,
    // Union functional: master interface 0, slave interface 1.
    5, 0x24, 0x06, 0, 1,
    // Endpoint 0x82: interrupt IN, 8 bytes, interval 255.
    7, 0x05, CDC_CMD_EP, 0x03, lo(CDC_CMD_PACKET_SIZE), hi(CDC_CMD_PACKET_SIZE), 0xFF,
    // Interface 1: data, two endpoints.
    9, 0x04, 1, 0, 2, 0x0A, 0x00, 0x00, 0,
    // Endpoint 0x01: bulk OUT, 64 bytes.
    7, 0x05, CDC_OUT_EP, 0x02, lo(CDC_DATA_MAX_PACKET_SIZE), hi(CDC_DATA_MAX_PACKET_SIZE), 0,
    // Endpoint 0x81: bulk IN, 64 bytes.
    7, 0x05, CDC_IN_EP, 0x02, lo(CDC_DATA_MAX_PACKET_SIZE), hi(CDC_DATA_MAX_PACKET_SIZE), 0,
};

std::uint8_t USBD_LangIDDesc[4] = {4, 0x03, 0x09, 0x04};  // English (United States)

std::uint8_t* USBD_USR_DeviceDescriptor(std::uint8_t, std::uint16_t* length) {
  *length = sizeof USBD_DeviceDesc;
  return USBD_DeviceDesc;
}
std::uint8_t* USBD_USR_LangIDStrDescriptor(std::uint8_t, std::uint16_t* length) {
  *length = sizeof USBD_LangIDDesc;
  return USBD_LangIDDesc;
}
std::uint8_t* USBD_USR_ManufacturerStrDescriptor(std::uint8_t, std::uint16_t* length) {
  return string_descriptor(kManufacturer, length);
}
std::uint8_t* USBD_USR_ProductStrDescriptor(std::uint8_t speed, std::uint16_t* length) {
  return string_descriptor(speed == 0 ? kProductHs : kProductFs, length);
}
std::uint8_t* USBD_USR_SerialStrDescriptor(std::uint8_t speed, std::uint16_t* length) {
  return string_descriptor(speed == 0 ? kSerialHs : kSerialFs, length);
}
std::uint8_t* USBD_USR_ConfigStrDescriptor(std::uint8_t, std::uint16_t* length) {
  return string_descriptor(kConfigString, length);
}
std::uint8_t* USBD_USR_InterfaceStrDescriptor(std::uint8_t, std::uint16_t* length) {
  return string_descriptor(kInterfaceString, length);
}

USBD_DEVICE USR_desc = {
    USBD_USR_DeviceDescriptor,          USBD_USR_LangIDStrDescriptor, USBD_USR_ManufacturerStrDescriptor,
    USBD_USR_ProductStrDescriptor,      USBD_USR_SerialStrDescriptor, USBD_USR_ConfigStrDescriptor,
    USBD_USR_InterfaceStrDescriptor,
};

}  // extern "C"
