// vlmu-flash: command-line firmware upgrade through the firmware download
// library, the way the upgrade program does it; devices chosen by position,
// serial number or interface path, several at once, or each as it arrives.
// Usage and exit statuses: FlashOptions.cpp, docs/flasher.md.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "DeviceSnapshot.h"
#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "ParallelUpgrade.h"
#include "Report.h"
#include "StatusText.h"
#include "Upgrade.h"
#include "vlmufwdl.h"

namespace {

using namespace vlmuflash;

constexpr uint32_t kListWaitMs = 2000;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vlmu-flash: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

// Common start: API version check, log file, time-outs.
int Prepare(const Options& o) {
  const uint32_t version = VLMUFWDL_GetApiVersion();
  if (VLMUFWDL_API_VERSION_MAJOR(version) != 1 || VLMUFWDL_API_VERSION_MINOR(version) < 1) {
    std::fprintf(stderr, "vlmu-flash: the library's API version 0x%08X is not supported\n", version);
    return 1;
  }
  if (!o.logFile.empty()) {
    const uint32_t st = VLMUFWDL_EnableLogging(o.logFile.c_str());
    if (st != 0) return Fail(o, "VLMUFWDL_EnableLogging", st);
  }
  for (int s = 0; s < 3; ++s) {
    if (!o.haveTimeout[s]) continue;
    const uint32_t st = VLMUFWDL_SetTimeout(s, o.timeout[s]);
    if (st != 0) return Fail(o, "VLMUFWDL_SetTimeout", st);
  }
  return 0;
}

std::string ListJson(const DeviceEntry& d) {
  char head[96];
  std::snprintf(head, sizeof head, "{\"index\":%u,\"status\":%u,\"vendorId\":%u,\"productId\":%u,", d.index, d.status,
                d.vendorId, d.productId);
  return head + std::string("\"serialNumber\":") + vlmutool::JsonString(d.serial) +
         ",\"path\":" + vlmutool::JsonString(d.path) + "}";
}

int CmdList(const Options& o) {
  std::vector<DeviceEntry> devices;
  uint32_t serviceError = 0;
  if (int rc = EnumerateOrFail(o, devices, kListWaitMs, &serviceError)) return rc;
  std::string json = "{\"status\":0,\"devices\":[";
  if (!o.json) std::printf("%-6s %-18s %-20s %s\n", "Index", "Vendor/Product ID", "Serial Number", "Path");
  int result = 0;
  for (const DeviceEntry& d : devices) {
    if (o.json) {
      json += (d.index == 0 ? "" : ",") + ListJson(d);
    } else if (d.status != 0) {
      std::printf("%-6u (device cannot be read: %s)  %s\n", d.index, vlmutool::DescribeStatus(d.status).c_str(),
                  vlmutool::Printable(d.path).c_str());
    } else {
      std::printf("%-6u %-18s %-20s %s\n", d.index, FormatIds(d.vendorId, d.productId).c_str(),
                  vlmutool::Printable(d.serial).c_str(), vlmutool::Printable(d.path).c_str());
    }
    if (d.status != 0 && result == 0) result = ExitStatusFor(d.status);
  }
  if (o.json) std::printf("%s]}\n", json.c_str());
  if (devices.empty()) {
    if (!o.json) std::printf("(no devices)\n");
    // The library answers "no devices" whether or not a service runs (as on
    // a machine without the driver); the snapshot asked the service itself.
    if (int rc = NoDeviceHint(serviceError)) return rc;
  }
  return result;
}

int CmdInfo(const Options& o, const std::string& image) {
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0, sizeof info);
  const uint32_t st = VLMUFWDL_GetVldFileInfo(image.c_str(), &info);
  if (o.json) std::printf("%s\n", vlmutool::ImageJson(image, st, st == 0 ? &info : nullptr).c_str());
  if (st != 0) {
    std::fprintf(stderr, "vlmu-flash: %s: %s\n", image.c_str(), vlmutool::DescribeStatus(st).c_str());
    return ExitStatusFor(st);
  }
  if (!o.json) std::printf("%s", vlmutool::DescribeImage(image, info).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (ParseCommandLine(argc, argv, o, error) != 0) {
    if (error == "help") {
      std::printf("%s", kUsage);
      return 0;
    }
    return UsageError(error);
  }
  if (int rc = Prepare(o)) return rc;
  const std::string& cmd = o.words[0];
  if (cmd == "list") return CmdList(o);
  if (cmd == "info") return CmdInfo(o, o.words[1]);
  if (cmd == "serial") return CmdSerial(o);
  if (!o.worker.empty()) return RunWorker(o, o.words[1]);
  if (o.watch) return CmdWatch(o, o.words[1]);
  if (o.ManyDevices()) return CmdUpgradeMany(o, o.words[1]);
  return CmdUpgradeOne(o, o.words[1]);
}
