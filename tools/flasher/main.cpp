// vlmu-flash: command-line firmware upgrade through the firmware download
// library, the way the upgrade program does it.
//
//   vlmu-flash [OPTIONS] list
//   vlmu-flash [OPTIONS] info IMAGE
//   vlmu-flash [OPTIONS] upgrade --device N IMAGE
//   vlmu-flash [OPTIONS] serial get --device N
//   vlmu-flash [OPTIONS] serial set --device N TEXT
//
// Exit status: 0 on success, otherwise the library's status (64 for usage
// errors, 69 for `list` without a driver service, 77 for `list` by a user
// the service does not admit).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FlashText.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"
#include "ImageDisplay.h"
#include "StatusText.h"
#include "vlmufwdl.h"

namespace {

constexpr int kExitUsage = 64;
// `list` found no device because no driver service listens (EX_UNAVAILABLE):
// a script can tell it from "no device".
constexpr int kExitNoService = 69;
// ... because this user may not use the service that runs (EX_NOPERM).
constexpr int kExitNoPermission = 77;
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
// After the final status the worker may need a moment to end; closing the
// device is retried for this long while the library answers 35.
constexpr auto kCloseRetryLimit = std::chrono::seconds(10);

const char kUsage[] =
    "usage:\n"
    "  vlmu-flash [OPTIONS] list\n"
    "  vlmu-flash [OPTIONS] info IMAGE\n"
    "  vlmu-flash [OPTIONS] upgrade --device N IMAGE\n"
    "  vlmu-flash [OPTIONS] serial get --device N\n"
    "  vlmu-flash [OPTIONS] serial set --device N TEXT\n"
    "options:\n"
    "  --device N              device index as listed by 'list'\n"
    "  --timeout-replug MS     time allowed for the device to come back after a reset\n"
    "  --timeout-block MS      polling time allowed per firmware block\n"
    "  --timeout-manifest MS   polling time allowed for the manifestation phase\n"
    "  --log FILE              write the library's diagnostic log to FILE\n"
    "  --json                  machine-readable output on stdout\n"
    "  -h, --help              show this help\n"
    "Exit status: 0 on success, otherwise the library's status; 64 for usage errors.\n";

struct Options {
  std::vector<std::string> words;  // command and its operands
  bool json = false;
  bool haveDevice = false;
  uint32_t device = 0;
  std::string logFile;
  bool haveTimeout[3] = {false, false, false};
  uint32_t timeout[3] = {0, 0, 0};
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vlmu-flash: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

bool ParseArgs(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = "option " + a + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--json") {
      o.json = true;
    } else if (a == "--help" || a == "-h") {
      error = "help";
      return false;
    } else if (a == "--device") {
      if (!value(v)) return false;
      if (!vlmuflash::ParseIndex(v, o.device)) {
        error = "--device needs a decimal index, not '" + v + "'";
        return false;
      }
      o.haveDevice = true;
    } else if (a == "--log") {
      if (!value(o.logFile)) return false;
      if (o.logFile.empty()) {
        error = "--log needs a file name";
        return false;
      }
    } else if (a == "--timeout-replug" || a == "--timeout-block" || a == "--timeout-manifest") {
      const int selector = a == "--timeout-replug" ? VLMUFWDL_TIMEOUT_REPLUG
                           : a == "--timeout-block" ? VLMUFWDL_TIMEOUT_BLOCK_POLL
                                                    : VLMUFWDL_TIMEOUT_MANIFEST_POLL;
      if (!value(v)) return false;
      if (!vlmuflash::ParseMilliseconds(v, o.timeout[selector])) {
        error = a + " needs milliseconds (0 to 4294967295), not '" + v + "'";
        return false;
      }
      o.haveTimeout[selector] = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      error = "unknown option " + a;
      return false;
    } else {
      o.words.push_back(a);
    }
  }
  return true;
}

