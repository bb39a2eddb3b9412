// The device layer against the driver service with simulated devices:
// enumeration order and setup records, opening through the device set,
// arrival/removal tracking, reopening after a re-plug, and failures of the
// service itself (device gone mid-request, service killed, garbage).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/CPnPNotificator.h"
#include "device/DeviceCodes.h"
#include "device/DeviceLogCapture.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuDevice.h"
#include "platform/Module.h"
#include "platform/posix/DriverConnection.h"
#include "support/DriverServiceFixture.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using devicetest::DeviceLogCapture;
using testsupport::DeviceDescription;

class Device : public DfuDevice {
 public:
  Device() { SetModuleInstance(platform::ThisModule()); }
  platform::Event* RemovedEvent() { return mDeviceRemovedEvent.get(); }
  platform::Event* ArrivedEvent() { return mDeviceArrivedEvent.get(); }
  uint8_t DfuInterfaceNumber() const { return mDfuInterfaceNumber; }
  uint16_t TransferSize() const { return mTransferSize; }
};

bool Signalled(platform::Event* e, uint32_t ms) {
  return e != nullptr && e->Wait(ms) == platform::WaitResult::Signalled;
}

class Service : public ::testing::Test {
 protected:
  testsupport::DriverServiceFixture driver;
  VlmuDeviceSet set;
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }
  std::string Add(const std::string& id, const std::string& serial) {
    std::string added = driver.AddDevice(DeviceDescription().Id(id).Serial(serial));
    EXPECT_FALSE(added.empty()) << driver.LastError();
    return added;
  }
  void Enumerate(uint32_t expected) {
    ASSERT_EQ(set.Enumerate(VLMUFWDL_INTERFACE_GUID_STR), 0u);
    ASSERT_EQ(set.DeviceCount(), expected);
  }
};

TEST_F(Service, EnumerationCountsDevicesInTheServiceOrder) {
  Enumerate(0);
  Add("a", "SNA");
  Add("b", "SNB");
  Add("c", "SNC");
  Enumerate(3);
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
  std::vector<std::string> paths;
  ASSERT_EQ(c->ListInterfaces(set.InterfaceGuid(), paths), 0u);
  ASSERT_EQ(paths.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    Device d;
    ASSERT_EQ(d.OpenDevice(set, i), 0u) << i;
    EXPECT_EQ(d.DevicePath(), paths[i]) << "index " << i << " is the service's entry " << i;
    EXPECT_EQ(d.DeviceIndex(), i);
    d.Close();
  }
  // Enumerating again replaces the set; the count follows the devices.
  ASSERT_TRUE(driver.Unplug("b"));
  Enumerate(2);
  Device d;
  EXPECT_EQ(d.OpenDevice(set, 2), 14u) << "index n of a set with n interfaces";
}

TEST_F(Service, OtherInterfaceClassesAreNotListed) {
  Add("a", "SNA");
  ASSERT_EQ(set.Enumerate("{00000000-0000-0000-0000-000000000001}"), 0u);
  EXPECT_EQ(set.DeviceCount(), 0u);
}

TEST_F(Service, DetailRecordSizesAndErrors) {
  Add("a", "SN-DETAIL");
  Enumerate(1);
  SetupFunctionTable& setup = TheSetupFunctions();
  ASSERT_TRUE(BindSetupLibrary());
  platform::DeviceInterfaceData data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(setup.SetupDiEnumDeviceInterfaces(set.DeviceInfo(), nullptr, &set.InterfaceGuid(), 0, &data));
  EXPECT_FALSE(setup.SetupDiEnumDeviceInterfaces(set.DeviceInfo(), nullptr, &set.InterfaceGuid(), 1, &data));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorNoMoreItems);
  ASSERT_TRUE(setup.SetupDiEnumDeviceInterfaces(set.DeviceInfo(), nullptr, &set.InterfaceGuid(), 0, &data));

  const std::string path = DeviceDescription().Serial("SN-DETAIL").Path();
  uint32_t required = 0;
  EXPECT_FALSE(setup.SetupDiGetDeviceInterfaceDetailA(set.DeviceInfo(), &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInsufficientBuffer);
  EXPECT_EQ(required, 4 + path.size() + 1);

  std::vector<uint64_t> storage(required / 8 + 2, 0);
  auto* detail = reinterpret_cast<platform::DeviceInterfaceDetailDataA*>(storage.data());
  detail->cbSize = 4 + 1;  // the size a 32-bit build would use
  EXPECT_FALSE(setup.SetupDiGetDeviceInterfaceDetailA(set.DeviceInfo(), &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInvalidUserBuffer);
  detail->cbSize = 8;
  EXPECT_FALSE(setup.SetupDiGetDeviceInterfaceDetailA(set.DeviceInfo(), &data, detail, required - 1, nullptr, nullptr));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInsufficientBuffer);
  ASSERT_TRUE(setup.SetupDiGetDeviceInterfaceDetailA(set.DeviceInfo(), &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(storage.data()) + 4), path);
}

