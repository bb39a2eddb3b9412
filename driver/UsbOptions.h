#pragma once
// Which real USB devices the service serves and its time-outs for them:
// from the --usb options and the USB configuration file (docs/real-devices.md).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Description.h"
#include "platform/Guid.h"

namespace vlmudrv {

struct UsbOptions {
  std::vector<std::pair<uint16_t, uint16_t>> ids;  // vendor id, product id
  bool anyDfu = false;                             // also every device with a DFU interface (class 0xFE, subclass 1)
  platform::Guid interfaceClass = platform::kVendorInterfaceClass;  // class of the interfaces served
  uint32_t controlTimeoutMs = 5000;                                 // bound of one descriptor or control transfer
  // After a port reset: how long a device that kept its address may take to
  // show that it re-enumerates, and how long one that re-enumerates is
  // followed by its bus and port path.
  uint32_t resetSettleMs = 500;
  uint32_t returnTimeoutMs = 10000;
  uint32_t rescanMs = 1000;  // device list rescans where libusb has no hotplug support
};

// "1234:5678,abcd:ef01" (hex, with or without 0x), added to `ids`. False
// with a message.
bool ParseUsbIds(const std::string& text, std::vector<std::pair<uint16_t, uint16_t>>& ids, std::string& error);
// Options from a JSON configuration file object: "ids" (array of "VID:PID"
// texts or one comma-separated text), "anyDfu", "interfaceClass",
// "controlTimeoutMs", "resetSettleMs", "returnTimeoutMs".
bool ParseUsbConfig(const nlohmann::json& j, UsbOptions& options, std::string& error);

}  // namespace vlmudrv
