#include "api/LibraryGlobals.h"

#include <new>

#include "api/LibraryEntry.h"
#include "log/DiagnosticLog.h"

namespace {

// Raw storage for one process-wide object: constructed and destroyed
// explicitly by the library entry, never by the C++ run time, so that the
// order across source files and against the unload function is fixed.
template <class T>
class GlobalSlot {
 public:
  constexpr GlobalSlot() = default;
  void Construct() {
    if (mObject == nullptr) mObject = ::new (static_cast<void*>(mStorage)) T();
  }
  void Destroy() noexcept {
    if (mObject != nullptr) {
      mObject->~T();
      mObject = nullptr;
    }
  }
  T& Get() const noexcept { return *mObject; }

 private:
  alignas(T) unsigned char mStorage[sizeof(T)] = {};
  T* mObject = nullptr;
};

constinit GlobalSlot<DiagnosticLog> gDiagnosticLog;
// >>> device exports: slots of the setup-function table, the device set
// (VlmuDeviceSet) and the global DfuDevice go here, with their accessors
// TheDeviceSet() and TheDfuDevice().
constinit GlobalSlot<std::mutex> gGlobalLock;

}  // namespace

void ConstructLibraryGlobals() {
  gDiagnosticLog.Construct();
  // >>> device exports: construct the setup-function table, the device set and
  // the global DfuDevice here, in this order.
  gGlobalLock.Construct();
}

void DestroyLibraryGlobals() noexcept {
  gGlobalLock.Destroy();
  // >>> device exports: destroy the global DfuDevice, the device set and the
  // setup-function table here, in this order.
  gDiagnosticLog.Destroy();
}

DiagnosticLog& TheDiagnosticLog() { return gDiagnosticLog.Get(); }

std::mutex& TheGlobalLock() { return gGlobalLock.Get(); }
