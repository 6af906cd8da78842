// Enumeration of the virtual COM port by a host that behaves as the Linux
// host stack does, and the standard requests of the device core.
#include <gtest/gtest.h>

#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

// The device and configuration descriptors of a CDC ACM port with vendor
// 0x0483, product 0x5740, written out field by field from the USB and CDC
// descriptor layouts.
const Bytes kDeviceBeforeConfig = {18, 1, 0x00, 0x02, 0x00, 0x00, 0x00, 64, 0x83, 0x04, 0x40, 0x57,
                                   0x00, 0x02, 1,    2,    3,    1};
const Bytes kConfig = {
    0x09, 0x02, 0x43, 0x00, 0x02, 0x01, 0x00, 0xC0, 0x32,  // configuration, 67 bytes
    0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x02, 0x01, 0x00,  // interface 0: CDC ACM, AT commands
    0x05, 0x24, 0x00, 0x10, 0x01,                          // header, CDC 1.10
    0x05, 0x24, 0x01, 0x00, 0x01,                          // call management
    0x04, 0x24, 0x02, 0x02,                                // ACM: line coding, serial state
    0x05, 0x24, 0x06, 0x00, 0x01,                          // union 0 -> 1
    0x07, 0x05, 0x82, 0x03, 0x08, 0x00, 0xFF,              // interrupt IN 2, 8 bytes
    0x09, 0x04, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00,  // interface 1: data
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              // bulk OUT 1
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN 1
};

using UsbEnumeration = UsbBoardTest;

TEST_F(UsbEnumeration, ShouldEnumerateAsLinuxDoesAndReportCdcClassAfterConfiguration) {
  boot_enumerated();
  // Read before SET_CONFIGURATION: class given per interface.
  EXPECT_EQ(kDeviceBeforeConfig, host().device_descriptor());
  EXPECT_EQ(kConfig, host().config_descriptor());
  ASSERT_GE(host().strings().size(), 4u);
  EXPECT_EQ((Bytes{4, 3, 0x09, 0x04}), host().strings()[0]);
  EXPECT_EQ("STMicroelectronics", string_text(host().strings()[1]));
  EXPECT_EQ("STM32 Virtual ComPort in FS Mode", string_text(host().strings()[2]));
  EXPECT_EQ("00000000050C", string_text(host().strings()[3]));
  // The first device descriptor read (before any configuration) said class 0.
  const UsbTransfer& first = host().transfers().front();
  ASSERT_EQ(8u, first.data.size());
  EXPECT_EQ(0x00, first.data[4]);
  EXPECT_EQ(1u, var8("USB_OTG_dev", kDeviceConfig));
  // Configured since power-up: communications class from now on.
  Bytes after = kDeviceBeforeConfig;
  after[4] = 0x02;
  EXPECT_EQ(after, get_descriptor(1, 0, 18).data);
}

// --- single requests by device state --------------------------------------------

enum class DevState { kDefault, kAddressed, kConfigured };