TEST_F(Service, OpenReadsIdentityAndDfuDescriptors) {
  ASSERT_FALSE(
      driver.AddDevice(DeviceDescription().Id("a").Serial("ABC123").Ids(0x1A2B, 0x3C4D).TransferSize(1024)).empty());
  Enumerate(1);
  Device d;
  ASSERT_EQ(d.OpenDevice(set, 0), 0u);
  EXPECT_EQ(d.GetVendorId(), 0x1A2B);
  EXPECT_EQ(d.GetProductId(), 0x3C4D);
  uint16_t serial[8] = {};
  d.CopySerialNumber(serial, 7);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(serial)), u"ABC123");
  EXPECT_EQ(d.DfuInterfaceNumber(), 3);
  EXPECT_EQ(d.TransferSize(), 1024);
  d.Close();
  EXPECT_FALSE(d.IsOpen());
}

TEST_F(Service, FixedPathIsOpenedWithoutASet) {
  Add("a", "SNA");
  Device d;
  platform::Guid guid;
  ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText(VLMUFWDL_INTERFACE_GUID_STR, guid));
  EXPECT_EQ(d.Open(0, nullptr, &guid), VLMU_E_PATH_NOT_FOUND) << "no device answers to the fixed path";
  EXPECT_FALSE(d.IsOpen());
  EXPECT_TRUE(d.DevicePath().empty());

  // A device that presents itself under the fixed path.
  std::string json = DeviceDescription().Id("fixed").Serial("SNF").ToJson();
  ASSERT_EQ(json.front(), '{');
  json.insert(1, R"("path":"\\\\.\\{49F4A1FF-55DD-4d45-9743-7B623EFF0361}",)");
  ASSERT_FALSE(driver.AddDevice(json).empty()) << driver.LastError();
  ASSERT_EQ(d.Open(7, nullptr, &guid), 0u);
  EXPECT_EQ(d.DevicePath(), VlmuDevice::FixedDevicePath());
  EXPECT_EQ(d.DeviceIndex(), 7u);
  EXPECT_EQ(d.ReadDeviceInfo(), 0u);
  uint16_t serial[4] = {};
  d.CopySerialNumber(serial, 3);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(serial)), u"SNF");
  d.Close();
}

class Tracking : public Service {
 protected:
  Device device;
  void SetUp() override {
    Service::SetUp();
    Add("a", "SNA");
    Add("b", "SNB");
    Enumerate(2);
    ASSERT_EQ(device.OpenDevice(set, 0), 0u);
  }
};

TEST_F(Tracking, StartTwiceIsRefusedAndCloseEndsTracking) {
  DeviceLogCapture log;
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  EXPECT_TRUE(device.IsTracking());
  EXPECT_EQ(device.StartPnPTracking(), VLMU_E_ALREADY_TRACKING);
  device.StopPnPTracking();
  EXPECT_FALSE(device.IsTracking());
  ASSERT_EQ(device.StartPnPTracking(), 0u) << "tracking can start again after a stop";
  device.Close();
  EXPECT_FALSE(device.IsTracking());
  EXPECT_FALSE(log.Has("StopPnPTracking:")) << "a clean stop logs nothing";
}

