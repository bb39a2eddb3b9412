#pragma once
// The firmware download library as the program sees it: the nine exports it
// calls, behind an interface so that the dialogs' logic can be driven by a
// fake in tests. CreateExportedLibrary gives the one that calls the real
// exports of velmora_dfu_x64.
#include <cstdint>
#include <memory>

#include "vlmufwdl.h"

namespace vlmapp {

class FirmwareLibrary {
 public:
  virtual ~FirmwareLibrary() = default;
  virtual uint32_t GetApiVersion() = 0;
  virtual uint32_t EnableLogging(const char* logFileName) = 0;
  virtual uint32_t EnumerateDevices(const char* interfaceGuid, uint32_t* count) = 0;
  virtual uint32_t GetDeviceInfo(uint32_t index, VLMUFWDL_DEVICE_INFO* info) = 0;
  virtual uint32_t GetVldFileInfo(const char* fileName, VLMUFWDL_VLD_FILE_INFO* info) = 0;
  virtual uint32_t OpenDevice(uint32_t index) = 0;
  virtual uint32_t CloseDevice() = 0;
  virtual uint32_t StartDownload(const char* fileName, uint32_t options) = 0;
  virtual uint32_t GetDownloadStatus(uint32_t* bytesDownloaded, uint32_t* totalBytes) = 0;
};

std::unique_ptr<FirmwareLibrary> CreateExportedLibrary();

}  // namespace vlmapp