// Reports a failed library call and returns the exit status for it.
int Fail(const Options& o, const char* what, uint32_t status) {
  if (o.json) {
    std::printf("{\"status\":%u,\"statusText\":%s,\"failedStep\":%s}\n", status,
                vlmutool::JsonString(vlmutool::StatusText(status)).c_str(),
                vlmutool::JsonString(what).c_str());
  }
  std::fprintf(stderr, "vlmu-flash: %s failed: %s\n", what, vlmutool::DescribeStatus(status).c_str());
  return vlmuflash::ExitStatusFor(status);
}

void NoDeviceHint() {
  std::fprintf(stderr,
               "vlmu-flash: no device found. Is the driver service (velmora-driverd) running and\n"
               "  reachable (VLMU_DRIVER_SOCKET)? See docs/troubleshooting.md.\n");
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

int Enumerate(const Options& o, uint32_t& count) {
  count = 0;
  const uint32_t st = VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count);
  if (st != 0) {
    const int rc = Fail(o, "VLMUFWDL_EnumerateDevices", st);
    NoDeviceHint();
    return rc;
  }
  return 0;
}

// Enumerates and checks that --device names a present device.
int ChooseDevice(const Options& o, VLMUFWDL_DEVICE_INFO& info) {
  uint32_t count = 0;
  if (int rc = Enumerate(o, count)) return rc;
  if (count == 0) {
    if (o.json) std::printf("{\"status\":13,\"statusText\":\"no device found\"}\n");
    NoDeviceHint();
    return VLMUFWDL_STATUS_INVALID_DEVICE_INDEX;
  }
  if (o.device >= count) {
    std::fprintf(stderr, "vlmu-flash: device %u does not exist (%u device%s found)\n", o.device,
                 count, count == 1 ? "" : "s");
    return Fail(o, "choosing the device", VLMUFWDL_STATUS_INVALID_DEVICE_INDEX);
  }
  std::memset(&info, 0, sizeof info);
  const uint32_t st = VLMUFWDL_GetDeviceInfo(o.device, &info);
  if (st != 0) return Fail(o, "VLMUFWDL_GetDeviceInfo", st);
  return 0;
}

std::string SerialOf(const VLMUFWDL_DEVICE_INFO& info) {
  return vlmuflash::Utf16ToUtf8(info.SerialNumber, VLMUFWDL_SERIAL_NUMBER_CHARS);
}

int CmdList(const Options& o) {
  uint32_t count = 0;
  if (int rc = Enumerate(o, count)) return rc;
  std::string json = "{\"status\":0,\"devices\":[";
  if (!o.json) std::printf("%-6s %-18s %s\n", "Index", "Vendor/Product ID", "Serial Number");
  int result = 0;
  for (uint32_t i = 0; i < count; ++i) {
    VLMUFWDL_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    const uint32_t st = VLMUFWDL_GetDeviceInfo(i, &info);
    if (o.json) {
      char head[96];
      std::snprintf(head, sizeof head, "%s{\"index\":%u,\"status\":%u,\"vendorId\":%u,\"productId\":%u,",
                    i == 0 ? "" : ",", i, st, info.VendorId, info.ProductId);
      json += head;
      json += "\"serialNumber\":" + vlmutool::JsonString(SerialOf(info)) + "}";
    } else if (st != 0) {
      std::printf("%-6u (device cannot be read: %s)\n", i, vlmutool::DescribeStatus(st).c_str());
    } else {
      std::printf("%-6u %-18s %s\n", i, vlmuflash::FormatIds(info.VendorId, info.ProductId).c_str(),
                  vlmutool::Printable(SerialOf(info)).c_str());
    }
    if (st != 0 && result == 0) result = vlmuflash::ExitStatusFor(st);
  }
  if (o.json) std::printf("%s]}\n", json.c_str());
  if (count == 0) {
    if (!o.json) std::printf("(no devices)\n");
    // The library answers "no devices" whether or not a service runs (as on
    // a machine without the driver); the tool asks the service itself.
    std::unique_ptr<platform::DriverConnection> service;
    const uint32_t reached = platform::DriverConnection::Connect(service, "vlmu-flash");
    if (reached == driverproto::kErrorServiceNotActive) {
      std::fprintf(stderr, "vlmu-flash: no driver service listens on %s; start velmora-driverd (see docs/troubleshooting.md)\n",
                   platform::DriverConnection::SocketPath().c_str());
      return kExitNoService;
    }
    if (reached == driverproto::kErrorAccessDenied) {
      std::fprintf(stderr,
                   "vlmu-flash: you may not use the driver service at %s (permission denied); ask an administrator\n"
                   "  to add you to its group (plugdev for the packaged service), then log in again\n",
                   platform::DriverConnection::SocketPath().c_str());
      return kExitNoPermission;
    }
    NoDeviceHint();
  }
  return result;
}

