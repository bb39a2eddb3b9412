// Enumeration of the present device interfaces of one class through the
// run-time bound setup library.
#include "device/VlmuDeviceSet.h"

#include "device/DeviceCodes.h"
#include "log/GlobalSlot.h"

namespace {

constexpr const char* kEntryPointNames[] = {
    "SetupDiGetClassDevsA",        "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiEnumDeviceInfo",
};

// The error of a failed setup call; a failure that left no error is still one.
uint32_t FailureCode() {
  const uint32_t error = platform::GetLastSetupError();
  return error != 0 ? error : VLMU_E_FAILED;
}

template <typename Fn>
Fn As(platform::ProcAddress address) {
  return reinterpret_cast<Fn>(address);
}

void ZeroTable(SetupFunctionTable& table) {
  table.module = nullptr;
  table.SetupDiGetClassDevsA = nullptr;
  table.SetupDiDestroyDeviceInfoList = nullptr;
  table.SetupDiEnumDeviceInterfaces = nullptr;
  table.SetupDiGetDeviceInterfaceDetailA = nullptr;
  table.SetupDiEnumDeviceInfo = nullptr;
}

}  // namespace

SetupFunctionTable::~SetupFunctionTable() { Release(); }

void SetupFunctionTable::Release() {
  if (module != nullptr) platform::FreeSystemLibrary(module);
  ZeroTable(*this);
}

bool BindSetupLibrary(SetupFunctionTable& table, const char* libraryName) {
  if (table.module != nullptr) return true;
  platform::SystemLibrary* module = platform::LoadSystemLibrary(libraryName);
  if (module == nullptr) return false;
  platform::ProcAddress found[5] = {};
  bool complete = true;
  for (int i = 0; i < 5; ++i) {
    found[i] = platform::GetProcAddress(module, kEntryPointNames[i]);
    if (found[i] == nullptr) complete = false;
  }
  if (!complete) {
    platform::FreeSystemLibrary(module);
    ZeroTable(table);
    return false;
  }
  table.module = module;
  table.SetupDiGetClassDevsA = As<platform::PFN_SetupDiGetClassDevsA>(found[0]);
  table.SetupDiDestroyDeviceInfoList = As<platform::PFN_SetupDiDestroyDeviceInfoList>(found[1]);
  table.SetupDiEnumDeviceInterfaces = As<platform::PFN_SetupDiEnumDeviceInterfaces>(found[2]);
  table.SetupDiGetDeviceInterfaceDetailA = As<platform::PFN_SetupDiGetDeviceInterfaceDetailA>(found[3]);
  table.SetupDiEnumDeviceInfo = As<platform::PFN_SetupDiEnumDeviceInfo>(found[4]);
  return true;
}

bool BindSetupLibrary() { return BindSetupLibrary(TheSetupFunctions()); }

uint32_t SetupFailureCode() { return FailureCode(); }

VlmuDeviceSet::~VlmuDeviceSet() { Clear(); }

uint32_t VlmuDeviceSet::Clear() {
  mInterfaceGuid = platform::Guid{};
  uint32_t result = 0;
  if (mDevInfo != nullptr) {
    SetupFunctionTable& setup = TheSetupFunctions();
    // A set exists only after a successful binding, which is kept until the
    // table itself is destroyed after the global device set.
    if (setup.SetupDiDestroyDeviceInfoList != nullptr) {
      result = setup.SetupDiDestroyDeviceInfoList(mDevInfo) ? 1u : 0u;
    }
    mDevInfo = nullptr;
  }
  mDeviceCount = 0;
  return result;
}

uint32_t VlmuDeviceSet::Enumerate(const platform::Guid& interfaceGuid) {
  if (!BindSetupLibrary()) return VLMU_E_FAILED;
  Clear();
  SetupFunctionTable& setup = TheSetupFunctions();
  mDevInfo = setup.SetupDiGetClassDevsA(&interfaceGuid, nullptr, nullptr,
                                        platform::kDigcfPresent | platform::kDigcfDeviceInterface);
  if (!platform::IsValidDeviceInfoSet(mDevInfo)) {
    mDevInfo = nullptr;
    return FailureCode();
  }

  for (uint32_t i = 0;; ++i) {
    if (i == kMaxDevices) {
      // More elements than an index can sensibly select: report the ones
      // that can be opened.
      mDeviceCount = kMaxDevices;
      mInterfaceGuid = interfaceGuid;
      return 0;
    }
    platform::DeviceInfoData element{};
    element.cbSize = sizeof element;
    if (!setup.SetupDiEnumDeviceInfo(mDevInfo, i, &element)) {
      const uint32_t error = FailureCode();
      if (error == platform::kErrorNoMoreItems) {
        mDeviceCount = i;
        mInterfaceGuid = interfaceGuid;
        return 0;
      }
      Clear();
      return error;
    }
  }
}

bool VlmuDeviceSet::GuidFromNarrowText(const char* text, platform::Guid& guid) {
  constexpr size_t kMaxChars = 99;
  char16_t wide[kMaxChars + 1] = {};
  size_t n = 0;
  for (; n < kMaxChars && text[n] != '\0'; ++n) {
    // Sign-extend each byte to 16 bits, as the system's narrow-to-wide copy does.
    wide[n] = static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(text[n])));
  }
  wide[n] = u'\0';
  return platform::GuidFromString(wide, guid);
}

uint32_t VlmuDeviceSet::Enumerate(const char* interfaceGuidText) {
  if (interfaceGuidText == nullptr) return VLMU_E_NULL_TEXT;
  platform::Guid guid;
  if (!GuidFromNarrowText(interfaceGuidText, guid)) return VLMU_E_FAILED;
  return Enumerate(guid);
}

namespace {
constinit GlobalSlot<SetupFunctionTable> gSetupFunctions;
}  // namespace

SetupFunctionTable& TheSetupFunctions() { return gSetupFunctions.Get(); }
void ConstructTheSetupFunctions() { gSetupFunctions.Construct(); }
void DestroyTheSetupFunctions() noexcept { gSetupFunctions.Destroy(); }
