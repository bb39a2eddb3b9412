// Notification thread with a hidden message window for device-interface
// arrival and removal.
#include "device/CPnPNotificator.h"

#include <system_error>

CPnPNotificator::~CPnPNotificator() { Shutdown(); }

bool CPnPNotificator::IsInitialized() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mInitialized;
}

size_t CPnPNotificator::RegistrationCount() const {
  std::lock_guard<std::mutex> lock(mLock);
  size_t n = 0;
  for (auto it = mRegistrations.begin(); it != mRegistrations.end(); ++it) ++n;
  return n;
}

std::shared_ptr<platform::MessageWindow> CPnPNotificator::Window() const {
  if (!mContext) return nullptr;
  std::lock_guard<std::mutex> lock(mContext->dispatchLock);
  return mContext->window;
}

bool CPnPNotificator::NotificationsLost() const {
  const std::shared_ptr<platform::MessageWindow> window = Window();
  return window != nullptr && window->NotificationSourceLost();
}

intptr_t CPnPNotificator::StaticWindowProc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  auto* ctx = static_cast<ThreadContext*>(context);
  std::lock_guard<std::mutex> lock(ctx->dispatchLock);
  if (ctx->owner == nullptr) return 0;
  return ctx->owner->WindowProc(ctx->window.get(), message, wParam, lParam);
}

intptr_t CPnPNotificator::WindowProc(platform::MessageWindow* /*window*/, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam) {
  switch (message) {
    case platform::kWmDestroy:
      // The message loop ends after the window is destroyed.
      return 0;
    case platform::kWmDeviceChange:
      if (mHandler != nullptr) {
        mHandler->OnDeviceChange(message, wParam, reinterpret_cast<const void*>(lParam));
      }
      return 0;
    default:
      return 0;
  }
}

// The thread holds a reference of its own to the context, whoever ends first.
void CPnPNotificator::ThreadMain(std::shared_ptr<ThreadContext> context,  // NOLINT(performance-unnecessary-value-param)
                                 platform::ModuleInstance instance) {
  uint32_t error = 0;
  std::unique_ptr<platform::MessageWindow> window =
      platform::CreateMessageWindow(instance, kWindowClassName, kWindowTitle, &StaticWindowProc, context.get(), &error);
  std::shared_ptr<platform::MessageWindow> shared;
  if (window) {
    shared = std::move(window);
    std::lock_guard<std::mutex> lock(context->dispatchLock);
    context->window = shared;
  }
  // Also after a failed creation, so that Initialize does not wait in vain.
  context->started->Set();
  if (shared) shared->RunMessageLoop();
  context->ended->Set();
}

bool CPnPNotificator::Initialize(platform::ModuleInstance instance, CPnPNotifyHandler* handler) {
  if (instance == nullptr || handler == nullptr) return false;
  std::lock_guard<std::mutex> lock(mLock);
  if (mInitialized) return false;
  mInstance = instance;
  mHandler = handler;

  bool result = false;
  try {
    auto context = std::make_shared<ThreadContext>();
    context->owner = this;
    context->started = platform::CreateSyncEvent(true, false);
    context->ended = platform::CreateSyncEvent(true, false);
    if (context->started && context->ended) {
      mThread = std::thread(&CPnPNotificator::ThreadMain, context, instance);
      mContext = context;
      result = context->started->Wait(kThreadTimeoutMs) == platform::WaitResult::Signalled;
    }
  } catch (const std::exception&) {
    result = false;  // thread or context could not be created
  }
  mInitialized = true;
  return result;
}

bool CPnPNotificator::Unregister(platform::MessageWindow* window, uintptr_t handle) {
  return window != nullptr && window->UnregisterInterfaceNotification(handle);
}

bool CPnPNotificator::EnableDeviceNotifications(const platform::Guid& interfaceGuid) {
  std::lock_guard<std::mutex> lock(mLock);
  if (!mInitialized) return false;
  const std::shared_ptr<platform::MessageWindow> window = Window();
  if (!window) return false;
  uint32_t error = 0;
  const uintptr_t handle = window->RegisterInterfaceNotification(interfaceGuid, &error);
  if (handle == 0) return false;
  try {
    mRegistrations.push_front(Registration{interfaceGuid, handle});
  } catch (const std::bad_alloc&) {
    window->UnregisterInterfaceNotification(handle);
    return false;
  }
  return true;
}

bool CPnPNotificator::DisableDeviceNotifications(const platform::Guid& interfaceGuid) {
  std::lock_guard<std::mutex> lock(mLock);
  bool result = true;
  const std::shared_ptr<platform::MessageWindow> window = Window();
  mRegistrations.remove_if([&](const Registration& r) {
    if (!(r.guid == interfaceGuid)) return false;
    if (!Unregister(window.get(), r.handle)) result = false;
    return true;
  });
  return result;
}

bool CPnPNotificator::Shutdown() {
  std::lock_guard<std::mutex> lock(mLock);
  bool result = true;
  const std::shared_ptr<platform::MessageWindow> window = Window();
  if (mInitialized) {
    if (mThread.joinable()) {
      if (window) window->PostClose();
      if (mContext->ended->Wait(kThreadTimeoutMs) == platform::WaitResult::Signalled) {
        mThread.join();
      } else {
        // Abandon the thread: it keeps only the shared context alive and no
        // longer reaches this object or its handler.
        {
          std::lock_guard<std::mutex> dispatch(mContext->dispatchLock);
          mContext->owner = nullptr;
        }
        mThread.detach();
        result = false;
      }
    }
    mInitialized = false;
  }
  std::forward_list<Registration> registrations;
  registrations.swap(mRegistrations);
  for (const Registration& r : registrations) Unregister(window.get(), r.handle);
  mContext.reset();
  return result;
}
