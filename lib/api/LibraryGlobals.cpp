#include "api/LibraryGlobals.h"

#include "api/LibraryEntry.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"
#include "log/GlobalSlot.h"

namespace {

// Bound of the stop request to a download still running at unload.
constexpr uint32_t kUnloadStopTimeoutMs = 10000;

constinit GlobalSlot<VlmuDeviceSet> gDeviceSet;
constinit GlobalSlot<DfuDevice> gDfuDevice;
constinit GlobalSlot<std::mutex> gGlobalLock;

}  // namespace

void ConstructLibraryGlobals() {
  ConstructTheDiagnosticLog();
  ConstructTheSetupFunctions();
  gDeviceSet.Construct();
  gDfuDevice.Construct();
  gGlobalLock.Construct();
}

void DestroyLibraryGlobals() noexcept {
  gGlobalLock.Destroy();
  // A download still running at unload is asked to stop first: the worker
  // uses the object that is about to go (its destructor waits for the rest).
  if (gDfuDevice.IsConstructed() && !gDfuDevice.Get().StopDownloadAndWait(kUnloadStopTimeoutMs))
    gDfuDevice.Get().StopThreadAndWait();
  gDfuDevice.Destroy();
  gDeviceSet.Destroy();
  DestroyTheSetupFunctions();
  DestroyTheDiagnosticLog();
}

std::mutex& TheGlobalLock() { return gGlobalLock.Get(); }

VlmuDeviceSet& TheDeviceSet() { return gDeviceSet.Get(); }

DfuDevice& TheDfuDevice() { return gDfuDevice.Get(); }