TEST_F(Tracking, RemovalAndArrivalOfThisDeviceAreLatchedOthersIgnored) {
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  const std::string other = set.DeviceCount() > 1 ? "b" : "";
  ASSERT_TRUE(driver.Unplug("b"));
  ASSERT_TRUE(driver.Plug("b"));
  EXPECT_FALSE(Signalled(device.RemovedEvent(), 300)) << "another device's removal";
  EXPECT_FALSE(Signalled(device.ArrivedEvent(), 0));

  ASSERT_TRUE(driver.Unplug("a"));
  ASSERT_TRUE(driver.Plug("a"));
  EXPECT_TRUE(Signalled(device.RemovedEvent(), 5000));
  EXPECT_TRUE(Signalled(device.ArrivedEvent(), 5000));
  device.Close();
}

TEST_F(Tracking, ArrivalThenRemovalBeforeAnyWaitIsWithdrawn) {
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  ASSERT_TRUE(driver.Unplug("a"));
  ASSERT_TRUE(driver.Plug("a"));
  ASSERT_TRUE(driver.Unplug("a"));
  // Let all three notifications arrive before anyone waits.
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(Signalled(device.RemovedEvent(), 5000));
  EXPECT_FALSE(Signalled(device.ArrivedEvent(), 200)) << "the removal withdrew the earlier arrival";
  ASSERT_TRUE(driver.Plug("a"));
  EXPECT_TRUE(Signalled(device.ArrivedEvent(), 5000));
  device.Close();
}

TEST_F(Tracking, ReopenAfterAPortCycleWaitsForRemovalAndArrival) {
  DeviceLogCapture log;
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  ASSERT_EQ(device.CyclePort(), 0u);
  const auto start = Clock::now();
  ASSERT_EQ(device.CloseAndReopen(true, 10000), 0u) << log.Text();
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(device.GetVendorId(), 0x1234);
  EXPECT_EQ(device.DfuInterfaceNumber(), 3) << "descriptors are read anew";
  uint8_t d[18];
  EXPECT_EQ(device.GetDeviceDescriptor(d), 0u);
  device.Close();
}

TEST_F(Tracking, ReopenWithoutReplugTimesOut) {
  DeviceLogCapture log;
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  EXPECT_EQ(device.CloseAndReopen(true, 200), 24u);
  EXPECT_TRUE(log.Has("CloseAndReopen: Time-out interval = 200 elapsed.\n"));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_FALSE(device.IsTracking());
}

TEST_F(Tracking, ReopenWithoutWaitingFindsTheDeviceWhenItComesBack) {
  ASSERT_TRUE(driver.Unplug("a"));
  auto plug = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(250ms);
    return driver.Plug("a");
  });
  const auto start = Clock::now();
  EXPECT_EQ(device.VlmuDevice::CloseAndReopen(false, 5000), 0u);
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_TRUE(plug.get());
  EXPECT_TRUE(device.IsOpen());
  device.Close();
}

