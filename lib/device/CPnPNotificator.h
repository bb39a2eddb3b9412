#pragma once
// Notification thread with a hidden message window that receives arrival and
// removal notifications of device interfaces of the registered classes and
// hands them to a CPnPNotifyHandler.
#include <cstdint>
#include <forward_list>
#include <memory>
#include <mutex>
#include <thread>

#include "device/CPnPNotifyHandler.h"
#include "platform/Event.h"
#include "platform/Guid.h"
#include "platform/MessageWindow.h"
#include "platform/Module.h"

class CPnPNotificator {
 public:
  CPnPNotificator() = default;
  virtual ~CPnPNotificator();
  CPnPNotificator(const CPnPNotificator&) = delete;
  CPnPNotificator& operator=(const CPnPNotificator&) = delete;

  virtual intptr_t WindowProc(platform::MessageWindow* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

  bool Initialize(platform::ModuleInstance instance, CPnPNotifyHandler* handler);
  bool EnableDeviceNotifications(const platform::Guid& interfaceGuid);
  bool DisableDeviceNotifications(const platform::Guid& interfaceGuid);
  bool Shutdown();

  // True once the notifications can no longer come (their source is gone).
  bool NotificationsLost() const;

  // For tests and diagnostics.
  bool IsInitialized() const;
  size_t RegistrationCount() const;

  static constexpr const char* kWindowClassName = "PnPNotificatorWndCls";
  static constexpr const char* kWindowTitle = "PnPNotificator_HiddenWindow";
  static constexpr uint32_t kThreadTimeoutMs = 10000;

 private:
  struct Registration {
    platform::Guid guid;
    uintptr_t handle;
  };
  // State shared with the notification thread. It outlives the notificator
  // when a thread that does not end in time is abandoned: the thread then
  // finds no notificator to dispatch to and only touches this record.
  struct ThreadContext {
    std::mutex dispatchLock;
    CPnPNotificator* owner = nullptr;  // null once abandoned
    std::shared_ptr<platform::MessageWindow> window;
    std::unique_ptr<platform::Event> started;  // set when creation is done (or failed)
    std::unique_ptr<platform::Event> ended;    // set as the thread's last step
  };

  static void ThreadMain(std::shared_ptr<ThreadContext> context, platform::ModuleInstance instance);
  static intptr_t StaticWindowProc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam);
  std::shared_ptr<platform::MessageWindow> Window() const;
  static bool Unregister(platform::MessageWindow* window, uintptr_t handle);

  mutable std::mutex mLock;
  bool mInitialized = false;
  std::forward_list<Registration> mRegistrations;  // newest first
  std::thread mThread;                             // not joinable when none
  CPnPNotifyHandler* mHandler = nullptr;           // not owned
  platform::ModuleInstance mInstance = nullptr;
  std::shared_ptr<ThreadContext> mContext;  // the window lives in here
};
