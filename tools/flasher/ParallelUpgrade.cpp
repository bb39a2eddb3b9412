#include "ParallelUpgrade.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "DeviceSnapshot.h"
#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "Report.h"
#include "StatusText.h"
#include "Upgrade.h"
#include "platform/posix/ChildProcess.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"
#include "vlmufwdl.h"

namespace vlmuflash {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPollMs = 100;
constexpr auto kLookPeriod = std::chrono::milliseconds(250);
// A selection waits this long for the device list to hold still, so that
// every chosen device has its path.
constexpr uint32_t kSelectWaitMs = 10000;
constexpr size_t kSerialColumn = 16;

enum class Outcome { kRunning, kUpgraded, kFailed, kRefused, kInterrupted };

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kUpgraded:
      return "upgraded";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kFailed:
      return "failed";
    default:
      return "running";
  }
}

struct Job {
  DeviceEntry device;
  platform::ChildProcess child;
  Clock::time_point begin = Clock::now();
  bool started = false;   // the worker started the download
  bool haveDone = false;  // the worker reported the download's end
  bool aborted = false;   // stopped by a second interrupt
  uint32_t bytes = 0, total = 0, status = 0, closeStatus = 0;
  double seconds = 0;
  int lastStep = -1;
  std::string lastMessage;
  Outcome outcome = Outcome::kRunning;
  uint32_t exitCode = 0;  // 0, a library status or an exit status of the worker
  std::string detail;     // why it did not succeed, or the state it was left in
};

// The outcome for the summary table: "upgraded", "failed (status 24)", ...
std::string ShortOutcome(const Job& j) {
  std::string text = OutcomeName(j.outcome);
  if (j.outcome == Outcome::kFailed) text += " (status " + std::to_string(j.exitCode) + ")";
  return text;
}

std::string Name(const DeviceEntry& d) {
  return d.serial.empty() ? std::string("(no serial)") : vlmutool::Printable(d.serial);
}

// "SERIAL: what  (PATH)": the result first, the path last where a long one
// does not push the rest off the screen.
std::string Line(const DeviceEntry& d, const std::string& what) {
  return Name(d) + ": " + what + "  (" + vlmutool::Printable(d.path) + ")";
}

// Runs the workers and shows them: on a terminal one line per running device,
// redrawn in place below the lines that stay; in a pipe plain lines.
class Fleet {
 public:
  Fleet(const Options& o, std::string image)
      : mOptions(o),
        mImage(std::move(image)),
        mTerminal(!o.json && platform::StdoutIsTerminal()),
        mSelf(platform::SelfExecutablePath()) {}

  bool Start(const DeviceEntry& d) {
    auto job = std::make_unique<Job>();
    job->device = d;
    std::vector<std::string> argv = {mSelf, "--worker", IdentityText(d), "--path", d.path};
    for (std::string& a : WorkerArguments(mOptions, d.serial)) argv.push_back(std::move(a));
    argv.insert(argv.end(), {"upgrade", mImage});
    std::string error;
    if (!job->child.Start(argv, error)) {
      job->outcome = Outcome::kFailed;
      job->detail = "the worker process could not be started: " + error;
      job->exitCode = 1;
      Finished(*job);
      mJobs.push_back(std::move(job));
      return false;
    }
    if (!mTerminal && !mOptions.json) Note(Line(d, "started"));
    mJobs.push_back(std::move(job));
    Redraw();
    return true;
  }

  // Reads what the workers wrote, waiting at most kPollMs (or until `wakeFd`
  // is readable).
  void Poll(int wakeFd) {
    std::vector<int> fds = {wakeFd};
    for (auto& j : mJobs)
      if (j->outcome == Outcome::kRunning) fds.push_back(j->child.OutputFd());
    platform::WaitReadable(fds, kPollMs);
    for (auto& j : mJobs) {
      if (j->outcome != Outcome::kRunning) continue;
      std::vector<std::string> lines;
      const bool open = j->child.ReadLines(lines);
      for (const std::string& line : lines) HandleLine(*j, line);
      if (!open) End(*j, j->child.Wait());
    }
    Redraw();
  }

  void AbortAll() {
    for (auto& j : mJobs)
      if (j->outcome == Outcome::kRunning) {
        j->aborted = true;
        j->child.Signal(SIGTERM);
      }
  }

