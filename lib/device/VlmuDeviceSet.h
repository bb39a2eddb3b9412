#pragma once
// The present devices of one device interface class, as enumerated by the
// setup-API stand-in. The library keeps one process-wide instance.
#include <cstdint>

#include "platform/Guid.h"
#include "platform/SetupApi.h"

// The setup library and its five entry points, bound by name on first use and
// kept until the process ends. All members are null until a binding succeeded.
struct SetupFunctionTable {
  platform::SystemLibrary* module = nullptr;
  platform::PFN_SetupDiGetClassDevsA SetupDiGetClassDevsA = nullptr;
  platform::PFN_SetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList = nullptr;
  platform::PFN_SetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces = nullptr;
  platform::PFN_SetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA = nullptr;
  platform::PFN_SetupDiEnumDeviceInfo SetupDiEnumDeviceInfo = nullptr;

  SetupFunctionTable() = default;
  ~SetupFunctionTable();  // releases the library and zeroes the table
  SetupFunctionTable(const SetupFunctionTable&) = delete;
  SetupFunctionTable& operator=(const SetupFunctionTable&) = delete;

  void Release();
};

// The process-wide table (one of the library's global objects: the library's
// entry constructs it after the log and destroys it before the log).
SetupFunctionTable& TheSetupFunctions();
void ConstructTheSetupFunctions();
void DestroyTheSetupFunctions() noexcept;

// Binds the setup library into the global table unless that is done already.
// True when the table is (now) complete; on failure the table stays empty.
bool BindSetupLibrary();
bool BindSetupLibrary(SetupFunctionTable& table, const char* libraryName = "setupapi.dll");

// The last setup error of this thread after a failed setup call; never 0.
uint32_t SetupFailureCode();

class VlmuDeviceSet {
 public:
  // Enumeration stops counting at this many device information elements and
  // reports this count.
  static constexpr uint32_t kMaxDevices = 10000;

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

  // Widens a narrow text the way the enumeration does (each byte sign-extended,
  // at most 99 characters) and converts it. False when it is not a GUID.
  static bool GuidFromNarrowText(const char* text, platform::Guid& guid);

 private:
  platform::DeviceInfoSet* mDevInfo = nullptr;  // null: no set (INVALID_HANDLE_VALUE)
  platform::Guid mInterfaceGuid{};
  uint32_t mDeviceCount = 0;
};
