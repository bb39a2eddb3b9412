#include "Upgrade.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "Report.h"
#include "StatusText.h"
#include "platform/posix/ChildProcess.h"
#include "vlmufwdl.h"

namespace vlmuflash {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(100);
// After the final status the worker may need a moment to end; closing the
// device is retried for this long while the library answers 35.
constexpr auto kCloseRetryLimit = std::chrono::seconds(10);
// How long a selection waits for the device list to hold still.
constexpr uint32_t kSelectWaitMs = 2000;
// A worker waits this long for its device to be listed (it may be between
// two appearances when the parent saw it).
constexpr auto kWorkerFindLimit = std::chrono::seconds(10);

uint32_t CloseAfterDownload() {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const uint32_t st = VLMUFWDL_CloseDevice();
    if (st != VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS || std::chrono::steady_clock::now() - start > kCloseRetryLimit)
      return st;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Takes a snapshot and selects exactly one device by the options.
int SelectOne(const Options& o, DeviceEntry& target) {
  std::vector<DeviceEntry> snapshot;
  uint32_t serviceError = 0;
  if (int rc = EnumerateOrFail(o, snapshot, kSelectWaitMs, &serviceError)) return rc;
  if (snapshot.empty()) {
    if (o.json) std::printf("{\"status\":13,\"statusText\":\"no device found\"}\n");
    NoDeviceHint(serviceError);
    return o.haveDevice ? VLMUFWDL_STATUS_INVALID_DEVICE_INDEX : kExitNoSuchDevice;
  }
  if (o.haveDevice) {
    if (o.device >= snapshot.size()) {
      std::fprintf(stderr, "vlmu-flash: device %u does not exist (%zu device%s found)\n", o.device, snapshot.size(),
                   snapshot.size() == 1 ? "" : "s");
      return Fail(o, "choosing the device", VLMUFWDL_STATUS_INVALID_DEVICE_INDEX);
    }
    target = snapshot[o.device];
    if (target.status != 0) return Fail(o, "VLMUFWDL_GetDeviceInfo", target.status);
    return 0;
  }
  std::vector<DeviceEntry> chosen;
  if (int rc = SelectDevices(o, snapshot, ImageIds{}, chosen)) return rc;
  target = chosen.front();
  return 0;
}

std::string IdentityLine(const DeviceEntry& d) { return FormatIds(d.vendorId, d.productId) + "  " + DeviceName(d); }

// JSON fields naming the device (after "device":N).
std::string IdentityJson(const DeviceEntry& d) {
  return ",\"vendorId\":" + std::to_string(d.vendorId) + ",\"productId\":" + std::to_string(d.productId) +
         ",\"serialNumber\":" + vlmutool::JsonString(d.serial) + ",\"path\":" + vlmutool::JsonString(d.path);
}

bool Confirmed(const DeviceEntry& d) {
  std::printf("Upgrade device %u (%s)? [y/N] ", d.index, IdentityLine(d).c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

int OpenForSerial(const Options& o, DeviceEntry& target) {
  if (int rc = SelectOne(o, target)) return rc;
  std::string message;
  const uint32_t st = OpenConfirmed(target, message);
  if (st == static_cast<uint32_t>(kExitIdentityChanged)) {
    std::fprintf(stderr, "vlmu-flash: %s\n", message.c_str());
    return kExitIdentityChanged;
  }
  if (st != 0) return Fail(o, "VLMUFWDL_OpenDevice", st);
  return 0;
}

}  // namespace

uint32_t OpenConfirmed(const DeviceEntry& target, std::string& message) {
  uint32_t st = VLMUFWDL_OpenDevice(target.index);
  if (st != 0) {
    VLMUFWDL_CloseDevice();
    return st;
  }
  // For the open device the library answers with what it read when it opened it.
  VLMUFWDL_DEVICE_INFO info;
  std::memset(&info, 0, sizeof info);
  st = VLMUFWDL_GetDeviceInfo(target.index, &info);
  const std::string serial = Utf16ToUtf8(info.SerialNumber, VLMUFWDL_SERIAL_NUMBER_CHARS);
  if (st == 0 && SameDevice(target, info.VendorId, info.ProductId, serial)) return 0;
  VLMUFWDL_CloseDevice();
  DeviceEntry found = target;
  found.vendorId = info.VendorId;
  found.productId = info.ProductId;
  found.serial = serial;
  message = "refused: the device opened at position " + std::to_string(target.index) + " is " +
            (st == 0 ? IdentityLine(found) : "unreadable (" + vlmutool::DescribeStatus(st) + ")") +
            ", not the selected " + IdentityLine(target) + "; nothing was written";
  return static_cast<uint32_t>(kExitIdentityChanged);
}

void UpgradeDevice(const std::string& image, const DeviceEntry& target, const ProgressSink& sink, UpgradeResult& r) {
  uint32_t st = OpenConfirmed(target, r.refusal);
  if (st == static_cast<uint32_t>(kExitIdentityChanged)) {
    r.refused = true;
    return;
  }
  if (st != 0) {
    r.status = st;
    r.failedStep = "VLMUFWDL_OpenDevice";
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  st = VLMUFWDL_StartDownload(image.c_str(), 0);
  if (st != 0) {
    VLMUFWDL_CloseDevice();
    r.status = st;
    r.failedStep = "VLMUFWDL_StartDownload";
    return;
  }
  r.started = true;
  uint32_t status = VLMUFWDL_STATUS_DOWNLOAD_RUNNING;
  for (;;) {
    status = VLMUFWDL_GetDownloadStatus(&r.bytes, &r.total);
    if (!sink(r.bytes, r.total, SecondsSince(start))) {
      r.aborted = true;
      r.seconds = SecondsSince(start);
      return;
    }
    if (status != VLMUFWDL_STATUS_DOWNLOAD_RUNNING) break;
    std::this_thread::sleep_for(kPollPeriod);
  }
  // The upgrade program treats 40 like success.
  r.status = status == 40 ? 0 : status;
  r.closeStatus = CloseAfterDownload();
  r.seconds = SecondsSince(start);
}

int CmdUpgradeOne(const Options& o, const std::string& image) {
  VLMUFWDL_VLD_FILE_INFO details;
  std::memset(&details, 0, sizeof details);
  const uint32_t st = VLMUFWDL_GetVldFileInfo(image.c_str(), &details);
  if (st != 0) return Fail(o, "VLMUFWDL_GetVldFileInfo", st);
  DeviceEntry target;
  if (int rc = SelectOne(o, target)) return rc;
  if (!o.json) {
    std::printf("%s", vlmutool::DescribeImage(image, details).c_str());
    std::printf("Device %u: %s\n", target.index, IdentityLine(target).c_str());
    std::fflush(stdout);
  }
  if (o.confirm && !Confirmed(target)) {
    std::fprintf(stderr, "vlmu-flash: not confirmed; nothing was written\n");
    return kExitNotConfirmed;
  }

  const bool terminal = !o.json && platform::StdoutIsTerminal();
  platform::InterruptSignals signals;
  unsigned seenSignals = 0;
  int lastPlainStep = -1;
  auto sink = [&](uint32_t bytes, uint32_t total, double seconds) {
    const unsigned n = signals.Count();
    if (n != seenSignals && n == 1)
      std::fprintf(stderr, "\nvlmu-flash: finishing the download to %s; Ctrl-C again aborts it\n",
                   DeviceName(target).c_str());
    seenSignals = n;
    if (n >= 2) return false;
    const Progress p{bytes, total, seconds};
    if (terminal) {
      std::printf("\r%s", ProgressBarLine(p, 30).c_str());
      std::fflush(stdout);
    } else if (!o.json) {
      // One line per tenth of the image, and one when all bytes are sent.
      const int step = static_cast<int>(Percent(p) / 10);
      if (step != lastPlainStep && bytes > 0) {
        std::printf("%s\n", ProgressPlainLine(p).c_str());
        std::fflush(stdout);
        lastPlainStep = step;
      }
    }
    return true;
  };
  UpgradeResult r;
  UpgradeDevice(image, target, sink, r);
  if (terminal && r.started) std::printf("\n");
  if (r.refused) {
    std::fprintf(stderr, "vlmu-flash: %s\n", r.refusal.c_str());
    return kExitIdentityChanged;
  }
  if (!r.failedStep.empty()) return Fail(o, r.failedStep.c_str(), r.status);
  if (r.aborted) {
    std::fprintf(stderr, "vlmu-flash: download to %s aborted: %s\n", DeviceName(target).c_str(),
                 StateLeft(r.started, r.bytes, r.total).c_str());
    return kExitInterrupted;
  }
  if (!o.json && lastPlainStep < 0 && !terminal) std::printf("%s\n", ProgressPlainLine({r.bytes, r.total, 0}).c_str());
  if (o.json) {
    std::printf(
        "{\"status\":%u,\"statusText\":%s,\"device\":%u%s,\"image\":%s,\"bytesDownloaded\":%u,"
        "\"totalBytes\":%u,\"seconds\":%.3f,\"closeStatus\":%u}\n",
        r.status, vlmutool::JsonString(vlmutool::StatusText(r.status)).c_str(), target.index,
        IdentityJson(target).c_str(), vlmutool::JsonString(image).c_str(), r.bytes, r.total, r.seconds, r.closeStatus);
  } else if (r.status == 0) {
    std::printf("Download successfully finished: %u bytes in %.1f s.\n", r.total, r.seconds);
  } else {
    std::printf("Download failed. Error code 0x%02X: %s\n", r.status, vlmutool::StatusText(r.status));
  }
  if (r.status != 0) return ExitStatusFor(r.status);
  if (r.closeStatus != 0 && r.closeStatus != VLMUFWDL_STATUS_NO_DEVICE_OPEN)
    return Fail(o, "VLMUFWDL_CloseDevice", r.closeStatus);
  return 0;
}

int CmdSerial(const Options& o) {
  DeviceEntry target;
  if (int rc = OpenForSerial(o, target)) return rc;
  const bool get = o.words[1] == "get";
  std::string text = get ? std::string() : o.words[2];
  uint32_t st = 0;
  if (get) {
    char buffer[256] = {};
    char* p = buffer;
    st = VLMUFWDL_GetSerialNumber(&p, sizeof buffer);
    text = buffer;
  } else {
    st = VLMUFWDL_SetSerialNumber(text.c_str());
  }
  VLMUFWDL_CloseDevice();
  if (st != 0) return Fail(o, get ? "VLMUFWDL_GetSerialNumber" : "VLMUFWDL_SetSerialNumber", st);
  if (o.json) {
    std::printf("{\"status\":0,\"device\":%u%s,\"serialNumber\":%s}\n", target.index,
                (",\"path\":" + vlmutool::JsonString(target.path)).c_str(), vlmutool::JsonString(text).c_str());
  } else if (get) {
    std::printf("%s\n", vlmutool::Printable(text).c_str());
  } else {
    std::printf("Serial number of device %u (%s) set to '%s'.\n", target.index, DeviceName(target).c_str(),
                vlmutool::Printable(text).c_str());
  }
  return 0;
}

int RunWorker(const Options& o, const std::string& image) {
  platform::IgnoreInterruptAndPipeSignals();
  DeviceEntry expected;
  if (!ParseIdentityText(o.worker, expected)) {
    std::fprintf(stderr, "vlmu-flash: malformed worker identity '%s'\n", o.worker.c_str());
    return kExitUsage;
  }
  expected.path = o.paths.front();
  uint32_t lastBytes = UINT32_MAX;
  auto sink = [&](uint32_t bytes, uint32_t total, double) {
    if (lastBytes == UINT32_MAX) std::printf("%s\n", kWorkerStarted);
    if (bytes != lastBytes) std::printf("%s %u %u\n", kWorkerProgress, bytes, total);
    lastBytes = bytes;
    std::fflush(stdout);
    return true;
  };
  // The device is looked for by its path and must have the expected
  // identity. While other devices come and go the position found can be
  // stale by the time the device is opened: the open's identity check then
  // refuses it, and the device is looked for again.
  const auto end = std::chrono::steady_clock::now() + kWorkerFindLimit;
  UpgradeResult r;
  for (;;) {
    std::vector<DeviceEntry> snapshot;
    const uint32_t st = TakeSnapshot(snapshot, kSelectWaitMs, SnapshotScope{{}, expected.path});
    if (st != 0) return Fail(o, "VLMUFWDL_EnumerateDevices", st);
    const DeviceEntry* target = nullptr;
    for (const DeviceEntry& d : snapshot)
      if (d.status == 0 && d.path == expected.path) target = &d;
    if (target != nullptr && !SameDevice(expected, target->vendorId, target->productId, target->serial)) {
      std::fprintf(stderr, "vlmu-flash: refused: the device at %s is now %s, not %s; nothing was written\n",
                   vlmutool::Printable(expected.path).c_str(), IdentityLine(*target).c_str(),
                   IdentityLine(expected).c_str());
      return kExitIdentityChanged;
    }
    if (target != nullptr) {
      // The opened device is compared with what the parent selected.
      DeviceEntry selected = expected;
      selected.index = target->index;
      r = UpgradeResult{};
      UpgradeDevice(image, selected, sink, r);
      const bool stale =
          r.refused || (r.failedStep == "VLMUFWDL_OpenDevice" && r.status == VLMUFWDL_STATUS_DEVICE_OPEN_FAILED);
      if (!stale || std::chrono::steady_clock::now() >= end) break;
    } else if (std::chrono::steady_clock::now() >= end) {
      std::fprintf(stderr, "vlmu-flash: no device at path %s\n", vlmutool::Printable(expected.path).c_str());
      return kExitNoSuchDevice;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (r.refused) {
    std::fprintf(stderr, "vlmu-flash: %s\n", r.refusal.c_str());
    return kExitIdentityChanged;
  }
  if (!r.failedStep.empty()) return Fail(o, r.failedStep.c_str(), r.status);
  std::printf("%s %u %u %u %.3f %u\n", kWorkerDone, r.status, r.bytes, r.total, r.seconds, r.closeStatus);
  std::fflush(stdout);
  return ExitStatusFor(r.status);
}

}  // namespace vlmuflash