int CmdInfo(const Options& o, const std::string& image) {
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0, sizeof info);
  const uint32_t st = VLMUFWDL_GetVldFileInfo(image.c_str(), &info);
  if (o.json) {
    std::printf("%s\n", vlmutool::ImageJson(image, st, st == 0 ? &info : nullptr).c_str());
  }
  if (st != 0) {
    std::fprintf(stderr, "vlmu-flash: %s: %s\n", image.c_str(), vlmutool::DescribeStatus(st).c_str());
    return vlmuflash::ExitStatusFor(st);
  }
  if (!o.json) std::printf("%s", vlmutool::DescribeImage(image, info).c_str());
  return 0;
}

// Closes the device after the download; the worker may still be finishing.
uint32_t CloseAfterDownload() {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const uint32_t st = VLMUFWDL_CloseDevice();
    if (st != VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS ||
        std::chrono::steady_clock::now() - start > kCloseRetryLimit) {
      return st;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int CmdUpgrade(const Options& o, const std::string& image) {
  if (!o.haveDevice) return UsageError("upgrade needs --device N");
  VLMUFWDL_VLD_FILE_INFO details;
  std::memset(&details, 0, sizeof details);
  uint32_t st = VLMUFWDL_GetVldFileInfo(image.c_str(), &details);
  if (st != 0) return Fail(o, "VLMUFWDL_GetVldFileInfo", st);
  VLMUFWDL_DEVICE_INFO device;
  if (int rc = ChooseDevice(o, device)) return rc;

  if (!o.json) {
    std::printf("%s", vlmutool::DescribeImage(image, details).c_str());
    std::printf("Device %u: %s  %s\n", o.device,
                vlmuflash::FormatIds(device.VendorId, device.ProductId).c_str(),
                vlmutool::Printable(SerialOf(device)).c_str());
  }
  st = VLMUFWDL_OpenDevice(o.device);
  if (st != 0) {
    VLMUFWDL_CloseDevice();
    return Fail(o, "VLMUFWDL_OpenDevice", st);
  }
  const auto start = std::chrono::steady_clock::now();
  st = VLMUFWDL_StartDownload(image.c_str(), 0);
  if (st != 0) {
    VLMUFWDL_CloseDevice();
    return Fail(o, "VLMUFWDL_StartDownload", st);
  }

  const bool terminal = !o.json && isatty(STDOUT_FILENO) == 1;
  uint32_t bytes = 0, total = 0, status = VLMUFWDL_STATUS_DOWNLOAD_RUNNING;
  int lastPlainStep = -1;
  vlmuflash::Progress p;
  for (;;) {
    status = VLMUFWDL_GetDownloadStatus(&bytes, &total);
    p.bytes = bytes;
    p.total = total;
    p.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (terminal) {
      std::printf("\r%s", vlmuflash::ProgressBarLine(p, 30).c_str());
      std::fflush(stdout);
    } else if (!o.json) {
      // One line per tenth of the image, and one when all bytes are sent.
      const int step = static_cast<int>(vlmuflash::Percent(p) / 10);
      if (step != lastPlainStep && (bytes > 0 || status != VLMUFWDL_STATUS_DOWNLOAD_RUNNING)) {
        std::printf("%s\n", vlmuflash::ProgressPlainLine(p).c_str());
        std::fflush(stdout);
        lastPlainStep = step;
      }
    }
    if (status != VLMUFWDL_STATUS_DOWNLOAD_RUNNING) break;
    std::this_thread::sleep_for(kPollPeriod);
  }
  if (terminal) std::printf("\n");
  // The upgrade program treats 40 like success.
  const uint32_t final = status == 40 ? 0 : status;
  const uint32_t closeStatus = CloseAfterDownload();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (o.json) {
    std::printf(
        "{\"status\":%u,\"statusText\":%s,\"device\":%u,\"image\":%s,\"bytesDownloaded\":%u,"
        "\"totalBytes\":%u,\"seconds\":%.3f,\"closeStatus\":%u}\n",
        final, vlmutool::JsonString(vlmutool::StatusText(final)).c_str(), o.device,
        vlmutool::JsonString(image).c_str(), bytes, total, seconds, closeStatus);
  } else if (final == 0) {
    std::printf("Download successfully finished: %u bytes in %.1f s.\n", total, seconds);
  } else {
    std::printf("Download failed. Error code 0x%02X: %s\n", final, vlmutool::StatusText(final));
  }
  if (final != 0) return vlmuflash::ExitStatusFor(final);
  if (closeStatus != 0 && closeStatus != VLMUFWDL_STATUS_NO_DEVICE_OPEN) {
    return Fail(o, "VLMUFWDL_CloseDevice", closeStatus);
  }
  return 0;
}

int CmdSerial(const Options& o) {
  if (o.words.size() < 2) return UsageError("serial needs 'get' or 'set TEXT'");
  const std::string& sub = o.words[1];
  if (sub != "get" && sub != "set") return UsageError("serial needs 'get' or 'set TEXT'");
  if (sub == "get" && o.words.size() != 2) return UsageError("serial get takes no operand");
  if (sub == "set" && o.words.size() != 3) return UsageError("serial set needs exactly one TEXT");
  if (!o.haveDevice) return UsageError("serial needs --device N");
  VLMUFWDL_DEVICE_INFO device;
  if (int rc = ChooseDevice(o, device)) return rc;
  uint32_t st = VLMUFWDL_OpenDevice(o.device);
  if (st != 0) {
    VLMUFWDL_CloseDevice();
    return Fail(o, "VLMUFWDL_OpenDevice", st);
  }
  if (sub == "get") {
    char buffer[256] = {};
    char* p = buffer;
    st = VLMUFWDL_GetSerialNumber(&p, sizeof buffer);
    VLMUFWDL_CloseDevice();
    if (st != 0) return Fail(o, "VLMUFWDL_GetSerialNumber", st);
    if (o.json) {
      std::printf("{\"status\":0,\"device\":%u,\"serialNumber\":%s}\n", o.device,
                  vlmutool::JsonString(buffer).c_str());
    } else {
      std::printf("%s\n", vlmutool::Printable(buffer).c_str());
    }
    return 0;
  }
  st = VLMUFWDL_SetSerialNumber(o.words[2].c_str());
  VLMUFWDL_CloseDevice();
  if (st != 0) return Fail(o, "VLMUFWDL_SetSerialNumber", st);
  if (o.json) {
    std::printf("{\"status\":0,\"device\":%u,\"serialNumber\":%s}\n", o.device,
                vlmutool::JsonString(o.words[2]).c_str());
  } else {
    std::printf("Serial number of device %u set to '%s'.\n", o.device,
                vlmutool::Printable(o.words[2]).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseArgs(argc, argv, o, error)) {
    if (error == "help") {
      std::printf("%s", kUsage);
      return 0;
    }
    return UsageError(error);
  }
  if (o.words.empty()) return UsageError("no command given");
  const std::string& cmd = o.words[0];
  if (cmd != "list" && cmd != "info" && cmd != "upgrade" && cmd != "serial") {
    return UsageError("unknown command '" + cmd + "'");
  }
  if ((cmd == "info" || cmd == "upgrade") && o.words.size() != 2) {
    return UsageError(cmd + " needs exactly one IMAGE");
  }
  if (cmd == "list" && o.words.size() != 1) return UsageError("list takes no operand");

  if (int rc = Prepare(o)) return rc;
  if (cmd == "list") return CmdList(o);
  if (cmd == "info") return CmdInfo(o, o.words[1]);
  if (cmd == "upgrade") return CmdUpgrade(o, o.words[1]);
  return CmdSerial(o);
}
