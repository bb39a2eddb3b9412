#pragma once
// What the driver service needs from the devices it serves. Implementations:
// SimulatedSource (devices from JSON descriptions, on the service's loop),
// UsbSource (real USB devices through libusb, with threads of its own) and
// SourceSet (several sources served as one). MakeSources (SourceFactory.h)
// creates them from the service's options.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/AsciiText.h"
#include "platform/Guid.h"

namespace vlmudrv {

// Timers of the service's event loop. Callbacks run on the loop's thread.
class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual uint64_t NowMs() const = 0;
  // Runs `fn` once after `delayMs`; returns an id for Cancel (never 0).
  virtual uint64_t Schedule(uint64_t delayMs, std::function<void()> fn) = 0;
  virtual void Cancel(uint64_t id) = 0;
};

// Receives the device-change events of a source.
class DeviceEvents {
 public:
  virtual ~DeviceEvents() = default;
  virtual void OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) = 0;
};

// Interface paths name the same interface when they are equal ignoring
// case, as the system compares device interface paths.
inline bool SamePath(std::string_view a, std::string_view b) { return platform::EqualsIgnoreAsciiCase(a, b); }

struct InterfaceEntry {
  std::string path;
  platform::Guid interfaceClass;
};

// What an Open hands out: the device and which of its appearances on the bus
// it was opened on; a handle of an earlier appearance is dead.
struct DeviceHandle {
  uint64_t device = 0;
  uint64_t appearance = 0;
  std::string path;
};

struct IoRequest {
  uint32_t code = 0;
  std::string in;
  uint32_t outSize = 0;
};

struct IoResult {
  uint32_t error = 0;
  std::string out;  // never longer than the request's outSize
};

// Called exactly once per request, possibly later than IoControl returns.
using IoCompletion = std::function<void(IoResult)>;

class DeviceSource {
 public:
  // A descriptor the service's loop watches for a source that works on
  // threads of its own: readable while results wait, and `onReadable` (on the
  // loop's thread) takes them.
  struct WakeUp {
    int fd = -1;
    std::function<void()> onReadable;
  };

  virtual ~DeviceSource() = default;
  // Starts what the source runs beside the service's loop (threads, a USB
  // library); called once, after the service listens and has left the
  // terminal. False with a message when the source cannot serve.
  virtual bool Start(std::string& error) {
    (void)error;
    return true;
  }
  // The wake-up descriptors of the source; none for a source that does all
  // its work on the loop's thread.
  virtual std::vector<WakeUp> WakeUps() { return {}; }
  // Present interfaces of a class, in the order their devices were added.
  virtual std::vector<InterfaceEntry> ListInterfaces(const platform::Guid& interfaceClass) const = 0;
  // 0 and a handle, or ERROR_FILE_NOT_FOUND when no present interface has
  // that path (compared ignoring case).
  virtual uint32_t Open(const std::string& path, DeviceHandle& handle) = 0;
  virtual void IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) = 0;
  // Handles a control command meant for this source. Returns false when the
  // command is not one of its own.
  virtual bool Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) = 0;
};

}  // namespace vlmudrv
