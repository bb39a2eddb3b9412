// Unloading the library while a download runs: no crash, bounded time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "E2eSupport.h"

namespace {

using testsupport::DeviceDescription;

TEST(Unload, WhileADownloadRunsStopsTheWorkerAndReturns) {
  testsupport::DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  // Slow blocks (busy for 200 ms each) keep the download running long enough.
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()
                                    .Knob("busyPolls", "1")
                                    .Knob("pollTimeout", "{\"dfuDNBUSY\": 200}"))
                   .empty())
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
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
