// The service's USB device source against devices on a umockdev testbed
// (UsbTestbed): the real velmora-driverd runs under the testbed with --usb,
// and libusb in it reaches simulated devices through usbdevfs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../dfu/E2eSupport.h"
#include "DriverTestUtil.h"
#include "UsbTestbed.h"

namespace {

using namespace drvtest;
using testsupport::DeviceSpec;
using usbtest::UsbTestbed;

// Notifications of one subscribed connection.
class Events {
 public:
  uint32_t Subscribe() {
    const uint32_t r = platform::DriverConnection::Connect(mConn, "usb-events");
    if (r != 0) return r;
    return mConn->Subscribe(VendorClass(), [this](const platform::DriverNotification& n) {
      std::lock_guard<std::mutex> lock(mMutex);
      mSeen.emplace_back(n.event, n.path);
      mCv.notify_all();
    });
  }
  // Waits for the count-th event of a kind (1-based) for path.
  bool WaitFor(uint32_t event, const std::string& path, size_t count = 1, uint32_t timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const auto& [e, p] : mSeen) n += e == event && p == path;
      return n >= count;
    });
  }
  std::vector<std::pair<uint32_t, std::string>> Seen() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSeen;
  }

 private:
  std::unique_ptr<platform::DriverConnection> mConn;
  std::mutex mMutex;
  std::condition_variable mCv;
  std::vector<std::pair<uint32_t, std::string>> mSeen;
};

class UsbSource : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbTestbed::Active()) GTEST_SKIP() << "not running under umockdev-wrapper";
    bed = std::make_unique<UsbTestbed>();
  }
  void TearDown() override {
    if (driver) driver->Stop();
    driver.reset();
    bed.reset();
  }
  std::string Add(const DeviceSpec& spec, int port) {
    std::string error;
    const std::string id = bed->AddDevice(spec.ToJson(), port, error);
    EXPECT_FALSE(id.empty()) << error;
    return id;
  }
  bool StartService(std::vector<std::string> args) {
    driver = std::make_unique<testsupport::DriverServiceFixture>();
    if (!driver->Start(args)) {
      ADD_FAILURE() << driver->LastError();
      return false;
    }
    return true;
  }
  // Waits until the service lists exactly `paths` (in order).
  bool WaitForList(const std::vector<std::string>& paths, uint32_t timeoutMs = 10000) {
    std::unique_ptr<platform::DriverConnection> conn;
    if (platform::DriverConnection::Connect(conn, "usb-list") != 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> got;
    do {
      got.clear();
      if (conn->ListInterfaces(VendorClass(), got) == 0 && got == paths) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    std::string text;
    for (const auto& p : got) text += p + " ";
    ADD_FAILURE() << "service lists: " << text;
    return false;
  }

  std::unique_ptr<UsbTestbed> bed;
  std::unique_ptr<testsupport::DriverServiceFixture> driver;
};

struct ToolRun {
  int exitStatus = -1;
  std::string out;
};

ToolRun RunFlasher(const std::string& args) {
  ToolRun r;
  FILE* pipe = popen((std::string(VLMU_FLASH_BINARY) + " " + args + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.out.append(buffer, n);
  const int status = pclose(pipe);
  r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST_F(UsbSource, FlasherUpgradesAUsbDeviceThroughTheService) {
  const std::string id = Add(DeviceSpec().Serial("USB-0042"), 1);
  ASSERT_TRUE(StartService({"--usb", "1234:5678"}));
  const std::string path = DeviceSpec().Serial("USB-0042").Path();
  ASSERT_TRUE(WaitForList({path}));

  ToolRun list = RunFlasher("list");
  EXPECT_EQ(0, list.exitStatus) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("0      4660 / 22136       USB-0042")) << list.out;

  const std::string image = dfue2e::MakeImage(30000, 7);
  const std::string file = driver->TempFile("fw.vld");
  testsupport::WriteFile(file, image);
  ToolRun up = RunFlasher("--timeout-replug 10000 upgrade --device 0 " + file);
  EXPECT_EQ(0, up.exitStatus) << up.out << testsupport::ReadFile(driver->LogPath());
  EXPECT_NE(std::string::npos, up.out.find("Download successfully finished")) << up.out;
  std::string stored;
  ASSERT_TRUE(bed->GetFirmware(id, stored));
  EXPECT_TRUE(stored == image) << "stored " << stored.size() << " bytes, sent " << image.size();
  // Detach cycle, then the reset after the manifestation: two re-enumerations.
  EXPECT_EQ(3, bed->Appearances(id));
  // The service still lists the device, at its path, after it came back.
  EXPECT_TRUE(WaitForList({path}));
}

}  // namespace
