#pragma once
// Simulated devices (SimDevice) served as a device source: added from JSON
// descriptions at start-up or by the add-device command, and steered by the
// control commands (plug, unplug, set-behaviour, ...). Everything runs on the
// service loop's thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DeviceSource.h"
#include "SimDevice.h"

namespace vlmudrv {

class SimulatedSource final : public DeviceSource {
 public:
  SimulatedSource(Scheduler& scheduler, DeviceEvents& events) : mScheduler(scheduler), mEvents(events) {}
  ~SimulatedSource() override;

  // Adds a device from its description; `id` receives its id.
  bool AddDevice(const nlohmann::json& description, std::string& id, std::string& error);

  std::vector<InterfaceEntry> ListInterfaces(const platform::Guid& interfaceClass) const override;
  uint32_t Open(const std::string& path, DeviceHandle& handle) override;
  void IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) override;
  // add-device, remove-device, plug, unplug, list-devices, get-firmware,
  // get-serial, set-behaviour.
  bool Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) override;

 private:
  using Command = void (SimulatedSource::*)(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  struct NamedCommand {
    const char* name;
    Command run;
  };
  static const NamedCommand kCommands[];

  SimDevice* Find(const std::string& id);
  // The device the command's "id" names; nullptr with the error set otherwise.
  SimDevice* NeedDevice(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void AddDeviceCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void RemoveDeviceCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void PlugCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void UnplugCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void ListDevicesCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void GetFirmwareCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void GetSerialCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);
  void SetBehaviourCommand(const nlohmann::json& command, uint32_t& error, nlohmann::json& result);

  Scheduler& mScheduler;
  DeviceEvents& mEvents;
  uint64_t mNextUid = 1;
  uint64_t mNextAutoId = 1;
  std::vector<std::unique_ptr<SimDevice>> mDevices;  // in the order they were added
};

}  // namespace vlmudrv
