#pragma once
// The registry record of a child's device interface (for the kernel side;
// the implementation uses the user-mode registry functions, see
// InterfaceRecord.cpp).
#include <cstdint>

namespace testbus {

// The symbolic link IoRegisterDeviceInterface returned ("\??\usb#...#{class}").
struct InterfaceLink {
  const wchar_t* text;
  uint32_t length;  // characters
};

// Hides a device that is leaving from the enumeration of the class; call it
// before disabling the interface, whose removal is then announced.
void HideInterface(InterfaceLink link);
// Removes the record of a disabled interface; a device that comes back
// registers it again.
void ForgetInterface(InterfaceLink link);

}  // namespace testbus
