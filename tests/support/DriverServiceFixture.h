#pragma once
// Runs the driver service (velmora-driverd from the build directory) for a
// test: on a socket of its own in a fresh temporary directory, with a trace
// file, and with VLMU_DRIVER_SOCKET set in this process so that the library
// and every DriverConnection::Connect talk to it. The destructor stops the
// service (SIGTERM, then SIGKILL after a bounded wait) and restores the
// environment variable; no process is left behind.
//
//   testsupport::DriverServiceFixture driver;
//   ASSERT_TRUE(driver.Start()) << driver.LastError();
//   std::string id = driver.AddDevice(testsupport::DeviceDescription().WillDetach().Knob("busyPolls", "2"));
//   ... exercise the library ...
//   auto trace = driver.ReadTrace();          // every request the service saw
//   std::string image; driver.GetFirmware(id, image);
//
// Not thread-safe itself: use one fixture from one test thread (the service
// and the library may of course run threads of their own).
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ServiceControl.h"
#include "support/TempDir.h"
#include "support/TraceEntry.h"

namespace testsupport {

class DriverServiceFixture : public ServiceControl {
 public:
  DriverServiceFixture();
  ~DriverServiceFixture();
  DriverServiceFixture(const DriverServiceFixture&) = delete;
  DriverServiceFixture& operator=(const DriverServiceFixture&) = delete;

  // Starts the service and waits (at most 10 s) until it answers. Extra
  // arguments are passed on (e.g. "--device", file). Sets VLMU_DRIVER_SOCKET.
  bool Start(const std::vector<std::string>& extraArgs = {});
  // SIGTERM, wait up to timeoutMs, then SIGKILL. True when it ended by itself.
  bool Stop(uint32_t timeoutMs = 5000);
  // SIGKILL at once (a service that dies under its clients).
  void Kill();
  bool Running();
  pid_t Pid() const { return mPid; }
  // Exit status of the ended service (as from waitpid), if it has ended.
  std::optional<int> ExitStatus() const { return mExitStatus; }

  const std::string& TracePath() const { return mTracePath; }
  const std::string& LogPath() const { return mLogPath; }
  std::string TempFile(const std::string& name) const { return mDir.File(name); }

  // Every trace line so far, decoded; ClearTrace() empties the file.
  std::vector<TraceEntry> ReadTrace() const;
  // Only the I/O control requests, optionally only those of one code.
  std::vector<TraceEntry> ReadIoTrace(uint32_t code = 0) const;
  void ClearTrace() const;

 private:
  void Reap(uint32_t timeoutMs);
  std::string LogTail() const;

  TempDir mDir;
  std::string mTracePath;
  std::string mLogPath;
  pid_t mPid = -1;
  std::optional<int> mExitStatus;
  std::optional<std::string> mSavedEnv;
  bool mEnvSet = false;
};

// Path of the service binary in the build tree.
std::string DriverServiceBinary();

}  // namespace testsupport
