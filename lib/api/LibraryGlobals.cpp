#include "api/LibraryGlobals.h"

#include <new>

#include "api/LibraryEntry.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuDevice.h"
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
  bool IsConstructed() const noexcept { return mObject != nullptr; }

 private:
  alignas(T) unsigned char mStorage[sizeof(T)] = {};
  T* mObject = nullptr;
};

// Bound of the stop request to a download still running at unload.
constexpr uint32_t kUnloadStopTimeoutMs = 10000;

constinit GlobalSlot<DiagnosticLog> gDiagnosticLog;
constinit GlobalSlot<SetupFunctionTable> gSetupFunctions;
constinit GlobalSlot<VlmuDeviceSet> gDeviceSet;
constinit GlobalSlot<DfuDevice> gDfuDevice;
constinit GlobalSlot<std::mutex> gGlobalLock;

}  // namespace

void ConstructLibraryGlobals() {
  gDiagnosticLog.Construct();
  gSetupFunctions.Construct();
  gDeviceSet.Construct();
  gDfuDevice.Construct();
  gGlobalLock.Construct();
}

void DestroyLibraryGlobals() noexcept {
  gGlobalLock.Destroy();
  // A download still running at unload is asked to stop first: the worker
  // uses the object that is about to go (its destructor waits for the rest).
  if (gDfuDevice.IsConstructed() && !gDfuDevice.Get().StopDownloadAndWait(kUnloadStopTimeoutMs)) gDfuDevice.Get().StopThreadAndWait();
  gDfuDevice.Destroy();
  gDeviceSet.Destroy();
  gSetupFunctions.Destroy();
  gDiagnosticLog.Destroy();
}

DiagnosticLog& TheDiagnosticLog() { return gDiagnosticLog.Get(); }

std::mutex& TheGlobalLock() { return gGlobalLock.Get(); }

SetupFunctionTable& TheSetupFunctions() { return gSetupFunctions.Get(); }

VlmuDeviceSet& TheDeviceSet() { return gDeviceSet.Get(); }

DfuDevice& TheDfuDevice() { return gDfuDevice.Get(); }
