#include "support/ServiceControl.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/Hex.h"
#include "platform/posix/DriverConnection.h"

namespace testsupport {

using nlohmann::json;

namespace {

json Parse(const std::string& text) { return json::parse(text, nullptr, false); }

json Interface(uint8_t number, uint8_t protocol, uint8_t attributes, const DeviceDescription& s) {
  return {{"dfu", true},
          {"bInterfaceNumber", number},
          {"bInterfaceProtocol", protocol},
          {"bmAttributes", attributes},
          {"wDetachTimeOut", s.detachTimeout},
          {"wTransferSize", s.transferSize},
          {"bcdDFUVersion", 0x0110}};
}

std::string S(const json& j, const char* key) {
  return j.contains(key) && j.at(key).is_string() ? j.at(key).get<std::string>() : std::string();
}

}  // namespace

// ------------------------------------------------------------- DeviceDescription

DeviceDescription& DeviceDescription::WillDetach(bool on) {
  runtimeAttributes = static_cast<uint8_t>(on ? runtimeAttributes | 0x08 : runtimeAttributes & ~0x08);
  dfuAttributes = static_cast<uint8_t>(on ? dfuAttributes | 0x08 : dfuAttributes & ~0x08);
  return *this;
}

DeviceDescription& DeviceDescription::ManifestationTolerant(bool on) {
  runtimeAttributes = static_cast<uint8_t>(on ? runtimeAttributes | 0x04 : runtimeAttributes & ~0x04);
  dfuAttributes = static_cast<uint8_t>(on ? dfuAttributes | 0x04 : dfuAttributes & ~0x04);
  return *this;
}

DeviceDescription& DeviceDescription::CanDownload(bool on) {
  runtimeAttributes = static_cast<uint8_t>(on ? runtimeAttributes | 0x01 : runtimeAttributes & ~0x01);
  dfuAttributes = static_cast<uint8_t>(on ? dfuAttributes | 0x01 : dfuAttributes & ~0x01);
  return *this;
}

std::string DeviceDescription::Path() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\\\\?\\usb#vid_%04x&pid_%04x#", vendorId, productId);
  return std::string(buf) + (serialNumber.empty() ? "0" : serialNumber) + "#{49f4a1ff-55dd-4d45-9743-7b623eff0361}";
}

std::string DeviceDescription::ToJson() const {
  json j;
  j["id"] = id;
  j["vendorId"] = vendorId;
  j["productId"] = productId;
  j["bcdDevice"] = bcdDevice;
  j["serialNumber"] = serialNumber;
  j["present"] = present;
  j["reenumerationMs"] = reenumerationMs;
  json audio = json::array();
  for (int i = 0; i < 3; ++i)
    audio.push_back({{"bInterfaceNumber", i},
                     {"bInterfaceClass", 1},
                     {"bInterfaceSubClass", i == 0 ? 1 : 2},
                     {"bInterfaceProtocol", 0x20}});
  audio.push_back(Interface(runtimeDfuInterface, 1, runtimeAttributes, *this));
  j["runtime"] =
      runtimeJson.empty() ? json{{"configurations", json::array({{{"interfaces", audio}}})}} : Parse(runtimeJson);
  json dfu =
      dfuJson.empty()
          ? json{{"configurations",
                  json::array({{{"interfaces", json::array({Interface(dfuDfuInterface, 2, dfuAttributes, *this)})}}})},
                 {"strings", {{"2", "Velmora Audio (DFU)"}}}}
          : Parse(dfuJson);
  if (!dfuPath.empty()) dfu["path"] = dfuPath;
  if (dfuProductId != 0) dfu["device"]["idProduct"] = dfuProductId;
  j["dfu"] = dfu;
  json behaviour = json::object();
  for (const auto& [k, v] : knobs) behaviour[k] = Parse(v);
  j["behaviour"] = behaviour;
  return j.dump();
}

// --------------------------------------------------------- ServiceControl

ServiceControl::ServiceControl(std::string socketPath) : mSocketPath(std::move(socketPath)) {}

ServiceControl::~ServiceControl() = default;

void ServiceControl::Disconnect() { mControl.reset(); }

uint32_t ServiceControl::Connect() {
  if (mControl) return 0;
  return platform::DriverConnection::ConnectTo(mSocketPath, mControl, "test-fixture", 2000);
}

uint32_t ServiceControl::Control(const std::string& commandJson, std::string& reply) {
  reply.clear();
  if (const uint32_t err = Connect(); err != 0) {
    mLastError = "cannot connect to the service at " + mSocketPath + ": " + std::to_string(err);
    return err;
  }
  const uint32_t err = mControl->Control(commandJson, reply);
  if (mControl->IsBroken()) mControl.reset();
  return err;
}

bool ServiceControl::ControlOk(const std::string& commandJson, std::string* reply) {
  std::string r;
  const uint32_t err = Control(commandJson, r);
  if (reply) *reply = r;
  if (err != 0) {
    mLastError = "control " + commandJson.substr(0, 200) + " failed with " + std::to_string(err) + ": " + r;
    return false;
  }
  return true;
}

std::string ServiceControl::AddDevice(const std::string& descriptionJson) {
  const json desc = Parse(descriptionJson);
  if (desc.is_discarded()) {
    mLastError = "description is not valid JSON";
    return "";
  }
  std::string reply;
  if (!ControlOk(json{{"cmd", "add-device"}, {"description", desc}}.dump(), &reply)) return "";
  return S(Parse(reply), "id");
}

bool ServiceControl::Remove(const std::string& id) {
  return ControlOk(json{{"cmd", "remove-device"}, {"id", id}}.dump());
}
bool ServiceControl::Plug(const std::string& id) { return ControlOk(json{{"cmd", "plug"}, {"id", id}}.dump()); }
bool ServiceControl::Unplug(const std::string& id) { return ControlOk(json{{"cmd", "unplug"}, {"id", id}}.dump()); }

bool ServiceControl::GetFirmware(const std::string& id, std::string& bytes) {
  bytes.clear();
  std::string reply;
  if (!ControlOk(json{{"cmd", "get-firmware"}, {"id", id}}.dump(), &reply)) return false;
  if (!vlmudrv::FromBase64(S(Parse(reply), "base64"), bytes)) {
    mLastError = "bad base64 from the service";
    return false;
  }
  return true;
}

bool ServiceControl::GetSerial(const std::string& id, std::string& serial) {
  std::string reply;
  if (!ControlOk(json{{"cmd", "get-serial"}, {"id", id}}.dump(), &reply)) return false;
  serial = S(Parse(reply), "serial");
  return true;
}

bool ServiceControl::SetBehaviour(const std::string& id, const std::string& knobsJson) {
  const json knobs = Parse(knobsJson);
  if (knobs.is_discarded()) {
    mLastError = "behaviour is not valid JSON";
    return false;
  }
  return ControlOk(json{{"cmd", "set-behaviour"}, {"id", id}, {"behaviour", knobs}}.dump());
}

std::string ServiceControl::ListDevices() {
  std::string reply;
  return ControlOk(R"({"cmd":"list-devices"})", &reply) ? reply : std::string();
}

std::string ServiceControl::DeviceField(const std::string& id, const std::string& field) {
  const json list = Parse(ListDevices());
  if (!list.is_object() || !list.contains("devices")) return "";
  for (const auto& d : list.at("devices"))
    if (S(d, "id") == id && d.contains(field))
      return d.at(field).is_string() ? d.at(field).get<std::string>() : d.at(field).dump();
  return "";
}

bool ServiceControl::WaitForState(const std::string& id, const std::string& state, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (DeviceField(id, "state") == state) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace testsupport
