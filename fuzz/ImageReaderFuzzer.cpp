// libFuzzer target: the firmware image reader over image bytes chosen by the
// fuzzer. The header CRC and the DFU suffix CRC are recomputed (unless the
// flags say otherwise), so that mutations get past the checksums into the
// checks behind them: section offsets, sizes, identifiers, versions.
//
// Input layout:
//   byte 0  flags: bit 0 keep the header CRC as given, bit 1 keep the suffix
//           CRC as given
//   rest    the image file
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image/Crc32.h"
#include "image/VldFile.h"
#include "platform/ByteOrder.h"

namespace {

// The image lives in a memory file: a regular file as the reader wants one,
// without touching the disk.
int ImageFd() {
  static const int fd = ::memfd_create("vld-fuzz", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::vector<uint8_t> image(data + 1, data + size);
  // Header CRC (offset 44) over the header with that field zeroed.
  size_t headerLength = 0;
  if (image.size() >= 4 && std::memcmp(image.data(), "vLmD", 4) == 0) headerLength = VldFile::kV0HeaderSize;
  if (image.size() >= 4 && std::memcmp(image.data(), "VlMd", 4) == 0) headerLength = VldFile::kV1HeaderSize;
  if ((flags & 1) == 0 && headerLength != 0 && image.size() >= headerLength) {
    platform::StoreLe32(image.data() + 44, 0);
    platform::StoreLe32(image.data() + 44, Crc32::Checksum(image.data(), headerLength));
  }
  // DFU suffix CRC (the last 4 bytes) over everything before it.
  const size_t n = image.size();
  if ((flags & 2) == 0 && n >= VldFile::kDfuSuffixSize && std::memcmp(&image[n - 8], "UFD", 3) == 0)
    platform::StoreLe32(image.data() + n - 4, Crc32::DfuRegister(image.data(), n - 4));

  const int fd = ImageFd();
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
  if (!image.empty() && ::pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  VldFile file;
  if (file.Open(path.c_str()) != 0) return 0;
  VLMUFWDL_VLD_FILE_INFO info;
  (void)file.GetFileInfo(&info);
  char buffer[4096];
  for (int i = 0; i < 1024; ++i) {
    uint32_t got = 0;
    if (file.Read(buffer, sizeof buffer, got) != 0 || got == 0) break;
  }
  file.Close();
  return 0;
}
