#include "api/LibraryEntry.h"

#include "api/LibraryGlobals.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"

namespace {

// Destination bit suppressed while the process-attach step runs.
constexpr uint32_t kAttachSuppressedDestination = 4;

void ProcessAttach(platform::ModuleInstance instance, const void* reserved) {
  ConstructLibraryGlobals();
  DiagnosticLog& log = TheDiagnosticLog();

  DiagnosticLog::StartupSettings settings;
  settings.moduleInstance = instance;
  settings.enabledTypes = LOG_ERROR | LOG_WARNING | LOG_INFO | LOG_API_ENTRY | LOG_API_RETURN;
  settings.destinationMask = 3;
  settings.extensions = 13;  // thread id, type name, time
  settings.moduleToken = "VLMUFWDL";
  settings.logFilePath = "";
  settings.maxSize = 256000;
  settings.checkSizeAfterEachEntry = false;
  try {
    log.Initialize(settings);
  } catch (...) {
    // Out of memory while reading the configuration: the log stays as far as
    // it got; the library itself is usable.
  }

  log.AddSuppressedDestinations(kAttachSuppressedDestination);
  VLOG(LOG_API_ENTRY, "DLL_PROCESS_ATTACH (%s load)\n", reserved != nullptr ? "static" : "dynamic");
  platform::DisableThreadNotifications(instance);
  TheDfuDevice().SetModuleInstance(instance);
  VLOG(LOG_API_RETURN, "DLL_PROCESS_ATTACH\n");
  log.RemoveSuppressedDestinations(kAttachSuppressedDestination);
}

void ProcessDetach() {
  VLOG(LOG_API_ENTRY, "DLL_PROCESS_DETACH\n");
  VLOG(LOG_API_RETURN, "DLL_PROCESS_DETACH\n");
  DestroyLibraryGlobals();
}

}  // namespace

bool LibraryEntry(platform::ModuleInstance instance, uint32_t reason, const void* reserved) noexcept {
  try {
    switch (reason) {
      case kLibraryProcessAttach:
        ProcessAttach(instance, reserved);
        break;
      case kLibraryProcessDetach:
        ProcessDetach();
        break;
      case kLibraryThreadAttach:
        VLOG(LOG_API_ENTRY, "DLL_THREAD_ATTACH\n");
        VLOG(LOG_API_RETURN, "DLL_THREAD_ATTACH\n");
        break;
      case kLibraryThreadDetach:
        VLOG(LOG_API_ENTRY, "DLL_THREAD_DETACH\n");
        VLOG(LOG_API_RETURN, "DLL_THREAD_DETACH\n");
        break;
      default:
        VLOG(LOG_WARNING, "unknown reason %u\n", static_cast<unsigned>(reason));
        break;
    }
  } catch (...) {
    // The loader must never see an exception; the entry always succeeds.
  }
  return true;
}
