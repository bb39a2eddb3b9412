#pragma once
// Runs the driver service (velmora-driverd from the build directory) for a
// test: on a socket of its own in a fresh temporary directory, with a trace
// file, and with VLMU_DRIVER_SOCKET set in this process so that the library
// and every DriverConnection::Connect talk to it. The destructor stops the
// service (SIGTERM, then SIGKILL after a bounded wait) and restores the
// environment variable; no process is left behind.
//
//   testsupport::DriverServiceFixture driver;
//   ASSERT_TRUE(driver.Start()) << driver.LastError();
//   std::string id = driver.AddDevice(testsupport::DeviceDescription().WillDetach().Knob("busyPolls", "2"));
//   ... exercise the library ...
//   auto trace = driver.ReadTrace();          // every request the service saw
//   std::string image; driver.GetFirmware(id, image);
//
// Not thread-safe itself: use one fixture from one test thread (the service
// and the library may of course run threads of their own).
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

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
  std::string dfuPath;       // empty: the DFU personality keeps the run-time path
  uint16_t dfuProductId = 0;  // 0: the DFU personality keeps the run-time product id
  bool present = true;
  std::map<std::string, std::string> knobs;  // behaviour knob -> JSON value text
  // Whole raw sections (JSON text) replacing the generated ones when set.
  std::string runtimeJson;
  std::string dfuJson;

  DeviceDescription& Id(std::string v) { id = std::move(v); return *this; }
  DeviceDescription& Serial(std::string v) { serialNumber = std::move(v); return *this; }
  DeviceDescription& Ids(uint16_t vid, uint16_t pid) { vendorId = vid; productId = pid; return *this; }
  DeviceDescription& WillDetach(bool on = true);        // both personalities
  DeviceDescription& ManifestationTolerant(bool on);    // both personalities
  DeviceDescription& CanDownload(bool on);              // both personalities
  DeviceDescription& TransferSize(uint16_t v) { transferSize = v; return *this; }
  DeviceDescription& Reenumeration(uint32_t ms) { reenumerationMs = ms; return *this; }
  DeviceDescription& DfuPath(std::string v) { dfuPath = std::move(v); return *this; }
  DeviceDescription& DfuProductId(uint16_t v) { dfuProductId = v; return *this; }
  DeviceDescription& Unplugged() { present = false; return *this; }
  // Sets one behaviour knob; the value is JSON text ("2", "true", "\"dfuERROR\"").
  DeviceDescription& Knob(const std::string& name, const std::string& jsonValue) { knobs[name] = jsonValue; return *this; }

  // Interface path of the run-time personality.
  std::string Path() const;
  // The description as JSON text (AddDevice takes it).
  std::string ToJson() const;
};

// One decoded line of the service's trace.
struct TraceEntry {
  std::string op;     // ioctl, open, close, control, arrival, removal
  std::string path;
  uint64_t client = 0;
  uint32_t code = 0;  // I/O control code (op "ioctl")
  uint32_t result = 0;
  uint32_t inLength = 0;
  uint32_t outSize = 0;
  uint32_t bytesReturned = 0;
  // Control request header (code 0x80892014).
  bool hasSetup = false;
  uint8_t direction = 0;
  uint32_t type = 0;
  uint32_t recipient = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  uint32_t dataLength = 0;
  std::string dataHex;  // first 64 data bytes after the header
  std::string outHex;   // first 64 bytes returned
  // Descriptor request (code 0x80892004).
  bool hasDescriptor = false;
  uint8_t descriptorType = 0;
  uint8_t descriptorIndex = 0;
  uint16_t languageId = 0;
  std::string raw;  // the whole JSON line
};

class DriverServiceFixture {
 public:
  DriverServiceFixture();
  ~DriverServiceFixture();
  DriverServiceFixture(const DriverServiceFixture&) = delete;
  DriverServiceFixture& operator=(const DriverServiceFixture&) = delete;

  // Starts the service and waits (at most 10 s) until it answers. Extra
  // arguments are passed on (e.g. "--device", file). Sets VLMU_DRIVER_SOCKET.
  bool Start(const std::vector<std::string>& extraArgs = {});
  // SIGTERM, wait up to timeoutMs, then SIGKILL. True when it ended by itself.
  bool Stop(uint32_t timeoutMs = 5000);
  // SIGKILL at once (a service that dies under its clients).
  void Kill();
  bool Running();
  pid_t Pid() const { return mPid; }
  // Exit status of the ended service (as from waitpid), if it has ended.
  std::optional<int> ExitStatus() const { return mExitStatus; }

  const std::string& SocketPath() const { return mSocketPath; }
  const std::string& TracePath() const { return mTracePath; }
  const std::string& LogPath() const { return mLogPath; }
  std::string TempFile(const std::string& name) const { return mDir.File(name); }
  // Text of the last failure of a fixture call (and the service's log tail).
  const std::string& LastError() const { return mLastError; }

  // Control commands. Each returns "" / false on failure, with LastError().
  std::string AddDevice(const std::string& descriptionJson);
  std::string AddDevice(const DeviceDescription& spec) { return AddDevice(spec.ToJson()); }
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

  // Every trace line so far, decoded; ClearTrace() empties the file.
  std::vector<TraceEntry> ReadTrace() const;
  // Only the I/O control requests, optionally only those of one code.
  std::vector<TraceEntry> ReadIoTrace(uint32_t code = 0) const;
  void ClearTrace() const;

  // Waits until the device's list-devices "state" is `state` (present,
  // off-bus, unplugged); false after timeoutMs.
  bool WaitForState(const std::string& id, const std::string& state, uint32_t timeoutMs = 5000);

 private:
  bool ControlOk(const std::string& commandJson, std::string* reply = nullptr);
  void Reap(uint32_t timeoutMs);
  std::string LogTail() const;

  TempDir mDir;
  std::string mSocketPath;
  std::string mTracePath;
  std::string mLogPath;
  pid_t mPid = -1;
  std::optional<int> mExitStatus;
  std::optional<std::string> mSavedEnv;
  bool mEnvSet = false;
  std::unique_ptr<platform::DriverConnection> mControl;
  std::string mLastError;
};

// Path of the service binary in the build tree.
std::string DriverServiceBinary();

}  // namespace testsupport
