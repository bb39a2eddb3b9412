// Wine 8's SetupDiGetClassDevs(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) lists
// a device information element for every interface recorded in the registry
// whose record names its device ("DeviceInstance"), present or not; only the
// interfaces themselves are filtered. The library counts those elements, so
// a device that left the bus would still be counted, unlike on Windows. So
// when a child leaves for good, its record stops naming the device before
// the removal is announced (the count drops at once), and the record goes
// once the child is deleted. A device that comes back registers it again.
#include <windows.h>

#include "InterfaceRecord.h"

namespace testbus {

namespace {

constexpr wchar_t kDeviceClasses[] = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";

// The record's key: the class GUID (the link's last 38 characters), then
// the link with "\??\" written as "##?#".
bool RecordKey(InterfaceLink link, wchar_t (&key)[600]) {
  const uint32_t prefix = sizeof kDeviceClasses / sizeof kDeviceClasses[0] - 1;
  if (link.length < 4 + 38 || prefix + 38 + 1 + link.length + 1 > sizeof key / sizeof key[0]) return false;
  uint32_t at = 0;
  for (uint32_t i = 0; i < prefix; ++i) key[at++] = kDeviceClasses[i];
  for (uint32_t i = link.length - 38; i < link.length; ++i) key[at++] = link.text[i];
  key[at++] = L'\\';
  for (uint32_t i = 0; i < link.length; ++i) key[at++] = link.text[i];
  key[at - link.length] = key[at - link.length + 1] = key[at - link.length + 3] = L'#';
  key[at] = L'\0';
  return true;
}

}  // namespace

void HideInterface(InterfaceLink link) {
  wchar_t key[600];
  if (RecordKey(link, key)) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"DeviceInstance");
}

void ForgetInterface(InterfaceLink link) {
  wchar_t key[600];
  if (RecordKey(link, key)) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  if (RecordKey(link, key)) RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}

}  // namespace testbus
