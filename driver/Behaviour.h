#pragma once
// The knobs of a simulated device's behaviour (the "behaviour" object of a
// description and the set-behaviour command; see
// docs/device-description.md): timing, polls, faults, scripted replies.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vlmudrv {

// A fault injected into the request stream of one device.
struct Fault {
  uint64_t request = 0;  // n-th request of the device (1-based, all codes); 0: match by bRequest
  int bRequest = -1;     // with request 0: the occurrence-th control request with this bRequest
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
  std::string reply;    // exact reply bytes
  uint32_t error = 31;  // for "error"
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
  uint32_t openFailures = 0;   // opens that fail (2) after each arrival
  bool detachExpires = false;  // appDETACH falls back to appIDLE after wDetachTimeOut without a reset
};

// Reads the knobs of `j` into `out` (starting from its values); false with
// a message for an unknown knob or a malformed value.
bool ParseBehaviour(const nlohmann::json& j, Behaviour& out, std::string& error);
// Every knob ParseBehaviour knows, in the order it reads them.
std::vector<std::string> BehaviourKnobNames();

// Request name of a control request for scripts ("" when it has none).
std::string ScriptRequestName(uint32_t type, uint8_t bRequest);
// DFU state number from its name (dfuIDLE, ...) or -1.
int DfuStateFromName(const std::string& name);
// DFU status code from its name (OK, errTARGET, ...) or -1.
int DfuStatusFromName(const std::string& name);

}  // namespace vlmudrv
