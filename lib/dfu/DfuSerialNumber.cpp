// Reading and writing the device's serial number through the vendor requests
// of its DFU-mode firmware.
#include <cstring>
#include <vector>

#include "dfu/ControlRequest.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"

using dfu::ControlSetup;
using dfu::kControlHeaderSize;

uint32_t DfuDevice::SetSerialNumber(const char* serialNumber) {
  VLOG(LOG_INFO, "DfuDevice::SetSerialNumber( %s )...\n", serialNumber != nullptr ? serialNumber : "NULL");
  if (!IsOpen()) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: device not open\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (serialNumber == nullptr) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: SerialNumber is NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  const size_t length = std::strlen(serialNumber);
  if (length > kMaxSerialNumberLength) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: SerialNumber has %zu characters, at most %u are allowed\n", length,
         kMaxSerialNumberLength);
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (IsThreadRunning()) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: a download is currently running.\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  const uint32_t tst = StartPnPTracking();
  if (tst != 0) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: StartPnPTracking failed with 0x%08X.\n", tst);
    return tst;
  }

  uint8_t state = 0;
  uint32_t result = SwitchDeviceToDfu(&state);
  if (result != 0) {
    VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: SwitchDeviceToDfu failed with 0x%08X\n", result);
  } else {
    result = VendorSetSerialNumber(serialNumber);
    if (result != 0) {
      VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: VendorSetSerialNumber failed with 0x%08X\n", result);
    } else {
      result = SwitchDeviceBackFromDfu(&state);
      if (result != 0) {
        VLOG(LOG_ERROR, "DfuDevice::SetSerialNumber: SwitchDeviceBackFromDfu failed with 0x%08X\n", result);
      }
    }
  }
  StopPnPTracking();
  return result;
}

uint32_t DfuDevice::GetSerialNumber(char** serialNumber, uint16_t bufferSize) {
  VLOG(LOG_INFO, "DfuDevice::GetSerialNumber( %s )...\n", FormatPointer(serialNumber).c_str());
  if (!IsOpen()) {
    VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: device not open\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (serialNumber == nullptr) {
    VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: SerialNumber is NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (IsThreadRunning()) {
    VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: a download is currently running.\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  const uint32_t tst = StartPnPTracking();
  if (tst != 0) {
    VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: StartPnPTracking failed with 0x%08X.\n", tst);
    return tst;
  }

  uint8_t state = 0;
  uint32_t result = SwitchDeviceToDfu(&state);
  if (result != 0) {
    VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: SwitchDeviceToDfu failed with 0x%08X\n", result);
  } else {
    // The read request logs its own failure.
    result = VendorGetSerialNumber(serialNumber, bufferSize);
    if (result == 0) {
      result = SwitchDeviceBackFromDfu(&state);
      if (result != 0) {
        VLOG(LOG_ERROR, "DfuDevice::GetSerialNumber: SwitchDeviceBackFromDfu failed with 0x%08X\n", result);
      }
    }
  }
  StopPnPTracking();
  return result;
}

uint32_t DfuDevice::VendorSetSerialNumber(const char* serialNumber) {
  VLOG(LOG_INFO, "DfuDevice::VendorSetSerialNumber ...\n");
  if (serialNumber == nullptr) {
    VLOG(LOG_ERROR, "DfuDevice::VendorSetSerialNumber: SerialNumber == NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  const size_t length = std::strlen(serialNumber);
  if (length > kMaxSerialNumberLength) {
    VLOG(LOG_ERROR,
         "DfuDevice::VendorSetSerialNumber: SerialNumber has %zu characters, at most %u are "
         "allowed\n",
         length, kMaxSerialNumberLength);
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  std::vector<uint8_t> request(kControlHeaderSize + length, 0);
  dfu::WriteControlHeader(
      request.data(), ControlSetup{dfu::kDirHostToDevice, dfu::kTypeVendor, dfu::kRecipientInterface,
                                   VENDOR_SET_SERIAL_NUMBER, 0, mDfuInterfaceNumber, static_cast<uint16_t>(length)});
  if (length != 0) std::memcpy(request.data() + kControlHeaderSize, serialNumber, length);
  const uint32_t st = SendControlRequest(request.data(), static_cast<uint32_t>(request.size()), nullptr, 0, nullptr);
  if (st != 0) {
    VLOG(LOG_ERROR, "DfuDevice::VendorSetSerialNumber: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_REQUEST_FAILED;
  }
  return 0;
}

uint32_t DfuDevice::VendorGetSerialNumber(char** serialNumber, uint16_t bufferSize) {
  VLOG(LOG_INFO, "DfuDevice::VendorGetSerialNumber ...\n");
  if (serialNumber == nullptr) {
    VLOG(LOG_ERROR, "DfuDevice::VendorGetSerialNumber: SerialNumber == NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (*serialNumber == nullptr) {
    VLOG(LOG_ERROR, "DfuDevice::VendorGetSerialNumber: *SerialNumber == NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (bufferSize == 0) {
    VLOG(LOG_ERROR, "DfuDevice::VendorGetSerialNumber: SerialNumberBufferSize == 0\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  char* buffer = *serialNumber;
  uint8_t header[kControlHeaderSize] = {};
  dfu::WriteControlHeader(header, ControlSetup{dfu::kDirDeviceToHost, dfu::kTypeVendor, dfu::kRecipientInterface,
                                               VENDOR_GET_SERIAL_NUMBER, 0, mDfuInterfaceNumber, bufferSize});
  uint32_t received = 0;
  const uint32_t st = SendControlRequest(header, sizeof(header), buffer, bufferSize, &received);
  if (st != 0) {
    buffer[0] = '\0';
    VLOG(LOG_ERROR, "DfuDevice::VendorGetSerialNumber: st: 0x%08X\n", st);
    return VLMUFWDL_STATUS_REQUEST_FAILED;
  }
  // Always terminated inside the buffer: a reply that fills the whole buffer
  // loses its last character.
  const uint32_t last = static_cast<uint32_t>(bufferSize) - 1u;
  buffer[received < last ? received : last] = '\0';
  return 0;
}
