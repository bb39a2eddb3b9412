#include "image/VldFile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "image/Crc32.h"
#include "log/DiagnosticLog.h"
#include "platform/ByteOrder.h"
#include "platform/FileSystem.h"

namespace {

using platform::LoadLe32;

// Chunk size of the suffix CRC run.
constexpr std::size_t kCrcChunk = 256 * 1024;

}  // namespace

VldFile::~VldFile() {
  VLOG(LOG_INFO, "VldFile::~VldFile ...\n");
  if (IsOpen()) Close();
}

uint32_t VldFile::HeaderWord(uint32_t offset) const noexcept { return LoadLe32(mHeader + offset); }

uint32_t VldFile::Open(const char* path) {
  VLOG(LOG_INFO, "VldFile::Open ...\n");
  if (IsOpen()) {
    VLOG(LOG_ERROR, "VldFile::Open: file is already open.\n");
    return VLMUFWDL_STATUS_VLD_FILE_STATE;
  }
  if (path == nullptr) path = "";

  uint32_t status = OpenImageFile(path);
  if (status == VLMUFWDL_STATUS_SUCCESS) status = CheckDfuSuffix();
  if (status == VLMUFWDL_STATUS_SUCCESS) status = ReadHeader();
  if (status == VLMUFWDL_STATUS_SUCCESS) status = CheckHeaderAndReadInfoText();
  if (status == VLMUFWDL_STATUS_SUCCESS && std::fseek(mFile, 0, SEEK_SET) != 0) {
    VLOG(LOG_ERROR, "VldFile::Open: seeking to the start of file '%s' failed.\n", mPath.c_str());
    status = VLMUFWDL_STATUS_FILE_READ_FAILED;
  }
  // Every failure after the file was opened leaves the reader closed and empty.
  if (status != VLMUFWDL_STATUS_SUCCESS && IsOpen()) Close();
  return status;
}

uint32_t VldFile::OpenImageFile(const char* path) {
  platform::FileAttributes attributes;
  if (!platform::QueryFileAttributes(path, attributes)) {
    VLOG(LOG_ERROR, "VldFile::Open: file '%s' could not be found.\n", path);
    return VLMUFWDL_STATUS_FILE_OPEN_FAILED;
  }
  // Only a regular file: a pipe or a device can block without end or never end.
  mFile = platform::OpenRegularFile(path, "rb");
  if (mFile == nullptr) {
    VLOG(LOG_ERROR, "open file '%s' failed\n", path);
    return VLMUFWDL_STATUS_FILE_OPEN_FAILED;
  }
  mPath = path;
  // Sizes and byte counts of images are 32-bit throughout (download totals,
  // progress); a larger file cannot be an image.
  if (attributes.size > std::numeric_limits<uint32_t>::max()) {
    VLOG(LOG_ERROR, "VldFile::Open: file '%s' is too large to be a firmware image (%llu bytes).\n", mPath.c_str(),
         static_cast<unsigned long long>(attributes.size));
    return VLMUFWDL_STATUS_FILE_FORMAT;
  }
  mFileSize = static_cast<uint32_t>(attributes.size);
  return VLMUFWDL_STATUS_SUCCESS;
}

uint32_t VldFile::ReadHeader() {
  // Common header.
  if (std::fseek(mFile, 0, SEEK_SET) != 0 || std::fread(mHeader, 1, kCommonHeaderSize, mFile) != kCommonHeaderSize) {
    VLOG(LOG_ERROR, "reading common file header from file '%s' failed\n", mPath.c_str());
    return VLMUFWDL_STATUS_FILE_READ_FAILED;
  }

  // File identifier and version.
  if (std::memcmp(mHeader, "vLmD", 4) == 0) {
    mVersion = 0;
  } else if (std::memcmp(mHeader, "VlMd", 4) == 0) {
    const uint32_t fileVersion = HeaderWord(40);
    if (fileVersion != 1) {
      VLOG(LOG_ERROR, "file '%s': expected file version = 1, found version = %u\n", mPath.c_str(), fileVersion);
      return VLMUFWDL_STATUS_FILE_FORMAT;
    }
    mVersion = 1;
  } else {
    VLOG(LOG_ERROR, "unknown file identifier for file '%s' found.\n", mPath.c_str());
    return VLMUFWDL_STATUS_FILE_FORMAT;
  }

  // Version part, directly after the common bytes.
  const uint32_t versionPart = HeaderLength() - kCommonHeaderSize;
  if (std::fread(mHeader + kCommonHeaderSize, 1, versionPart, mFile) != versionPart) {
    if (mVersion == 0) {
      VLOG(LOG_ERROR, "reading V0-specific file header from file '%s' failed\n", mPath.c_str());
    } else {
      VLOG(LOG_ERROR, "reading V1-specific file header from file '%s' failed\n", mPath.c_str());
    }
    return VLMUFWDL_STATUS_FILE_READ_FAILED;
  }
  return VLMUFWDL_STATUS_SUCCESS;
}

