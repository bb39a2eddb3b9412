// The driver service is a Linux program; this fixture starts and stops it
// with POSIX process calls.
#include "support/DriverServiceFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

extern char** environ;

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

uint64_t U(const json& j, const char* key) {
  return j.contains(key) && j.at(key).is_number_unsigned() ? j.at(key).get<uint64_t>() : 0;
}

std::string S(const json& j, const char* key) {
  return j.contains(key) && j.at(key).is_string() ? j.at(key).get<std::string>() : std::string();
}

}  // namespace

std::string DriverServiceBinary() { return std::string(VLMU_BUILD_DIR) + "/driver/velmora-driverd"; }

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
    audio.push_back({{"bInterfaceNumber", i}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", i == 0 ? 1 : 2},
                     {"bInterfaceProtocol", 0x20}});
  audio.push_back(Interface(runtimeDfuInterface, 1, runtimeAttributes, *this));
  j["runtime"] = runtimeJson.empty() ? json{{"configurations", json::array({{{"interfaces", audio}}})}}
                                     : Parse(runtimeJson);
  json dfu = dfuJson.empty()
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

// --------------------------------------------------- DriverServiceFixture

DriverServiceFixture::DriverServiceFixture() {
  mSocketPath = mDir.File("driver.sock");
  mTracePath = mDir.File("trace.jsonl");
  mLogPath = mDir.File("driver.log");
}

DriverServiceFixture::~DriverServiceFixture() {
  mControl.reset();
  Stop(5000);
  if (mEnvSet) {
    if (mSavedEnv) ::setenv(driverproto::kSocketEnv, mSavedEnv->c_str(), 1);
    else ::unsetenv(driverproto::kSocketEnv);
  }
}

bool DriverServiceFixture::Start(const std::vector<std::string>& extraArgs) {
  if (mPid > 0) {
    mLastError = "service already started";
    return false;
  }
  mExitStatus.reset();
  std::vector<std::string> args = {DriverServiceBinary(), "--foreground", "--socket", mSocketPath, "--trace", mTracePath};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, mLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    mLastError = "cannot start " + args[0] + ": " + std::to_string(rc);
    return false;
  }
  mPid = pid;

  if (!mEnvSet) {
    const char* old = std::getenv(driverproto::kSocketEnv);
    if (old != nullptr) mSavedEnv = old;
    mEnvSet = true;
  }
  ::setenv(driverproto::kSocketEnv, mSocketPath.c_str(), 1);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) {
      mLastError = "the service ended at start-up: " + LogTail();
      return false;
    }
    if (platform::DriverConnection::ConnectTo(mSocketPath, mControl, "test-fixture", 2000) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  mLastError = "the service did not answer within 10 s: " + LogTail();
  Kill();
  return false;
}

