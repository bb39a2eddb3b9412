#pragma once
// One decoded line of the driver service's trace file (docs/driver-protocol.md,
// Trace); DriverServiceFixture::ReadTrace gives them.
#include <cstdint>
#include <string>

namespace testsupport {

// One decoded line of the service's trace.
struct TraceEntry {
  std::string op;  // ioctl, open, close, control, arrival, removal
  std::string path;
  uint64_t client = 0;
  uint32_t code = 0;  // I/O control code (op "ioctl")
  uint32_t result = 0;
  uint32_t inLength = 0;
  uint32_t outSize = 0;
  uint32_t bytesReturned = 0;
  // Control request header (code 0x80892014).
  bool hasSetup = false;
  uint8_t direction = 0;
  uint32_t type = 0;
  uint32_t recipient = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  uint32_t dataLength = 0;
  std::string dataHex;  // first 64 data bytes after the header
  std::string outHex;   // first 64 bytes returned
  // Descriptor request (code 0x80892004).
  bool hasDescriptor = false;
  uint8_t descriptorType = 0;
  uint8_t descriptorIndex = 0;
  uint16_t languageId = 0;
  std::string raw;  // the whole JSON line
};

}  // namespace testsupport
