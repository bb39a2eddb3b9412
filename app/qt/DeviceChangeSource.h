#pragma once
// Device-interface arrival and removal notifications for the main dialog,
// through the same platform service the library's own tracking uses (on
// Linux the driver service). Notifications arrive on a thread of their own;
// the handler gets the event code and a copy of the broadcast record and must
// hand them to the user-interface thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "DialogViews.h"

namespace vlmqt {

class DeviceChangeSource {
 public:
  using Handler = std::function<void(uint32_t eventCode, std::vector<unsigned char> record)>;

  // Registers for the filter's interface class; null when that fails.
  static std::unique_ptr<DeviceChangeSource> Register(const vlmapp::DeviceInterfaceFilter& filter, Handler handler);
  virtual ~DeviceChangeSource() = default;

 protected:
  DeviceChangeSource() = default;
};

}  // namespace vlmqt
