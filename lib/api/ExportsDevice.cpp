// Exports that enumerate the devices, describe one, and open or close the
// device of the global DfuDevice.
#include <cstring>
#include <memory>

#include "api/ApiFrame.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"
#include "vlmufwdl.h"

namespace {

constexpr uint32_t kInternalFailure = VLMUFWDL_STATUS_INVALID_PARAMETER;

// The global DfuDevice holds a device: open, or reopening it during a download.
bool GlobalDeviceHeld(const DfuDevice& device) { return device.IsOpen() || device.IsThreadRunning(); }

void CopyDeviceInfo(const DfuDevice& source, VLMUFWDL_DEVICE_INFO& info) {
  info.ProductId = source.GetProductId();
  info.VendorId = source.GetVendorId();
  // 510 bytes of text: the record's last character stays the terminator.
  source.CopySerialNumber(info.SerialNumber, VLMUFWDL_SERIAL_NUMBER_CHARS - 1);
}

}  // namespace

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_EnumerateDevices(const char* InterfaceGuidStr, uint32_t* NumberOfDevices) {
  return GuardedExport("VLMUFWDL_EnumerateDevices", kInternalFailure, [&]() -> uint32_t {
    ApiFrame frame;
    if (NumberOfDevices == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_EnumerateDevices: parameter 'NumberOfDevices' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    *NumberOfDevices = 0;
    if (InterfaceGuidStr == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_EnumerateDevices: parameter 'InterfaceGuidStr' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_EnumerateDevices('%s',0x%s)\n", InterfaceGuidStr,
         FormatPointer(NumberOfDevices).c_str());

    uint32_t result = VLMUFWDL_STATUS_SUCCESS;
    platform::Guid guid;
    uint32_t st = VLMU_E_FAILED;  // the text is not a GUID: the set stays as it was
    if (VlmuDeviceSet::GuidFromNarrowText(InterfaceGuidStr, guid)) {
      VlmuDeviceSet& set = TheDeviceSet();
      st = set.Enumerate(guid);
      if (st == 0) *NumberOfDevices = set.DeviceCount();
    }
    if (st != 0) {
      VLOG(LOG_ERROR, "VLMUFWDL_EnumerateDevices: enumeration failed with 0x%08X.\n", st);
      result = VLMUFWDL_STATUS_ENUMERATION_FAILED;
    }
    VLOG(LOG_API_RETURN, "VLMUFWDL_EnumerateDevices(*NumberOfDevices = %u) returning 0x%08X\n", *NumberOfDevices,
         result);
    return result;
  });
}

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_GetDeviceInfo(uint32_t DeviceIndex, VLMUFWDL_DEVICE_INFO* DeviceInfo) {
  return GuardedExport("VLMUFWDL_GetDeviceInfo", kInternalFailure, [&]() -> uint32_t {
    ApiFrame frame;
    if (DeviceInfo == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetDeviceInfo: parameter 'DeviceInfo' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    std::memset(DeviceInfo, 0, sizeof *DeviceInfo);
    VlmuDeviceSet& set = TheDeviceSet();
    if (DeviceIndex >= set.DeviceCount()) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetDeviceInfo: Invalid device index.");
      return VLMUFWDL_STATUS_INVALID_DEVICE_INDEX;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_GetDeviceInfo(%u,0x%s)\n", DeviceIndex, FormatPointer(DeviceInfo).c_str());

    uint32_t result = VLMUFWDL_STATUS_SUCCESS;
    DfuDevice& global = TheDfuDevice();
    if (GlobalDeviceHeld(global) && global.DeviceIndex() == DeviceIndex) {
      // The open device: its information was read when it was opened.
      CopyDeviceInfo(global, *DeviceInfo);
    } else {
      auto temporary = std::make_unique<DfuDevice>();
      result = temporary->OpenDevice(set, DeviceIndex);
      if (result != 0) {
        VLOG(LOG_ERROR, "VLMUFWDL_GetDeviceInfo: Opening device %u failed with 0x%08X.\n", DeviceIndex, result);
      } else {
        CopyDeviceInfo(*temporary, *DeviceInfo);
      }
      temporary->Close();
    }
    return frame.Return("VLMUFWDL_GetDeviceInfo", result);
  });
}

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_OpenDevice(uint32_t DeviceIndex) {
  return GuardedExport("VLMUFWDL_OpenDevice", kInternalFailure, [&]() -> uint32_t {
    ApiFrame frame;
    DfuDevice& device = TheDfuDevice();
    if (GlobalDeviceHeld(device)) {
      VLOG(LOG_ERROR, "VLMUFWDL_OpenDevice: Another device is already open.");
      return VLMUFWDL_STATUS_DEVICE_ALREADY_OPEN;
    }
    VlmuDeviceSet& set = TheDeviceSet();
    if (DeviceIndex >= set.DeviceCount()) {
      VLOG(LOG_ERROR, "VLMUFWDL_OpenDevice: Invalid device index.");
      return VLMUFWDL_STATUS_INVALID_DEVICE_INDEX;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_OpenDevice( %u )\n", DeviceIndex);
    const uint32_t result = device.OpenDevice(set, DeviceIndex);
    if (result != 0) VLOG(LOG_ERROR, "VLMUFWDL_OpenDevice: Open failed with 0x%08X.\n", result);
    return frame.Return("VLMUFWDL_OpenDevice", result);
  });
}

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_CloseDevice(void) {
  return GuardedExport("VLMUFWDL_CloseDevice", kInternalFailure, [&]() -> uint32_t {
    ApiFrame frame;
    DfuDevice& device = TheDfuDevice();
    if (device.IsThreadRunning()) {
      VLOG(LOG_ERROR, "VLMUFWDL_CloseDevice failed, because download is in progress\n");
      return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_CloseDevice()\n");
    uint32_t result = VLMUFWDL_STATUS_SUCCESS;
    if (!device.IsOpen()) {
      VLOG(LOG_INFO, "VLMUFWDL_CloseDevice: No open device found.");
      result = VLMUFWDL_STATUS_NO_DEVICE_OPEN;
    } else {
      device.Close();
    }
    return frame.Return("VLMUFWDL_CloseDevice", result);
  });
}
