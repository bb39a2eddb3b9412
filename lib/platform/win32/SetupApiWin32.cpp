// The system's device installation services, bound at run time: setupapi.dll
// is loaded by name and its entry points are looked up by name. The records
// and function types of SetupApi.h have the system's layouts.
#include <windows.h>

#include <setupapi.h>

#include <cstddef>

#include "platform/SetupApi.h"

namespace platform {

static_assert(sizeof(DeviceInfoData) == sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA");
static_assert(offsetof(DeviceInfoData, ClassGuid) == offsetof(SP_DEVINFO_DATA, ClassGuid), "SP_DEVINFO_DATA");
static_assert(offsetof(DeviceInfoData, DevInst) == offsetof(SP_DEVINFO_DATA, DevInst), "SP_DEVINFO_DATA");
static_assert(offsetof(DeviceInfoData, Reserved) == offsetof(SP_DEVINFO_DATA, Reserved), "SP_DEVINFO_DATA");
static_assert(sizeof(DeviceInterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA), "SP_DEVICE_INTERFACE_DATA");
static_assert(offsetof(DeviceInterfaceData, InterfaceClassGuid) ==
                  offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(offsetof(DeviceInterfaceData, Flags) == offsetof(SP_DEVICE_INTERFACE_DATA, Flags),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(offsetof(DeviceInterfaceData, Reserved) == offsetof(SP_DEVICE_INTERFACE_DATA, Reserved),
              "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(DeviceInterfaceDetailDataA) == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A");
static_assert(offsetof(DeviceInterfaceDetailDataA, DevicePath) ==
                  offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A");
static_assert(sizeof(Guid) == sizeof(GUID), "GUID");
static_assert(kDigcfPresent == DIGCF_PRESENT && kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE, "DIGCF_ flags");
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER && kErrorNoMoreItems == ERROR_NO_MORE_ITEMS &&
                  kErrorInvalidUserBuffer == ERROR_INVALID_USER_BUFFER && kErrorModNotFound == ERROR_MOD_NOT_FOUND &&
                  kErrorProcNotFound == ERROR_PROC_NOT_FOUND && kErrorInvalidParameter == ERROR_INVALID_PARAMETER,
              "error codes");

// The function types are those of the system's entry points.
static_assert(sizeof(SetupBool) == sizeof(BOOL), "BOOL");

uint32_t GetLastSetupError() { return ::GetLastError(); }

void SetLastSetupError(uint32_t error) { ::SetLastError(error); }

SystemLibrary* LoadSystemLibrary(const char* name, uint32_t* error) {
  HMODULE module = name != nullptr ? LoadLibraryA(name) : nullptr;
  if (error != nullptr) *error = module != nullptr ? 0 : ::GetLastError();
  return reinterpret_cast<SystemLibrary*>(module);
}

ProcAddress GetProcAddress(SystemLibrary* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<ProcAddress>(::GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

bool FreeSystemLibrary(SystemLibrary* library) {
  return library != nullptr && FreeLibrary(reinterpret_cast<HMODULE>(library)) != FALSE;
}

}  // namespace platform
