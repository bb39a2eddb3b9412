#include "VldImage.h"

#include <cstring>
#include <limits>

#include "image/Crc32.h"
#include "platform/ByteOrder.h"

namespace vlmutool {
namespace {

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

}  // namespace

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
  platform::StoreLe32(header, 44, 0);
  platform::StoreLe32(image, 44, Crc32::Checksum(header.data(), header.size()));
  return true;
}

void AppendDfuSuffix(std::string& image, const DfuSuffixFields& fields) {
  const std::size_t at = image.size();
  image.resize(at + kDfuSuffixSize, '\0');
  platform::StoreLe16(image, at + 0, fields.bcdDevice);
  platform::StoreLe16(image, at + 2, fields.idProduct);
  platform::StoreLe16(image, at + 4, fields.idVendor);
  platform::StoreLe16(image, at + 6, fields.bcdDfu);
  image[at + 8] = 'U';
  image[at + 9] = 'F';
  image[at + 10] = 'D';
  image[at + 11] = static_cast<char>(kDfuSuffixSize);
  platform::StoreLe32(image, at + 12, Crc32::DfuRegister(image.data(), at + 12));
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
  const uint64_t total =
      uint64_t{headerLength} + spec.infoText.size() + spec.payload.size() + (spec.suffix ? kDfuSuffixSize : 0);
  if (total > std::numeric_limits<uint32_t>::max()) {
    SetError(error, "the image would be larger than 4 GiB - 1 bytes");
    return {};
  }

  std::string image(headerLength, '\0');
  std::memcpy(image.data(), spec.version == 0 ? "vLmD" : "VlMd", 4);
  platform::StoreLe32(image, 4, spec.headerValue);
  std::memcpy(image.data() + 8, spec.date.data(), spec.date.size());
  std::memcpy(image.data() + 16, spec.time.data(), spec.time.size());
  image[22] = static_cast<char>(spec.timeTrailer[0]);
  image[23] = static_cast<char>(spec.timeTrailer[1]);
  platform::StoreLe32(image, 24, spec.modelId);
  platform::StoreLe32(image, 28, spec.softwareVersion);
  platform::StoreLe32(image, 32, spec.hwId);
  image[36] = static_cast<char>(spec.vendorId & 0xFFu);
  image[37] = static_cast<char>((spec.vendorId >> 8) & 0xFFu);
  image[38] = static_cast<char>((spec.vendorId >> 16) & 0xFFu);
  platform::StoreLe32(image, 40, spec.fileVersion);
  // Sections: none at 48 and 64; the firmware data follows the info text.
  platform::StoreLe32(image, 80, static_cast<uint32_t>(headerLength + spec.infoText.size()));
  FixHeaderCrc(image);
  if (spec.corruptHeaderCrc) platform::StoreLe32(image, 44, platform::LoadLe32(image, 44) ^ 0x00000001u);

  image += spec.infoText;
  image += spec.payload;
  if (spec.suffix) AppendDfuSuffix(image, *spec.suffix);
  return image;
}

}  // namespace vlmutool
