#pragma once
// The input layouts of the vendor driver's I/O control requests, read the
// same way by every device source and by the trace, and the checks a request
// passes before any device sees it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "DeviceSource.h"
#include "platform/ByteOrder.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using platform::LoadLe16;
using platform::LoadLe32;

// Request header fields.
inline constexpr uint32_t kTypeStandard = 0, kTypeClass = 1, kTypeVendor = 2;
inline constexpr uint32_t kRecipientDevice = 0, kRecipientInterface = 1;

// The 16-byte header of a control request (0x80892014); host-to-device data follows it.
struct ControlSetup {
  static constexpr size_t kSize = 16;

  uint8_t direction = 0;   // 1: device to host
  uint32_t type = 0;       // kTypeStandard, kTypeClass, kTypeVendor
  uint32_t recipient = 0;  // device, interface, endpoint, other
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool ToHost() const { return direction == 1; }
  // Reads the header at the start of `in`, which holds at least kSize bytes.
  static ControlSetup Read(std::string_view in) {
    return {static_cast<uint8_t>(in[0]),
            LoadLe32(in, 1),
            LoadLe32(in, 5),
            static_cast<uint8_t>(in[9]),
            LoadLe16(in, 10),
            LoadLe16(in, 12),
            LoadLe16(in, 14)};
  }
};

// The 8 bytes of a descriptor request (0x80892004).
struct DescriptorRequest {
  static constexpr size_t kSize = 8;

  uint32_t reserved = 0;
  uint8_t type = 0;  // 1 device, 2 configuration, 3 string
  uint8_t index = 0;
  uint16_t languageId = 0;

  static DescriptorRequest Read(std::string_view in) {
    return {LoadLe32(in, 0), static_cast<uint8_t>(in[4]), static_cast<uint8_t>(in[5]), LoadLe16(in, 6)};
  }
};

// 0 for a request a device may see; ERROR_INVALID_PARAMETER for malformed
// input (descriptor request not 8 bytes, short control header, fields out of
// range, host-to-device data that is not wLength bytes, device-to-host
// request with data, cycle port with input); ERROR_INVALID_FUNCTION for an
// unknown control code.
inline uint32_t CheckIoRequest(const IoRequest& request) {
  using namespace driverproto;
  const std::string_view in = request.in;
  switch (request.code) {
    case kIoctlGetDescriptor:
      return in.size() == DescriptorRequest::kSize ? kErrorSuccess : kErrorInvalidParameter;
    case kIoctlControlRequest: {
      if (in.size() < ControlSetup::kSize) return kErrorInvalidParameter;
      const ControlSetup s = ControlSetup::Read(in);
      if (s.direction > 1 || s.type > kTypeVendor || s.recipient > 3) return kErrorInvalidParameter;
      const size_t expected = ControlSetup::kSize + (s.ToHost() ? 0u : s.wLength);
      return in.size() == expected ? kErrorSuccess : kErrorInvalidParameter;
    }
    case kIoctlCyclePort:
      return in.empty() ? kErrorSuccess : kErrorInvalidParameter;
    default:
      return kErrorInvalidFunction;
  }
}

}  // namespace vlmudrv
