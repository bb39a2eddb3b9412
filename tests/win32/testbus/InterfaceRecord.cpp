// Wine 8's SetupDiGetClassDevs(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) lists
// a device information element for every interface ever registered in the
// prefix, present or not (only the interfaces themselves are filtered). The
// library counts those elements, so a device that left the bus would still
// be counted, unlike on Windows. When a child leaves for good, its
// interface's registration is therefore removed with the setup API; a device
// that comes back registers it again.
#include <windows.h>
#include <setupapi.h>

#include <cwchar>

#include "InterfaceRecord.h"

namespace testbus {

void ForgetInterface(const void* interfaceClass, const wchar_t* symbolicLink, uint32_t length) {
  // "\??\name" of the kernel is "\\?\name" for the setup API, which
  // Wine 8 cannot open by name: the class's interfaces are searched instead.
  if (length < 4) return;
  const GUID* guid = static_cast<const GUID*>(interfaceClass);
  HDEVINFO set = SetupDiGetClassDevsW(guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, guid, i, &data); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
      wchar_t room[600];
    } buffer{};
    buffer.detail.cbSize = sizeof buffer.detail;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, &buffer.detail, sizeof buffer, nullptr, nullptr)) continue;
    const wchar_t* path = buffer.detail.DevicePath;
    if (std::wcslen(path) == length && _wcsnicmp(path + 4, symbolicLink + 4, length - 4) == 0) {
      SetupDiRemoveDeviceInterface(set, &data);
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace testbus
