// The driver transport against a fake device file: request layouts, zero
// filling, closed-device answers, arrival/removal latching and the
// close-and-reopen waits (no driver service runs: every reopen fails).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceCodes.h"
#include "device/DeviceLogCapture.h"
#include "device/FakeDeviceFile.h"
#include "device/VlmuDeviceSet.h"
#include "platform/MessageWindow.h"

namespace {

using namespace devicetest;
using Clock = std::chrono::steady_clock;

class Transport : public ::testing::Test {
 protected:
  NoServiceEnvironment env;
  std::shared_ptr<FakeDevice> fake = GoodDevice();
  TestDfuDevice device;
  void SetUp() override { device.Attach(fake, "\\\\?\\usb#vid_1234&pid_5678#sn0001#{49f4a1ff}"); }
};

TEST_F(Transport, DescriptorRequestLayoutAndShortAnswerLeavesZeros) {
  uint8_t buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  uint32_t received = 77;
  ASSERT_EQ(device.GetStringDescriptor(buffer, sizeof buffer, &received, 3, 0x0409), 0u);
  const Bytes expected = StringDescriptor(u"SN0001");
  EXPECT_EQ(received, expected.size());
  EXPECT_EQ(Bytes(buffer, buffer + expected.size()), expected);
  for (size_t i = expected.size(); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;

  const auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, 0x80892004u);
  EXPECT_EQ(requests[0].in, (Bytes{0, 0, 0, 0, 3, 3, 0x09, 0x04}));
  EXPECT_EQ(requests[0].outSize, sizeof buffer);
}

TEST_F(Transport, ConfigurationAndDeviceDescriptorRequests) {
  uint8_t d[18];
  ASSERT_EQ(device.GetDeviceDescriptor(d), 0u);
  EXPECT_EQ(Bytes(d, d + 18), fake->deviceDescriptor);
  uint8_t c[9];
  uint32_t received = 0;
  ASSERT_EQ(device.GetConfigurationDescriptor(c, 9, &received, 0), 0u);
  EXPECT_EQ(received, 9u);
  const auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].in, (Bytes{0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(requests[0].outSize, 18u);
  EXPECT_EQ(requests[1].in, (Bytes{0, 0, 0, 0, 2, 0, 0, 0}));
}

TEST_F(Transport, DeviceDescriptorOf17BytesFailsAlthoughTheRequestSucceeded) {
  fake->deviceDescriptor.resize(17);
  uint8_t d[18];
  EXPECT_EQ(device.GetDeviceDescriptor(d), VLMU_E_BAD_DESCRIPTOR_SIZE);
  EXPECT_EQ(d[17], 0) << "the missing byte stays zero";
}

TEST_F(Transport, ControlRequestAndPortCycleCodes) {
  const uint8_t header[16] = {1, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 2, 0, 6, 0};
  uint8_t data[6] = {9, 9, 9, 9, 9, 9};
  uint32_t received = 5;
  EXPECT_EQ(device.SendControlRequest(header, 16, data, 6, &received), 0u);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(Bytes(data, data + 6), Bytes(6, 0)) << "output is zero-filled before the request";
  EXPECT_EQ(device.CyclePort(), 0u);
  const auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].code, 0x80892014u);
  EXPECT_EQ(requests[0].in, Bytes(header, header + 16));
  EXPECT_EQ(requests[0].outSize, 6u);
  EXPECT_EQ(requests[1].code, 0x80892018u);
  EXPECT_TRUE(requests[1].in.empty());
  EXPECT_EQ(requests[1].outSize, 0u);
}

TEST_F(Transport, TransportErrorIsPassedOnAndOutputKeepsZeros) {
  fake->failWith = [](const RecordedRequest&) { return 31u; };
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint32_t received = 3;
  EXPECT_EQ(device.GetStringDescriptor(buffer, sizeof buffer, &received, 0, 0), 31u);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, 0));
}

TEST_F(Transport, RequestAfterCloseNeverReachesTheDriver) {
  ASSERT_TRUE(device.IsOpen());
  device.Close();
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.DevicePath().empty());
  EXPECT_EQ(device.DeviceIndex(), 0u);
  uint8_t buffer[18];
  std::memset(buffer, 0x55, sizeof buffer);
  uint32_t received = 9;
  EXPECT_EQ(device.IoControl(0x80892004, nullptr, 0, buffer, sizeof buffer, &received), VLMU_E_DEVICE_NOT_OPEN);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(Bytes(buffer, buffer + 18), Bytes(18, 0));
  EXPECT_EQ(device.CyclePort(), VLMU_E_DEVICE_NOT_OPEN);
  EXPECT_TRUE(fake->Requests().empty());
}

