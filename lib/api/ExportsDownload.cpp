// Exports that start a download, report its progress, set the engine's
// time-outs and read or write the device's serial number.
#include "api/ApiFrame.h"
#include "dfu/DfuDevice.h"
#include "image/VldFile.h"
#include "log/DiagnosticLog.h"
#include "vlmufwdl.h"

namespace {

// Status of an export whose work threw (for instance when no memory is
// left): nothing may cross the C interface.
constexpr uint32_t kInternalFailure = VLMUFWDL_STATUS_INVALID_PARAMETER;

// No device is open: no handle, and no download whose worker holds the device
// (its handle is closed while it waits for the device to come back).
bool NoDeviceOpen(const DfuDevice& device) { return !device.IsOpen() && !device.IsThreadRunning(); }

uint32_t StartDownloadLocked(const char* VldFileName, uint32_t Options) {
  DfuDevice& device = TheDfuDevice();
  if (VldFileName == nullptr) {
    VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: parameter 'VldFileName' is NULL");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (NoDeviceOpen(device)) {
    VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: No open device found.\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (device.IsThreadRunning()) {
    VLOG(LOG_ERROR, "VLMUFWDL_StartDownload failed, because download is in progress\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  VLOG(LOG_API_ENTRY, "VLMUFWDL_StartDownload( '%s',0x%08X )\n", VldFileName, Options);

  uint32_t result = 0;
  {
    VldFile file;
    result = file.Open(VldFileName);
    if (result != 0) {
      VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: Open file failed with 0x%08X.\n", result);
    } else {
      const uint32_t fileSize = file.FileSize();
      uint8_t* buffer = device.GetFirmwareBuffer(fileSize);
      if (buffer == nullptr) {
        VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: no firmware buffer of %u bytes.\n", fileSize);
        result = VLMUFWDL_STATUS_INVALID_PARAMETER;
      } else {
        uint32_t bytesRead = 0;
        result = file.Read(buffer, fileSize, bytesRead);
        if (result != 0) {
          VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: Read file content failed with 0x%08X.\n", result);
        } else if (bytesRead != fileSize) {
          // The file shrank after it was validated: never send part of an image.
          VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: Read file size = %u, required = %u.\n", bytesRead, fileSize);
          result = VLMUFWDL_STATUS_FILE_READ_FAILED;
        } else {
          result = device.StartFirmwareDownload(fileSize);
          if (result != 0) {
            VLOG(LOG_ERROR, "VLMUFWDL_StartDownload: StartFirmwareDownload failed with 0x%08X.\n", result);
          }
        }
      }
    }
    VLOG(LOG_API_RETURN, "VLMUFWDL_StartDownload returning 0x%08X\n", result);
  }  // the reader is destroyed here, closing the file before the export returns
  return result;
}

uint32_t SetTimeoutLocked(int32_t TimeoutSelector, uint32_t TimeoutMs) {
  DfuDevice& device = TheDfuDevice();
  if (device.IsThreadRunning()) {
    VLOG(LOG_ERROR, "VLMUFWDL_SetTimeout failed, because download is in progress\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  VLOG(LOG_API_ENTRY, "VLMUFWDL_SetTimeout( %d, %u )\n", static_cast<int>(TimeoutSelector), TimeoutMs);
  uint32_t result = 0;
  switch (TimeoutSelector) {
    case VLMUFWDL_TIMEOUT_REPLUG:
    case VLMUFWDL_TIMEOUT_BLOCK_POLL:
    case VLMUFWDL_TIMEOUT_MANIFEST_POLL:
      device.SetTimeoutValue(TimeoutSelector, TimeoutMs);
      break;
    default:
      VLOG(LOG_ERROR, "VLMUFWDL_SetTimeout: unexpected timeout parameter %d\n", static_cast<int>(TimeoutSelector));
      result = VLMUFWDL_STATUS_INVALID_TIMEOUT_SELECTOR;
      break;
  }
  VLOG(LOG_API_RETURN, "VLMUFWDL_SetTimeout returning 0x%08X\n", result);
  return result;
}

uint32_t SetSerialNumberLocked(const char* SerialNumber) {
  DfuDevice& device = TheDfuDevice();
  if (SerialNumber == nullptr) {
    VLOG(LOG_ERROR, "VLMUFWDL_SetSerialNumber: parameter 'SerialNumber' is NULL");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (NoDeviceOpen(device)) {
    VLOG(LOG_ERROR, "VLMUFWDL_SetSerialNumber: No open device found.\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (device.IsThreadRunning()) {
    VLOG(LOG_ERROR, "VLMUFWDL_SetSerialNumber failed, because download is in progress\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  VLOG(LOG_API_ENTRY, "VLMUFWDL_SetSerialNumber( '%s' )\n", SerialNumber);
  const uint32_t result = device.SetSerialNumber(SerialNumber);
  if (result != 0) {
    VLOG(LOG_ERROR, "VLMUFWDL_SetSerialNumber: SetSerialNumber failed with 0x%08X.\n", result);
  }
  VLOG(LOG_API_RETURN, "VLMUFWDL_SetSerialNumber returning 0x%08X\n", result);
  return result;
}

uint32_t GetSerialNumberLocked(char** SerialNumber, uint16_t SerialNumberBufferSize) {
  DfuDevice& device = TheDfuDevice();
  if (SerialNumber == nullptr) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber: parameter 'SerialNumber' is NULL");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (*SerialNumber == nullptr) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber: parameter '*SerialNumber' is NULL");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (SerialNumberBufferSize == 0) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber: parameter 'SerialNumberBufferSize' is 0");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (NoDeviceOpen(device)) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber: No open device found.\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (device.IsThreadRunning()) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber failed, because download is in progress\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }
  VLOG(LOG_API_ENTRY, "VLMUFWDL_GetSerialNumber( %s,%u )\n", FormatPointer(SerialNumber).c_str(),
       static_cast<unsigned>(SerialNumberBufferSize));
  const uint32_t result = device.GetSerialNumber(SerialNumber, SerialNumberBufferSize);
  if (result != 0) {
    VLOG(LOG_ERROR, "VLMUFWDL_GetSerialNumber: GetSerialNumber failed with 0x%08X.\n", result);
  }
  VLOG(LOG_API_RETURN, "VLMUFWDL_GetSerialNumber returning 0x%08X\n", result);
  return result;
}

}  // namespace

extern "C" {

VLMUFWDL_API uint32_t VLMUFWDL_StartDownload(const char* VldFileName, uint32_t Options) {
  return GuardedExport("VLMUFWDL_StartDownload", kInternalFailure, [&] {
    ApiFrame frame;
    return StartDownloadLocked(VldFileName, Options);
  });
}

VLMUFWDL_API uint32_t VLMUFWDL_SetTimeout(int32_t TimeoutSelector, uint32_t TimeoutMs) {
  return GuardedExport("VLMUFWDL_SetTimeout", kInternalFailure, [&] {
    ApiFrame frame;
    return SetTimeoutLocked(TimeoutSelector, TimeoutMs);
  });
}

VLMUFWDL_API uint32_t VLMUFWDL_GetDownloadStatus(uint32_t* BytesDownloaded, uint32_t* TotalBytes) {
  // Polled by callers: no API entries on this path.
  return GuardedExport("VLMUFWDL_GetDownloadStatus", kInternalFailure, [&]() -> uint32_t {
    ApiFrame frame;
    if (BytesDownloaded == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetDownloadStatus: parameter 'BytesDownloaded' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    if (TotalBytes == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetDownloadStatus: parameter 'TotalBytes' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    DownloadStatusInfo& status = TheDfuDevice().DownloadStatus();
    *BytesDownloaded = status.GetBytesDownloaded();
    *TotalBytes = status.GetTotalBytes();
    return status.GetStatus();
  });
}

VLMUFWDL_API uint32_t VLMUFWDL_SetSerialNumber(const char* SerialNumber) {
  return GuardedExport("VLMUFWDL_SetSerialNumber", kInternalFailure, [&] {
    ApiFrame frame;
    return SetSerialNumberLocked(SerialNumber);
  });
}

VLMUFWDL_API uint32_t VLMUFWDL_GetSerialNumber(char** SerialNumber, uint16_t SerialNumberBufferSize) {
  return GuardedExport("VLMUFWDL_GetSerialNumber", kInternalFailure, [&] {
    ApiFrame frame;
    return GetSerialNumberLocked(SerialNumber, SerialNumberBufferSize);
  });
}

}  // extern "C"
