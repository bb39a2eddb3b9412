// velmora_dfu_x64.dll under Wine, through its exports, against simulated
// devices of a driver service: the test bus driver (tests/win32/testbus)
// mirrors them as device interfaces of the vendor driver's class, so the
// DLL's SetupAPI enumeration, CreateFileA, DeviceIoControl and device
// notifications all run. scripts/test-windows.sh prepares the prefix, the
// service and the relay; the tests reach the service through the relay.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dfu/E2eSupport.h"
#include "platform/posix/DriverSocket.h"

using namespace dfue2e;
using testsupport::DeviceDescription;

namespace {

constexpr uint32_t kRunLimitMs = 60000;

class Win32Devices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WaitForCount(0)) << "devices left over by another test";
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(VLMUFWDL_TIMEOUT_REPLUG, 10000));
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(VLMUFWDL_TIMEOUT_MANIFEST_POLL, 5000));
  }
  void TearDown() override {
    WaitForDownload(kRunLimitMs);
    CloseWhenIdle();
    for (const std::string& id : mIds) service.Remove(id);
    EXPECT_TRUE(WaitForCount(0)) << "the removed devices are still listed";
  }

  // Adds a device and waits until the DLL lists `listed` devices.
  std::string Add(const DeviceDescription& description, uint32_t listed = 1) {
    const std::string id = service.AddDevice(description);
    EXPECT_FALSE(id.empty()) << service.LastError();
    mIds.push_back(id);
    EXPECT_TRUE(WaitForCount(listed)) << "the bus did not show " << description.Path();
    return id;
  }

  // Enumerates through the DLL until it finds `count` devices (at most 20 s).
  static bool WaitForCount(uint32_t count) {
    for (int i = 0; i < 200; ++i) {
      uint32_t found = 99;
      if (VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &found) == 0 && found == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string WriteImage(const std::string& bytes) {
    const std::string path = mDir.File("fw.vld");
    testsupport::WriteFile(path, bytes);
    return path;
  }

  testsupport::ServiceControl service{platform::DriverSocketPath()};
  testsupport::TempDir mDir;
  std::vector<std::string> mIds;
};

std::string Narrow(const uint16_t* text) {
  std::string s;
  for (; *text != 0; ++text) s.push_back(static_cast<char>(*text));
  return s;
}

TEST_F(Win32Devices, EnumerationListsTheServicesDevicesWithIdsAndSerials) {
  Add(DeviceDescription().Id("first").Ids(0x1234, 0x5678).Serial("SN0001"));
  Add(DeviceDescription().Id("second").Ids(0x0042, 0x0001).Serial("WINE-2"), 2);
  std::vector<std::string> found;
  for (uint32_t i = 0; i < 2; ++i) {
    VLMUFWDL_DEVICE_INFO info{};
    ASSERT_EQ(0u, VLMUFWDL_GetDeviceInfo(i, &info)) << i;
    char row[64];
    std::snprintf(row, sizeof row, "%04X/%04X %s", info.VendorId, info.ProductId, Narrow(info.SerialNumber).c_str());
    found.push_back(row);
  }
  std::sort(found.begin(), found.end());
  EXPECT_EQ((std::vector<std::string>{"0042/0001 WINE-2", "1234/5678 SN0001"}), found);
  VLMUFWDL_DEVICE_INFO info{};
  EXPECT_EQ(13u, VLMUFWDL_GetDeviceInfo(2, &info));
}

TEST_F(Win32Devices, WholeDownloadToARunTimeDeviceIsStoredByteForByte) {
  ExportLog log;
  const std::string image = MakeImage(20000, 4);
  const std::string path = WriteImage(image);
  const std::string id = Add(DeviceDescription().Knob("busyPolls", "1"));
  ASSERT_EQ("runtime", service.DeviceField(id, "mode"));
  ASSERT_EQ(0u, VLMUFWDL_OpenDevice(0));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  // Vendor detach, port cycle and re-enumeration, blocks, manifestation, reset.
  const Outcome o = WaitForDownload(kRunLimitMs);
  ASSERT_TRUE(o.ended) << "still running after " << o.seconds << " s";
  EXPECT_EQ(0u, o.status);
  EXPECT_EQ(image.size(), o.bytes);
  EXPECT_EQ(image.size(), o.total);
  EXPECT_EQ(0u, CloseWhenIdle());
  std::string stored;
  ASSERT_TRUE(service.GetFirmware(id, stored)) << service.LastError();
  EXPECT_TRUE(stored == image) << stored.size() << " bytes stored";
  EXPECT_EQ("runtime", service.DeviceField(id, "mode"));
  // (The log's lines end in CR LF on Windows.)
  EXPECT_TRUE(log.Has("Download: download finished with status 0x00000000.")) << log.Text();
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceBackFromDfu: Succeeded.")) << log.Text();
}

TEST_F(Win32Devices, SerialNumberIsWrittenAndReadBack) {
  const std::string id = Add(DeviceDescription().Serial("SN0001"));
  ASSERT_EQ(0u, VLMUFWDL_OpenDevice(0));
  ASSERT_EQ(0u, VLMUFWDL_SetSerialNumber("WINE0001"));
  std::string stored;
  ASSERT_TRUE(service.GetSerial(id, stored)) << service.LastError();
  EXPECT_EQ("WINE0001", stored);
  char buffer[16] = {};
  char* p = buffer;
  ASSERT_EQ(0u, VLMUFWDL_GetSerialNumber(&p, sizeof buffer));
  EXPECT_STREQ("WINE0001", buffer);
}

// A device that leaves the bus during the download: the download ends with
// a failure, never with success, and the device keeps no image.
struct UnplugCase {
  const char* name;
  const char* knobs;  // behaviour set before the start ("" none)
  bool atFirstBytes;  // unplugged through the service once bytes are counted
  uint32_t expected;  // final status; 0: any failure (which request fails first is a race)
};

class Win32Unplug : public Win32Devices, public testing::WithParamInterface<UnplugCase> {};

TEST_P(Win32Unplug, EndsWithAFailureAndNoImage) {
  const UnplugCase& c = GetParam();
  const std::string path = WriteImage(MakeImage(30000, 8));
  const std::string id = Add(DeviceDescription().Knob("busyPolls", "1").Knob("pollTimeout", "{\"dfuDNBUSY\": 30}"));
  if (*c.knobs) {
    ASSERT_TRUE(service.SetBehaviour(id, c.knobs)) << service.LastError();
  }
  ASSERT_EQ(0u, VLMUFWDL_OpenDevice(0));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  bool unplugged = false;
  const Outcome o = WaitForDownload(kRunLimitMs, [&](const Outcome& now) {
    if (c.atFirstBytes && !unplugged && now.bytes > 0) unplugged = service.Unplug(id);
  });
  ASSERT_TRUE(o.ended) << "still running after " << o.seconds << " s";
  EXPECT_NE(0u, o.status);
  EXPECT_NE(36u, o.status);
  if (c.expected != 0) {
    EXPECT_EQ(c.expected, o.status);
  }
  const uint32_t closed = CloseWhenIdle();
  EXPECT_TRUE(closed == 0u || closed == 15u) << closed;
  std::string stored;
  ASSERT_TRUE(service.GetFirmware(id, stored)) << service.LastError();
  EXPECT_TRUE(stored.empty()) << stored.size() << " bytes stored";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Win32Unplug,
    testing::Values(
        // The device leaves while the service holds the third block: 1167 from the driver.
        UnplugCase{"MidBlock", "{\"faults\":[{\"bRequest\":1,\"occurrence\":3,\"action\":\"unplug\"}]}", false, 19},
        UnplugCase{"WhileBytesFlow", "", true, 0}),
    [](const testing::TestParamInfo<UnplugCase>& i) { return i.param.name; });

}  // namespace
