#include "DeviceChangeSource.h"

#include <cstring>
#include <thread>

#include "platform/Guid.h"
#include "platform/MessageWindow.h"

namespace vlmqt {
namespace {

class MessageWindowSource final : public DeviceChangeSource {
 public:
  explicit MessageWindowSource(Handler handler) : mHandler(std::move(handler)) {}

  ~MessageWindowSource() override {
    if (mWindow) {
      if (mRegistration != 0) mWindow->UnregisterInterfaceNotification(mRegistration);
      mWindow->PostClose();
    }
    if (mLoop.joinable()) mLoop.join();
  }

  bool Start(const vlmapp::DeviceInterfaceFilter& filter) {
    static const char kModuleMarker = 0;
    uint32_t error = 0;
    mWindow =
        platform::CreateMessageWindow(&kModuleMarker, "VelmoraFlashToolDeviceChanges", "", &Procedure, this, &error);
    if (!mWindow) return false;
    platform::Guid interfaceClass;
    std::memcpy(&interfaceClass, filter.classGuid, sizeof interfaceClass);
    mRegistration = mWindow->RegisterInterfaceNotification(interfaceClass, &error);
    if (mRegistration == 0) return false;
    platform::MessageWindow* window = mWindow.get();
    mLoop = std::thread([window] { window->RunMessageLoop(); });
    return true;
  }

 private:
  static intptr_t Procedure(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto* self = static_cast<MessageWindowSource*>(context);
    if (message != platform::kWmDeviceChange || lParam == 0) return 0;
    const auto* record = reinterpret_cast<const unsigned char*>(lParam);
    uint32_t size = 0;
    std::memcpy(&size, record, sizeof size);
    if (size < 12) return 0;
    self->mHandler(static_cast<uint32_t>(wParam), std::vector<unsigned char>(record, record + size));
    return 1;
  }

  Handler mHandler;
  std::unique_ptr<platform::MessageWindow> mWindow;
  uintptr_t mRegistration = 0;
  std::thread mLoop;
};

}  // namespace

std::unique_ptr<DeviceChangeSource> DeviceChangeSource::Register(const vlmapp::DeviceInterfaceFilter& filter,
                                                                 Handler handler) {
  auto source = std::make_unique<MessageWindowSource>(std::move(handler));
  if (!source->Start(filter)) return nullptr;
  return source;
}

}  // namespace vlmqt
