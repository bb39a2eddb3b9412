#pragma once
// Device installation services: the present device interfaces of a class and
// their paths, reached through a function table that is bound at run time by
// library and entry point name ("setupapi.dll", "SetupDiGetClassDevsA", ...).
// The functions follow the system's conventions: they return a success flag
// and leave the reason of a failure in the calling thread's last setup error.
#include <cstddef>
#include <cstdint>

#include "platform/Guid.h"

namespace platform {

// Snapshot of the interface paths of one class, taken by SetupDiGetClassDevsA.
class DeviceInfoSet;

// Flags of SetupDiGetClassDevsA.
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;

// System error codes of the setup functions.
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorInvalidUserBuffer = 1784;

// One device information element (32 bytes in a 64-bit build).
struct DeviceInfoData {
  uint32_t cbSize;
  Guid ClassGuid;
  uint32_t DevInst;
  uintptr_t Reserved;
};

// One device interface (32 bytes in a 64-bit build).
struct DeviceInterfaceData {
  uint32_t cbSize;
  Guid InterfaceClassGuid;
  uint32_t Flags;
  uintptr_t Reserved;
};

// Variable-length detail record: cbSize holds the size of the fixed part
// (sizeof(DeviceInterfaceDetailDataA)); the path follows, NUL-terminated.
struct DeviceInterfaceDetailDataA {
  uint32_t cbSize;
  char DevicePath[1];
};

// The success flag of the setup functions: the system's 32-bit BOOL, so that
// the function types below are those of the system's entry points.
using SetupBool = int32_t;

// SetupDiGetClassDevsA reports a failure with the invalid-handle value; the
// stand-ins may also answer null.
inline bool IsValidDeviceInfoSet(const DeviceInfoSet* set) {
  return set != nullptr && reinterpret_cast<uintptr_t>(set) != ~uintptr_t{0};
}

using PFN_SetupDiGetClassDevsA = DeviceInfoSet* (*)(const Guid* classGuid, const char* enumerator, void* parentWindow,
                                                    uint32_t flags);
using PFN_SetupDiDestroyDeviceInfoList = SetupBool (*)(DeviceInfoSet* set);
using PFN_SetupDiEnumDeviceInterfaces = SetupBool (*)(DeviceInfoSet* set, DeviceInfoData* deviceInfo,
                                                      const Guid* interfaceClassGuid, uint32_t memberIndex,
                                                      DeviceInterfaceData* interfaceData);
using PFN_SetupDiGetDeviceInterfaceDetailA = SetupBool (*)(DeviceInfoSet* set, DeviceInterfaceData* interfaceData,
                                                           DeviceInterfaceDetailDataA* detail, uint32_t detailSize,
                                                           uint32_t* requiredSize, DeviceInfoData* deviceInfo);
using PFN_SetupDiEnumDeviceInfo = SetupBool (*)(DeviceInfoSet* set, uint32_t memberIndex, DeviceInfoData* deviceInfo);

// Result of the last setup function called on this thread (0 after success).
uint32_t GetLastSetupError();
void SetLastSetupError(uint32_t error);

// Run-time binding of a system library by name. LoadSystemLibrary returns null
// and sets `error` when the library is not available.
class SystemLibrary;
using ProcAddress = void (*)();
SystemLibrary* LoadSystemLibrary(const char* name, uint32_t* error = nullptr);
ProcAddress GetProcAddress(SystemLibrary* library, const char* name);
bool FreeSystemLibrary(SystemLibrary* library);

}  // namespace platform
