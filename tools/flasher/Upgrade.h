#pragma once
// One device, in this process: open it, confirm it is the one selected,
// download the image, follow the progress and close it. Used for a single
// device, and by each worker process of a multi-device run.
#include <cstdint>
#include <functional>
#include <string>

#include "DeviceSnapshot.h"

namespace vlmuflash {

struct Options;

struct UpgradeResult {
  uint32_t status = 0;     // final download status (40 counts as 0), or the failed step's status
  std::string failedStep;  // export that failed before the download ran ("" otherwise)
  bool refused = false;    // the opened device was not the one selected: nothing was written
  std::string refusal;     // what was found instead
  bool started = false;    // the download was started
  bool aborted = false;    // a second interrupt abandoned the download
  uint32_t bytes = 0;
  uint32_t total = 0;
  double seconds = 0;
  uint32_t closeStatus = 0;
};

// Called about every 100 ms while the download runs; returns false to
// abandon it (the process then ends and the library stops the transfer).
using ProgressSink = std::function<bool(uint32_t bytes, uint32_t total, double seconds)>;

// Opens `target` by its position and checks the opened device's identity
// against it. Returns 0; a library status; or kExitIdentityChanged with the
// device closed and `message` saying what was found instead.
uint32_t OpenConfirmed(const DeviceEntry& target, std::string& message);

// The whole upgrade of `target` (already selected in this process's latest
// enumeration).
void UpgradeDevice(const std::string& image, const DeviceEntry& target, const ProgressSink& sink, UpgradeResult& r);

// Commands that work on one device in this process.
int CmdUpgradeOne(const Options& o, const std::string& image);
int CmdSerial(const Options& o);
// The worker of a multi-device run: reports to its parent in lines on stdout.
int RunWorker(const Options& o, const std::string& image);

// Worker report lines (the parent reads them; everything else is a message).
inline constexpr char kWorkerStarted[] = "@started";
inline constexpr char kWorkerProgress[] = "@progress";  // bytes total
inline constexpr char kWorkerDone[] = "@done";          // status bytes total seconds closeStatus

}  // namespace vlmuflash
