#pragma once
// The one place the service's device sources are made: from what its
// options say, the simulated devices and, when asked, the real USB devices
// beside them.
#include <memory>
#include <string>
#include <vector>

#include "DeviceSource.h"
#include "UsbOptions.h"

namespace vlmudrv {

struct SourceOptions {
  std::vector<std::string> deviceFiles;  // descriptions of simulated devices, added in this order
  bool usb = false;                      // serve real USB devices as well
  UsbOptions usbOptions;
};

// Whether this build serves real USB devices (it was built with libusb).
bool UsbSupported();

// The simulated devices (with those of options.deviceFiles added) and,
// with options.usb, the USB devices listed after them. Null with a message
// naming the file when a description cannot be read or added, or when USB
// devices are asked of a build without USB support.
std::unique_ptr<DeviceSource> MakeSources(const SourceOptions& options, Scheduler& timers, DeviceEvents& events,
                                          std::string& error);

}  // namespace vlmudrv
