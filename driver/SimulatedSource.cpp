#include "SimulatedSource.h"

#include <algorithm>

#include "Hex.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

SimulatedSource::~SimulatedSource() = default;

SimDevice* SimulatedSource::Find(const std::string& id) {
  for (auto& d : mDevices)
    if (d->Id() == id) return d.get();
  return nullptr;
}

bool SimulatedSource::AddDevice(const json& description, std::string& id, std::string& error) {
  // Every present device is one path in a list reply: the bound keeps that
  // reply, and the service's memory, small.
  constexpr size_t kMaxDevices = 256;
  if (mDevices.size() >= kMaxDevices) {
    error = "the service holds " + std::to_string(kMaxDevices) + " devices already";
    return false;
  }
  Description d;
  if (!ParseDescription(description, d, error)) return false;
  if (d.id.empty()) {
    do {
      d.id = "dev" + std::to_string(mNextAutoId++);
    } while (Find(d.id) != nullptr);
  } else if (Find(d.id) != nullptr) {
    error = "a device with id \"" + d.id + "\" exists already";
    return false;
  }
  Behaviour b;
  if (!ParseBehaviour(d.behaviour, b, error)) return false;
  id = d.id;
  const bool present = d.present;
  mDevices.push_back(std::make_unique<SimDevice>(mScheduler, mEvents, mNextUid++, std::move(d), std::move(b)));
  if (present) mDevices.back()->Plug();
  return true;
}

std::vector<InterfaceEntry> SimulatedSource::ListInterfaces(const platform::Guid& interfaceClass) const {
  std::vector<InterfaceEntry> out;
  for (const auto& d : mDevices)
    if (d->Present() && d->InterfaceClass() == interfaceClass) out.push_back({d->Current().path, d->InterfaceClass()});
  return out;
}

uint32_t SimulatedSource::Open(const std::string& path, DeviceHandle& handle) {
  for (const auto& d : mDevices) {
    if (d->Present() && SamePath(d->Current().path, path)) {
      if (!d->TakeOpen()) return kErrorFileNotFound;  // not ready yet after its arrival
      handle.device = d->Uid();
      handle.appearance = d->Appearance();
      handle.path = d->Current().path;
      return 0;
    }
  }
  return kErrorFileNotFound;
}

void SimulatedSource::IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) {
  for (const auto& d : mDevices) {
    if (d->Uid() != handle.device) continue;
    if (!d->Present() || d->Appearance() != handle.appearance) return done(IoResult{kErrorDeviceNotConnected, {}});
    return d->IoControl(std::move(request), std::move(done));
  }
  done(IoResult{kErrorDeviceNotConnected, {}});  // the device was removed
}

const SimulatedSource::NamedCommand SimulatedSource::kCommands[] = {
    {"add-device", &SimulatedSource::AddDeviceCommand},
    {"remove-device", &SimulatedSource::RemoveDeviceCommand},
    {"plug", &SimulatedSource::PlugCommand},
    {"unplug", &SimulatedSource::UnplugCommand},
    {"list-devices", &SimulatedSource::ListDevicesCommand},
    {"get-firmware", &SimulatedSource::GetFirmwareCommand},
    {"get-serial", &SimulatedSource::GetSerialCommand},
    {"set-behaviour", &SimulatedSource::SetBehaviourCommand},
};

bool SimulatedSource::Control(const json& command, uint32_t& error, json& result) {
  const std::string cmd = command.value("cmd", std::string());
  for (const NamedCommand& c : kCommands) {
    if (cmd != c.name) continue;
    (this->*c.run)(command, error, result);
    return true;
  }
  return false;
}

SimDevice* SimulatedSource::NeedDevice(const json& command, uint32_t& error, json& result) {
  const json idv = command.value("id", json());
  if (!idv.is_string()) {
    error = kErrorInvalidParameter;
    result["error"] = "missing device \"id\"";
    return nullptr;
  }
  SimDevice* d = Find(idv.get<std::string>());
  if (d == nullptr) {
    error = kErrorFileNotFound;
    result["error"] = "no device with id \"" + idv.get<std::string>() + "\"";
  }
  return d;
}

void SimulatedSource::AddDeviceCommand(const json& command, uint32_t& error, json& result) {
  std::string id, msg;
  if (!AddDevice(command.value("description", json()), id, msg)) {
    error = kErrorInvalidParameter;
    result["error"] = msg;
    return;
  }
  result["id"] = id;
  result["path"] = Find(id)->Current().path;
}

void SimulatedSource::RemoveDeviceCommand(const json& command, uint32_t& error, json& result) {
  SimDevice* d = NeedDevice(command, error, result);
  if (d == nullptr) return;
  d->Remove();
  mDevices.erase(std::find_if(mDevices.begin(), mDevices.end(), [d](const auto& p) { return p.get() == d; }));
  result["removed"] = command.at("id");
}

void SimulatedSource::PlugCommand(const json& command, uint32_t& error, json& result) {
  if (SimDevice* d = NeedDevice(command, error, result)) {
    d->Plug();
    result = d->Info();
  }
}

void SimulatedSource::UnplugCommand(const json& command, uint32_t& error, json& result) {
  if (SimDevice* d = NeedDevice(command, error, result)) {
    d->Unplug();
    result = d->Info();
  }
}

void SimulatedSource::ListDevicesCommand(const json&, uint32_t&, json& result) {
  json list = json::array();
  for (const auto& d : mDevices) list.push_back(d->Info());
  result["devices"] = list;
}

void SimulatedSource::GetFirmwareCommand(const json& command, uint32_t& error, json& result) {
  if (SimDevice* d = NeedDevice(command, error, result)) {
    result["id"] = d->Id();
    result["size"] = d->Firmware().size();
    result["base64"] = ToBase64(d->Firmware());
  }
}

void SimulatedSource::GetSerialCommand(const json& command, uint32_t& error, json& result) {
  if (SimDevice* d = NeedDevice(command, error, result)) {
    result["id"] = d->Id();
    result["serial"] = EscapedText(d->StoredSerial());
    result["hex"] = ToHex(d->StoredSerial());
  }
}

void SimulatedSource::SetBehaviourCommand(const json& command, uint32_t& error, json& result) {
  SimDevice* d = NeedDevice(command, error, result);
  if (d == nullptr) return;
  std::string msg;
  if (!d->SetBehaviour(command.value("behaviour", json()), msg)) {
    error = kErrorInvalidParameter;
    result["error"] = msg;
    return;
  }
  result = d->Info();
}

}  // namespace vlmudrv
