#pragma once
// Kernel-event stand-in: manual- or auto-reset event with timed waits.
#include <cstdint>
#include <memory>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signalled, Timeout, Failed };

// The system error code reported when an event cannot be set (the stand-in
// has no error of its own for it; ERROR_GEN_FAILURE).
inline constexpr uint32_t kErrorEventSetFailed = 31;

class Event {
 public:
  virtual ~Event() = default;
  virtual bool Set() = 0;
  virtual bool Reset() = 0;
  // Waits up to timeoutMs (kInfinite: no limit). An auto-reset event is reset
  // by the wait that consumes its signal.
  virtual WaitResult Wait(uint32_t timeoutMs) = 0;
};

// Creates an event; returns null and sets `error` to a system error code on failure.
std::unique_ptr<Event> CreateSyncEvent(bool manualReset, bool initialState, uint32_t* error = nullptr);

}  // namespace platform
