// VLMUFWDL_GetVldFileInfo: describes a firmware image file. It works whether
// or not a device is open or a download runs; the image file is closed again
// before the export returns.
#include <cstring>

#include "api/ApiFrame.h"
#include "image/VldFile.h"
#include "log/DiagnosticLog.h"
#include "vlmufwdl.h"

extern "C" VLMUFWDL_API uint32_t VLMUFWDL_GetVldFileInfo(const char* VldFileName, VLMUFWDL_VLD_FILE_INFO* VldInfo) {
  // A failure that escapes as an exception (out of memory) counts as a failed read.
  return GuardedExport("VLMUFWDL_GetVldFileInfo", VLMUFWDL_STATUS_FILE_READ_FAILED, [&]() -> uint32_t {
    ApiFrame frame;
    if (VldInfo == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetVldFileInfo: parameter 'VldInfo' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    std::memset(VldInfo, 0, sizeof *VldInfo);
    if (VldFileName == nullptr) {
      VLOG(LOG_ERROR, "VLMUFWDL_GetVldFileInfo: parameter 'VldFileName' is NULL");
      return VLMUFWDL_STATUS_INVALID_PARAMETER;
    }
    VLOG(LOG_API_ENTRY, "VLMUFWDL_GetVldFileInfo('%s',0x%s)\n", VldFileName, FormatPointer(VldInfo).c_str());

    uint32_t result;
    {
      VldFile file;
      result = file.Open(VldFileName);
      if (result != VLMUFWDL_STATUS_SUCCESS) {
        VLOG(LOG_ERROR, "VLMUFWDL_GetVldFileInfo: open file '%s' failed with 0x%08X.\n", VldFileName, result);
      } else {
        result = file.GetFileInfo(VldInfo);
        if (result != VLMUFWDL_STATUS_SUCCESS) {
          VLOG(LOG_ERROR, "VLMUFWDL_GetVldFileInfo: getting information of file '%s' failed with 0x%08X.\n",
               VldFileName, result);
        }
      }
      result = frame.Return("VLMUFWDL_GetVldFileInfo", result);
    }  // the reader is destroyed here, closing the file
    return result;
  });
}
