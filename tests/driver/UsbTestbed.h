#pragma once
// A fake USB bus for the tests of the service's USB device source, without
// hardware: a umockdev testbed on which simulated devices (the same JSON
// descriptions and DFU state machine the service serves itself) appear as
// USB devices. libusb in any process started under the testbed (the
// service, with UMOCKDEV_DIR and the preload inherited) enumerates them from
// the fake sysfs, and their usbdevfs requests are answered here:
//
//  - control URBs: standard GET_DESCRIPTOR becomes a descriptor request of
//    the simulated device, class and vendor requests its control request;
//    a stall ends the URB with -EPIPE, a device that left with -ENODEV;
//  - USBDEVFS_RESET is the simulated device's port cycle: it leaves the bus
//    (the testbed device is removed, a "remove" uevent) and comes back after
//    its re-enumeration time at a new address (an "add" uevent);
//  - claiming, releasing and the other bookkeeping requests succeed.
//
// The test process must run under umockdev-wrapper (Active() tells).
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace usbtest {

class UsbTestbed {
 public:
  UsbTestbed();
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // False when the process does not run under umockdev's preload.
  static bool Active();

  // Adds a simulated device from its description; it appears on bus 1 at
  // port `port` (sysfs name 1-<port>). Returns its id, or "" with `error`.
  std::string AddDevice(const std::string& descriptionJson, int port, std::string& error);
  // A control command of the simulated devices (get-firmware, set-behaviour,
  // plug, unplug, list-devices, ...): the error code, reply in `result`.
  uint32_t Control(const nlohmann::json& command, nlohmann::json& result);
  // Last manifested image of a device.
  bool GetFirmware(const std::string& id, std::string& bytes);
  // Device node of the device's current appearance ("" while off the bus)
  // and the number of appearances on the testbed so far.
  std::string DevNode(const std::string& id);
  int Appearances(const std::string& id);
  // usbdevfs requests seen so far on the device's nodes, all appearances
  // (every ioctl, and the control URBs alone).
  uint64_t Ioctls(const std::string& id);
  uint64_t ControlUrbs(const std::string& id);
  // Waits until the device is on the testbed (or off it); false after timeoutMs.
  bool WaitOnBus(const std::string& id, bool on, uint32_t timeoutMs = 5000);

  struct Impl;

 private:
  std::unique_ptr<Impl> mImpl;
};

}  // namespace usbtest
