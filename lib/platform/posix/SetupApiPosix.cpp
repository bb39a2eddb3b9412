// Device installation services on top of the driver service: a device
// information set is a snapshot of the interface paths the service lists for
// one class, one device information element per interface.
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/SetupApi.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace platform {

class DeviceInfoSet {
 public:
  Guid interfaceClass;
  std::vector<std::string> paths;
};

namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kSpintActive = 1;

thread_local uint32_t tLastSetupError = 0;

bool Fail(uint32_t error) {
  tLastSetupError = error;
  return false;
}

bool Succeed() {
  tLastSetupError = 0;
  return true;
}

DeviceInfoSet* GetClassDevsA(const Guid* classGuid, const char* enumerator, void* /*parentWindow*/, uint32_t flags) {
  if (classGuid == nullptr || (flags & kDigcfDeviceInterface) == 0) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  if (enumerator != nullptr) {  // only whole classes are listed
    Fail(kErrorNotSupported);
    return nullptr;
  }
  try {
    auto set = std::make_unique<DeviceInfoSet>();
    set->interfaceClass = *classGuid;
    std::unique_ptr<DriverConnection> connection;
    const uint32_t error = DriverConnection::Connect(connection, "velmora_dfu_x64 enumeration");
    if (error == driverproto::kErrorServiceNotActive || error == driverproto::kErrorAccessDenied) {
      // No driver service on this machine, or none this user may use: no
      // interfaces of any class, as on a machine without the driver.
      Succeed();
      return set.release();
    }
    if (error != 0) {
      Fail(error);
      return nullptr;
    }
    const uint32_t listError = connection->ListInterfaces(*classGuid, set->paths);
    if (listError != 0) {
      Fail(listError);
      return nullptr;
    }
    Succeed();
    return set.release();
  } catch (const std::bad_alloc&) {
    Fail(kErrorNotEnoughMemory);
    return nullptr;
  } catch (...) {
    Fail(driverproto::kErrorGenFailure);
    return nullptr;
  }
}

SetupBool DestroyDeviceInfoList(DeviceInfoSet* set) {
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  delete set;
  return Succeed();
}

SetupBool EnumDeviceInfo(DeviceInfoSet* set, uint32_t memberIndex, DeviceInfoData* deviceInfo) {
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (deviceInfo == nullptr || deviceInfo->cbSize != sizeof(DeviceInfoData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  if (memberIndex >= set->paths.size()) return Fail(kErrorNoMoreItems);
  deviceInfo->ClassGuid = set->interfaceClass;
  deviceInfo->DevInst = memberIndex + 1;
  deviceInfo->Reserved = memberIndex + 1;
  return Succeed();
}

SetupBool EnumDeviceInterfaces(DeviceInfoSet* set, DeviceInfoData* deviceInfo, const Guid* interfaceClassGuid,
                               uint32_t memberIndex, DeviceInterfaceData* interfaceData) {
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (interfaceClassGuid == nullptr) return Fail(kErrorInvalidParameter);
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(DeviceInterfaceData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  size_t element = memberIndex;
  if (deviceInfo != nullptr) {
    // Interfaces of one element: each element has exactly one.
    if (deviceInfo->cbSize != sizeof(DeviceInfoData) || deviceInfo->Reserved == 0) {
      return Fail(kErrorInvalidParameter);
    }
    if (memberIndex != 0) return Fail(kErrorNoMoreItems);
    element = deviceInfo->Reserved - 1;
  }
  if (!(*interfaceClassGuid == set->interfaceClass) || element >= set->paths.size()) {
    return Fail(kErrorNoMoreItems);
  }
  interfaceData->InterfaceClassGuid = *interfaceClassGuid;
  interfaceData->Flags = kSpintActive;
  interfaceData->Reserved = element + 1;
  return Succeed();
}

SetupBool GetDeviceInterfaceDetailA(DeviceInfoSet* set, DeviceInterfaceData* interfaceData,
                                    DeviceInterfaceDetailDataA* detail, uint32_t detailSize, uint32_t* requiredSize,
                                    DeviceInfoData* deviceInfo) {
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(DeviceInterfaceData) ||
      interfaceData->Reserved == 0 || interfaceData->Reserved > set->paths.size()) {
    return Fail(kErrorInvalidParameter);
  }
  const size_t element = interfaceData->Reserved - 1;
  const std::string& path = set->paths[element];
  const size_t needed = offsetof(DeviceInterfaceDetailDataA, DevicePath) + path.size() + 1;
  if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(needed);
  if (detail == nullptr) return Fail(detailSize == 0 ? kErrorInsufficientBuffer : kErrorInvalidUserBuffer);
  if (detail->cbSize != sizeof(DeviceInterfaceDetailDataA)) return Fail(kErrorInvalidUserBuffer);
  if (detailSize < needed) return Fail(kErrorInsufficientBuffer);
  if (deviceInfo != nullptr) {
    if (deviceInfo->cbSize != sizeof(DeviceInfoData)) return Fail(kErrorInvalidUserBuffer);
    deviceInfo->ClassGuid = set->interfaceClass;
    deviceInfo->DevInst = static_cast<uint32_t>(element + 1);
    deviceInfo->Reserved = element + 1;
  }
  char* out = reinterpret_cast<char*>(detail) + offsetof(DeviceInterfaceDetailDataA, DevicePath);
  std::memcpy(out, path.c_str(), path.size() + 1);
  return Succeed();
}

}  // namespace

uint32_t GetLastSetupError() { return tLastSetupError; }

void SetLastSetupError(uint32_t error) { tLastSetupError = error; }

// The libraries this platform provides for run-time binding.
class SystemLibrary {
 public:
  struct Entry {
    const char* name;
    ProcAddress address;
  };
  const char* name;
  const Entry* entries;
  size_t count;
};

namespace {

const SystemLibrary::Entry kSetupEntries[] = {
    {"SetupDiGetClassDevsA", reinterpret_cast<ProcAddress>(&GetClassDevsA)},
    {"SetupDiDestroyDeviceInfoList", reinterpret_cast<ProcAddress>(&DestroyDeviceInfoList)},
    {"SetupDiEnumDeviceInterfaces", reinterpret_cast<ProcAddress>(&EnumDeviceInterfaces)},
    {"SetupDiGetDeviceInterfaceDetailA", reinterpret_cast<ProcAddress>(&GetDeviceInterfaceDetailA)},
    {"SetupDiEnumDeviceInfo", reinterpret_cast<ProcAddress>(&EnumDeviceInfo)},
};

SystemLibrary kSetupLibrary{"setupapi.dll", kSetupEntries, sizeof kSetupEntries / sizeof kSetupEntries[0]};

}  // namespace

SystemLibrary* LoadSystemLibrary(const char* name, uint32_t* error) {
  if (name != nullptr && EqualsIgnoreAsciiCase(name, kSetupLibrary.name)) {
    if (error != nullptr) *error = 0;
    return &kSetupLibrary;
  }
  if (error != nullptr) *error = kErrorModNotFound;
  return nullptr;
}

ProcAddress GetProcAddress(SystemLibrary* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  for (size_t i = 0; i < library->count; ++i) {
    if (std::strcmp(library->entries[i].name, name) == 0) return library->entries[i].address;
  }
  return nullptr;
}

bool FreeSystemLibrary(SystemLibrary* library) { return library != nullptr; }

}  // namespace platform
