// A hidden window on the calling thread, registered for device-interface
// notifications with RegisterDeviceNotificationA.
#include <windows.h>

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/MessageWindow.h"

namespace platform {

static_assert(kWmDestroy == WM_DESTROY && kWmClose == WM_CLOSE && kWmDeviceChange == WM_DEVICECHANGE, "WM_");
static_assert(kDbtDeviceArrival == DBT_DEVICEARRIVAL && kDbtDeviceRemoveComplete == DBT_DEVICEREMOVECOMPLETE &&
                  kDbtDevTypDeviceInterface == DBT_DEVTYP_DEVICEINTERFACE,
              "DBT_");
static_assert(sizeof(DevBroadcastDeviceInterfaceA) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_A),
              "DEV_BROADCAST_DEVICEINTERFACE_A");
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_devicetype) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_devicetype),
              "DEV_BROADCAST_DEVICEINTERFACE_A");
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_classguid) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
              "DEV_BROADCAST_DEVICEINTERFACE_A");
static_assert(offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) == offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name),
              "DEV_BROADCAST_DEVICEINTERFACE_A");

namespace {

class HiddenWindow final : public MessageWindow {
 public:
  HiddenWindow(HINSTANCE instance, std::string className, WindowProcedure procedure, void* context)
      : mInstance(instance), mClassName(std::move(className)), mProcedure(procedure), mContext(context) {}

  ~HiddenWindow() override {
    // Normally the loop has ended with the window destroyed and the class
    // unregistered; this covers a window whose loop never ran.
    if (mWindow != nullptr && IsWindow(mWindow)) DestroyWindow(mWindow);
    if (!mClassUnregistered) UnregisterClassA(mClassName.c_str(), mInstance);
  }
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;

  uint32_t Create(const char* title) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &StaticWindowProc;
    windowClass.hInstance = mInstance;
    windowClass.lpszClassName = mClassName.c_str();
    if (RegisterClassExA(&windowClass) == 0) {
      mClassUnregistered = true;  // not ours to unregister
      return GetLastError();
    }
    mWindow = CreateWindowExA(0, mClassName.c_str(), title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, mInstance, nullptr);
    if (mWindow == nullptr) return GetLastError();
    SetLastError(0);
    if (SetWindowLongPtrA(mWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this)) == 0 && GetLastError() != 0) {
      const DWORD error = GetLastError();
      DestroyWindow(mWindow);
      mWindow = nullptr;
      return error;
    }
    return 0;
  }

  uintptr_t RegisterInterfaceNotification(const Guid& interfaceClass, uint32_t* error) override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;  // 32
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    static_assert(sizeof filter.dbcc_classguid == sizeof interfaceClass);
    std::memcpy(&filter.dbcc_classguid, &interfaceClass, sizeof interfaceClass);
    HDEVNOTIFY handle = RegisterDeviceNotificationA(mWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (error != nullptr) *error = handle != nullptr ? 0 : GetLastError();
    return reinterpret_cast<uintptr_t>(handle);
  }

  bool UnregisterInterfaceNotification(uintptr_t handle) override {
    if (handle == 0) return false;
    // Systems before version 5 have no device notifications to unregister:
    // the handle is simply dropped there.
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version) || version.dwMajorVersion < 5) return true;
    return UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(handle)) != FALSE;
  }

  bool PostClose() override { return PostMessageA(mWindow, WM_CLOSE, 0, 0) != FALSE; }

  void RunMessageLoop() override {
    MSG message;
    for (;;) {
      const BOOL got = GetMessageA(&message, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    mWindow = nullptr;
    UnregisterClassA(mClassName.c_str(), mInstance);
    mClassUnregistered = true;
  }

 private:
  static LRESULT CALLBACK StaticWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HiddenWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
      case WM_DESTROY:
        self->mProcedure(self->mContext, message, wParam, lParam);
        PostQuitMessage(0);
        return 0;
      case WM_DEVICECHANGE:
        return self->mProcedure(self->mContext, message, wParam, lParam);
      default:
        // WM_CLOSE reaches the default handling, which destroys the window.
        return DefWindowProcA(window, message, wParam, lParam);
    }
  }

  const HINSTANCE mInstance;
  const std::string mClassName;
  const WindowProcedure mProcedure;
  void* const mContext;
  HWND mWindow = nullptr;
  bool mClassUnregistered = false;
};

}  // namespace

std::unique_ptr<MessageWindow> CreateMessageWindow(ModuleInstance instance, const char* className, const char* title,
                                                   WindowProcedure procedure, void* context, uint32_t* error) {
  if (instance == nullptr || className == nullptr || title == nullptr || procedure == nullptr) {
    if (error != nullptr) *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::unique_ptr<HiddenWindow> window(new (std::nothrow) HiddenWindow(
      static_cast<HINSTANCE>(const_cast<void*>(instance)), className, procedure, context));
  if (!window) {
    if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const uint32_t status = window->Create(title);
  if (error != nullptr) *error = status;
  if (status != 0) return nullptr;
  return window;
}

}  // namespace platform
