// DfuDevice: open, close and reopen a device, read its identity and find its
// DFU interface and DFU functional descriptor.
#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"
#include "platform/ByteOrder.h"

namespace {

constexpr uint8_t kTypeInterface = 0x04;
constexpr uint8_t kTypeDfuFunctional = 0x21;
constexpr uint8_t kTypeString = 0x03;
constexpr uint8_t kClassApplicationSpecific = 0xFE;
constexpr uint8_t kSubclassDfu = 0x01;

constexpr uint32_t kConfigHeaderLength = 9;
constexpr unsigned kInterfaceLength = 9;
constexpr uint32_t kDescriptorBufferSize = 65535;
constexpr uint32_t kStringBufferSize = 256;

}  // namespace

DfuDevice::DfuDevice() = default;

DfuDevice::~DfuDevice() {
  VLOG(LOG_INFO, "DfuDevice::~DfuDevice ...\n");
  // The worker uses this object; it has to end before the object does.
  if (IsThreadRunning()) StopThreadAndWait();
  if (IsOpen()) {
    VLOG(LOG_ERROR, "~DfuDevice: Device is still open. Closing ...\n");
    Close();
  }
  mFirmware.reset();
  mFirmwareBufferSize = 0;
}

uint16_t DfuDevice::GetVendorId() const {
  std::lock_guard<std::mutex> lock(mDeviceInfoLock);
  return mVendorId;
}

uint16_t DfuDevice::GetProductId() const {
  std::lock_guard<std::mutex> lock(mDeviceInfoLock);
  return mProductId;
}

void DfuDevice::CopySerialNumber(uint16_t* out, size_t maxUnits) const {
  if (out == nullptr) return;
  const size_t n = std::min(maxUnits, sizeof mSerialNumber / sizeof mSerialNumber[0]);
  std::lock_guard<std::mutex> lock(mDeviceInfoLock);
  std::memcpy(out, mSerialNumber, n * sizeof(uint16_t));
}

uint32_t DfuDevice::OpenDevice(VlmuDeviceSet& deviceSet, uint32_t deviceIndex) {
  VLOG(LOG_INFO, "DfuDevice::Open ...\n");
  if (IsOpen()) {
    VLOG(LOG_ERROR, "DfuDevice::OpenDevice: Another device is already open.\n");
    return VLMU_E_ALREADY_OPEN;
  }
  const uint32_t st = Open(deviceIndex, deviceSet.DeviceInfo(), &deviceSet.InterfaceGuid());
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::OpenDevice: Open failed with 0x%08X\n", st);
    return VLMUFWDL_STATUS_DEVICE_OPEN_FAILED;
  }
  const uint32_t infoStatus = ReadDeviceInfo();
  if (infoStatus != 0) {
    VLOG(LOG_ERROR, "DfuDevice::OpenDevice: ReadDeviceInfo failed with 0x%08X\n", infoStatus);
    return infoStatus;
  }
  const uint32_t dfuStatus = GetDfuDescriptorData();
  if (dfuStatus != 0) {
    VLOG(LOG_ERROR, "DfuDevice::OpenDevice: GetDfuDescriptorData failed with 0x%08X\n", dfuStatus);
    return dfuStatus;
  }
  return 0;
}

uint32_t DfuDevice::Close() {
  VLOG(LOG_INFO, "DfuDevice::Close ...\n");
  mDownloadStatus.Reset();
  mBlockNumber = 0;
  {
    std::lock_guard<std::mutex> lock(mDeviceInfoLock);
    mVendorId = 0;
    mProductId = 0;
    std::memset(mSerialNumber, 0, sizeof mSerialNumber);
  }
  std::memset(mDeviceDescriptor, 0, sizeof mDeviceDescriptor);
  mDfuInterfaceNumber = 0;
  mDfuAttributes = 0;
  mDetachTimeout = 0;
  mTransferSize = 0;
  std::memset(mDfuStatus, 0, sizeof mDfuStatus);
  mPollTimeout = 0;
  mRemainingWait = 0;
  VlmuDevice::Close();
  return 0;
}

uint32_t DfuDevice::CloseAndReopen(bool waitForReplug, uint32_t timeoutMs) {
  VLOG(LOG_INFO, "DfuDevice::CloseAndReopen( ...\n");
  const uint32_t st = VlmuDevice::CloseAndReopen(waitForReplug, timeoutMs);
  if (st == VLMU_E_TIMEOUT) {
    VLOG(LOG_ERROR, "CloseAndReopen: Time-out interval = %u elapsed.\n", timeoutMs);
    return VLMUFWDL_STATUS_REPLUG_TIMEOUT;
  }
  if (st != 0) {
    VLOG(LOG_ERROR, "CloseAndReopen:: CloseAndReopen failed with 0x%08X\n", st);
    return VLMUFWDL_STATUS_DEVICE_OPEN_FAILED;
  }
  const uint32_t infoStatus = ReadDeviceInfo();
  if (infoStatus != 0) {
    VLOG(LOG_ERROR, "CloseAndReopen: ReadDeviceInfo failed with 0x%08X\n", infoStatus);
    return infoStatus;
  }
  const uint32_t dfuStatus = GetDfuDescriptorData();
  if (dfuStatus != 0) {
    VLOG(LOG_ERROR, "CloseAndReopen: GetDfuDescriptorData failed with error 0x%08X.\n", dfuStatus);
    return dfuStatus;
  }
  return 0;
}