  size_t Running() const {
    size_t n = 0;
    for (const auto& j : mJobs) n += j->outcome == Outcome::kRunning;
    return n;
  }
  std::set<std::string> RunningPaths() const {
    std::set<std::string> paths;
    for (const auto& j : mJobs)
      if (j->outcome == Outcome::kRunning) paths.insert(j->device.path);
    return paths;
  }

  // A line that stays (above the progress lines on a terminal; on stderr with --json).
  void Note(const std::string& line) {
    if (mOptions.json) {
      std::fprintf(stderr, "vlmu-flash: %s\n", line.c_str());
      return;
    }
    mNotes.push_back(line);
    if (!mTerminal) Redraw();
  }

  // The summary (not with --json) and the exit status.
  int Finish() {
    Redraw();
    if (mJobs.empty()) {
      if (!mOptions.json) std::printf("No device was upgraded.\n");
      return 0;
    }
    if (!mOptions.json) {
      std::vector<std::vector<std::string>> rows = {{"Serial", "Status", "Bytes", "Seconds", "Path"}};
      std::string details;
      for (const auto& j : mJobs) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", j->seconds);
        rows.push_back({Name(j->device), ShortOutcome(*j), std::to_string(j->bytes), seconds,
                        vlmutool::Printable(j->device.path)});
        if (!j->detail.empty()) details += Line(j->device, j->detail) + "\n";
      }
      std::printf("\n%s%s", FormatTable(rows).c_str(), details.empty() ? "" : ("\n" + details).c_str());
    }
    bool interrupted = false, failed = false;
    for (const auto& j : mJobs) {
      interrupted = interrupted || j->outcome == Outcome::kInterrupted;
      failed = failed || j->outcome != Outcome::kUpgraded;
    }
    std::fflush(stdout);
    return interrupted ? kExitInterrupted : failed ? kExitSomeDevicesFailed : 0;
  }

 private:
  void HandleLine(Job& j, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == kWorkerStarted) {
      j.started = true;
    } else if (word == kWorkerProgress) {
      in >> j.bytes >> j.total;
      ProgressLine(j);
    } else if (word == kWorkerDone) {
      in >> j.status >> j.bytes >> j.total >> j.seconds >> j.closeStatus;
      j.haveDone = !in.fail();
    } else if (!line.empty()) {
      j.lastMessage = line.rfind("vlmu-flash: ", 0) == 0 ? line.substr(12) : line;
    }
  }

  void ProgressLine(Job& j) {
    if (mTerminal || mOptions.json || mOptions.watch) return;
    const int step = static_cast<int>(Percent({j.bytes, j.total, 0}) / 10);
    if (step == j.lastStep || j.bytes == 0) return;
    j.lastStep = step;
    Note(Name(j.device) + ": " + ProgressPlainLine({j.bytes, j.total, 0}));
  }

  void End(Job& j, int waitStatus) {
    if (!j.haveDone) j.seconds = std::chrono::duration<double>(Clock::now() - j.begin).count();
    const bool exited = WIFEXITED(waitStatus);
    const int code = exited ? WEXITSTATUS(waitStatus) : 0;
    const std::string why = j.lastMessage.empty() ? "no message" : j.lastMessage;
    if (j.aborted && !j.haveDone) {
      j.outcome = Outcome::kInterrupted;
      j.exitCode = kExitInterrupted;
      j.detail = StateLeft(j.started, j.bytes, j.total);
    } else if (j.haveDone && j.status == 0 && (j.closeStatus == 0 || j.closeStatus == VLMUFWDL_STATUS_NO_DEVICE_OPEN)) {
      j.outcome = Outcome::kUpgraded;
    } else if (j.haveDone) {
      j.outcome = Outcome::kFailed;
      j.exitCode = j.status != 0 ? j.status : j.closeStatus;
      j.detail = vlmutool::DescribeStatus(j.exitCode);
    } else if (exited && code == kExitIdentityChanged) {
      j.outcome = Outcome::kRefused;
      j.exitCode = kExitIdentityChanged;
      j.detail = why;
    } else if (exited) {
      j.outcome = Outcome::kFailed;
      j.exitCode = code != 0 ? static_cast<uint32_t>(code) : 1u;
      j.detail = why;
    } else {
      j.outcome = Outcome::kFailed;
      j.exitCode = 255;
      j.detail = "the worker process died (signal " + std::to_string(WTERMSIG(waitStatus)) + "); " +
                 StateLeft(j.started, j.bytes, j.total);
    }
    Finished(j);
  }

  void Finished(const Job& j) {
    if (mOptions.json) {
      char numbers[160];
      std::snprintf(numbers, sizeof numbers, ",\"bytesDownloaded\":%u,\"totalBytes\":%u,\"seconds\":%.3f}", j.bytes,
                    j.total, j.seconds);
      std::printf(
          "{\"serialNumber\":%s,\"path\":%s,\"vendorId\":%u,\"productId\":%u,\"result\":\"%s\",\"status\":%u,"
          "\"statusText\":%s,\"message\":%s%s\n",
          vlmutool::JsonString(j.device.serial).c_str(), vlmutool::JsonString(j.device.path).c_str(), j.device.vendorId,
          j.device.productId, OutcomeName(j.outcome), j.exitCode,
          vlmutool::JsonString(vlmutool::IsKnownStatus(j.exitCode) ? vlmutool::StatusText(j.exitCode)
                                                                   : OutcomeName(j.outcome))
              .c_str(),
          vlmutool::JsonString(j.detail).c_str(), numbers);
      std::fflush(stdout);
      return;
    }
    char time[48];
    std::snprintf(time, sizeof time, " %s %.1f s", j.outcome == Outcome::kUpgraded ? "in" : "after", j.seconds);
    Note(Line(j.device, OutcomeName(j.outcome) + std::string(time) + (j.detail.empty() ? "" : ": " + j.detail)));
  }

  std::string LiveLine(const Job& j) const {
    std::string name = Name(j.device);
    if (name.size() < kSerialColumn) name.append(kSerialColumn - name.size(), ' ');
    const double elapsed = std::chrono::duration<double>(Clock::now() - j.begin).count();
    if (!j.started || j.total == 0) return name + " starting...";
    return name + " " + ProgressBarLine({j.bytes, j.total, elapsed}, 20);
  }

  void Redraw() {
    if (mOptions.json) return;
    std::string out;
    if (mTerminal && mShown > 0) out += "\r\x1b[" + std::to_string(mShown) + "A\x1b[J";
    for (const std::string& n : mNotes) out += n + "\n";
    mNotes.clear();
    mShown = 0;
    if (mTerminal) {
      const size_t columns = platform::TerminalColumns() - 1;
      for (const auto& j : mJobs) {
        if (j->outcome != Outcome::kRunning) continue;
        std::string line = LiveLine(*j);
        if (line.size() > columns) line.resize(columns);
        out += line + "\n";
        ++mShown;
      }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }

  const Options& mOptions;
  std::string mImage;
  bool mTerminal;
  std::string mSelf;
  std::vector<std::unique_ptr<Job>> mJobs;
  std::vector<std::string> mNotes;
  unsigned mShown = 0;
};

