#pragma once
// Simulated device descriptions (JSON, see docs/device-description.md):
// the run-time and DFU-mode personalities with their descriptors, and the
// knobs of the simulated DFU behaviour.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Guid.h"

namespace vlmudrv {

// The device as the host sees it in one mode.
struct Personality {
  std::string path;  // device interface path; empty until the description is complete
  std::string deviceDescriptor;
  std::vector<std::string> configurations;
  std::map<uint8_t, std::string> strings;  // index -> whole string descriptor (index 0: language table)
  // First DFU interface (class 0xFE, subclass 1) found in the configurations
  // and the functional descriptor after it.
  bool hasDfuInterface = false;
  uint8_t dfuInterfaceNumber = 0;
  uint8_t dfuProtocol = 0;
  bool hasFunctional = false;
  uint8_t attributes = 0;
  uint16_t detachTimeout = 0;
  uint16_t transferSize = 0;
};

// A fault injected into the request stream of one device.
struct Fault {
  uint64_t request = 0;   // n-th request of the device (1-based, all codes); 0: match by bRequest
  int bRequest = -1;      // with request 0: the occurrence-th control request with this bRequest
  uint32_t occurrence = 1;
  std::string action = "stall";  // stall | error | delay | hang | unplug
  uint32_t error = 31;           // for "error"
  uint64_t delayMs = 0;          // for "delay" (then answered normally)
  uint32_t seen = 0;             // matching requests counted so far
  bool done = false;
};

// One entry of a scripted reply sequence (see ScriptedRequest).
struct ScriptEntry {
  std::string action = "pass";  // pass | reply | ack | stall | error
  uint32_t repeat = 1;          // requests this entry answers
  int inState = -1;             // only while the device is in this DFU state (-1: any)
  int state = -1;               // DFU_GETSTATUS / DFU_GETSTATE: bState (-1: the device's)
  int status = -1;              // DFU_GETSTATUS: bStatus (-1: the device's)
  int64_t pollTimeout = -1;     // DFU_GETSTATUS: bwPollTimeout (-1: the device's)
  bool enter = false;           // the device's state machine also moves to state / status
  bool hasReply = false;
  std::string reply;            // exact reply bytes
  uint32_t error = 31;          // for "error"
};

struct Behaviour {
  std::string initialState = "appIDLE";  // appIDLE | appDETACH | dfuIDLE | dfuERROR
  bool dfuOnly = false;
  bool runtimeStatusStall = false;
  bool stayInAppIdleAfterDetach = false;
  std::optional<bool> willDetach;
  std::optional<bool> manifestationTolerant;
  uint64_t detachDelayMs = 0;
  uint64_t reenumerationMs = 100;
  bool neverReturn = false;
  std::map<uint8_t, uint32_t> pollTimeout;  // DFU state -> bwPollTimeout (ms)
  uint32_t syncPolls = 0;
  uint32_t busyPolls = 0;
  bool enforcePollTimeout = false;
  uint32_t manifestSyncPolls = 0;
  uint32_t manifestPolls = 1;
  uint64_t manifestTimeMs = 0;
  bool answerInManifest = true;
  int64_t errorAtBlock = -1;
  std::string finalReset = "appIDLE";  // appIDLE | noStatus | dfuERROR | dfuIDLE
  uint32_t statusLength = 6;
  std::optional<uint16_t> newBcdDevice;
  bool checkBlockNumbers = true;
  std::vector<Fault> faults;
  uint32_t maxSerialLength = 255;
  std::string storedSerial;
  bool serialInDescriptor = false;
  // Scripted replies by request name (DFU_GETSTATUS, DFU_DNLOAD, ...): each
  // request takes the first entry of its queue that applies, until the queue
  // is used up; then the simulation answers again.
  std::map<std::string, std::vector<ScriptEntry>> script;
  uint32_t openFailures = 0;  // opens that fail (2) after each arrival
  bool detachExpires = false;  // appDETACH falls back to appIDLE after wDetachTimeOut without a reset
};

// Request name of a control request for scripts ("" when it has none).
std::string ScriptRequestName(uint32_t type, uint8_t bRequest);
// DFU status code from its name (OK, errTARGET, ...) or -1.
int DfuStatusFromName(const std::string& name);

struct Description {
  std::string id;
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x5678;
  uint16_t bcdDevice = 0x0100;
  std::string serialNumber;
  platform::Guid interfaceClass;
  bool present = true;
  Personality runtime;
  Personality dfu;
  nlohmann::json source;     // the description as given
  nlohmann::json behaviour;  // knobs as given (merged by set-behaviour)
};

// Limits on JSON text from outside (control commands, description files).
// Descriptions nest about ten levels deep; the bound keeps every later walk
// of the parsed value (copies, dumps) far from the end of the stack.
inline constexpr size_t kMaxJsonDepth = 32;
inline constexpr size_t kMaxJsonText = 1024 * 1024;
// Limits on what a description may make the service announce: interface
// paths travel in frames whose strings clients accept up to 4096 bytes, and a
// string descriptor holds at most 126 UTF-16 code units.
inline constexpr size_t kMaxIdLength = 256;
inline constexpr size_t kMaxStringUnits = 126;

// Parses JSON text of at most kMaxJsonText bytes nested at most kMaxJsonDepth
// levels; false with a message naming the line and column of a fault.
// `comments`: // and /* */ comments are allowed (files a person writes).
bool ParseJsonText(std::string_view text, nlohmann::json& out, std::string& error, bool comments = false);

// The vendor driver's interface class {49F4A1FF-55DD-4d45-9743-7B623EFF0361}.
platform::Guid VendorInterfaceClass();
bool ParseGuidText(const std::string& text, platform::Guid& guid);
std::string GuidText(const platform::Guid& guid);  // lower case, braced

// Builds a description; false with a message for anything malformed.
bool ParseDescription(const nlohmann::json& j, Description& out, std::string& error);
bool ParseBehaviour(const nlohmann::json& j, Behaviour& out, std::string& error);
// Default interface path: \\?\usb#vid_XXXX&pid_XXXX#SERIAL#{guid}
std::string DefaultPath(uint16_t vid, uint16_t pid, const std::string& serial, const platform::Guid& guid);
// Finds the DFU interface and functional descriptor in a configuration.
void ScanDfu(Personality& p);
// DFU state number from its name (dfuIDLE, ...) or -1.
int DfuStateFromName(const std::string& name);
// String descriptor of a text (UTF-8 in, UTF-16LE out).
std::string StringDescriptor(const std::string& text);

}  // namespace vlmudrv