TEST_F(Transport, OpenWhileOpenAndOpenArgumentsWithoutService) {
  platform::Guid guid;
  ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText(VLMUFWDL_INTERFACE_GUID_STR, guid));
  EXPECT_EQ(device.Open(0, nullptr, &guid), VLMU_E_ALREADY_OPEN);
  EXPECT_TRUE(device.IsOpen()) << "the first connection stays";
  device.Close();

  VlmuDeviceSet set;
  ASSERT_EQ(set.Enumerate(guid), 0u);
  EXPECT_EQ(device.Open(0, set.DeviceInfo(), nullptr), VLMU_E_NO_GUID);
  EXPECT_EQ(device.Open(0, set.DeviceInfo(), &guid), VLMU_E_NO_MORE_DEVICES) << "index 0 of an empty set";
  EXPECT_FALSE(device.IsOpen());
  // The fixed path without a service behind it: a system error, nothing kept.
  const uint32_t st = device.Open(0, nullptr, &guid);
  EXPECT_NE(st, 0u);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.DevicePath().empty());
  EXPECT_STREQ(VlmuDevice::FixedDevicePath(), "\\\\.\\{49F4A1FF-55DD-4d45-9743-7B623EFF0361}");
}

// ---- arrival / removal latching ------------------------------------------------

std::vector<uint64_t> Broadcast(const std::string& name, uint32_t deviceType = 5, int sizeOverride = -1) {
  const size_t size = 28 + name.size() + 1;
  std::vector<uint64_t> storage((size + 7) / 8 + 1, 0);
  auto* b = reinterpret_cast<uint8_t*>(storage.data());
  const uint32_t recordSize = sizeOverride >= 0 ? static_cast<uint32_t>(sizeOverride) : static_cast<uint32_t>(size);
  std::memcpy(b, &recordSize, 4);
  std::memcpy(b + 4, &deviceType, 4);
  std::memcpy(b + 28, name.c_str(), name.size() + 1);
  return storage;
}

class Latching : public Transport {
 protected:
  const std::string path = "\\\\?\\usb#vid_1234&pid_5678#sn0001#{49f4a1ff}";
  void SetUp() override {
    Transport::SetUp();
    device.CreateTrackingEvents();
  }
  void Send(uintptr_t event, const std::string& name, uint32_t type = 5, int size = -1) {
    auto record = Broadcast(name, type, size);
    device.OnDeviceChange(platform::kWmDeviceChange, event, record.data());
  }
  bool Removed() { return device.RemovedEvent()->Wait(0) == platform::WaitResult::Signalled; }
  bool Arrived() { return device.ArrivedEvent()->Wait(0) == platform::WaitResult::Signalled; }
};

TEST_F(Latching, ArrivalAndRemovalOfThisDeviceLatch) {
  Send(platform::kDbtDeviceArrival, path);
  EXPECT_FALSE(Removed());
  EXPECT_TRUE(Arrived());
  EXPECT_FALSE(Arrived()) << "auto-reset: one wait consumes it";
  Send(platform::kDbtDeviceRemoveComplete, path);
  EXPECT_TRUE(Removed());
  EXPECT_FALSE(Arrived());
}

TEST_F(Latching, RemovalWithdrawsAnUnconsumedArrival) {
  Send(platform::kDbtDeviceArrival, path);
  Send(platform::kDbtDeviceRemoveComplete, path);
  EXPECT_TRUE(Removed());
  EXPECT_FALSE(Arrived()) << "the arrival before the removal is withdrawn";
  Send(platform::kDbtDeviceArrival, path);
  EXPECT_TRUE(Arrived());
}

TEST_F(Latching, PathComparisonIgnoresCase) {
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Send(platform::kDbtDeviceRemoveComplete, upper);
  EXPECT_TRUE(Removed());
}

TEST_F(Latching, OtherDevicesAndMalformedRecordsAreIgnored) {
  Send(platform::kDbtDeviceRemoveComplete, "\\\\?\\usb#vid_1234&pid_5678#sn0002#{49f4a1ff}");
  Send(platform::kDbtDeviceArrival, path + "x");
  Send(platform::kDbtDeviceArrival, path.substr(0, path.size() - 1));
  Send(platform::kDbtDeviceArrival, path, 3);           // not a device interface
  Send(platform::kDbtDeviceArrival, path, 5, 28 + 10);  // name cut short by the record size
  Send(platform::kDbtDeviceArrival, path, 5, 20);       // record too small for a name
  Send(0x8001, path);                                   // query remove: not handled
  device.OnDeviceChange(platform::kWmDeviceChange, platform::kDbtDeviceArrival, nullptr);
  EXPECT_FALSE(Removed());
  EXPECT_FALSE(Arrived());
}

