#pragma once
// Builds firmware image files (".vld"): header with its CRC, info text,
// payload and an optional DFU 1.1 suffix.
//
// Layout written: header (96 bytes for version 0 "vLmD", 112 for version 1
// "VlMd"), the info text directly after it, then the payload. The section
// offsets at 48 and 64 are 0 (absent) and the firmware data offset at 80
// points at the payload, so a reader derives the info text length from it.
#include <cstdint>
#include <optional>
#include <string>

namespace vlmutool {

struct DfuSuffixFields {
  uint16_t bcdDevice = 0xFFFF;  // device release number; 0xFFFF: any
  uint16_t idProduct = 0xFFFF;
  uint16_t idVendor = 0xFFFF;
  uint16_t bcdDfu = 0x0100;
};

struct VldImageLayout {
  uint32_t version = 1;  // 0: "vLmD", 1: "VlMd"
  uint32_t headerValue = 0;
  std::string date = "20260101";    // 8 characters YYYYMMDD
  std::string time = "000000";      // 6 characters HHMMSS
  uint8_t timeTrailer[2] = {0, 0};  // the two bytes after the time digits
  uint32_t modelId = 0;
  uint32_t softwareVersion = 0;
  uint32_t hwId = 0;
  uint32_t vendorId = 0;     // 24-bit
  uint32_t fileVersion = 1;  // offset 40; a version-1 reader requires 1
  std::string infoText;
  std::string payload;
  std::optional<DfuSuffixFields> suffix;
  bool corruptHeaderCrc = false;  // store a header CRC that does not match
};

inline constexpr uint32_t kVldV0HeaderSize = 96;
inline constexpr uint32_t kVldV1HeaderSize = 112;
inline constexpr uint32_t kDfuSuffixSize = 16;

// Returns the image bytes; `error` explains a refusal (empty result).
std::string BuildVldImage(const VldImageLayout& spec, std::string* error = nullptr);

// Recomputes the header CRC (offset 44) of an image whose header was edited.
// Returns false when the bytes are too short or the identifier is unknown.
bool FixHeaderCrc(std::string& image);

// Appends a DFU 1.1 suffix: the given fields, "UFD", bLength 16 and dwCRC,
// the CRC register over all bytes before dwCRC, not inverted.
void AppendDfuSuffix(std::string& image, const DfuSuffixFields& fields);

}  // namespace vlmutool
