#pragma once
// Real USB devices through libusb-1.0, served beside the simulated ones.
//
// The source serves every present device whose vendor:product id is in the
// configured list (and, when asked, every device with a DFU interface). Each
// gets an interface path of the same shape as a simulated device's:
// \\?\usb#vid_XXXX&pid_XXXX#SERIAL#{interface class}.
//
// Threads: the service's loop owns the device table and answers clients;
// every device appearance has a transfer thread of its own that makes the
// blocking libusb calls (open, descriptor and control transfers, port
// reset), and one event thread runs libusb's events (hotplug). Results come
// back to the loop through a wake-up descriptor (WakeFd / Drain), so a slow
// or silent device holds up only its own requests.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DeviceSource.h"
#include "UsbOptions.h"

struct libusb_context;
struct libusb_device;

namespace vlmudrv {

// The part of a serial number that may stand in an interface path: printable
// ASCII without '#', '\\', '/' and blanks (others become '_').
std::string PathSafeSerial(const std::string& serial);

class UsbSource final : public DeviceSource {
 public:
  UsbSource(Scheduler& scheduler, DeviceEvents& events, UsbOptions options);
  ~UsbSource() override;
  UsbSource(const UsbSource&) = delete;
  UsbSource& operator=(const UsbSource&) = delete;

  // Initialises libusb, starts the event thread and looks for devices.
  bool Start(std::string& error) override;
  // Readable while results of the device threads wait; Drain() takes them
  // (on the service loop's thread).
  std::vector<WakeUp> WakeUps() override;
  int WakeFd() const;
  void Drain();

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