struct RequestCase {
  const char* name;
  DevState state;
  std::uint8_t bm, req;
  std::uint16_t value, index, length;
  Status expect;
  std::size_t answer_len;  // bytes of the data stage (IN requests that succeed)
  Bytes answer_head = {};  // the first bytes of the answer, when checked
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class UsbRequests : public UsbBoardTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(UsbRequests, ShouldAnswerAsTheStateAndTheRequestDemand) {
  const RequestCase& c = GetParam();
  boot_manual();
  if (c.state != DevState::kDefault) {
    ASSERT_EQ(Status::kOk, ctl(0x00, 5, 5, 0, 0).status);
    host().set_address(5);
  }
  if (c.state == DevState::kConfigured) {
    ASSERT_EQ(Status::kOk, ctl(0x00, 9, 1, 0, 0).status);
  }
  const UsbTransfer t = ctl(c.bm, c.req, c.value, c.index, c.length);
  EXPECT_EQ(c.expect, t.status) << transfer_status_name(t.status);
  if (c.expect == Status::kOk && (c.bm & 0x80)) {
    EXPECT_EQ(c.answer_len, t.data.size());
    if (!c.answer_head.empty()) {
      ASSERT_GE(t.data.size(), c.answer_head.size());
      EXPECT_EQ(c.answer_head, Bytes(t.data.begin(), t.data.begin() + static_cast<long>(c.answer_head.size())));
    }
  }
  // A stalled request leaves endpoint 0 usable for the next one.
  EXPECT_EQ(Status::kOk, get_descriptor(1, 0, 8).status);
}

using D = DevState;
const Status kOk = Status::kOk, kStall = Status::kStall;

INSTANTIATE_TEST_SUITE_P(
    Ep0, UsbRequests,
    ::testing::Values(
        RequestCase{"device_64_default", D::kDefault, 0x80, 6, 0x0100, 0, 64, kOk, 8, {18, 1}},
        RequestCase{"device_18_default", D::kDefault, 0x80, 6, 0x0100, 0, 18, kOk, 8},
        RequestCase{"device_18_addressed", D::kAddressed, 0x80, 6, 0x0100, 0, 18, kOk, 18},
        RequestCase{"device_64_addressed", D::kAddressed, 0x80, 6, 0x0100, 0, 64, kOk, 8},
        RequestCase{"config_9", D::kAddressed, 0x80, 6, 0x0200, 0, 9, kOk, 9, {9, 2, 67, 0, 2, 1, 0, 0xC0, 0x32}},
        RequestCase{"config_255", D::kAddressed, 0x80, 6, 0x0200, 0, 255, kOk, 67},
        RequestCase{"string_0", D::kAddressed, 0x80, 6, 0x0300, 0, 255, kOk, 4, {4, 3, 9, 4}},
        RequestCase{"string_1", D::kAddressed, 0x80, 6, 0x0301, 0x409, 255, kOk, 38, {38, 3, 'S', 0}},
        RequestCase{"string_2", D::kAddressed, 0x80, 6, 0x0302, 0x409, 255, kOk, 66, {66, 3}},
        RequestCase{"string_3", D::kAddressed, 0x80, 6, 0x0303, 0x409, 255, kOk, 26, {26, 3, '0', 0}},
        RequestCase{"string_4", D::kAddressed, 0x80, 6, 0x0304, 0x409, 255, kOk, 22, {22, 3, 'V', 0}},
        RequestCase{"string_5", D::kAddressed, 0x80, 6, 0x0305, 0x409, 255, kOk, 28, {28, 3, 'V', 0}},
        RequestCase{"string_6", D::kAddressed, 0x80, 6, 0x0306, 0x409, 255, kStall, 0},
        RequestCase{"device_qualifier", D::kAddressed, 0x80, 6, 0x0600, 0, 10, kStall, 0},
        RequestCase{"get_status_device", D::kAddressed, 0x80, 0, 0, 0, 2, kOk, 2, {1, 0}},
        RequestCase{"get_status_default", D::kDefault, 0x80, 0, 0, 0, 2, kStall, 0},
        RequestCase{"get_config_addressed", D::kAddressed, 0x80, 8, 0, 0, 1, kOk, 1, {0}},
        RequestCase{"get_config_configured", D::kConfigured, 0x80, 8, 0, 0, 1, kOk, 1, {1}},
        RequestCase{"set_address_configured", D::kConfigured, 0x00, 5, 7, 0, 0, kStall, 0},
        RequestCase{"set_config_2", D::kAddressed, 0x00, 9, 2, 0, 0, kStall, 0},
        RequestCase{"set_config_default", D::kDefault, 0x00, 9, 1, 0, 0, kStall, 0},
        RequestCase{"set_descriptor", D::kAddressed, 0x00, 7, 0x0100, 0, 0, kStall, 0},
        RequestCase{"class_request_to_device", D::kConfigured, 0x20, 0x20, 0, 0, 0, kStall, 0},
        RequestCase{"vendor_request_to_device", D::kAddressed, 0x40, 5, 9, 0, 0, kStall, 0},
        RequestCase{"vendor_request_to_endpoint", D::kConfigured, 0x42, 0, 0, 0x81, 0, kStall, 0},
        RequestCase{"endpoint_status_0x81", D::kConfigured, 0x82, 0, 0, 0x81, 2, kOk, 2, {0, 0}},
        RequestCase{"endpoint_status_0x84", D::kConfigured, 0x82, 0, 0, 0x84, 2, kStall, 0},
        RequestCase{"endpoint_halt_0x8f", D::kConfigured, 0x02, 3, 0, 0x8F, 0, kStall, 0},
        RequestCase{"interface_request_unconfigured", D::kAddressed, 0xA1, 0x21, 0, 0, 7, kStall, 0},
        RequestCase{"interface_2", D::kConfigured, 0xA1, 0x21, 0, 2, 7, kStall, 0},
        RequestCase{"get_line_coding", D::kConfigured, 0xA1, 0x21, 0, 0, 7, kOk, 7, {0x00, 0xC2, 0x01, 0, 0, 0, 8}},
        RequestCase{"class_in_longer_than_buffer", D::kConfigured, 0xA1, 0x21, 0, 0, 64, kStall, 0},
        RequestCase{"class_out_longer_than_buffer", D::kConfigured, 0x21, 0x20, 0, 0, 64, kStall, 0},
        RequestCase{"vendor_request_to_interface", D::kConfigured, 0x41, 1, 0, 0, 0, kStall, 0},
        RequestCase{"get_interface", D::kConfigured, 0x81, 10, 0, 1, 1, kOk, 1, {0}},
        RequestCase{"set_interface_alt_1", D::kConfigured, 0x01, 11, 1, 1, 0, kStall, 0},
        RequestCase{"cdc_functional_descriptors", D::kConfigured, 0x81, 6, 0x2100, 0, 255, kOk, 49, {5, 0x24, 0}},
        RequestCase{"interface_descriptors", D::kConfigured, 0x81, 6, 0x0200, 0, 255, kOk, 58, {9, 4, 0}},
        // Every request is answered: with data, a status stage or a stall.
        // wLength 0 means no data stage, only the status stage.
        RequestCase{"get_status_device_wlength_0", D::kAddressed, 0x80, 0, 0, 0, 0, kOk, 0},
        RequestCase{"get_descriptor_wlength_0", D::kAddressed, 0x80, 6, 0x0100, 0, 0, kOk, 0},
        RequestCase{"get_interface_wlength_0", D::kConfigured, 0x81, 10, 0, 1, 0, kOk, 0},
        RequestCase{"get_status_interface", D::kConfigured, 0x81, 0, 0, 1, 2, kOk, 2, {0, 0}},
        RequestCase{"get_status_interface_addressed", D::kAddressed, 0x81, 0, 0, 0, 2, kStall, 0},
        RequestCase{"get_status_interface_2", D::kConfigured, 0x81, 0, 0, 2, 2, kStall, 0},
        RequestCase{"set_feature_interface", D::kConfigured, 0x01, 3, 0, 0, 0, kStall, 0},
        RequestCase{"clear_feature_interface", D::kConfigured, 0x01, 1, 0, 0, 0, kStall, 0},
        RequestCase{"set_descriptor_interface", D::kConfigured, 0x01, 7, 0x0200, 0, 0, kStall, 0},
        RequestCase{"synch_frame_bulk", D::kConfigured, 0x82, 12, 0, 0x81, 2, kStall, 0},
        RequestCase{"endpoint_request_code_2", D::kConfigured, 0x02, 2, 0, 0x01, 0, kStall, 0},
        RequestCase{"set_feature_device_selector_7", D::kConfigured, 0x00, 3, 7, 0, 0, kStall, 0},
        RequestCase{"clear_feature_device_selector_7", D::kConfigured, 0x00, 1, 7, 0, 0, kStall, 0},
        RequestCase{"set_feature_test_mode", D::kAddressed, 0x00, 3, 2, 0x0400, 0, kStall, 0},
        RequestCase{"set_feature_test_mode_default", D::kDefault, 0x00, 3, 2, 0x0100, 0, kStall, 0},
        RequestCase{"reserved_recipient_out", D::kConfigured, 0x1D, 0, 0, 0, 0, kStall, 0},
        RequestCase{"reserved_recipient_in", D::kConfigured, 0x9D, 0, 0, 0, 2, kStall, 0},
        RequestCase{"endpoint_status_0_addressed", D::kAddressed, 0x82, 0, 0, 0x80, 2, kOk, 2, {0, 0}},
        RequestCase{"clear_halt_0_addressed", D::kAddressed, 0x02, 1, 0, 0x00, 0, kOk, 0},
        RequestCase{"set_halt_0_addressed", D::kAddressed, 0x02, 3, 0, 0x80, 0, kOk, 0},
        RequestCase{"endpoint_status_0x81_addressed", D::kAddressed, 0x82, 0, 0, 0x81, 2, kStall, 0},
        RequestCase{"set_halt_0x01_addressed", D::kAddressed, 0x02, 3, 0, 0x01, 0, kStall, 0},
        RequestCase{"clear_halt_0x81_addressed", D::kAddressed, 0x02, 1, 0, 0x81, 0, kStall, 0},
        RequestCase{"endpoint_status_default", D::kDefault, 0x82, 0, 0, 0x80, 2, kStall, 0},
        RequestCase{"endpoint_status_0x83_not_in_configuration", D::kConfigured, 0x82, 0, 0, 0x83, 2, kStall, 0},
        RequestCase{"set_halt_0x02_not_in_configuration", D::kConfigured, 0x02, 3, 0, 0x02, 0, kStall, 0},
        RequestCase{"endpoint_feature_selector_5", D::kConfigured, 0x02, 3, 5, 0x81, 0, kStall, 0},
        RequestCase{"clear_endpoint_feature_selector_5", D::kConfigured, 0x02, 1, 5, 0x01, 0, kStall, 0},
        // Standard requests in the wrong direction, or SET requests with a data stage.
        RequestCase{"get_descriptor_host_to_device", D::kAddressed, 0x00, 6, 0x0100, 0, 18, kStall, 0},
        RequestCase{"get_status_host_to_device", D::kConfigured, 0x02, 0, 0, 0x81, 2, kStall, 0},
        RequestCase{"get_configuration_host_to_device", D::kConfigured, 0x00, 8, 0, 0, 1, kStall, 0},
        RequestCase{"get_interface_host_to_device", D::kConfigured, 0x01, 10, 0, 1, 64, kStall, 0},
        RequestCase{"set_configuration_device_to_host", D::kAddressed, 0x80, 9, 1, 0, 2, kStall, 0},
        RequestCase{"set_feature_with_data_stage", D::kConfigured, 0x00, 3, 1, 0, 2, kStall, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vb::test
