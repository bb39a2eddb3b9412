// The four device exports through the shared library only, with the driver
// service and simulated devices: statuses, records, log entries, and which
// requests reach the service.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceLogCapture.h"
#include "support/DriverServiceFixture.h"
#include "vlmufwdl.h"

namespace {

using testsupport::DeviceDescription;

constexpr const char* kGuid = VLMUFWDL_INTERFACE_GUID_STR;

std::u16string Serial(const VLMUFWDL_DEVICE_INFO& info) {
  std::u16string s;
  for (uint16_t u : info.SerialNumber) {
    if (u == 0) break;
    s.push_back(static_cast<char16_t>(u));
  }
  return s;
}

bool AllZero(const VLMUFWDL_DEVICE_INFO& info) {
  const auto* b = reinterpret_cast<const uint8_t*>(&info);
  for (size_t i = 0; i < sizeof info; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

VLMUFWDL_DEVICE_INFO Garbage() {
  VLMUFWDL_DEVICE_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  return info;
}

// The library keeps its state between tests: every test starts and ends
// without an open device and with an empty device set.
class Exports : public ::testing::Test {
 protected:
  devicetest::DeviceLogCapture log;
  void TearDown() override {
    VLMUFWDL_CloseDevice();
    devicetest::NoServiceEnvironment none;
    uint32_t n = 0;
    VLMUFWDL_EnumerateDevices(kGuid, &n);
  }
};

TEST_F(Exports, NoServiceMeansNoDevices) {
  devicetest::NoServiceEnvironment none;
  uint32_t n = 77;
  EXPECT_EQ(VLMUFWDL_EnumerateDevices(kGuid, &n), 0u);
  EXPECT_EQ(n, 0u);
  VLMUFWDL_DEVICE_INFO info = Garbage();
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 13u);
  EXPECT_TRUE(AllZero(info));
  EXPECT_EQ(VLMUFWDL_OpenDevice(0), 13u);
  EXPECT_TRUE(log.Has("VLMUFWDL_EnumerateDevices(*NumberOfDevices = 0) returning 0x00000000\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDeviceInfo: Invalid device index."));
  EXPECT_TRUE(log.Has("VLMUFWDL_OpenDevice: Invalid device index."));
}

TEST_F(Exports, ArgumentChecks) {
  EXPECT_EQ(VLMUFWDL_EnumerateDevices(kGuid, nullptr), 2u);
  EXPECT_TRUE(log.Has("VLMUFWDL_EnumerateDevices: parameter 'NumberOfDevices' is NULL"));
  uint32_t n = 5;
  EXPECT_EQ(VLMUFWDL_EnumerateDevices(nullptr, &n), 2u);
  EXPECT_EQ(n, 0u) << "the count is zeroed before the text is checked";
  EXPECT_TRUE(log.Has("VLMUFWDL_EnumerateDevices: parameter 'InterfaceGuidStr' is NULL"));
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(0, nullptr), 2u);
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDeviceInfo: parameter 'DeviceInfo' is NULL"));
  EXPECT_FALSE(log.Has("API -> ")) << "no API entry before the checks pass";
}

TEST_F(Exports, CloseWithoutOpenDeviceIsAnInfo) {
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 15u);
  const std::string line = log.LineWith("VLMUFWDL_CloseDevice: No open device found.");
  ASSERT_FALSE(line.empty());
  EXPECT_NE(line.find("INFO"), std::string::npos) << line;
  EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
  EXPECT_TRUE(log.Has("VLMUFWDL_CloseDevice()\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_CloseDevice returning 0x0000000F\n"));
}

class WithService : public Exports {
 protected:
  testsupport::DriverServiceFixture driver;
  void SetUp() override {
    ASSERT_TRUE(driver.Start()) << driver.LastError();
    ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("a").Serial("SN-A").Ids(0x1111, 0x0001)).empty());
    ASSERT_FALSE(driver.AddDevice(DeviceDescription().Id("b").Serial("SN-B").Ids(0x2222, 0x0002)).empty());
  }
  uint32_t Enumerate() {
    uint32_t n = 0;
    EXPECT_EQ(VLMUFWDL_EnumerateDevices(kGuid, &n), 0u);
    return n;
  }
  size_t Opens() const {
    size_t n = 0;
    for (const auto& e : driver.ReadTrace()) n += e.op == "open" ? 1 : 0;
    return n;
  }
};

TEST_F(WithService, EnumerationAndTextErrors) {
  EXPECT_EQ(Enumerate(), 2u);
  EXPECT_TRUE(log.Has("VLMUFWDL_EnumerateDevices(*NumberOfDevices = 2) returning 0x00000000\n"));
  const std::vector<std::string> bad = {
      "{49F4A1FF-55DD-4d45-9743-7B623EFF0361", "49F4A1FF-55DD-4d45-9743-7B623EFF0361", "",
      std::string(kGuid) + std::string(70, ' '),  // more than 99 characters
  };
  for (const auto& text : bad) {
    uint32_t n = 9;
    EXPECT_EQ(VLMUFWDL_EnumerateDevices(text.c_str(), &n), 10u) << text;
    EXPECT_EQ(n, 0u);
  }
  EXPECT_TRUE(log.Has("VLMUFWDL_EnumerateDevices: enumeration failed with 0xE0000001.\n"));
  // The set of the last good enumeration still opens devices.
  EXPECT_EQ(VLMUFWDL_OpenDevice(1), 0u);
  VLMUFWDL_DEVICE_INFO info = Garbage();
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(1, &info), 0u);
  EXPECT_EQ(info.VendorId, 0x2222);
}

