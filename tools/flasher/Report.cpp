#include "Report.h"

#include <cstdio>

#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "StatusText.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmuflash {

int Fail(const Options& o, const char* what, uint32_t status) {
  if (o.json) {
    std::printf("{\"status\":%u,\"statusText\":%s,\"failedStep\":%s}\n", status,
                vlmutool::JsonString(vlmutool::StatusText(status)).c_str(), vlmutool::JsonString(what).c_str());
  }
  std::fprintf(stderr, "vlmu-flash: %s failed: %s\n", what, vlmutool::DescribeStatus(status).c_str());
  return ExitStatusFor(status);
}

int NoDeviceHint(uint32_t serviceError) {
  const std::string socket = platform::DriverConnection::SocketPath();
  if (serviceError == driverproto::kErrorServiceNotActive) {
    std::fprintf(stderr,
                 "vlmu-flash: no driver service listens on %s; start velmora-driverd (see docs/troubleshooting.md)\n",
                 socket.c_str());
    return kExitNoService;
  }
  if (serviceError == driverproto::kErrorAccessDenied) {
    std::fprintf(stderr,
                 "vlmu-flash: you may not use the driver service at %s (permission denied); ask an administrator\n"
                 "  to add you to its group (plugdev for the packaged service), then log in again\n",
                 socket.c_str());
    return kExitNoPermission;
  }
  std::fprintf(stderr,
               "vlmu-flash: no device found. Is the driver service (velmora-driverd) running and\n"
               "  reachable (VLMU_DRIVER_SOCKET)? See docs/troubleshooting.md.\n");
  return 0;
}

int EnumerateOrFail(const Options& o, std::vector<DeviceEntry>& devices, uint32_t waitMs, uint32_t* serviceError) {
  const uint32_t st = TakeSnapshot(devices, waitMs, {}, serviceError);
  if (st == 0) return 0;
  const int rc = Fail(o, "VLMUFWDL_EnumerateDevices", st);
  NoDeviceHint();
  return rc;
}

}  // namespace vlmuflash
