#pragma once
// Reader of firmware image files (".vld"): validates the optional DFU suffix
// with its CRC, the file identifier, the version and the header CRC, describes
// the image in a VLMUFWDL_VLD_FILE_INFO record and hands out the file's bytes.
//
// File layout (little-endian):
//   header   48 common bytes, then 48 (version 0, "vLmD") or 64 (version 1,
//            "VlMd") version bytes; the header CRC at offset 44 covers the
//            whole header with those four bytes counted as zero
//   info     8-bit text directly after the header; its length is the first
//            non-zero section offset (48, 64 in version 0 only, 80) minus the
//            header length
//   ...      further sections, among them the firmware data (offset 80)
//   suffix   optional DFU 1.1 suffix, the last 16 bytes, marked by "UFD"
//
// A reader lives for one export call. It is open exactly when it holds a
// stream; every failed Open leaves it closed and empty.
#include <cstdint>
#include <cstdio>
#include <string>

#include "vlmufwdl.h"

class VldFile {
 public:
  static constexpr uint32_t kCommonHeaderSize = 48;
  static constexpr uint32_t kV0HeaderSize = 96;
  static constexpr uint32_t kV1HeaderSize = 112;
  static constexpr uint32_t kMaxHeaderSize = kV1HeaderSize;
  static constexpr uint32_t kDfuSuffixSize = 16;

  VldFile() = default;
  ~VldFile();
  VldFile(const VldFile&) = delete;
  VldFile& operator=(const VldFile&) = delete;

  // Validates the file and leaves it open, positioned at its first byte.
  // Returns 0, 1 (already open), 3 (missing, not a regular file, cannot be
  // opened), 4 (read failure, or a section that lies beyond the end of the
  // file), 5 (unknown identifier, wrong version, a file too large to be an
  // image, or a section offset inside the header), 6 (header CRC) or 48
  // (DFU suffix CRC).
  uint32_t Open(const char* path);

  // Fills `info` (zeroed first). Returns 0, 1 (not open) or 2 (null record).
  uint32_t GetFileInfo(VLMUFWDL_VLD_FILE_INFO* info);

  // Reads up to `wanted` bytes from the current position; `bytesRead` gets the
  // count (fewer than wanted at the end of the file). Returns 0, 1 (not open),
  // 2 (no buffer for a non-empty read) or 4 (stream error).
  uint32_t Read(void* buffer, uint32_t wanted, uint32_t& bytesRead);

  // Closes the stream (if any) and clears the reader.
  void Close();
  // Forgets everything: no stream, header zero, version 0, size 0, empty texts.
  void Clear();

  bool IsOpen() const noexcept { return mFile != nullptr; }
  // File size in bytes as found when opening (0 when closed).
  uint32_t FileSize() const noexcept { return mFileSize; }
  uint32_t Version() const noexcept { return mVersion; }
  const std::string& Path() const noexcept { return mPath; }
  const std::string& InfoText() const noexcept { return mInfoText; }

  // Runs `length` bytes of `file`, from its current position, through the
  // CRC register, reading in large chunks. Returns true when all came;
  // `bytesDone` is the number of bytes that came, which on failure is the
  // zero-based number of the first byte that could not be read.
  static bool RunCrc(std::FILE* file, uint32_t length, uint32_t& crcRegister, uint32_t& bytesDone);

 private:
  // The steps of Open, in order; each logs its failure and returns a status.
  // Open closes the file again after a failure.
  uint32_t OpenImageFile(const char* path);  // a regular file of 32-bit size
  uint32_t CheckDfuSuffix();                 // suffix CRC, when a suffix is present
  uint32_t ReadHeader();                     // identifier, version and header bytes
  uint32_t CheckHeaderAndReadInfoText();     // header CRC, then the info text
  uint32_t HeaderLength() const noexcept { return mVersion == 0 ? kV0HeaderSize : kV1HeaderSize; }
  uint32_t ReadInfoText(uint32_t length);
  uint32_t HeaderWord(uint32_t offset) const noexcept;

  std::FILE* mFile = nullptr;
  unsigned char mHeader[kMaxHeaderSize] = {};
  uint32_t mVersion = 0;
  uint32_t mFileSize = 0;
  std::string mPath;
  std::string mInfoText;
};
