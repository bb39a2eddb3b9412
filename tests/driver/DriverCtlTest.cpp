// velmora-driverctl against a running service: commands, output, exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "driver/DriverTestUtil.h"
#include "support/BuildPaths.h"
#include "support/RunShell.h"
#include "support/TempDir.h"

namespace drvtest {
namespace {

using ::testing::HasSubstr;
using testsupport::DeviceDescription;

using ToolResult = testsupport::ShellResult;

// Runs the tool with the fixture's socket (inherited VLMU_DRIVER_SOCKET); stdout and stderr together.
ToolResult RunCtl(const std::string& args) {
  // Bounded from outside: a command that blocks fails the test instead of hanging it.
  return testsupport::RunShell("timeout 20 " + testsupport::BuildDir() + "/tools/driverctl/velmora-driverctl " + args);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class DriverCtlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }
  testsupport::DriverServiceFixture driver;
};

TEST_F(DriverCtlTest, AddListUnplugPlugRemove) {
  const std::string file = driver.TempFile("dev.json");
  testsupport::WriteFile(file, DeviceDescription().Id("ctl1").ToJson());
  ToolResult r = RunCtl("add " + Quote(file));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"id\": \"ctl1\""));
  r = RunCtl("interfaces");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, DeviceDescription().Path() + "\n");
  r = RunCtl("unplug ctl1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(driver.DeviceField("ctl1", "state"), "unplugged");
  r = RunCtl("list");
  EXPECT_THAT(r.output, HasSubstr("\"state\": \"unplugged\""));
  EXPECT_EQ(RunCtl("plug ctl1").exitCode, 0);
  EXPECT_EQ(driver.DeviceField("ctl1", "state"), "present");
  EXPECT_EQ(RunCtl("behaviour ctl1 " + Quote(R"({"busyPolls":2})")).exitCode, 0);
  r = RunCtl("serial ctl1");
  EXPECT_THAT(r.output, HasSubstr("\"serial\": \"SN0001\""));
  EXPECT_EQ(RunCtl("remove ctl1").exitCode, 0);
  r = RunCtl("remove ctl1");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.output, HasSubstr("no device with id \"ctl1\""));
}

TEST_F(DriverCtlTest, AddRefusesWhatIsNotARegularFile) {
  const std::string fifo = driver.TempFile("fifo.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), driver.TempFile("missing.json")}) {
    const ToolResult r = RunCtl("add " + Quote(path));
    EXPECT_EQ(r.exitCode, 1) << path;
    EXPECT_THAT(r.output, HasSubstr(path + " is not a readable JSON file")) << path;
  }
  EXPECT_THAT(RunCtl("add " + Quote(fifo)).output, HasSubstr("not a regular file"));
  EXPECT_EQ(driver.ListDevices().find("\"id\""), std::string::npos) << "nothing was added";
}

TEST_F(DriverCtlTest, FirmwareIsWrittenToAFile) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("initialState", "\"dfuIDLE\"")).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  const std::string image(
      "\x00\x01\x02\xFF\xFE"
      "firmware",
      13);
  ASSERT_EQ(d.Dnload(0, image), 0u);
  ASSERT_EQ(StateOf(d.GetStatus(0)), 5);
  ASSERT_EQ(d.Dnload(1, ""), 0u);
  ASSERT_EQ(StateOf(d.GetStatus(0)), 7);
  ASSERT_EQ(StateOf(d.GetStatus(0)), 2);
  const std::string out = driver.TempFile("fw.bin");
  const ToolResult r = RunCtl("firmware dev1 " + Quote(out));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "13 bytes written to " + out + "\n");
  EXPECT_EQ(testsupport::ReadFile(out), image);
}

TEST_F(DriverCtlTest, TraceSwitchAndShutdown) {
  EXPECT_EQ(RunCtl("trace off").exitCode, 0);
  const std::string other = driver.TempFile("other.jsonl");
  ToolResult r = RunCtl("trace on " + Quote(other));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  EXPECT_THAT(testsupport::ReadFile(other), HasSubstr("\"cmd\":\"add-device\""));
  r = RunCtl("shutdown");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (int i = 0; i < 500 && driver.Running(); ++i) ::usleep(10000);
  EXPECT_FALSE(driver.Running());
  r = RunCtl("list");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.output, HasSubstr("no service is listening"));
}

TEST_F(DriverCtlTest, UsageErrors) {
  EXPECT_EQ(RunCtl("").exitCode, 2);
  EXPECT_EQ(RunCtl("frobnicate").exitCode, 2);
  EXPECT_EQ(RunCtl("plug").exitCode, 2);
  EXPECT_EQ(RunCtl("trace maybe").exitCode, 2);
  EXPECT_EQ(RunCtl("behaviour dev1 '{not json'").exitCode, 2);
  // A word that is not UTF-8 cannot become JSON: a message, not an abort.
  ToolResult notUtf8 = RunCtl("serial $(printf 'dev\\377')");
  EXPECT_EQ(notUtf8.exitCode, 2);
  EXPECT_THAT(notUtf8.output, HasSubstr("velmora-driverctl: [json.exception.type_error.316]"));
  ToolResult r = RunCtl("add /nonexistent/file.json");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.output, HasSubstr("not a readable JSON file"));
  r = RunCtl("--help");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_THAT(r.output, HasSubstr("usage: velmora-driverctl"));
}

}  // namespace
}  // namespace drvtest
