// vlmu-flash as a user runs it, against the driver service: its output,
// its exit statuses and the firmware the device ends up with.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "dfu/E2eSupport.h"
#include "support/DriverServiceFixture.h"
#include "support/RunShell.h"
#include "support/TempDir.h"

namespace {

using testsupport::DeviceDescription;

using Result = testsupport::ShellResult;

Result RunFlasher(const std::string& args) {
  return testsupport::RunShell(std::string(VLMU_FLASH_BINARY) + " " + args);
}

class Flasher : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }
  std::string Image(const std::string& name, size_t size, uint32_t seed) {
    const std::string path = driver.TempFile(name);
    image = dfue2e::MakeImage(size, seed);
    testsupport::WriteFile(path, image);
    return path;
  }
  testsupport::DriverServiceFixture driver;
  std::string image;
};

TEST_F(Flasher, ListsUpgradesAndVerifies) {
  const std::string id = driver.AddDevice(DeviceDescription().Serial("ABC-42"));
  ASSERT_FALSE(id.empty());
  const std::string path = Image("fw.vld", 30000, 11);

  Result list = RunFlasher("list");
  EXPECT_EQ(0, list.exitCode) << list.output;
  EXPECT_NE(std::string::npos, list.output.find("0      4660 / 22136       ABC-42")) << list.output;

  Result info = RunFlasher("info " + path);
  EXPECT_EQ(0, info.exitCode) << info.output;
  EXPECT_NE(std::string::npos, info.output.find("Model ID:            0x00010203")) << info.output;
  EXPECT_NE(std::string::npos, info.output.find("2026/12/07  12:00:00")) << info.output;
  EXPECT_NE(std::string::npos, info.output.find("123456")) << info.output;

  const std::string log = driver.TempFile("flash.log");
  Result up = RunFlasher("--timeout-replug 5000 --log " + log + " upgrade --device 0 " + path);
  EXPECT_EQ(0, up.exitCode) << up.output;
  // Not a terminal: plain progress lines, the last one complete.
  const std::string total = std::to_string(image.size());
  EXPECT_NE(std::string::npos, up.output.find(total + " / " + total + " bytes (100%)")) << up.output;
  EXPECT_NE(std::string::npos, up.output.find("Download successfully finished")) << up.output;
  std::string stored;
  ASSERT_TRUE(driver.GetFirmware(id, stored));
  EXPECT_TRUE(stored == image);
  const std::string logText = testsupport::ReadFile(log);
  EXPECT_NE(std::string::npos, logText.find("VLMUFWDL_SetTimeout( 0, 5000 )")) << logText;
  EXPECT_NE(std::string::npos, logText.find("VLMUFWDL_CloseDevice returning 0x00000000")) << logText;
}

TEST_F(Flasher, JsonOutput) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  const std::string path = Image("fw.vld", 5000, 12);
  Result list = RunFlasher("--json list");
  EXPECT_EQ(0, list.exitCode);
  EXPECT_NE(std::string::npos,
            list.output.find("{\"status\":0,\"devices\":[{\"index\":0,\"status\":0,\"vendorId\":4660,"
                          "\"productId\":22136,\"serialNumber\":\"SN0001\"}]}"))
      << list.output;
  Result up = RunFlasher("--json upgrade --device 0 " + path);
  EXPECT_EQ(0, up.exitCode) << up.output;
  EXPECT_NE(std::string::npos, up.output.find("{\"status\":0,\"statusText\":\"success\",\"device\":0,"))
      << up.output;
  EXPECT_NE(std::string::npos, up.output.find("\"bytesDownloaded\":" + std::to_string(image.size())))
      << up.output;
}

TEST_F(Flasher, FailuresExitWithTheLibraryStatus) {
  const std::string id = driver.AddDevice(DeviceDescription());
  ASSERT_FALSE(id.empty());
  std::string bad = dfue2e::MakeImage(5000, 13);
  bad[bad.size() - 30] ^= 1;
  const std::string badPath = driver.TempFile("bad.vld");
  testsupport::WriteFile(badPath, bad);

  Result r = RunFlasher("upgrade --device 0 " + badPath);
  EXPECT_EQ(48, r.exitCode) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("DFU suffix CRC")) << r.output;

  const std::string path = Image("fw.vld", 5000, 14);
  r = RunFlasher("upgrade --device 3 " + path);
  EXPECT_EQ(13, r.exitCode) << r.output;

  ASSERT_TRUE(driver.SetBehaviour(id, "{\"finalReset\": \"dfuERROR\"}"));
  r = RunFlasher("upgrade --device 0 " + path);
  EXPECT_EQ(31, r.exitCode) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("Download failed. Error code 0x1F")) << r.output;

  r = RunFlasher("upgrade " + path);
  EXPECT_EQ(64, r.exitCode) << r.output;
  r = RunFlasher("--timeout-block x upgrade --device 0 " + path);
  EXPECT_EQ(64, r.exitCode) << r.output;
  r = RunFlasher("frobnicate");
  EXPECT_EQ(64, r.exitCode) << r.output;
}

TEST_F(Flasher, SerialNumbers) {
  const std::string id = driver.AddDevice(DeviceDescription());
  ASSERT_FALSE(id.empty());
  Result set = RunFlasher("serial set --device 0 XY-99");
  EXPECT_EQ(0, set.exitCode) << set.output;
  std::string stored;
  ASSERT_TRUE(driver.GetSerial(id, stored));
  EXPECT_EQ("XY-99", stored);
  Result get = RunFlasher("serial get --device 0");
  EXPECT_EQ(0, get.exitCode) << get.output;
  EXPECT_EQ("XY-99\n", get.output);
  Result tooLong = RunFlasher("serial set --device 0 " + std::string(128, 'Q'));
  EXPECT_EQ(2, tooLong.exitCode) << tooLong.output;
}

TEST_F(Flasher, NoDeviceGivesAHint) {
  Result r = RunFlasher("list");
  EXPECT_EQ(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("docs/troubleshooting.md")) << r.output;
  r = RunFlasher("upgrade --device 0 " + Image("fw.vld", 100, 15));
  EXPECT_EQ(13, r.exitCode) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("driver service")) << r.output;
}

TEST(FlasherWithoutService, ListExitsWithItsOwnStatus) {
  testsupport::TempDir dir;
  const std::string command = "VLMU_DRIVER_SOCKET=" + dir.File("none.sock") + " " + std::string(VLMU_FLASH_BINARY);
  for (const char* args : {" list", " --json list"}) {
    const std::string full = command + args + " 2>&1";
    Result r;
    FILE* pipe = popen(full.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    const int status = pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(69, r.exitCode) << args << ": " << r.output;
    EXPECT_NE(std::string::npos, r.output.find("no driver service listens on " + dir.File("none.sock"))) << r.output;
  }
}

}  // namespace