TEST_F(Tracking, DeviceThatVanishesMidRequestAnswersWithAnError) {
  const std::string count = driver.DeviceField("a", "requests");
  ASSERT_FALSE(count.empty());
  const uint64_t next = std::stoull(count) + 1;
  ASSERT_TRUE(driver.SetBehaviour("a", R"({"faults":[{"request":)" + std::to_string(next) + R"(,"action":"hang"}]})"));
  auto request = std::async(std::launch::async, [&] {
    uint8_t d[18];
    return device.GetDeviceDescriptor(d);
  });
  EXPECT_EQ(request.wait_for(200ms), std::future_status::timeout) << "the request hangs in the device";
  ASSERT_TRUE(driver.Unplug("a"));
  ASSERT_EQ(request.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(request.get(), 1167u);
  uint8_t d[18];
  EXPECT_NE(device.GetDeviceDescriptor(d), 0u) << "the device is gone";
  device.Close();
}

TEST_F(Tracking, ConcurrentRequestsAreSerialisedAndAllAnswered) {
  uint8_t expected[18];
  ASSERT_EQ(device.GetDeviceDescriptor(expected), 0u);
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        if ((i + t) % 2 == 0) {
          uint8_t d[18];
          if (device.GetDeviceDescriptor(d) == 0 && std::memcmp(d, expected, 18) == 0) ++good;
        } else {
          uint8_t c[9];
          uint32_t n = 0;
          if (device.GetConfigurationDescriptor(c, 9, &n, 0) == 0 && n == 9 && c[1] == 2) ++good;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 160);
  device.Close();
}

TEST_F(Tracking, ServiceKilledWhileTheDeviceIsOpen) {
  DeviceLogCapture log;
  ASSERT_EQ(device.StartPnPTracking(), 0u);
  driver.Kill();
  const auto start = Clock::now();
  uint8_t d[18];
  EXPECT_EQ(device.GetDeviceDescriptor(d), 1167u);
  EXPECT_EQ(device.ReadDeviceInfo(), 18u);
  EXPECT_EQ(device.CloseAndReopen(false, 300), 24u) << "nothing to reopen";
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_FALSE(device.IsTracking());
  // Without the service the machine looks like one without the driver.
  VlmuDeviceSet fresh;
  EXPECT_EQ(fresh.Enumerate(VLMUFWDL_INTERFACE_GUID_STR), 0u);
  EXPECT_EQ(fresh.DeviceCount(), 0u);
  Device other;
  EXPECT_EQ(other.OpenDevice(set, 1), 14u);
}

// ---- the notificator on its own ----------------------------------------------------

struct Recorded {
  uint32_t message;
  uintptr_t wParam;
  uint32_t size;
  uint32_t deviceType;
  std::string name;
};

class RecordingHandler : public CPnPNotifyHandler {
 public:
  void OnDeviceChange(uint32_t message, uintptr_t wParam, const void* lParam) override {
    Recorded r{message, wParam, 0, 0, {}};
    const auto* b = static_cast<const uint8_t*>(lParam);
    std::memcpy(&r.size, b, 4);
    std::memcpy(&r.deviceType, b + 4, 4);
    r.name = reinterpret_cast<const char*>(b + 28);
    std::lock_guard<std::mutex> g(lock);
    seen.push_back(r);
    if (event) event->Set();
  }
  std::vector<Recorded> Seen() {
    std::lock_guard<std::mutex> g(lock);
    return seen;
  }
  std::mutex lock;
  std::vector<Recorded> seen;
  std::unique_ptr<platform::Event> event = platform::CreateSyncEvent(false, false);
};

TEST_F(Service, NotificatorDeliversDeviceChangeMessagesForRegisteredClasses) {
  const std::string path = DeviceDescription().Serial("SNN").Path();
  Add("n", "SNN");
  platform::Guid guid;
  ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText(VLMUFWDL_INTERFACE_GUID_STR, guid));
  RecordingHandler handler;
  CPnPNotificator notificator;

  EXPECT_FALSE(notificator.Initialize(nullptr, &handler));
  EXPECT_FALSE(notificator.IsInitialized()) << "a missing instance leaves it idle";
  EXPECT_FALSE(notificator.EnableDeviceNotifications(guid));
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &handler));
  EXPECT_FALSE(notificator.Initialize(platform::ThisModule(), &handler)) << "already initialized";
  EXPECT_TRUE(notificator.DisableDeviceNotifications(guid)) << "nothing registered is no failure";

  ASSERT_TRUE(notificator.EnableDeviceNotifications(guid));
  ASSERT_TRUE(notificator.EnableDeviceNotifications(guid));
  EXPECT_EQ(notificator.RegistrationCount(), 2u);
  ASSERT_TRUE(driver.Unplug("n"));
  ASSERT_TRUE(Signalled(handler.event.get(), 5000));
  ASSERT_TRUE(driver.Plug("n"));
  ASSERT_TRUE(Signalled(handler.event.get(), 5000));
  std::this_thread::sleep_for(100ms);
  const auto seen = handler.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, 0x0219u);
  EXPECT_EQ(seen[0].wParam, 0x8004u);
  EXPECT_EQ(seen[1].wParam, 0x8000u);
  for (const auto& r : seen) {
    EXPECT_EQ(r.deviceType, 5u);
    EXPECT_EQ(r.name, path);
    EXPECT_EQ(r.size, 28 + path.size() + 1);
  }

  EXPECT_TRUE(notificator.DisableDeviceNotifications(guid));
  EXPECT_EQ(notificator.RegistrationCount(), 0u);
  ASSERT_TRUE(driver.Unplug("n"));
  EXPECT_FALSE(Signalled(handler.event.get(), 300)) << "no registration, no message";

  EXPECT_TRUE(notificator.Shutdown());
  EXPECT_FALSE(notificator.IsInitialized());
  EXPECT_TRUE(notificator.Shutdown()) << "shutting down an idle notificator";
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &handler)) << "a new start after a shutdown";
  ASSERT_TRUE(notificator.EnableDeviceNotifications(guid));
  ASSERT_TRUE(driver.Plug("n"));
  EXPECT_TRUE(Signalled(handler.event.get(), 5000));
}

