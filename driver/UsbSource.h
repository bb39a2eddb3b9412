#pragma once
// Real USB devices through libusb-1.0, served beside the simulated ones.
//
// The source serves every present device whose vendor:product id is in the
// configured list (and, when asked, every device with a DFU interface). Each
// gets an interface path of the same shape as a simulated device's:
// \\?\usb#vid_XXXX&pid_XXXX#SERIAL#{interface class}.
//
// Its parts: UsbOptions (what to serve), UsbDevices (the devices tracked
// across their appearances), UsbTransfers (open, transfers, reset, close on
// a device's thread), UsbWorker (those threads and the way back).
// Threads: the service's loop owns the device table and answers clients;
// every device appearance has a transfer thread of its own that makes the
// blocking libusb calls, and one event thread runs libusb's events
// (hotplug). Results come back to the loop through the source's wake-up
// descriptor, so a slow or silent device holds up only its own requests.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DeviceSource.h"
#include "UsbOptions.h"

namespace vlmudrv {

class UsbSource final : public DeviceSource {
 public:
  UsbSource(Scheduler& scheduler, DeviceEvents& events, UsbOptions options);
  ~UsbSource() override;
  UsbSource(const UsbSource&) = delete;
  UsbSource& operator=(const UsbSource&) = delete;

  // Initialises libusb, starts the event thread and looks for devices.
  bool Start(std::string& error) override;
  // Readable while results of the device threads wait.
  std::vector<WakeUp> WakeUps() override;

  std::vector<InterfaceEntry> ListInterfaces(const platform::Guid& interfaceClass) const override;
  uint32_t Open(const std::string& path, DeviceHandle& handle) override;
  void IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) override;
  // "list-usb": the USB devices served so far.
  bool Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> mImpl;
};

}  // namespace vlmudrv
