#pragma once
// The system's record of a device interface (for the kernel side; the
// implementation uses the user-mode setup API, see InterfaceRecord.cpp).
#include <cstdint>

namespace testbus {

// Removes the registration of a disabled device interface of a class (its
// GUID, 16 bytes), given the symbolic link IoRegisterDeviceInterface
// returned ("\??\usb#...").
void ForgetInterface(const void* interfaceClass, const wchar_t* symbolicLink, uint32_t length);

}  // namespace testbus
