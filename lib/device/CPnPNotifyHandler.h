#pragma once
#include <cstdint>

// Receiver of device-change messages delivered by CPnPNotificator.
class CPnPNotifyHandler {
 public:
  virtual void OnDeviceChange(uint32_t message, uintptr_t wParam, const void* lParam) = 0;
  virtual ~CPnPNotifyHandler() = default;
};
