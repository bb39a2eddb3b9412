#pragma once
// The present devices of one device interface class, as enumerated by the
// setup-API stand-in. The library keeps one process-wide instance.
#include <cstdint>

#include "platform/Guid.h"
#include "platform/SetupApi.h"

class VlmuDeviceSet {
 public:
  VlmuDeviceSet() = default;
  virtual ~VlmuDeviceSet();
  VlmuDeviceSet(const VlmuDeviceSet&) = delete;
  VlmuDeviceSet& operator=(const VlmuDeviceSet&) = delete;

  virtual uint32_t Clear();
  virtual uint32_t Enumerate(const platform::Guid& interfaceGuid);
  virtual uint32_t Enumerate(const char* interfaceGuidText);

  platform::DeviceInfoSet* DeviceInfo() const { return mDevInfo; }
  const platform::Guid& InterfaceGuid() const { return mInterfaceGuid; }
  uint32_t DeviceCount() const { return mDeviceCount; }

 private:
  platform::DeviceInfoSet* mDevInfo = nullptr;  // null: no set (INVALID_HANDLE_VALUE)
  platform::Guid mInterfaceGuid{};
  uint32_t mDeviceCount = 0;
};