uint32_t VldFile::CheckHeaderAndReadInfoText() {
  const uint32_t headerLength = HeaderLength();

  // Info text length: the first section that follows the text.
  uint32_t sectionOffset = HeaderWord(48);
  if (sectionOffset == 0 && mVersion == 0) sectionOffset = HeaderWord(64);
  if (sectionOffset == 0) sectionOffset = HeaderWord(80);
  if (sectionOffset == 0) {
    VLOG(LOG_WARNING, "File '%s' has no data. Therefore length of info text is unknown.\n", mPath.c_str());
  }

  // Header CRC over the whole header with the stored CRC counted as zero.
  unsigned char stored[4];
  std::memcpy(stored, mHeader + 44, sizeof stored);
  std::memset(mHeader + 44, 0, sizeof stored);
  const uint32_t calculated = Crc32::Checksum(mHeader, headerLength);
  std::memcpy(mHeader + 44, stored, sizeof stored);
  if (calculated != LoadLe32(stored)) {
    VLOG(LOG_ERROR, "Unexpected CRC header value in file '%s'\n", mPath.c_str());
    return VLMUFWDL_STATUS_HEADER_CRC;
  }

  // A section cannot begin inside the header: that would make the info text
  // length negative.
  if (sectionOffset != 0 && sectionOffset < headerLength) {
    VLOG(LOG_ERROR, "File '%s' is corrupt: section offset %u lies inside the header of %u bytes.\n", mPath.c_str(),
         sectionOffset, headerLength);
    return VLMUFWDL_STATUS_FILE_FORMAT;
  }
  return ReadInfoText(sectionOffset == 0 ? 0 : sectionOffset - headerLength);
}

uint32_t VldFile::CheckDfuSuffix() {
  if (mFileSize < kDfuSuffixSize) {
    VLOG(LOG_INFO, "VldFile::Open: no DFU suffix found.\n");
    return VLMUFWDL_STATUS_SUCCESS;
  }
  if (std::fseek(mFile, -static_cast<long>(kDfuSuffixSize), SEEK_END) != 0) {
    VLOG(LOG_WARNING, "VldFile::Open: fseek failed while reading DFU suffix.\n");
    return VLMUFWDL_STATUS_SUCCESS;
  }
  unsigned char suffix[kDfuSuffixSize] = {};
  const std::size_t got = std::fread(suffix, 1, kDfuSuffixSize, mFile);
  if (got < kDfuSuffixSize) {
    VLOG(LOG_WARNING, "VldFile::Open: fread failed while reading DFU suffix. Read %u bytes, expected %u.\n",
         static_cast<unsigned>(got), static_cast<unsigned>(kDfuSuffixSize));
  }
  if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D') {
    VLOG(LOG_INFO, "VldFile::Open: no DFU suffix found.\n");
    return VLMUFWDL_STATUS_SUCCESS;
  }
  VLOG(LOG_INFO, "VldFile::Open: DFU suffix found.\n");

  // The CRC covers every byte but dwCRC itself.
  uint32_t crcRegister = Crc32::kInitialRegister;
  uint32_t done = 0;
  if (std::fseek(mFile, 0, SEEK_SET) != 0 || !RunCrc(mFile, mFileSize - 4, crcRegister, done)) {
    VLOG(LOG_ERROR, "VldFile::Open: Failed to read byte %u from file '%s'\n", done, mPath.c_str());
    return VLMUFWDL_STATUS_FILE_READ_FAILED;
  }
  if (crcRegister != LoadLe32(suffix + 12)) {
    VLOG(LOG_ERROR, "VldFile::Open: File '%s' is corrupt. Calculated DFU CRC is wrong.\n", mPath.c_str());
    return VLMUFWDL_STATUS_DFU_SUFFIX_CRC;
  }
  return VLMUFWDL_STATUS_SUCCESS;
}

bool VldFile::RunCrc(std::FILE* file, uint32_t length, uint32_t& crcRegister, uint32_t& bytesDone) {
  bytesDone = 0;
  std::unique_ptr<unsigned char[]> heapChunk(new (std::nothrow) unsigned char[kCrcChunk]);
  unsigned char stackChunk[4096];
  unsigned char* chunk = heapChunk ? heapChunk.get() : stackChunk;
  const std::size_t chunkSize = heapChunk ? kCrcChunk : sizeof stackChunk;
  while (bytesDone < length) {
    const std::size_t want = std::min<std::size_t>(chunkSize, length - bytesDone);
    const std::size_t got = std::fread(chunk, 1, want, file);
    crcRegister = Crc32::Update(crcRegister, chunk, got);
    bytesDone += static_cast<uint32_t>(got);
    if (got < want) return false;
  }
  return true;
}

