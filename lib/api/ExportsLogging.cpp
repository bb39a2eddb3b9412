// VLMUFWDL_GetApiVersion and VLMUFWDL_EnableLogging.
#include "vlmufwdl.h"

#include "api/ApiFrame.h"
#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"

namespace {
constexpr uint32_t kEnabledLogMaxSize = 5000000;
}

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_GetApiVersion(void) { return VLMUFWDL_API_VERSION; }

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_EnableLogging(const char* LogFileName) {
  return GuardedExport("VLMUFWDL_EnableLogging", VLMUFWDL_STATUS_LOG_FILE, [&]() -> uint32_t {
    ApiFrame frame;
    if (TheDfuDevice().IsThreadRunning()) {
      VLOG(LOG_ERROR, "VLMUFWDL_EnableLogging failed, because download is in progress\n");
      return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_EnableLogging('%s')\n", LogFileName != nullptr ? LogFileName : "NULL");
    DiagnosticLog& log = TheDiagnosticLog();
    uint32_t result;
    if (LogFileName != nullptr) {
      result =
          log.SetLogFile(LogFileName, kEnabledLogMaxSize, false) ? VLMUFWDL_STATUS_SUCCESS : VLMUFWDL_STATUS_LOG_FILE;
      VLOG(LOG_INFO, "VLMUFWDL_EnableLogging: Logfile '%s' enabled.\n", LogFileName);
    } else {
      result = log.StopLogFile() ? VLMUFWDL_STATUS_SUCCESS : VLMUFWDL_STATUS_LOG_FILE;
      log.ClearConfiguredLogFile();
    }
    return frame.Return("VLMUFWDL_EnableLogging()", result);
  });
}
