#include "SourceFactory.h"

#include "JsonInput.h"
#include "SimulatedSource.h"
#include "SourceSet.h"
#ifdef VLMU_WITH_LIBUSB
#include "UsbSource.h"
#endif

namespace vlmudrv {

namespace {

bool AddDeviceFiles(SimulatedSource& source, const std::vector<std::string>& files, std::string& error) {
  for (const auto& file : files) {
    nlohmann::json description;
    std::string message, id;
    if (!ReadJsonFile(file, description, message) || !source.AddDevice(description, id, message)) {
      error = file;
      error.append(": ").append(message);
      return false;
    }
  }
  return true;
}

std::unique_ptr<DeviceSource> MakeUsbSource(const UsbOptions& options, Scheduler& timers, DeviceEvents& events) {
#ifdef VLMU_WITH_LIBUSB
  return std::make_unique<UsbSource>(timers, events, options);
#else
  (void)options, (void)timers, (void)events;
  return nullptr;
#endif
}

}  // namespace

bool UsbSupported() {
#ifdef VLMU_WITH_LIBUSB
  return true;
#else
  return false;
#endif
}

std::unique_ptr<DeviceSource> MakeSources(const SourceOptions& options, Scheduler& timers, DeviceEvents& events,
                                          std::string& error) {
  auto simulated = std::make_unique<SimulatedSource>(timers, events);
  SimulatedSource& devices = *simulated;
  std::unique_ptr<DeviceSource> sources = std::move(simulated);
  if (options.usb) {
    auto usb = MakeUsbSource(options.usbOptions, timers, events);
    if (!usb) {
      error = "this build has no USB support (built without libusb)";
      return nullptr;
    }
    // Simulated devices first, then the real ones: both served side by side.
    auto set = std::make_unique<SourceSet>();
    set->Add(std::move(sources));
    set->Add(std::move(usb));
    sources = std::move(set);
  }
  if (!AddDeviceFiles(devices, options.deviceFiles, error)) return nullptr;
  return sources;
}

}  // namespace vlmudrv
