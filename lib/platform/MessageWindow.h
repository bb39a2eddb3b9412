#pragma once
// A hidden message window with a message loop on the thread that created it,
// receiving device-interface arrival and removal notifications for the
// interface classes it registered. Notifications reach the window procedure
// as WM_DEVICECHANGE with wParam DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
// and lParam pointing at a DevBroadcastDeviceInterfaceA record that stays
// valid for the duration of the call.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Guid.h"
#include "platform/Module.h"

namespace platform {

inline constexpr uint32_t kWmDestroy = 0x0002;
inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmDeviceChange = 0x0219;
inline constexpr uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr uint32_t kDbtDevTypDeviceInterface = 5;

// Broadcast record of a device-interface notification; the narrow interface
// path starts at byte 28 and ends with a NUL within dbcc_size bytes.
struct DevBroadcastDeviceInterfaceA {
  uint32_t dbcc_size;
  uint32_t dbcc_devicetype;
  uint32_t dbcc_reserved;
  Guid dbcc_classguid;
  char dbcc_name[1];
};
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_devicetype) == 4, "device type at byte 4");
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) == 28, "name at byte 28");

// Window procedure: `context` is the value given at creation.
using WindowProcedure = intptr_t (*)(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);

class MessageWindow {
 public:
  virtual ~MessageWindow() = default;

  // Registers for arrival/removal notifications of interfaces of a class.
  // Returns a non-zero registration handle, or 0 and sets `error`. Any thread.
  virtual uintptr_t RegisterInterfaceNotification(const Guid& interfaceClass, uint32_t* error) = 0;
  // Drops a registration; false when the handle is unknown. Any thread.
  virtual bool UnregisterInterfaceNotification(uintptr_t handle) = 0;

  // Asks the window to close (WM_CLOSE); any thread. The loop then delivers
  // WM_DESTROY to the procedure and returns.
  virtual bool PostClose() = 0;

  // Dispatches messages to the procedure until the window has been closed.
  // Runs on the creating thread.
  virtual void RunMessageLoop() = 0;

  // True once the source of the notifications is gone (the driver service
  // ended): no arrival will be announced any more. Any thread.
  virtual bool NotificationSourceLost() { return false; }
};

// Creates the window on the calling thread. Returns null and sets `error` on failure.
std::unique_ptr<MessageWindow> CreateMessageWindow(ModuleInstance instance, const char* className, const char* title,
                                                   WindowProcedure procedure, void* context, uint32_t* error);

}  // namespace platform
