#pragma once
// The frame shared by the exports: the global lock held for the whole call,
// the "API <-" return entry, and the guard that keeps every exception inside
// the library.
#include <cstdint>
#include <mutex>

#include "api/LibraryGlobals.h"
#include "log/DiagnosticLog.h"

class ApiFrame {
 public:
  ApiFrame() : mLock(TheGlobalLock()) {}
  ApiFrame(const ApiFrame&) = delete;
  ApiFrame& operator=(const ApiFrame&) = delete;

  // Writes the API return entry "<call> returning 0x%08X\n" and gives back
  // `result`, e.g. `return frame.Return("VLMUFWDL_OpenDevice", status);`.
  uint32_t Return(const char* call, uint32_t result) const {
    VLOG(LOG_API_RETURN, "%s returning 0x%08X\n", call, static_cast<unsigned>(result));
    return result;
  }

 private:
  std::lock_guard<std::mutex> mLock;
};

// Runs the body of an export; an exception that escapes it is logged and
// answered with `failureStatus`, so that none crosses the C interface.
template <class Body>
uint32_t GuardedExport(const char* exportName, uint32_t failureStatus, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    try {
      VLOG(LOG_ERROR, "%s: unexpected internal failure\n", exportName);
    } catch (...) {
    }
    return failureStatus;
  }
}
