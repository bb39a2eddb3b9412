#pragma once
// An open device interface of the vendor driver: the stand-in for a file
// handle opened with CreateFileA on a device interface path and driven with
// DeviceIoControl. On Linux it is a connection to the driver service.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The vendor driver's three I/O control codes (the driver service answers the
// same codes).
inline constexpr uint32_t kIoctlGetDescriptor = 0x80892004;   // USB descriptor request
inline constexpr uint32_t kIoctlControlRequest = 0x80892014;  // USB control transfer
inline constexpr uint32_t kIoctlCyclePort = 0x80892018;       // port cycle (re-enumeration)

class DeviceFile {
 public:
  virtual ~DeviceFile() = default;
  // Issues one I/O control request and waits for its completion. Returns 0 or
  // a system error code; `bytesReturned` receives the output byte count.
  virtual uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                             uint32_t* bytesReturned) = 0;
};

// The system error code of an interface path that does not exist.
inline constexpr uint32_t kErrorFileNotFound = 2;

// Opens the device interface at `path`. Returns 0 and sets `file`, or a
// system error code (kErrorFileNotFound when no such interface exists).
uint32_t OpenDeviceFile(const std::string& path, std::unique_ptr<DeviceFile>& file);

}  // namespace platform
