// Unloading the library while a download runs: no crash, bounded time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "E2eSupport.h"
#include "support/DriverServiceFixture.h"

namespace {

using testsupport::DeviceDescription;

struct HelperRun {
  bool ended = false;
  int status = 0;
  double seconds = 0;
};

// Runs the helper (bounded to 30 s) and reports how it ended.
HelperRun RunHelper(const std::string& image, const std::string& logFile, const char* mode) {
  HelperRun run;
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    execl(DFU_UNLOAD_HELPER, DFU_UNLOAD_HELPER, VLMU_LIBRARY_FILE, image.c_str(), logFile.c_str(), mode,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto start = std::chrono::steady_clock::now();
  while (!run.ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    const pid_t r = waitpid(pid, &run.status, WNOHANG);
    if (r == -1) break;
    run.ended = r == pid;
    if (!run.ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!run.ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &run.status, 0);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

TEST(Unload, DuringTheReplugWaitEndsTheWaitAtOnce) {
  testsupport::DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  // The device never comes back after the detach: the worker waits for it
  // (60 s by default) when the library is unloaded.
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("neverReturn", "true")).empty()) << driver.LastError();
  const std::string image = driver.TempFile("fw.vld");
  testsupport::WriteFile(image, dfue2e::MakeImage(20000));
  const std::string logFile = driver.TempFile("unload.log");
  const HelperRun run = RunHelper(image, logFile, "replug");
  ASSERT_TRUE(run.ended) << "the unload did not return within 30 s";
  ASSERT_TRUE(WIFEXITED(run.status)) << "helper died with signal " << WTERMSIG(run.status);
  EXPECT_EQ(0, WEXITSTATUS(run.status));
  // Without the stop the unload would wait out its 10 s bound.
  EXPECT_LT(run.seconds, 5.0);
  const std::string log = testsupport::ReadFile(logFile);
  EXPECT_NE(std::string::npos, log.find("DfuDevice::StopDownloadAndWait: download worker stopped.\n")) << log;
}

TEST(Unload, WhileADownloadRunsStopsTheWorkerAndReturns) {
  testsupport::DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  // Slow blocks (busy for 200 ms each) keep the download running long enough.
  ASSERT_FALSE(
      driver.AddDevice(DeviceDescription().Knob("busyPolls", "1").Knob("pollTimeout", "{\"dfuDNBUSY\": 200}")).empty())
      << driver.LastError();
  const std::string image = driver.TempFile("fw.vld");
  testsupport::WriteFile(image, dfue2e::MakeImage(200000));

  const std::string logFile = driver.TempFile("unload.log");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(DFU_UNLOAD_HELPER, DFU_UNLOAD_HELPER, VLMU_LIBRARY_FILE, image.c_str(), logFile.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  const auto start = std::chrono::steady_clock::now();
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    ASSERT_NE(-1, r);
    ended = r == pid;
    if (!ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(ended) << "the unload did not return within 30 s";
  ASSERT_TRUE(WIFEXITED(status)) << "helper died with signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
  // 200000 bytes at 200 ms per block would take about 10 s; the unload stops
  // the worker at its next poll instead.
  EXPECT_LT(seconds, 7.0);
  const std::string log = testsupport::ReadFile(logFile);
  EXPECT_NE(std::string::npos, log.find("DfuDevice::StopDownloadAndWait( 10000 ms ) ...\n")) << log;
  EXPECT_NE(std::string::npos, log.find("DfuDevice::StopDownloadAndWait: download worker stopped.\n"));
  // The worker ended at a stop point: no manifestation, no reset.
  EXPECT_EQ(std::string::npos, log.find("Download: manifestation phase ...\n"));
}

}  // namespace