// Ctrl-C: the first stops new devices from starting, the second aborts the
// running downloads. Returns true once no new device may start.
bool FollowInterrupts(platform::InterruptSignals& signals, unsigned& seen, Fleet& fleet) {
  const unsigned n = signals.Count();
  if (n != seen) {
    if (seen == 0 && fleet.Running() > 0)
      fleet.Note("Interrupted: no new device is started; the running downloads finish (Ctrl-C again aborts them).");
    if (n >= 2 && seen < 2) fleet.AbortAll();
    seen = n;
  }
  return n > 0;
}

// Arrival notifications of the service: a device plugged in again between
// two looks at the list still counts as arriving. Arrivals of a device
// while its download runs (its own re-plugs) are dropped.
class Arrivals {
 public:
  Arrivals() {
    if (platform::DriverConnection::Connect(mConnection, "vlmu-flash watch", 5000) != 0) return;
    mConnection->Subscribe(platform::kVendorInterfaceClass, [this](const platform::DriverNotification& n) {
      if (n.event != driverproto::kDbtDeviceArrival) return;
      std::lock_guard<std::mutex> lock(mMutex);
      mPaths.insert(n.path);
    });
  }
  ~Arrivals() { mConnection.reset(); }  // joins the reader thread before the members go
  Arrivals(const Arrivals&) = delete;
  Arrivals& operator=(const Arrivals&) = delete;

  // Paths that arrived since the last call, without those in `running`.
  std::set<std::string> Take(const std::set<std::string>& running) {
    std::lock_guard<std::mutex> lock(mMutex);
    std::set<std::string> out;
    for (const std::string& p : mPaths)
      if (running.count(p) == 0) out.insert(p);
    mPaths.clear();
    return out;
  }
  // Drops what arrived for `path` so far.
  void Forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mMutex);
    mPaths.erase(path);
  }

 private:
  std::mutex mMutex;
  std::set<std::string> mPaths;
  std::unique_ptr<platform::DriverConnection> mConnection;
};