bool DriverServiceFixture::Running() {
  if (mPid <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(mPid, &status, WNOHANG);
  if (r == mPid) {
    mExitStatus = status;
    mPid = -1;
    return false;
  }
  return r == 0;
}

void DriverServiceFixture::Reap(uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

bool DriverServiceFixture::Stop(uint32_t timeoutMs) {
  mControl.reset();
  if (!Running()) return true;
  ::kill(mPid, SIGTERM);
  Reap(timeoutMs);
  if (!Running()) return true;
  Kill();
  return false;
}

void DriverServiceFixture::Kill() {
  mControl.reset();
  if (mPid <= 0) return;
  ::kill(mPid, SIGKILL);
  int status = 0;
  if (::waitpid(mPid, &status, 0) == mPid) mExitStatus = status;
  mPid = -1;
}

std::string DriverServiceFixture::LogTail() const {
  std::string log = ReadFile(mLogPath);
  return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
}

uint32_t DriverServiceFixture::Control(const std::string& commandJson, std::string& reply) {
  reply.clear();
  if (!mControl) {
    const uint32_t err = platform::DriverConnection::ConnectTo(mSocketPath, mControl, "test-fixture", 2000);
    if (err != 0) {
      mLastError = "cannot connect to the service: " + std::to_string(err);
      return err;
    }
  }
  const uint32_t err = mControl->Control(commandJson, reply);
  if (mControl->IsBroken()) mControl.reset();
  return err;
}

bool DriverServiceFixture::ControlOk(const std::string& commandJson, std::string* reply) {
  std::string r;
  const uint32_t err = Control(commandJson, r);
  if (reply) *reply = r;
  if (err != 0) {
    mLastError = "control " + commandJson.substr(0, 200) + " failed with " + std::to_string(err) + ": " + r;
    return false;
  }
  return true;
}

std::string DriverServiceFixture::AddDevice(const std::string& descriptionJson) {
  const json desc = Parse(descriptionJson);
  if (desc.is_discarded()) {
    mLastError = "description is not valid JSON";
    return "";
  }
  std::string reply;
  if (!ControlOk(json{{"cmd", "add-device"}, {"description", desc}}.dump(), &reply)) return "";
  return S(Parse(reply), "id");
}

bool DriverServiceFixture::Remove(const std::string& id) { return ControlOk(json{{"cmd", "remove-device"}, {"id", id}}.dump()); }
bool DriverServiceFixture::Plug(const std::string& id) { return ControlOk(json{{"cmd", "plug"}, {"id", id}}.dump()); }
bool DriverServiceFixture::Unplug(const std::string& id) { return ControlOk(json{{"cmd", "unplug"}, {"id", id}}.dump()); }

bool DriverServiceFixture::GetFirmware(const std::string& id, std::string& bytes) {
  bytes.clear();
  std::string reply;
  if (!ControlOk(json{{"cmd", "get-firmware"}, {"id", id}}.dump(), &reply)) return false;
  const std::string b64 = S(Parse(reply), "base64");
  static const std::string table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : b64) {
    if (ch == '=') break;
    const size_t v = table.find(ch);
    if (v == std::string::npos) {
      mLastError = "bad base64 from the service";
      return false;
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return true;
}

bool DriverServiceFixture::GetSerial(const std::string& id, std::string& serial) {
  std::string reply;
  if (!ControlOk(json{{"cmd", "get-serial"}, {"id", id}}.dump(), &reply)) return false;
  serial = S(Parse(reply), "serial");
  return true;
}

bool DriverServiceFixture::SetBehaviour(const std::string& id, const std::string& knobsJson) {
  const json knobs = Parse(knobsJson);
  if (knobs.is_discarded()) {
    mLastError = "behaviour is not valid JSON";
    return false;
  }
  return ControlOk(json{{"cmd", "set-behaviour"}, {"id", id}, {"behaviour", knobs}}.dump());
}

std::string DriverServiceFixture::ListDevices() {
  std::string reply;
  return ControlOk(R"({"cmd":"list-devices"})", &reply) ? reply : std::string();
}

std::string DriverServiceFixture::DeviceField(const std::string& id, const std::string& field) {
  const json list = Parse(ListDevices());
  if (!list.is_object() || !list.contains("devices")) return "";
  for (const auto& d : list.at("devices"))
    if (S(d, "id") == id && d.contains(field)) return d.at(field).is_string() ? d.at(field).get<std::string>() : d.at(field).dump();
  return "";
}

bool DriverServiceFixture::WaitForState(const std::string& id, const std::string& state, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (DeviceField(id, "state") == state) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<TraceEntry> DriverServiceFixture::ReadTrace() const {
  std::vector<TraceEntry> out;
  std::ifstream in(mTracePath);
  std::string line;
  while (std::getline(in, line)) {
    const json j = Parse(line);
    if (!j.is_object()) continue;  // a line still being written
    TraceEntry e;
    e.raw = line;
    e.op = S(j, "op");
    e.path = S(j, "path");
    e.client = U(j, "client");
    e.code = static_cast<uint32_t>(std::strtoul(S(j, "code").c_str(), nullptr, 16));
    e.result = static_cast<uint32_t>(U(j, "result"));
    e.inLength = static_cast<uint32_t>(U(j, "inLength"));
    e.outSize = static_cast<uint32_t>(U(j, "outSize"));
    e.bytesReturned = static_cast<uint32_t>(U(j, "bytesReturned"));
    e.dataLength = static_cast<uint32_t>(U(j, "dataLength"));
    e.dataHex = S(j, "data");
    e.outHex = S(j, "out");
    if (j.contains("setup")) {
      const json& s = j.at("setup");
      e.hasSetup = true;
      e.direction = static_cast<uint8_t>(U(s, "direction"));
      e.type = static_cast<uint32_t>(U(s, "type"));
      e.recipient = static_cast<uint32_t>(U(s, "recipient"));
      e.bRequest = static_cast<uint8_t>(U(s, "bRequest"));
      e.wValue = static_cast<uint16_t>(U(s, "wValue"));
      e.wIndex = static_cast<uint16_t>(U(s, "wIndex"));
      e.wLength = static_cast<uint16_t>(U(s, "wLength"));
    }
    if (j.contains("descriptor")) {
      const json& d = j.at("descriptor");
      e.hasDescriptor = true;
      e.descriptorType = static_cast<uint8_t>(U(d, "type"));
      e.descriptorIndex = static_cast<uint8_t>(U(d, "index"));
      e.languageId = static_cast<uint16_t>(U(d, "languageId"));
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<TraceEntry> DriverServiceFixture::ReadIoTrace(uint32_t code) const {
  std::vector<TraceEntry> out;
  for (auto& e : ReadTrace())
    if (e.op == "ioctl" && (code == 0 || e.code == code)) out.push_back(std::move(e));
  return out;
}

void DriverServiceFixture::ClearTrace() const {
  // The service appends; truncating in place keeps its descriptor valid.
  if (::truncate(mTracePath.c_str(), 0) != 0) {
    std::ofstream(mTracePath, std::ios::trunc);
  }
}

}  // namespace testsupport
