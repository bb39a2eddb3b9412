#pragma once
// Little-endian numbers in byte buffers: the layout of USB descriptors,
// firmware image headers and suffixes, the driver's request headers and the
// driver service's frames. One home for these, whatever the processor's
// own byte order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline uint16_t LoadLe16(const void* at) noexcept {
  const auto* b = static_cast<const unsigned char*>(at);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t LoadLe32(const void* at) noexcept {
  const auto* b = static_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

inline void StoreLe16(void* at, uint16_t value) noexcept {
  auto* b = static_cast<unsigned char*>(at);
  b[0] = static_cast<unsigned char>(value & 0xFFu);
  b[1] = static_cast<unsigned char>(value >> 8);
}

inline void StoreLe32(void* at, uint32_t value) noexcept {
  auto* b = static_cast<unsigned char*>(at);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFFu);
}

// The same at an offset into a byte string; the caller has checked that the
// bytes are there.
inline uint16_t LoadLe16(std::string_view bytes, size_t offset) noexcept { return LoadLe16(bytes.data() + offset); }
inline uint32_t LoadLe32(std::string_view bytes, size_t offset) noexcept { return LoadLe32(bytes.data() + offset); }
inline void StoreLe16(std::string& bytes, size_t offset, uint16_t value) noexcept {
  StoreLe16(bytes.data() + offset, value);
}
inline void StoreLe32(std::string& bytes, size_t offset, uint32_t value) noexcept {
  StoreLe32(bytes.data() + offset, value);
}

}  // namespace platform
