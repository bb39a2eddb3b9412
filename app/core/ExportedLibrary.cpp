#include "FirmwareLibrary.h"

namespace vlmapp {
namespace {

class ExportedLibrary final : public FirmwareLibrary {
 public:
  uint32_t GetApiVersion() override { return VLMUFWDL_GetApiVersion(); }
  uint32_t EnableLogging(const char* logFileName) override { return VLMUFWDL_EnableLogging(logFileName); }
  uint32_t EnumerateDevices(const char* interfaceGuid, uint32_t* count) override {
    return VLMUFWDL_EnumerateDevices(interfaceGuid, count);
  }
  uint32_t GetDeviceInfo(uint32_t index, VLMUFWDL_DEVICE_INFO* info) override {
    return VLMUFWDL_GetDeviceInfo(index, info);
  }
  uint32_t GetVldFileInfo(const char* fileName, VLMUFWDL_VLD_FILE_INFO* info) override {
    return VLMUFWDL_GetVldFileInfo(fileName, info);
  }
  uint32_t OpenDevice(uint32_t index) override { return VLMUFWDL_OpenDevice(index); }
  uint32_t CloseDevice() override { return VLMUFWDL_CloseDevice(); }
  uint32_t StartDownload(const char* fileName, uint32_t options) override {
    return VLMUFWDL_StartDownload(fileName, options);
  }
  uint32_t GetDownloadStatus(uint32_t* bytesDownloaded, uint32_t* totalBytes) override {
    return VLMUFWDL_GetDownloadStatus(bytesDownloaded, totalBytes);
  }
};

}  // namespace

std::unique_ptr<FirmwareLibrary> CreateExportedLibrary() { return std::make_unique<ExportedLibrary>(); }

}  // namespace vlmapp