TEST_F(Transport, NotificationsWithoutTrackingAreIgnored) {
  auto record = Broadcast(device.DevicePath());
  device.OnDeviceChange(platform::kWmDeviceChange, platform::kDbtDeviceArrival, record.data());
  EXPECT_FALSE(device.IsTracking());
}

// ---- close and reopen -------------------------------------------------------------

TEST(Elapsed, TickDifferenceWithWrap) {
  struct Case {
    uint32_t start, now, expected;
  } cases[] = {
      {100, 150, 50},
      {5, 5, 0},
      {0, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {0xFFFFFFF0u, 0x10, 0x1F},
      {0xFFFFFFFFu, 0, 0},
      {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFEu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VlmuDevice::ElapsedTicks(c.start, c.now), c.expected) << c.start << " -> " << c.now;
  }
}

TEST_F(Transport, ReopenOfAClosedDeviceIsRefused) {
  device.Close();
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(false, 1000), VLMU_E_DEVICE_NOT_OPEN);
}

TEST_F(Transport, WaitForReplugWithoutTrackingClosesTheDevice) {
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(true, 1000), VLMU_E_NOT_TRACKING);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.DevicePath().empty());
}

TEST_F(Transport, ReopenWithoutWaitingRetriesUntilTheTimeOut) {
  const auto start = Clock::now();
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(false, 350), VLMU_E_TIMEOUT);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(340));
  EXPECT_LT(took, std::chrono::milliseconds(5000));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.DevicePath().empty());
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(false, 350), VLMU_E_DEVICE_NOT_OPEN);
}

TEST_F(Latching, ZeroTimeOutFailsEvenWithBothEventsLatchedWhenTheOpenFails) {
  Send(platform::kDbtDeviceRemoveComplete, path);
  Send(platform::kDbtDeviceArrival, path);
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(true, 0), VLMU_E_TIMEOUT);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_FALSE(device.IsTracking()) << "Close ends the tracking";
}

TEST_F(Latching, RemovalWithoutArrivalTimesOut) {
  Send(platform::kDbtDeviceRemoveComplete, path);
  const auto start = Clock::now();
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(true, 150), VLMU_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(Latching, NoRemovalTimesOutWithTheWholeInterval) {
  Send(platform::kDbtDeviceArrival, path);  // an arrival alone is not enough
  const auto start = Clock::now();
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(true, 120), VLMU_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(110));
}

TEST_F(Transport, DfuDeviceConvertsTheTimeOutAndLogsIt) {
  DeviceLogCapture log;
  ASSERT_TRUE(log.Enabled());
  EXPECT_EQ(device.CloseAndReopen(false, 150), 24u);
  EXPECT_TRUE(log.Has("DfuDevice::CloseAndReopen( ...\n"));
  EXPECT_TRUE(log.Has("CloseAndReopen: Time-out interval = 150 elapsed.\n"));
  EXPECT_TRUE(log.Has("DfuDevice::Close ...\n")) << "the failed reopen closes through the engine";
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.CloseAndReopen(false, 150), 14u);
  EXPECT_TRUE(log.Has("CloseAndReopen:: CloseAndReopen failed with 0xE0000013\n"));
}

TEST_F(Transport, DfuDeviceReplugWithoutTrackingIsAnOpenFailure) {
  DeviceLogCapture log;
  EXPECT_EQ(device.CloseAndReopen(true, 1000), 14u);
  EXPECT_TRUE(log.Has("CloseAndReopen:: CloseAndReopen failed with 0xE0000012\n"));
}

TEST_F(Transport, TrackingNeedsAnOpenDevice) {
  DeviceLogCapture log;
  device.Close();
  EXPECT_EQ(device.StartPnPTracking(), VLMU_E_DEVICE_NOT_OPEN);
  EXPECT_FALSE(device.IsTracking());
}

TEST_F(Transport, TrackingWithoutModuleInstanceFailsAndCanBeRetried) {
  DeviceLogCapture log;
  EXPECT_EQ(device.StartPnPTracking(), VLMU_E_FAILED);
  EXPECT_TRUE(log.Has("StartPnPTracking: Initialize failed.\n"));
  EXPECT_FALSE(device.IsTracking()) << "both events are closed again";
}

TEST_F(Latching, TrackingTwiceIsRefused) { EXPECT_EQ(device.StartPnPTracking(), VLMU_E_ALREADY_TRACKING); }

TEST_F(Transport, StopTrackingWithoutTrackingLogsNothing) {
  DeviceLogCapture log;
  const std::string before = log.Text();
  device.StopPnPTracking();
  device.StopPnPTracking();
  EXPECT_EQ(log.Text(), before);
  EXPECT_TRUE(device.IsOpen());
}

}  // namespace