TEST_F(WithService, GetDeviceInfoOpensOtherDevicesOnlyForTheCall) {
  ASSERT_EQ(Enumerate(), 2u);
  VLMUFWDL_DEVICE_INFO info = Garbage();
  driver.ClearTrace();
  ASSERT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 0u);
  EXPECT_EQ(info.VendorId, 0x1111);
  EXPECT_EQ(info.ProductId, 0x0001);
  EXPECT_EQ(Serial(info), u"SN-A");
  EXPECT_EQ(info.SerialNumber[255], 0);
  EXPECT_EQ(Opens(), 1u) << "a temporary open";
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDeviceInfo(0,0x"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDeviceInfo returning 0x00000000\n"));

  ASSERT_EQ(VLMUFWDL_OpenDevice(1), 0u);
  EXPECT_TRUE(log.Has("VLMUFWDL_OpenDevice( 1 )\n"));
  driver.ClearTrace();
  info = Garbage();
  ASSERT_EQ(VLMUFWDL_GetDeviceInfo(1, &info), 0u);
  EXPECT_EQ(info.VendorId, 0x2222);
  EXPECT_EQ(Serial(info), u"SN-B");
  EXPECT_TRUE(driver.ReadIoTrace().empty()) << "the open device's cached information: no request";
  EXPECT_EQ(Opens(), 0u);

  info = Garbage();
  ASSERT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 0u);
  EXPECT_EQ(info.VendorId, 0x1111);
  EXPECT_EQ(Opens(), 1u);
  // The global device is untouched by the temporary one.
  info = Garbage();
  ASSERT_EQ(VLMUFWDL_GetDeviceInfo(1, &info), 0u);
  EXPECT_EQ(Serial(info), u"SN-B");
}

TEST_F(WithService, IndexChecks) {
  VLMUFWDL_DEVICE_INFO info = Garbage();
  {
    devicetest::NoServiceEnvironment none;
    uint32_t n = 0;
    ASSERT_EQ(VLMUFWDL_EnumerateDevices(kGuid, &n), 0u);
  }
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 13u) << "an empty set";
  ASSERT_EQ(Enumerate(), 2u);
  info = Garbage();
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(2, &info), 13u);
  EXPECT_TRUE(AllZero(info));
  EXPECT_EQ(VLMUFWDL_OpenDevice(2), 13u);
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 15u) << "nothing was opened";
}

TEST_F(WithService, OpenTwiceWhateverTheIndex) {
  ASSERT_EQ(Enumerate(), 2u);
  ASSERT_EQ(VLMUFWDL_OpenDevice(0), 0u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(0), 16u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(1), 16u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(99), 16u);
  EXPECT_TRUE(log.Has("VLMUFWDL_OpenDevice: Another device is already open."));
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 0u);
  EXPECT_TRUE(log.Has("VLMUFWDL_CloseDevice returning 0x00000000\n"));
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 15u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(1), 0u) << "open again after the close";
}

TEST_F(WithService, OpenFailureLeavesNoDeviceOpen) {
  ASSERT_EQ(Enumerate(), 2u);
  ASSERT_TRUE(driver.Unplug("a"));
  EXPECT_EQ(VLMUFWDL_OpenDevice(0), 14u);
  EXPECT_TRUE(log.Has("VLMUFWDL_OpenDevice: Open failed with 0x0000000E.\n"));
  EXPECT_TRUE(log.Has("DfuDevice::OpenDevice: Open failed with 0xE0000040\n"));
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 15u);
  VLMUFWDL_DEVICE_INFO info = Garbage();
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 14u);
  EXPECT_TRUE(AllZero(info));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDeviceInfo: Opening device 0 failed with 0x0000000E.\n"));
}

TEST_F(WithService, CorruptDescriptorsKeepTheDeviceOpenUntilClosed) {
  DeviceDescription spec = DeviceDescription().Id("bad").Serial("SN-BAD");
  // A DFU interface with protocol 0 and a 9-byte functional descriptor.
  spec.runtimeJson =
      R"({"configurations":[{"raw":"09 02 1b 00 01 01 00 80 32 09 04 00 00 00 fe 01 00 00 09 21 05 e8 03 00 10 10 01"}]})";
  ASSERT_FALSE(driver.AddDevice(spec).empty()) << driver.LastError();
  ASSERT_EQ(Enumerate(), 3u);
  uint32_t index = 0;
  for (; index < 3; ++index) {
    VLMUFWDL_DEVICE_INFO info;
    if (VLMUFWDL_GetDeviceInfo(index, &info) == 47) break;
  }
  ASSERT_LT(index, 3u) << log.Text();
  EXPECT_TRUE(log.Has("Configuration descriptor 0 is corrupt. DFU Functional Descriptor length is 9, expected 7.\n"));
  EXPECT_EQ(VLMUFWDL_OpenDevice(index), 47u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(index), 16u) << "the device stays open after a descriptor failure";
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 0u);
}

}  // namespace
