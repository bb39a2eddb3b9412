// vlmu-flash as a user runs it, against the driver service: its output,
// its exit statuses and the firmware the device ends up with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dfu/E2eSupport.h"
#include "support/BuildPaths.h"
#include "support/DriverServiceFixture.h"
#include "support/RunShell.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using testsupport::DeviceDescription;

using Result = testsupport::ShellResult;

Result RunFlasher(const std::string& args) { return testsupport::RunShell(testsupport::FlashBinary() + " " + args); }

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
            list.output.find(
                "{\"status\":0,\"devices\":[{\"index\":0,\"status\":0,\"vendorId\":4660,"
                "\"productId\":22136,\"serialNumber\":\"SN0001\",\"path\":\"\\\\\\\\?\\\\usb#vid_1234&pid_5678#SN0001#"
                "{49f4a1ff-55dd-4d45-9743-7b623eff0361}\"}]}"))
      << list.output;
  Result up = RunFlasher("--json upgrade --device 0 " + path);
  EXPECT_EQ(0, up.exitCode) << up.output;
  EXPECT_NE(std::string::npos, up.output.find("{\"status\":0,\"statusText\":\"success\",\"device\":0,")) << up.output;
  EXPECT_NE(std::string::npos, up.output.find("\"bytesDownloaded\":" + std::to_string(image.size()))) << up.output;
}

// Shell word for a path with backslashes, '&', '#' and braces.
std::string Quoted(const std::string& text) { return "'" + text + "'"; }

bool Eventually(const std::function<bool()>& done, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// vlmu-flash in the background, its output going to a file.
class Background {
 public:
  Background(const std::string& args, const std::string& outFile)
      // exec: the shell becomes vlmu-flash, so signals reach the program itself.
      : mOut(outFile), mLine("exec " + testsupport::FlashBinary() + " " + args + " > " + outFile + " 2>&1") {
    char sh[] = "/bin/sh", c[] = "-c";
    char* argv[] = {sh, c, mLine.data(), nullptr};
    if (posix_spawn(&mPid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) mPid = -1;
  }
  ~Background() {
    if (mPid > 0) {
      kill(mPid, SIGKILL);
      Wait();
    }
  }
  std::string Output() const { return testsupport::ReadFile(mOut); }
  bool Shows(const std::string& text, int seconds = 20) const {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, seconds);
  }
  void Signal(int sig) const { kill(mPid, sig); }
  int Wait() {
    int status = 0;
    if (mPid > 0 && waitpid(mPid, &status, 0) == mPid) mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string mOut, mLine;
  pid_t mPid = -1;
};

// Devices named by serial number or path, and the selections the program
// refuses: the image lands on the named device and nowhere else.
TEST_F(Flasher, SelectsDevicesByIdentityAndRefusesWhatIsNotUnique) {
  const DeviceDescription a = DeviceDescription().Id("a").Serial("LINE-A");
  const DeviceDescription b = DeviceDescription().Id("b").Serial("LINE-B");
  const DeviceDescription twin1 = DeviceDescription().Id("t1").Serial("TWIN").Ids(0x1234, 0x5679);
  const DeviceDescription twin2 = DeviceDescription().Id("t2").Serial("TWIN").Ids(0x1234, 0x567A);
  for (const auto* d : {&a, &b, &twin1, &twin2}) ASSERT_FALSE(driver.AddDevice(*d).empty()) << driver.LastError();
  const std::string other = driver.TempFile("other.vld");
  testsupport::WriteFile(other, dfue2e::MakeImage(3000, 99, 0x9999));
  struct Case {
    std::string args;  // IMG stands for a fresh image
    int exitCode;
    std::string shows;
    std::string target;  // device that must hold the image ("" none)
  } cases[] = {
      {"upgrade --serial LINE-B IMG", 0, "Device 1: 4660 / 22136  LINE-B at " + b.Path(), "b"},
      {"upgrade --path " + Quoted(a.Path()) + " IMG", 0, "Device 0: 4660 / 22136  LINE-A at " + a.Path(), "a"},
      {"upgrade --device 1 IMG", 0, "Device 1: 4660 / 22136  LINE-B at " + b.Path(), "b"},
      {"--json upgrade --serial LINE-A IMG", 0,
       "\"device\":0,\"vendorId\":4660,\"productId\":22136,\"serialNumber\":\"LINE-A\",\"path\":", "a"},
      {"upgrade --serial NOPE IMG", 80, "no device with serial number NOPE", ""},
      {"upgrade --serial TWIN IMG", 81,
       "serial number TWIN is not unique: devices at " + twin1.Path() + " and " + twin2.Path(), ""},
      {"upgrade --path 'x#y' IMG", 80, "no device at path x#y", ""},
      {"upgrade --all " + other, 80, "no device matches the image's ids 1234:9999; nothing was written", ""},
      {"upgrade --device 0 --serial LINE-A IMG", 64, "--device cannot be combined", ""},
      {"serial get --serial LINE-B", 0, "LINE-B\n", ""},
  };
  uint32_t seed = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string args = c.args;
    const std::string file = Image("fw" + std::to_string(seed) + ".vld", 3000, seed);
    ++seed;
    if (args.find("IMG") != std::string::npos) args.replace(args.find("IMG"), 3, file);
    Result r = RunFlasher(args);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find(c.shows)) << r.output;
    for (const char* id : {"a", "b", "t1", "t2"}) {
      std::string stored;
      driver.GetFirmware(id, stored);
      EXPECT_EQ(c.target == id, stored == image) << id;
    }
  }
  // The device changes between the choice and the open (here its serial
  // number, while the program waits for the confirmation): refused, and
  // nothing is written.
  ASSERT_TRUE(driver.SetBehaviour("a", R"({"serialInDescriptor": true})"));
  const std::string out = driver.TempFile("confirm.out");
  FILE* in = popen((testsupport::FlashBinary() + " --confirm upgrade --serial LINE-A " + Image("c.vld", 3000, 77) +
                    " > " + out + " 2>&1")
                       .c_str(),
                   "w");
  ASSERT_NE(nullptr, in);
  EXPECT_TRUE(Eventually([&] { return testsupport::ReadFile(out).find("[y/N]") != std::string::npos; }));
  ASSERT_TRUE(driver.SetBehaviour("a", R"({"storedSerial": "LINE-X"})"));
  std::fputs("y\n", in);
  const int status = pclose(in);
  EXPECT_EQ(82, WIFEXITED(status) ? WEXITSTATUS(status) : -1) << testsupport::ReadFile(out);
  EXPECT_NE(std::string::npos, testsupport::ReadFile(out).find("LINE-X at " + a.Path() + ", not the selected"))
      << testsupport::ReadFile(out);
  std::string stored;
  driver.GetFirmware("a", stored);
  EXPECT_FALSE(stored == image);
}

