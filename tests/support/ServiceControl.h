#pragma once
// Control commands of the driver service (docs/driver-protocol.md, CONTROL)
// for tests: add, remove, plug and unplug simulated devices, read back what a
// device stored, change its behaviour. Talks to the service through
// DriverConnection on the socket given at construction; the tests under Wine
// reach it through the fixture's relay instead (tests/win32/RelaySocket.cpp).
//
// Not thread-safe itself: use one object from one test thread.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace platform {
class DriverConnection;
}

namespace testsupport {

// Description of a standard device of the family (see
// docs/device-description.md): run-time personality with three audio
// interfaces and the DFU interface (number 3, protocol 1), DFU personality
// with the DFU interface alone (number 0, protocol 2), same path in both
// modes. Setters return *this so they chain.
struct DeviceDescription {
  std::string id = "dev1";
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x5678;
  uint16_t bcdDevice = 0x0100;
  std::string serialNumber = "SN0001";
  // bmAttributes of the DFU functional descriptors: bit 0 CanDownload,
  // bit 2 ManifestationTolerant, bit 3 WillDetach.
  uint8_t runtimeAttributes = 0x05;
  uint8_t dfuAttributes = 0x05;
  uint16_t detachTimeout = 1000;
  uint16_t transferSize = 4096;
  uint8_t runtimeDfuInterface = 3;
  uint8_t dfuDfuInterface = 0;
  uint32_t reenumerationMs = 50;
  std::string dfuPath;        // empty: the DFU personality keeps the run-time path
  uint16_t dfuProductId = 0;  // 0: the DFU personality keeps the run-time product id
  bool present = true;
  std::map<std::string, std::string> knobs;  // behaviour knob -> JSON value text
  // Whole raw sections (JSON text) replacing the generated ones when set.
  std::string runtimeJson;
  std::string dfuJson;

  DeviceDescription& Id(std::string v) {
    id = std::move(v);
    return *this;
  }
  DeviceDescription& Serial(std::string v) {
    serialNumber = std::move(v);
    return *this;
  }
  DeviceDescription& Ids(uint16_t vid, uint16_t pid) {
    vendorId = vid;
    productId = pid;
    return *this;
  }
  DeviceDescription& WillDetach(bool on = true);      // both personalities
  DeviceDescription& ManifestationTolerant(bool on);  // both personalities
  DeviceDescription& CanDownload(bool on);            // both personalities
  DeviceDescription& TransferSize(uint16_t v) {
    transferSize = v;
    return *this;
  }
  DeviceDescription& Reenumeration(uint32_t ms) {
    reenumerationMs = ms;
    return *this;
  }
  DeviceDescription& DfuPath(std::string v) {
    dfuPath = std::move(v);
    return *this;
  }
  DeviceDescription& DfuProductId(uint16_t v) {
    dfuProductId = v;
    return *this;
  }
  DeviceDescription& Unplugged() {
    present = false;
    return *this;
  }
  // Sets one behaviour knob; the value is JSON text ("2", "true", "\"dfuERROR\"").
  DeviceDescription& Knob(const std::string& name, const std::string& jsonValue) {
    knobs[name] = jsonValue;
    return *this;
  }

  // Interface path of the run-time personality.
  std::string Path() const;
  // The description as JSON text (AddDevice takes it).
  std::string ToJson() const;
};

class ServiceControl {
 public:
  explicit ServiceControl(std::string socketPath);
  virtual ~ServiceControl();
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  const std::string& SocketPath() const { return mSocketPath; }
  // Text of the last failure of a call.
  const std::string& LastError() const { return mLastError; }

  // Control commands. Each returns "" / false on failure, with LastError().
  std::string AddDevice(const std::string& descriptionJson);
  std::string AddDevice(const DeviceDescription& description) { return AddDevice(description.ToJson()); }
  bool Remove(const std::string& id);
  bool Plug(const std::string& id);
  bool Unplug(const std::string& id);
  bool GetFirmware(const std::string& id, std::string& bytes);
  bool GetSerial(const std::string& id, std::string& serial);
  // Merges knobs (a JSON object text) into the device's behaviour.
  bool SetBehaviour(const std::string& id, const std::string& knobsJson);
  // list-devices answer (JSON text), or "".
  std::string ListDevices();
  // One field of one device from list-devices ("state", "mode", "dfuState",
  // "requests", ...) as JSON text, or "".
  std::string DeviceField(const std::string& id, const std::string& field);
  // Any control command; returns the service's error code, reply in `reply`.
  uint32_t Control(const std::string& commandJson, std::string& reply);

  // Waits until the device's list-devices "state" is `state` (present,
  // off-bus, unplugged); false after timeoutMs.
  bool WaitForState(const std::string& id, const std::string& state, uint32_t timeoutMs = 5000);

 protected:
  // Connects the control connection unless it is connected; 0 or the error.
  uint32_t Connect();
  // Drops the connection; the next command connects again.
  void Disconnect();
  std::string mSocketPath;
  std::string mLastError;

 private:
  bool ControlOk(const std::string& commandJson, std::string* reply = nullptr);
  std::unique_ptr<platform::DriverConnection> mControl;
};

}  // namespace testsupport
