#include "Report.h"

#include <cstdio>

#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "StatusText.h"

namespace vlmuflash {

int Fail(const Options& o, const char* what, uint32_t status) {
  if (o.json) {
    std::printf("{\"status\":%u,\"statusText\":%s,\"failedStep\":%s}\n", status,
                vlmutool::JsonString(vlmutool::StatusText(status)).c_str(), vlmutool::JsonString(what).c_str());
  }
  std::fprintf(stderr, "vlmu-flash: %s failed: %s\n", what, vlmutool::DescribeStatus(status).c_str());
  return ExitStatusFor(status);
}

void NoDeviceHint() {
  std::fprintf(stderr,
               "vlmu-flash: no device found. Is the driver service (velmora-driverd) running and\n"
               "  reachable (VLMU_DRIVER_SOCKET)? See docs/troubleshooting.md.\n");
}

int EnumerateOrFail(const Options& o, std::vector<DeviceEntry>& devices, uint32_t waitMs, bool* serviceDown) {
  const uint32_t st = TakeSnapshot(devices, waitMs, {}, serviceDown);
  if (st == 0) return 0;
  const int rc = Fail(o, "VLMUFWDL_EnumerateDevices", st);
  NoDeviceHint();
  return rc;
}

}  // namespace vlmuflash
