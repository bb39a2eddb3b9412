#pragma once
// The 16-byte control request header that carries a USB control transfer to
// the vendor driver (I/O control 0x80892014): packed, little-endian.
//
//   offset 0  u8   direction  (0 host-to-device, 1 device-to-host)
//   offset 1  u32  request type (1 class, 2 vendor)
//   offset 5  u32  recipient  (0 device, 1 interface)
//   offset 9  u8   bRequest
//   offset 10 u16  wValue
//   offset 12 u16  wIndex
//   offset 14 u16  wLength
#include <cstddef>
#include <cstdint>

namespace dfu {

inline constexpr uint32_t kControlHeaderSize = 16;

inline constexpr uint8_t kDirHostToDevice = 0;
inline constexpr uint8_t kDirDeviceToHost = 1;
inline constexpr uint32_t kTypeClass = 1;
inline constexpr uint32_t kTypeVendor = 2;
inline constexpr uint32_t kRecipientDevice = 0;
inline constexpr uint32_t kRecipientInterface = 1;

struct ControlSetup {
  uint8_t direction;
  uint32_t requestType;
  uint32_t recipient;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

// Writes the 16 header bytes of `setup` to `out`.
inline void WriteControlHeader(uint8_t* out, const ControlSetup& setup) {
  auto put16 = [](uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFFu);
    p[1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [](uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFFu);
  };
  out[0] = setup.direction;
  put32(out + 1, setup.requestType);
  put32(out + 5, setup.recipient);
  out[9] = setup.bRequest;
  put16(out + 10, setup.wValue);
  put16(out + 12, setup.wIndex);
  put16(out + 14, setup.wLength);
}

}  // namespace dfu