// Checks the image before any device is touched.
int CheckImage(const Options& o, const std::string& image) {
  VLMUFWDL_VLD_FILE_INFO details;
  std::memset(&details, 0, sizeof details);
  const uint32_t st = VLMUFWDL_GetVldFileInfo(image.c_str(), &details);
  return st == 0 ? 0 : Fail(o, "VLMUFWDL_GetVldFileInfo", st);
}

}  // namespace

int CmdUpgradeMany(const Options& o, const std::string& image) {
  if (int rc = CheckImage(o, image)) return rc;
  std::vector<DeviceEntry> snapshot, chosen;
  if (int rc = EnumerateOrFail(o, snapshot, kSelectWaitMs)) return rc;
  if (int rc = SelectDevices(o, snapshot, ReadImageIds(image), chosen)) return rc;
  for (const DeviceEntry& d : chosen)
    if (d.path.empty()) {
      std::fprintf(stderr, "vlmu-flash: the device list kept changing; nothing was written; try again\n");
      return kExitNoSuchDevice;
    }
  Fleet fleet(o, image);
  platform::InterruptSignals signals;
  unsigned seen = 0;
  for (const DeviceEntry& d : chosen) fleet.Start(d);
  while (fleet.Running() > 0) {
    fleet.Poll(signals.Fd());
    FollowInterrupts(signals, seen, fleet);
  }
  return fleet.Finish();
}

int CmdWatch(const Options& o, const std::string& image) {
  if (int rc = CheckImage(o, image)) return rc;
  const ImageIds ids = ReadImageIds(image);
  const std::set<std::string> serials(o.serials.begin(), o.serials.end());
  auto wanted = [&](const DeviceEntry& d) {
    if (!o.IdentitySelected()) return ids.Match(d.vendorId, d.productId);
    bool byPath = false;
    for (const std::string& p : o.paths) byPath = byPath || p == d.path;
    return byPath || serials.count(d.serial) != 0;
  };
  Fleet fleet(o, image);
  platform::InterruptSignals signals;
  unsigned seen = 0;
  Arrivals arrivals;
  std::map<std::string, bool> present;  // path -> listed at the last look (or just upgraded)
  std::set<std::string> upgraded;       // serial numbers (paths without one) done in this run
  std::set<std::string> running;
  fleet.Note("Waiting for devices; each one plugged in is upgraded" + std::string(o.again ? "" : " once") +
             ". Ctrl-C ends.");
  auto nextLook = Clock::now();
  for (;;) {
    const bool stopping = FollowInterrupts(signals, seen, fleet);
    if (stopping && fleet.Running() == 0) break;
    // A device unplugged and plugged in again between two looks is new all the same.
    for (const std::string& path : arrivals.Take(running)) present[path] = false;
    if (!stopping && Clock::now() >= nextLook) {
      nextLook = Clock::now() + kLookPeriod;
      std::vector<DeviceEntry> snapshot;
      if (TakeSnapshot(snapshot, 0, SnapshotScope{running, {}}) == 0 &&
          (snapshot.empty() || !snapshot.front().path.empty())) {
        std::map<std::string, bool> now;
        for (const DeviceEntry& d : snapshot) {
          const bool wasPresent = present[d.path];
          // A device that cannot be read yet is looked at again next time.
          now[d.path] = running.count(d.path) != 0 || wasPresent || d.status == 0;
          if (running.count(d.path) != 0 || wasPresent || d.status != 0 || !wanted(d)) continue;
          const std::string key = d.serial.empty() ? d.path : d.serial;
          if (upgraded.count(key) != 0 && !o.again) {
            fleet.Note(Line(d, "already upgraded in this run; not again (--again would)"));
            continue;
          }
          upgraded.insert(key);
          running.insert(d.path);
          fleet.Start(d);
        }
        for (const std::string& p : running) now[p] = true;
        present = std::move(now);
      }
    }
    fleet.Poll(signals.Fd());
    const std::set<std::string> still = fleet.RunningPaths();
    for (const std::string& p : running)
      if (still.count(p) == 0) arrivals.Forget(p);  // its download's own re-plugs are over
    running = still;
  }
  return fleet.Finish();
}

}  // namespace vlmuflash
