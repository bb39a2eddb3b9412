#pragma once
// Firmware image bytes for tests, built independently of the library's own
// CRC code: both CRCs come from zlib.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace testimages {

inline constexpr uint32_t kV0HeaderLength = 96;
inline constexpr uint32_t kV1HeaderLength = 112;

inline void SetLe16(std::string& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}

inline void SetLe32(std::string& b, std::size_t at, uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint32_t Le32(const std::string& b, std::size_t at) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= uint32_t{static_cast<unsigned char>(b[at + i])} << (8 * i);
  return v;
}

// zlib's CRC-32: the ordinary checksum (register inverted at the end).
inline uint32_t ZlibCrc(const void* data, std::size_t size) {
  return static_cast<uint32_t>(crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

// The DFU 1.1 dwCRC of a byte range: the register without final inversion.
inline uint32_t DfuCrc(const void* data, std::size_t size) { return ZlibCrc(data, size) ^ 0xFFFFFFFFu; }

inline uint32_t HeaderLength(const std::string& image) {
  return image.compare(0, 4, "vLmD") == 0 ? kV0HeaderLength : kV1HeaderLength;
}

// Stores the header CRC (offset 44) of the image's header, computed with
// those four bytes counted as zero.
inline void FixHeaderCrc(std::string& image, uint32_t headerLength) {
  std::string header = image.substr(0, headerLength);
  SetLe32(header, 44, 0);
  SetLe32(image, 44, ZlibCrc(header.data(), header.size()));
}
inline void FixHeaderCrc(std::string& image) { FixHeaderCrc(image, HeaderLength(image)); }

inline void AppendSuffix(std::string& image, uint16_t vid = 0x1234, uint16_t pid = 0x5678,
                         uint16_t bcdDevice = 0xFFFF) {
  const std::size_t at = image.size();
  image.resize(at + 16, '\0');
  SetLe16(image, at, bcdDevice);
  SetLe16(image, at + 2, pid);
  SetLe16(image, at + 4, vid);
  SetLe16(image, at + 6, 0x0100);
  image[at + 8] = 'U';
  image[at + 9] = 'F';
  image[at + 10] = 'D';
  image[at + 11] = 16;
  SetLe32(image, at + 12, DfuCrc(image.data(), at + 12));
}

struct Params {
  uint32_t version = 1;
  const char* identifier = nullptr;  // default: "vLmD" / "VlMd" by version
  uint32_t headerValue = 0xA5A5F00Du;
  std::string date = "20261207";
  std::string time = "120000";
  unsigned char timeTrailer[2] = {'Z', '!'};
  uint32_t modelId = 0x00010203u;
  uint32_t softwareVersion = 0x01020304u;
  uint32_t hwId = 0x0000000Au;
  unsigned char vendor[3] = {0x01, 0x02, 0x03};  // header bytes 36, 37, 38
  uint32_t fileVersion = 1;
  std::string info = "Velmora test firmware";
  std::string payload = std::string(200, '\x5A');
  std::optional<uint32_t> offset48, offset64, offset80;  // default: 0, 0, after the info text
  bool suffix = false;
};

inline std::string Build(const Params& p) {
  const uint32_t headerLength = p.version == 0 ? kV0HeaderLength : kV1HeaderLength;
  std::string image(headerLength, '\0');
  std::memcpy(image.data(), p.identifier ? p.identifier : (p.version == 0 ? "vLmD" : "VlMd"), 4);
  SetLe32(image, 4, p.headerValue);
  std::memcpy(image.data() + 8, p.date.data(), std::min<std::size_t>(p.date.size(), 8));
  std::memcpy(image.data() + 16, p.time.data(), std::min<std::size_t>(p.time.size(), 6));
  image[22] = static_cast<char>(p.timeTrailer[0]);
  image[23] = static_cast<char>(p.timeTrailer[1]);
  SetLe32(image, 24, p.modelId);
  SetLe32(image, 28, p.softwareVersion);
  SetLe32(image, 32, p.hwId);
  image[36] = static_cast<char>(p.vendor[0]);
  image[37] = static_cast<char>(p.vendor[1]);
  image[38] = static_cast<char>(p.vendor[2]);
  image[39] = '\x77';  // not read
  SetLe32(image, 40, p.fileVersion);
  SetLe32(image, 48, p.offset48.value_or(0));
  SetLe32(image, 64, p.offset64.value_or(0));
  SetLe32(image, 80, p.offset80.value_or(static_cast<uint32_t>(headerLength + p.info.size())));
  FixHeaderCrc(image, headerLength);
  image += p.info;
  image += p.payload;
  if (p.suffix) AppendSuffix(image);
  return image;
}

}  // namespace testimages