uint32_t VldFile::ReadInfoText(uint32_t length) {
  mInfoText.clear();
  if (length == 0) return VLMUFWDL_STATUS_SUCCESS;
  // The text lies between the header and the next section; a section offset
  // beyond the end of the file cannot be read (and must not size a buffer).
  const uint32_t headerLength = mVersion == 0 ? kV0HeaderSize : kV1HeaderSize;
  const uint32_t available = mFileSize > headerLength ? mFileSize - headerLength : 0;
  bool ok = length <= available;
  if (ok) {
    try {
      std::string text(length, '\0');
      ok = std::fread(text.data(), 1, length, mFile) == length;
      if (ok) mInfoText.assign(text, 0, text.find('\0'));  // the text ends at its first NUL
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (!ok) {
    VLOG(LOG_ERROR, "reading info text of file '%s' failed\n", mPath.c_str());
    mInfoText.clear();
    return VLMUFWDL_STATUS_FILE_READ_FAILED;
  }
  return VLMUFWDL_STATUS_SUCCESS;
}

uint32_t VldFile::GetFileInfo(VLMUFWDL_VLD_FILE_INFO* info) {
  VLOG(LOG_INFO, "VldFile::GetFileInfo ...\n");
  if (info == nullptr) {
    VLOG(LOG_ERROR, "VldFile::GetFileInfo: no record.\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  std::memset(info, 0, sizeof *info);
  if (!IsOpen()) {
    VLOG(LOG_ERROR, "VldFile::GetFileInfo: no open vld file.\n");
    return VLMUFWDL_STATUS_VLD_FILE_STATE;
  }
  info->HeaderValue = HeaderWord(4);
  info->ModelId = HeaderWord(24);
  info->SoftwareVersion = HeaderWord(28);
  info->HwId = HeaderWord(32);
  std::memcpy(info->SoftwareDate, mHeader + 8, 8);
  std::memcpy(info->SoftwareTime, mHeader + 16, 8);
  info->VendorId[0] = mHeader[38];
  info->VendorId[1] = mHeader[37];
  info->VendorId[2] = mHeader[36];

  const std::size_t length = mInfoText.size();
  if (length >= VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE) {
    VLOG(LOG_WARNING, "Info text of file %s will be truncated.\n", mPath.c_str());
    VLOG(LOG_WARNING, "VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE has to be greater then %u\n", static_cast<unsigned>(length));
  }
  const std::size_t copied = std::min<std::size_t>(length, VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE - 1);
  std::memcpy(info->InfoText, mInfoText.data(), copied);
  info->InfoText[copied] = '\0';
  return VLMUFWDL_STATUS_SUCCESS;
}

uint32_t VldFile::Read(void* buffer, uint32_t wanted, uint32_t& bytesRead) {
  VLOG(LOG_INFO, "VldFile::Read ...\n");
  if (!IsOpen()) {
    VLOG(LOG_ERROR, "VldFile::Read: no open vld file.\n");
    return VLMUFWDL_STATUS_VLD_FILE_STATE;
  }
  bytesRead = 0;
  if (buffer == nullptr && wanted != 0) {
    VLOG(LOG_ERROR, "VldFile::Read: no buffer.\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  const std::size_t n = wanted == 0 ? 0 : std::fread(buffer, 1, wanted, mFile);
  if (n == wanted || !std::ferror(mFile)) {
    bytesRead = static_cast<uint32_t>(n);
    return VLMUFWDL_STATUS_SUCCESS;
  }
  VLOG(LOG_ERROR, "VldFile::Read: fread failed.\n");
  return VLMUFWDL_STATUS_FILE_READ_FAILED;
}

void VldFile::Close() {
  VLOG(LOG_INFO, "VldFile::Close ...\n");
  if (mFile != nullptr) {
    std::FILE* file = mFile;
    mFile = nullptr;
    if (std::fclose(file) != 0) {
      VLOG(LOG_ERROR, "closing file '%s' failed\n", mPath.c_str());
    }
  }
  Clear();
}

void VldFile::Clear() {
  VLOG(LOG_INFO, "VldFile::Clear ...\n");
  // Normally Close has already closed the stream; a reader cleared while open
  // still releases it rather than leaking it.
  if (mFile != nullptr) {
    std::FILE* file = mFile;
    mFile = nullptr;
    if (std::fclose(file) != 0) {
      VLOG(LOG_ERROR, "closing file '%s' failed\n", mPath.c_str());
    }
  }
  std::memset(mHeader, 0, sizeof mHeader);
  mVersion = 0;
  mFileSize = 0;
  mPath.clear();
  mInfoText.clear();
}