uint32_t DfuDevice::ReadDeviceInfo() {
  VLOG(LOG_INFO, "DfuDevice::ReadDeviceInfo ...\n");
  {
    std::lock_guard<std::mutex> lock(mDeviceInfoLock);
    mVendorId = 0;
    mProductId = 0;
    std::memset(mSerialNumber, 0, sizeof mSerialNumber);
  }
  const uint32_t st = GetDeviceDescriptor(mDeviceDescriptor);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::ReadDeviceInfo: GetDeviceDescriptor failed with 0x%08X\n", st);
    return VLMUFWDL_STATUS_DESCRIPTOR_REQUEST;
  }
  {
    std::lock_guard<std::mutex> lock(mDeviceInfoLock);
    mVendorId = platform::LoadLe16(mDeviceDescriptor + 8);
  }
  {
    std::lock_guard<std::mutex> lock(mDeviceInfoLock);
    mProductId = platform::LoadLe16(mDeviceDescriptor + 10);
  }
  const uint8_t serialIndex = mDeviceDescriptor[16];
  if (serialIndex == 0) return 0;

  uint8_t languages[kStringBufferSize];
  uint32_t received = 0;
  uint32_t sst = GetStringDescriptor(languages, sizeof languages, &received, 0, 0);
  if (sst != 0) {
    VLOG(LOG_WARNING, "DfuDevice::ReadDeviceInfo: Get language IDs not supported: st: 0x%08X\n", sst);
    return 0;
  }
  if (received < 4) {
    VLOG(LOG_WARNING, "DfuDevice::ReadDeviceInfo: Language IDs not supported\n");
    return 0;
  }
  const uint16_t languageId = platform::LoadLe16(languages + 2);

  uint8_t text[kStringBufferSize];
  received = 0;
  sst = GetStringDescriptor(text, sizeof text, &received, serialIndex, languageId);
  if (sst != 0) {
    VLOG(LOG_WARNING, "DfuDevice::ReadDeviceInfo: GetStringDescriptor st: 0x%08X\n", sst);
    return 0;
  }
  if (received <= 2 || text[1] != kTypeString) {
    VLOG(LOG_ERROR, "DfuDevice::ReadDeviceInfo: invalid string desc. length: %d desctype: %d\n",
         static_cast<int>(received), static_cast<int>(received >= 2 ? text[1] : 0));
    return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
  }
  // Only whole UTF-16 characters of what actually came are taken: an odd
  // trailing byte is dropped, and the copy stops at the first NUL character.
  const uint32_t bytes = std::min<uint32_t>(received, sizeof text);
  const size_t characters = std::min<size_t>((bytes - 2) / 2, 255);
  std::lock_guard<std::mutex> lock(mDeviceInfoLock);
  std::memset(mSerialNumber, 0, sizeof mSerialNumber);
  for (size_t i = 0; i < characters; ++i) {
    const uint16_t c = platform::LoadLe16(text + 2 + 2 * i);
    if (c == 0) break;
    mSerialNumber[i] = c;
  }
  return 0;
}