// The race of a production line: while one device is off the bus for its
// mode switch, the positions of the others shift. Devices named by serial
// number, one per process and several from one command, each get their own
// image.
TEST_F(Flasher, ParallelUpgradesLandOnTheNamedDevices) {
  std::vector<DeviceDescription> devices;
  for (const char* id : {"p0", "p1", "p2", "p3"})
    devices.push_back(DeviceDescription().Id(id).Serial(std::string("SER-") + id).Reenumeration(300));
  for (const auto& d : devices) ASSERT_FALSE(driver.AddDevice(d).empty()) << driver.LastError();
  const std::string first = Image("first.vld", 20000, 1), firstImage = image;
  Background one("upgrade --serial SER-p0 " + first, driver.TempFile("one.out"));
  // Wait until p0 has left the bus: p1..p3 are at positions 0..2 now.
  ASSERT_TRUE(Eventually([&] {
    for (const auto& e : driver.ReadTrace())
      if (e.op == "removal" && e.path == devices[0].Path()) return true;
    return false;
  }));
  const std::string second = Image("second.vld", 20000, 2), secondImage = image;
  const std::string many = Image("many.vld", 20000, 3), manyImage = image;
  Background two("upgrade --serial SER-p2 " + second, driver.TempFile("two.out"));
  Result both = RunFlasher("upgrade " + many + " --serial SER-p1 --serial SER-p3");
  EXPECT_EQ(0, one.Wait()) << one.Output();
  EXPECT_EQ(0, two.Wait()) << two.Output();
  EXPECT_EQ(0, both.exitCode) << both.output;
  // The summary: one row per device, with its path and status.
  for (size_t i : {1u, 3u}) {
    const std::string row = "SER-p" + std::to_string(i) + "  upgraded  20149  ";
    const size_t at = both.output.find(row);
    EXPECT_NE(std::string::npos, at) << both.output;
    EXPECT_LT(both.output.find(devices[i].Path(), at), both.output.find('\n', at)) << both.output;  // same row
  }
  const std::string* expected[] = {&firstImage, &manyImage, &secondImage, &manyImage};
  for (size_t i = 0; i < devices.size(); ++i) {
    std::string stored;
    ASSERT_TRUE(driver.GetFirmware(devices[i].id, stored));
    EXPECT_TRUE(stored == *expected[i]) << devices[i].id;
  }
}

// Production-line mode: each device that arrives is upgraded once; one
// plugged in again is not, until Ctrl-C ends the run with its summary.
TEST_F(Flasher, WatchUpgradesEachArrivalOnce) {
  const DeviceDescription a = DeviceDescription().Id("wa").Serial("WATCH-A");
  const DeviceDescription b = DeviceDescription().Id("wb").Serial("WATCH-B").Unplugged();
  const DeviceDescription foreign = DeviceDescription().Id("wx").Serial("WATCH-X").Ids(0x1234, 0x9999);
  for (const auto* d : {&a, &b, &foreign}) ASSERT_FALSE(driver.AddDevice(*d).empty()) << driver.LastError();
  const std::string file = Image("watch.vld", 8000, 5);
  Background watch("upgrade " + file + " --watch", driver.TempFile("watch.out"));
  EXPECT_TRUE(watch.Shows("WATCH-A: upgraded in")) << watch.Output();
  ASSERT_TRUE(driver.Plug("wb"));
  EXPECT_TRUE(watch.Shows("WATCH-B: upgraded in")) << watch.Output();
  ASSERT_TRUE(driver.Unplug("wa"));
  ASSERT_TRUE(driver.Plug("wa"));
  EXPECT_TRUE(watch.Shows("WATCH-A: already upgraded in this run; not again (--again would)  (" + a.Path() + ")"))
      << watch.Output();
  watch.Signal(SIGINT);
  EXPECT_EQ(0, watch.Wait()) << watch.Output();
  const std::string out = watch.Output();
  EXPECT_EQ(out.find("WATCH-A: upgraded"), out.rfind("WATCH-A: upgraded")) << out;
  EXPECT_NE(std::string::npos, out.find("WATCH-B  upgraded  8149  ")) << out;
  EXPECT_EQ(std::string::npos, out.find("WATCH-X")) << out;  // its ids do not match the image's
  for (const char* id : {"wa", "wb"}) {
    std::string stored;
    ASSERT_TRUE(driver.GetFirmware(id, stored));
    EXPECT_TRUE(stored == image) << id;
  }
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
  const std::string command = "VLMU_DRIVER_SOCKET=" + dir.File("none.sock") + " " + testsupport::FlashBinary();
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