TEST_F(Service, NotificatorRegistrationFailsWithoutTheService) {
  RecordingHandler handler;
  CPnPNotificator notificator;
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &handler));
  driver.Kill();
  platform::Guid guid;
  ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText(VLMUFWDL_INTERFACE_GUID_STR, guid));
  EXPECT_FALSE(notificator.EnableDeviceNotifications(guid));
  EXPECT_EQ(notificator.RegistrationCount(), 0u);
  EXPECT_TRUE(notificator.Shutdown());
}

TEST_F(Service, TrackingCannotStartWithoutTheService) {
  Add("a", "SNA");
  Enumerate(1);
  DeviceLogCapture log;
  Device d;
  ASSERT_EQ(d.OpenDevice(set, 0), 0u);
  driver.Kill();
  EXPECT_EQ(d.StartPnPTracking(), VLMU_E_FAILED);
  EXPECT_TRUE(log.Has("StartPnPTracking: EnableDeviceNotifications failed.\n"));
  EXPECT_FALSE(d.IsTracking());
  d.Close();
}

// ---- a peer that answers garbage ---------------------------------------------------

// Listens on a Unix socket and answers every connection with fixed bytes.
class GarbagePeer {
 public:
  explicit GarbagePeer(std::string reply) : mReply(std::move(reply)), mPath(mDir.File("garbage.sock")) {
    mListen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, mPath.c_str(), sizeof addr.sun_path - 1);
    mOk =
        mListen >= 0 && bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(mListen, 8) == 0;
    if (mOk) mThread = std::thread([this] { Serve(); });
  }
  ~GarbagePeer() {
    mStop = true;
    shutdown(mListen, SHUT_RDWR);
    close(mListen);
    if (mThread.joinable()) mThread.join();
  }
  bool Ok() const { return mOk; }
  const std::string& Path() const { return mPath; }

 private:
  void Serve() {
    while (!mStop) {
      const int c = accept(mListen, nullptr, nullptr);
      if (c < 0) return;
      char buf[256];
      (void)!read(c, buf, sizeof buf);  // whatever the client says first
      (void)!write(c, mReply.data(), mReply.size());
      std::this_thread::sleep_for(20ms);
      close(c);
    }
  }
  testsupport::TempDir mDir;
  std::string mReply;
  std::string mPath;
  int mListen = -1;
  bool mOk = false;
  std::atomic<bool> mStop{false};
  std::thread mThread;
};

TEST(Garbage, EnumerationAndOpenFailWithCodesAndNeverHang) {
  const std::vector<std::string> replies = {
      std::string(64, '\xFF'),                                      // a length far beyond any frame
      std::string("\x04\x00\x00\x00\x65\x00\x00\x00\x01\x02", 10),  // HelloReply with a short payload
      std::string("garbage"),                                       // less than a header, then end of stream
      std::string(),                                                // nothing at all
  };
  for (const std::string& reply : replies) {
    GarbagePeer peer(reply);
    ASSERT_TRUE(peer.Ok());
    setenv("VLMU_DRIVER_SOCKET", peer.Path().c_str(), 1);
    const auto start = Clock::now();
    VlmuDeviceSet set;
    const uint32_t st = set.Enumerate(VLMUFWDL_INTERFACE_GUID_STR);
    EXPECT_NE(st, 0u) << "garbage is no list of devices";
    EXPECT_EQ(set.DeviceCount(), 0u);
    Device d;
    platform::Guid guid;
    ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText(VLMUFWDL_INTERFACE_GUID_STR, guid));
    EXPECT_NE(d.Open(0, nullptr, &guid), 0u);
    EXPECT_FALSE(d.IsOpen());
    EXPECT_LT(Clock::now() - start, 25s);
    unsetenv("VLMU_DRIVER_SOCKET");
  }
}

}  // namespace
