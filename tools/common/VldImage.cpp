#include "VldImage.h"

#include <cstring>
#include <limits>

#include "image/Crc32.h"

namespace vlmutool {
namespace {

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

void PutLe16(std::string& bytes, std::size_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFFu);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

void PutLe32(std::string& bytes, std::size_t offset, uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
}

uint32_t GetLe32(const std::string& bytes, std::size_t offset) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

bool FixHeaderCrc(std::string& image) {
  if (image.size() < 4) return false;
  uint32_t headerLength = 0;
  if (image.compare(0, 4, "vLmD") == 0) {
    headerLength = kVldV0HeaderSize;
  } else if (image.compare(0, 4, "VlMd") == 0) {
    headerLength = kVldV1HeaderSize;
  } else {
    return false;
  }
  if (image.size() < headerLength) return false;
  std::string header = image.substr(0, headerLength);
  PutLe32(header, 44, 0);
  PutLe32(image, 44, Crc32::Checksum(header.data(), header.size()));
  return true;
}

void AppendDfuSuffix(std::string& image, const DfuSuffixFields& fields) {
  const std::size_t at = image.size();
  image.resize(at + kDfuSuffixSize, '\0');
  PutLe16(image, at + 0, fields.bcdDevice);
  PutLe16(image, at + 2, fields.idProduct);
  PutLe16(image, at + 4, fields.idVendor);
  PutLe16(image, at + 6, fields.bcdDfu);
  image[at + 8] = 'U';
  image[at + 9] = 'F';
  image[at + 10] = 'D';
  image[at + 11] = static_cast<char>(kDfuSuffixSize);
  PutLe32(image, at + 12, Crc32::DfuRegister(image.data(), at + 12));
}

std::string BuildVldImage(const VldImageLayout& spec, std::string* error) {
  if (spec.version > 1) {
    SetError(error, "the image version must be 0 or 1");
    return {};
  }
  if (spec.date.size() > 8 || spec.time.size() > 6) {
    SetError(error, "the date has at most 8 characters and the time at most 6");
    return {};
  }
  if (spec.vendorId > 0xFFFFFFu) {
    SetError(error, "the vendor id has 24 bits");
    return {};
  }
  const uint32_t headerLength = spec.version == 0 ? kVldV0HeaderSize : kVldV1HeaderSize;
  const uint64_t total = uint64_t{headerLength} + spec.infoText.size() + spec.payload.size() +
                         (spec.suffix ? kDfuSuffixSize : 0);
  if (total > std::numeric_limits<uint32_t>::max()) {
    SetError(error, "the image would be larger than 4 GiB - 1 bytes");
    return {};
  }

  std::string image(headerLength, '\0');
  std::memcpy(image.data(), spec.version == 0 ? "vLmD" : "VlMd", 4);
  PutLe32(image, 4, spec.headerValue);
  std::memcpy(image.data() + 8, spec.date.data(), spec.date.size());
  std::memcpy(image.data() + 16, spec.time.data(), spec.time.size());
  image[22] = static_cast<char>(spec.timeTrailer[0]);
  image[23] = static_cast<char>(spec.timeTrailer[1]);
  PutLe32(image, 24, spec.modelId);
  PutLe32(image, 28, spec.softwareVersion);
  PutLe32(image, 32, spec.hwId);
  image[36] = static_cast<char>(spec.vendorId & 0xFFu);
  image[37] = static_cast<char>((spec.vendorId >> 8) & 0xFFu);
  image[38] = static_cast<char>((spec.vendorId >> 16) & 0xFFu);
  PutLe32(image, 40, spec.fileVersion);
  // Sections: none at 48 and 64; the firmware data follows the info text.
  PutLe32(image, 80, static_cast<uint32_t>(headerLength + spec.infoText.size()));
  FixHeaderCrc(image);
  if (spec.corruptHeaderCrc) PutLe32(image, 44, GetLe32(image, 44) ^ 0x00000001u);

  image += spec.infoText;
  image += spec.payload;
  if (spec.suffix) AppendDfuSuffix(image, *spec.suffix);
  return image;
}

}  // namespace vlmutool