uint32_t WalkConfigurationDescriptor(std::span<const uint8_t> configuration, uint8_t configIndex,
                                     DfuDescriptorSearch& search) {
  const unsigned c = configIndex;
  const size_t end = configuration.size();
  size_t p = kConfigHeaderLength;
  while (p < end) {
    if (p + 2 >= end) {
      VLOG(LOG_ERROR,
           "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. Cannot read header of the "
           "next descriptor.\n",
           c);
      return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
    }
    const uint8_t length = configuration[p];
    const uint8_t type = configuration[p + 1];
    VLOG(LOG_INFO, "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u: found descriptor of type 0x%02X.\n",
         c, static_cast<unsigned>(type));
    if (length == 0) {
      VLOG(LOG_ERROR,
           "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. Descriptor at offset %u has "
           "length 0.\n",
           c, static_cast<unsigned>(p));
      return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
    }
    if (p + length > end) {
      VLOG(LOG_ERROR,
           "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. Cannot read found descriptor "
           "with length %u.\n",
           c, static_cast<unsigned>(length));
      return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
    }
    const uint8_t* d = configuration.data() + p;
    if (!search.interfaceFound) {
      if (type == kTypeInterface) {
        if (length != kInterfaceLength) {
          VLOG(LOG_ERROR,
               "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. Interface length is %u, "
               "expected %u.\n",
               c, static_cast<unsigned>(length), kInterfaceLength);
          return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
        }
        if (d[5] == kClassApplicationSpecific && d[6] == kSubclassDfu) {
          const uint8_t protocol = d[7];
          if (protocol == 0) {
            search.expectedFunctionalLength = 7;
          } else if (protocol == 1 || protocol == 2) {
            search.expectedFunctionalLength = 9;
          } else {
            VLOG(LOG_ERROR,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. Unxepected interface "
                 "protocol %u.\n",
                 c, static_cast<unsigned>(protocol));
            return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
          }
          search.interfaceNumber = d[2];
          VLOG(LOG_INFO, "DfuDevice::GetDfuDescriptorData: DFU interface descriptor found (bInterfaceNumber = %u).\n",
               static_cast<unsigned>(search.interfaceNumber));
          search.interfaceFound = true;
        }
      }
    } else if (type == kTypeDfuFunctional) {
      if (length != search.expectedFunctionalLength) {
        VLOG(LOG_ERROR,
             "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u is corrupt. DFU Functional Descriptor "
             "length is %u, expected %u.\n",
             c, static_cast<unsigned>(length), static_cast<unsigned>(search.expectedFunctionalLength));
        return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
      }
      search.attributes = d[2];
      search.detachTimeout = platform::LoadLe16(d + 3);
      search.transferSize = platform::LoadLe16(d + 5);
      search.functionalFound = true;
      VLOG(LOG_INFO,
           "DfuDevice::GetDfuDescriptorData: DFU functional descriptor found (bmAttributes = 0x%02X, "
           "wDetachTimeout = %u, wTransferSize = %u).\n",
           static_cast<unsigned>(search.attributes), static_cast<unsigned>(search.detachTimeout),
           static_cast<unsigned>(search.transferSize));
      return 0;
    }
    p += length;
  }
  return 0;
}

uint32_t DfuDevice::ReadConfigurationDescriptor(uint8_t configIndex, std::vector<uint8_t>& buffer,
                                                uint32_t* totalLength) {
  const unsigned c = configIndex;
  uint32_t received = 0;
  uint32_t st = GetConfigurationDescriptor(buffer.data(), kConfigHeaderLength, &received, configIndex);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Failed with 0x%08X to read configuration descriptor %u.\n", st,
         c);
    return VLMUFWDL_STATUS_DESCRIPTOR_REQUEST;
  }
  if (received != kConfigHeaderLength) {
    VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Received %u bytes for header of configuration descriptor %u.\n",
         received, c);
    return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
  }
  *totalLength = platform::LoadLe16(buffer.data() + 2);
  if (*totalLength <= kConfigHeaderLength || *totalLength > kDescriptorBufferSize) {
    VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Configuration descriptor %u with invalid wTotalLength = %u.\n", c,
         *totalLength);
    return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
  }
  // The walk covers wTotalLength bytes; a shorter answer leaves zeros there
  // (the transport clears the output buffer), which end the walk at the first
  // zero length byte.
  st = GetConfigurationDescriptor(buffer.data(), *totalLength, &received, configIndex);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Failed with 0x%08X to read configuration descriptor %u.\n", st,
         c);
    return VLMUFWDL_STATUS_DESCRIPTOR_REQUEST;
  }
  return 0;
}

uint32_t DfuDevice::GetDfuDescriptorData() {
  VLOG(LOG_INFO, "DfuDevice::GetDfuDescriptorData ... \n");
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(kDescriptorBufferSize, 0);
  } catch (const std::bad_alloc&) {
    VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Out of memory.\n");
    return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
  }
  DfuDescriptorSearch search;
  const uint8_t numConfigurations = mDeviceDescriptor[17];
  for (uint8_t c = 0; c < numConfigurations; ++c) {
    uint32_t totalLength = 0;
    uint32_t st = ReadConfigurationDescriptor(c, buffer, &totalLength);
    if (st != 0) return st;
    st = WalkConfigurationDescriptor(std::span<const uint8_t>(buffer.data(), totalLength), c, search);
    if (search.interfaceFound) mDfuInterfaceNumber = search.interfaceNumber;
    if (st != 0) return st;
    if (search.functionalFound) {
      mDfuAttributes = search.attributes;
      mDetachTimeout = search.detachTimeout;
      mTransferSize = search.transferSize;
      return 0;
    }
    // A DFU interface without a functional descriptor in its configuration
    // ends the search.
    if (search.interfaceFound) break;
  }
  VLOG(LOG_ERROR, "DfuDevice::GetDfuDescriptorData: Not all required DFU descriptor data found.\n");
  return VLMUFWDL_STATUS_INVALID_DESCRIPTOR;
}

uint8_t* DfuDevice::GetFirmwareBuffer(uint32_t size) {
  if (mFirmwareBufferSize < size) {
    mFirmware.reset();
    mFirmware.reset(new (std::nothrow) uint8_t[size]);
    if (!mFirmware) {
      mFirmwareBufferSize = 0;
      return nullptr;
    }
    mFirmwareBufferSize = size;
  }
  if (mFirmware) std::memset(mFirmware.get(), 0, mFirmwareBufferSize);
  return mFirmware.get();
}
