// The driver service seen through the client connection: enumeration, open,
// I/O control layouts and errors, notifications, robustness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"
#include "platform/posix/DriverWire.h"
#include "support/BuildPaths.h"

namespace drvtest {
namespace {

using ::testing::ElementsAre;
using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

class DriverServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }

  std::vector<std::string> List(const platform::Guid& g = VendorClass()) {
    std::unique_ptr<platform::DriverConnection> c;
    EXPECT_EQ(platform::DriverConnection::Connect(c), 0u);
    std::vector<std::string> paths;
    if (c) {
      EXPECT_EQ(c->ListInterfaces(g, paths), 0u);
    }
    return paths;
  }

  DriverServiceFixture driver;
};

// Collects notifications delivered on a connection's reader thread.
class NotifyLog {
 public:
  void Add(const platform::DriverNotification& n) {
    std::lock_guard<std::mutex> lock(mMutex);
    mEvents.push_back(n);
    mCv.notify_all();
  }
  bool WaitFor(size_t count, int ms = 5000) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return mEvents.size() >= count; });
  }
  std::vector<platform::DriverNotification> Events() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mEvents;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mCv;
  std::vector<platform::DriverNotification> mEvents;
};

TEST_F(DriverServiceTest, InterfacesAreListedInTheOrderDevicesWereAdded) {
  const DeviceDescription b = DeviceDescription().Id("b").Serial("SN0002");
  const DeviceDescription a = DeviceDescription().Id("a").Serial("SN0001");
  ASSERT_EQ(driver.AddDevice(b), "b") << driver.LastError();
  ASSERT_EQ(driver.AddDevice(a), "a") << driver.LastError();
  // A device of another interface class is not listed for the vendor class.
  auto other = nlohmann::json::parse(DeviceDescription().Id("o").Serial("SN0003").ToJson());
  other["interfaceClass"] = "{00000000-1111-2222-3333-444444444444}";
  ASSERT_EQ(driver.AddDevice(other.dump()), "o") << driver.LastError();

  EXPECT_THAT(List(), ElementsAre(b.Path(), a.Path()));
  EXPECT_EQ(b.Path(), "\\\\?\\usb#vid_1234&pid_5678#SN0002#{49f4a1ff-55dd-4d45-9743-7b623eff0361}");

  ASSERT_TRUE(driver.Unplug("b"));
  EXPECT_THAT(List(), ElementsAre(a.Path()));
  ASSERT_TRUE(driver.Plug("b"));
  EXPECT_THAT(List(), ElementsAre(b.Path(), a.Path())) << "order of addition, not of arrival";
  ASSERT_TRUE(driver.Remove("b"));
  EXPECT_THAT(List(), ElementsAre(a.Path()));
  EXPECT_THAT(List(platform::Guid{0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}}).size(),
              1u);
}

TEST_F(DriverServiceTest, DeviceAddedUnpluggedIsNotListedUntilPlugged) {
  ASSERT_EQ(driver.AddDevice(DeviceDescription().Unplugged()), "dev1");
  EXPECT_TRUE(List().empty());
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "unplugged");
  ASSERT_TRUE(driver.Plug("dev1"));
  EXPECT_EQ(List().size(), 1u);
}

TEST_F(DriverServiceTest, OpenFindsPathsIgnoringCaseAndReportsMissingOnes) {
  const DeviceDescription spec;
  ASSERT_FALSE(driver.AddDevice(spec).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  EXPECT_EQ(d.Conn().Close(), kErrorInvalidHandle);
  EXPECT_EQ(d.Descriptor(1, 0, 18).error, kErrorInvalidHandle) << "request without an open interface";
  EXPECT_EQ(d.Open("\\\\?\\usb#vid_1234&pid_5678#SN9999#{49f4a1ff-55dd-4d45-9743-7b623eff0361}"), kErrorFileNotFound);
  EXPECT_EQ(d.Open(""), kErrorFileNotFound);
  std::string upper = spec.Path();
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(d.Open(upper), 0u);
  EXPECT_EQ(d.Open(spec.Path()), kErrorInvalidParameter) << "one open interface per connection";
  EXPECT_EQ(d.Conn().Close(), 0u);
  EXPECT_EQ(d.Conn().Close(), kErrorInvalidHandle);
  // An unplugged device cannot be opened.
  ASSERT_TRUE(driver.Unplug("dev1"));
  EXPECT_EQ(d.Open(spec.Path()), kErrorFileNotFound);
}

TEST_F(DriverServiceTest, DescriptorRequestsReturnTheDescriptionsBytesBoundedByTheOutputSize) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);

  const std::string device("\x12\x01\x00\x02\xEF\x02\x01\x40\x34\x12\x78\x56\x00\x01\x01\x02\x03\x01", 18);
  Reply r = d.Descriptor(1, 0, 18);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.data, device);
  r = d.Descriptor(1, 0, 64);
  EXPECT_EQ(r.data, device) << "byte count is the descriptor's length";
  r = d.Descriptor(1, 0, 8);
  EXPECT_EQ(r.data, device.substr(0, 8)) << "at most outSize bytes";

  r = d.Descriptor(2, 0, 9);
  ASSERT_EQ(r.error, 0u);
  ASSERT_EQ(r.data.size(), 9u);
  const uint16_t total =
      static_cast<uint16_t>(static_cast<uint8_t>(r.data[2]) | (static_cast<uint8_t>(r.data[3]) << 8));
  EXPECT_EQ(total, 9 + 3 * 9 + 9 + 9);  // three audio interfaces, the DFU interface, its functional descriptor
  r = d.Descriptor(2, 0, 65535);
  ASSERT_EQ(r.data.size(), total);
  const std::string dfuPart = r.data.substr(total - 18);
  EXPECT_EQ(dfuPart, std::string("\x09\x04\x03\x00\x00\xFE\x01\x01\x04"
                                 "\x09\x21\x05\xE8\x03\x00\x10\x10\x01",
                                 18));
  // The DFU interface has a name, as real devices give it.
  r = d.Descriptor(3, 4, 255, 0x0409);
  EXPECT_EQ(r.data, std::string("\x18\x03V\0e\0l\0m\0o\0r\0a\0 \0D\0F\0U\0", 24));

  r = d.Descriptor(3, 0, 255);
  EXPECT_EQ(r.data, std::string("\x04\x03\x09\x04", 4)) << "language table";
  r = d.Descriptor(3, 3, 255, 0x0409);
  EXPECT_EQ(r.data, std::string("\x0E\x03S\0N\0"
                                "0\0"
                                "0\0"
                                "0\0"
                                "1\0",
                                14));

  struct Case {
    const char* what;
    std::string in;
    uint32_t code;
    uint32_t expected;
  } cases[] = {
      {"configuration index beyond the device's", DescriptorRequest(2, 1), kIoctlGetDescriptor, kErrorGenFailure},
      {"string index without a string", DescriptorRequest(3, 9), kIoctlGetDescriptor, kErrorGenFailure},
      {"unknown descriptor type", DescriptorRequest(7, 0), kIoctlGetDescriptor, kErrorGenFailure},
      {"descriptor request of 7 bytes", DescriptorRequest(1, 0).substr(0, 7), kIoctlGetDescriptor,
       kErrorInvalidParameter},
      {"descriptor request of 9 bytes", DescriptorRequest(1, 0) + "x", kIoctlGetDescriptor, kErrorInvalidParameter},
      {"unknown control code", DescriptorRequest(1, 0), 0x80892008, kErrorInvalidFunction},
      {"control request shorter than its header", std::string(15, '\0'), kIoctlControlRequest, kErrorInvalidParameter},
      {"host-to-device data shorter than wLength", ControlRequest(0, 1, 1, 1, 0, 0, 4, "ab"), kIoctlControlRequest,
       kErrorInvalidParameter},
      {"device-to-host request with data", ControlRequest(1, 1, 1, 3, 0, 3, 6, "ab"), kIoctlControlRequest,
       kErrorInvalidParameter},
      {"direction 2", ControlRequest(2, 1, 1, 3, 0, 3, 6), kIoctlControlRequest, kErrorInvalidParameter},
      {"cycle port with input", "x", kIoctlCyclePort, kErrorInvalidParameter},
  };
  for (const auto& c : cases) {
    r = d.Io(c.code, c.in, 64);
    EXPECT_EQ(r.error, c.expected) << c.what;
    EXPECT_TRUE(r.data.empty()) << c.what;
  }
  // Still present after all of that.
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "present");
}

TEST_F(DriverServiceTest, OutputIsZeroFilledBeyondTheBytesReturned) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  std::string buf(40, '\x7F');
  uint32_t got = 0;
  const std::string req = DescriptorRequest(1, 0);
  ASSERT_EQ(d.Conn().IoControl(kIoctlGetDescriptor, req.data(), 8, buf.data(), 40, &got), 0u);
  EXPECT_EQ(got, 18u);
  EXPECT_EQ(buf.substr(18), std::string(22, '\0'));
  // A failed request leaves zeros only.
  const std::string bad = DescriptorRequest(3, 42);
  ASSERT_EQ(d.Conn().IoControl(kIoctlGetDescriptor, bad.data(), 8, buf.data(), 40, &got), kErrorGenFailure);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buf, std::string(40, '\0'));
}

TEST_F(DriverServiceTest, MalformedDescriptorsAreServedByteForByte) {
  auto j = nlohmann::json::parse(DeviceDescription().ToJson());
  // A configuration that claims 100 bytes but has 12, a serial number string
  // of only its header, a language table of only its header.
  j["runtime"]["configurations"] = nlohmann::json::array({{{"raw", "09 02 64 00 01 01 00 80 fa 05 04 00"}}});
  j["runtime"]["rawStrings"] = {{"0", {2, 3}}, {"3", {2, 3}}};
  j["runtime"]["deviceRaw"] = "12 01 00 02 00 00 00 40 34 12 78 56 00 01 01 02 03";  // 17 bytes
  ASSERT_FALSE(driver.AddDevice(j.dump()).empty()) << driver.LastError();
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  EXPECT_EQ(d.Descriptor(1, 0, 18).data.size(), 17u);
  EXPECT_EQ(d.Descriptor(2, 0, 100).data, std::string("\x09\x02\x64\x00\x01\x01\x00\x80\xFA\x05\x04\x00", 12));
  EXPECT_EQ(d.Descriptor(3, 0, 255).data, std::string("\x02\x03", 2));
  EXPECT_EQ(d.Descriptor(3, 3, 255).data, std::string("\x02\x03", 2));
}

TEST_F(DriverServiceTest, TraceRecordsDecodedRequestFields) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  driver.ClearTrace();
  ASSERT_EQ(d.Descriptor(3, 3, 255, 0x0409).error, 0u);
  ASSERT_EQ(d.GetStatus(3).error, 0u);
  ASSERT_EQ(d.Io(kIoctlControlRequest, ControlRequest(0, 2, 1, 0x83, 0x1234, 3, 4, "ABCD"), 0).error, kErrorGenFailure);
  std::string block(100, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i);
  ASSERT_EQ(d.Io(kIoctlControlRequest, ControlRequest(0, 2, 1, 0x83, 0, 3, 100, block), 0).error, kErrorGenFailure);
  const auto trace = driver.ReadIoTrace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0].code, kIoctlGetDescriptor);
  EXPECT_TRUE(trace[0].hasDescriptor);
  EXPECT_EQ(trace[0].descriptorType, 3);
  EXPECT_EQ(trace[0].descriptorIndex, 3);
  EXPECT_EQ(trace[0].languageId, 0x0409);
  EXPECT_EQ(trace[0].bytesReturned, 14u);
  EXPECT_EQ(trace[0].path, DeviceDescription().Path());
  EXPECT_EQ(trace[1].code, kIoctlControlRequest);
  EXPECT_EQ(trace[1].direction, 1);
  EXPECT_EQ(trace[1].type, 1u);
  EXPECT_EQ(trace[1].recipient, 1u);
  EXPECT_EQ(trace[1].bRequest, 3);
  EXPECT_EQ(trace[1].wIndex, 3);
  EXPECT_EQ(trace[1].wLength, 6);
  EXPECT_EQ(trace[1].outSize, 6u);
  EXPECT_EQ(trace[1].outHex, "000000000000");
  EXPECT_EQ(trace[2].wValue, 0x1234);
  EXPECT_EQ(trace[2].dataLength, 4u);
  EXPECT_EQ(trace[2].dataHex, "41424344");
  EXPECT_EQ(trace[2].inLength, 20u);
  EXPECT_EQ(trace[2].result, kErrorGenFailure) << "serial number write is refused in run-time mode";
  EXPECT_EQ(trace[3].dataLength, 100u);
  EXPECT_EQ(trace[3].inLength, 116u);
  std::string first64;
  for (int i = 0; i < 64; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", i);
    first64 += hex;
  }
  EXPECT_EQ(trace[3].dataHex, first64) << "the first 64 data bytes";

  std::string reply;
  ASSERT_EQ(driver.Control(R"({"cmd":"trace","on":false})", reply), 0u);
  ASSERT_EQ(d.GetStatus(3).error, 0u);
  EXPECT_EQ(driver.ReadIoTrace().size(), 4u) << "nothing traced while tracing is off";
}

TEST_F(DriverServiceTest, PortCycleRemovesTheDeviceAndOldHandlesStayDead) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Reenumeration(100)).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  ASSERT_EQ(d.CyclePort(), 0u);
  EXPECT_EQ(d.Descriptor(1, 0, 18).error, kErrorDeviceNotConnected);
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "off-bus");
  Device other;
  ASSERT_EQ(other.Connect(), 0u);
  EXPECT_EQ(other.Open(DeviceDescription().Path()), kErrorFileNotFound) << "off the bus during re-enumeration";
  ASSERT_TRUE(driver.WaitForState("dev1", "present"));
  EXPECT_EQ(d.Descriptor(1, 0, 18).error, kErrorDeviceNotConnected) << "handle of the earlier appearance";
  EXPECT_EQ(other.Open(DeviceDescription().Path()), 0u);
  EXPECT_EQ(other.Descriptor(1, 0, 18).data.size(), 18u);
  // Reopening on the old connection works after closing the dead handle.
  EXPECT_EQ(d.Conn().Close(), 0u);
  EXPECT_EQ(d.Open(DeviceDescription().Path()), 0u);
  EXPECT_EQ(d.Descriptor(1, 0, 18).error, 0u);
}

TEST_F(DriverServiceTest, NotificationsReachEverySubscriberOfTheClass) {
  const DeviceDescription spec = DeviceDescription().Reenumeration(20);
  ASSERT_FALSE(driver.AddDevice(spec).empty());
  NotifyLog logs[3];
  std::unique_ptr<platform::DriverConnection> subs[3];
  const platform::Guid otherClass{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(platform::DriverConnection::Connect(subs[i]), 0u);
    NotifyLog* log = &logs[i];
    ASSERT_EQ(subs[i]->Subscribe(i == 2 ? otherClass : VendorClass(),
                                 [log](const platform::DriverNotification& n) { log->Add(n); }),
              0u);
  }
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(spec.Path()), 0u);
  ASSERT_EQ(d.CyclePort(), 0u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(logs[i].WaitFor(2)) << "subscriber " << i;
    const auto ev = logs[i].Events();
    EXPECT_EQ(ev[0].event, kDbtDeviceRemoveComplete);
    EXPECT_EQ(ev[1].event, kDbtDeviceArrival);
    EXPECT_EQ(ev[0].path, spec.Path());
    EXPECT_EQ(ev[1].path, spec.Path());
    EXPECT_TRUE(ev[0].interfaceClass == VendorClass());
  }
  // Requests still work on a subscribed connection (its reader thread routes replies).
  std::vector<std::string> paths;
  EXPECT_EQ(subs[0]->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_EQ(paths.size(), 1u);
  ASSERT_EQ(subs[1]->Unsubscribe(VendorClass()), 0u);
  ASSERT_TRUE(driver.Unplug("dev1"));
  ASSERT_TRUE(logs[0].WaitFor(3));
  EXPECT_EQ(logs[0].Events()[2].event, kDbtDeviceRemoveComplete);
  // A round trip on each connection orders after any notification sent before it.
  EXPECT_EQ(subs[1]->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_EQ(subs[2]->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_EQ(logs[1].Events().size(), 2u) << "no notification after Unsubscribe";
  EXPECT_TRUE(logs[2].Events().empty()) << "other interface class";
}

TEST_F(DriverServiceTest, UnplugDuringARequestAnswersDeviceNotConnected) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("faults", R"([{"bRequest":3,"action":"hang"}])")).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  std::atomic<uint32_t> result{0xFFFFFFFF};
  std::thread t([&] { result = d.GetStatus(3).error; });
  // The request is in the service when the device's request counter moved.
  for (int i = 0; i < 500 && driver.DeviceField("dev1", "requests") != "1"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(result.load(), 0xFFFFFFFFu) << "the hung request must not have been answered yet";
  ASSERT_TRUE(driver.Unplug("dev1"));
  t.join();
  EXPECT_EQ(result.load(), kErrorDeviceNotConnected);
}

TEST_F(DriverServiceTest, FaultThatUnplugsTheDeviceFailsTheRequestAndAnnouncesRemoval) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("faults", R"([{"request":2,"action":"unplug"}])")).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  EXPECT_EQ(d.GetStatus(3).error, 0u);
  EXPECT_EQ(d.GetStatus(3).error, kErrorDeviceNotConnected);
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "unplugged");
  std::vector<std::string> ops;
  for (const auto& e : driver.ReadTrace())
    if (e.op != "control") ops.push_back(e.op + (e.op == "ioctl" ? ":" + std::to_string(e.result) : ""));
  // The request in flight fails first, then the removal is complete and announced.
  EXPECT_THAT(ops, ::testing::ElementsAre("arrival", "open", "ioctl:0", "ioctl:1167", "removal"));
}

TEST_F(DriverServiceTest, SeveralClientsUseOneDeviceAtOnce) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  constexpr int kThreads = 4, kRequests = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      Device d;
      if (d.Connect() != 0 || d.Open(DeviceDescription().Path()) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kRequests; ++i) {
        const Reply r = d.GetStatus(3);
        if (r.error != 0 || r.data.size() != 6 || StateOf(r) != 0) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(driver.DeviceField("dev1", "requests"), std::to_string(kThreads * kRequests));
}

TEST_F(DriverServiceTest, ControlCommandsReportErrors) {
  struct Case {
    const char* command;
    uint32_t expected;
    const char* fragment;
  } cases[] = {
      {"not json", kErrorInvalidParameter, "not a JSON object"},
      {R"({"nocmd":1})", kErrorInvalidFunction, "missing"},
      {R"({"cmd":"frobnicate"})", kErrorInvalidFunction, "frobnicate"},
      {R"({"cmd":"plug"})", kErrorInvalidParameter, "id"},
      {R"({"cmd":"plug","id":"nope"})", kErrorFileNotFound, "nope"},
      {R"({"cmd":"remove-device","id":"nope"})", kErrorFileNotFound, "nope"},
      {R"({"cmd":"add-device","description":[]})", kErrorInvalidParameter, "object"},
      {R"({"cmd":"add-device","description":{"vendorId":70000}})", kErrorInvalidParameter, "vendorId"},
      {R"({"cmd":"add-device","description":{"behaviour":{"busyPols":1}}})", kErrorInvalidParameter, "busyPols"},
      {R"({"cmd":"add-device","description":{"behaviour":{"finalReset":"x"}}})", kErrorInvalidParameter, "finalReset"},
      // One row per kind of knob reader: a count and its limit, a flag, a choice, values by DFU state.
      {R"({"cmd":"add-device","description":{"behaviour":{"syncPolls":1000001}}})", kErrorInvalidParameter,
       "syncPolls is out of range: 1000001"},
      // A number text is decimal or "0x" hex; a leading zero is no octal mark.
      {R"({"cmd":"add-device","description":{"behaviour":{"syncPolls":"01000001"}}})", kErrorInvalidParameter,
       "syncPolls is out of range: 1000001"},
      {R"({"cmd":"add-device","description":{"behaviour":{"dfuOnly":1}}})", kErrorInvalidParameter,
       "dfuOnly must be true or false"},
      {R"({"cmd":"add-device","description":{"behaviour":{"runtimeStatus":"x"}}})", kErrorInvalidParameter,
       "runtimeStatus must be answer or stall"},
      {R"({"cmd":"add-device","description":{"behaviour":{"pollTimeout":{"dfuIdle":1}}}})", kErrorInvalidParameter,
       "pollTimeout: unknown DFU state dfuIdle"},
      {R"({"cmd":"add-device","description":{"runtime":{"deviceRaw":"1g"}}})", kErrorInvalidParameter, "deviceRaw"},
      {R"({"cmd":"trace","on":true,"file":"/nonexistent-dir/x"})", kErrorInvalidParameter, "trace file"},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(driver.Control(c.command, reply), c.expected) << c.command;
    EXPECT_THAT(reply, ::testing::HasSubstr(c.fragment)) << c.command;
  }
  ASSERT_EQ(driver.AddDevice(DeviceDescription()), "dev1");
  EXPECT_EQ(driver.AddDevice(DeviceDescription()), "");
  EXPECT_THAT(driver.LastError(), ::testing::HasSubstr("exists already"));
  std::string reply;
  EXPECT_EQ(driver.Control(R"({"cmd":"add-device","description":{"serialNumber":"X1"}})", reply), 0u);
  EXPECT_THAT(reply, ::testing::HasSubstr(R"("id":"dev)"));
}

TEST_F(DriverServiceTest, ClientOfAnotherProtocolVersionIsRefused) {
  std::unique_ptr<platform::DriverConnection> c;
  std::string message;
  EXPECT_EQ(platform::DriverConnection::ConnectTo(driver.SocketPath(), c, "old-client", 2000, &message, 2),
            kErrorRevisionMismatch);
  EXPECT_EQ(c, nullptr);
  EXPECT_THAT(message, ::testing::HasSubstr("protocol version 2 is not supported"));
  EXPECT_THAT(message, ::testing::HasSubstr("version 1"));
  EXPECT_EQ(platform::DriverConnection::ConnectTo(driver.SocketPath(), c, "client", 2000), 0u);
  EXPECT_EQ(c->ServiceName(), "velmora-driverd");
}

TEST_F(DriverServiceTest, GarbageFromAClientClosesThatConnectionOnly) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  Device good;
  ASSERT_EQ(good.Connect(), 0u);
  ASSERT_EQ(good.Open(DeviceDescription().Path()), 0u);

  const std::string garbage[] = {
      std::string("\xFF\xFF\xFF\xFF\x04\x00\x00\x00", 8),  // length beyond the limit
      std::string("\x00\x00\x00\x00\x63\x00\x00\x00", 8),  // unknown message type
      std::string("\x04\x00\x00\x00\x04\x00\x01\x00"
                  "abcd",
                  12),  // reserved field set
      std::string("\x02\x00\x00\x00\x04\x00\x00\x00"
                  "ab",
                  10),                                                          // IoControl payload too short
      std::string("\x05\x00\x00\x00\x03\x00\x00\x00\xFF\xFF\xFF\xFF\x00", 13),  // Open with a string overrunning
      std::string(4096, '\xA5'),
  };
  for (const auto& g : garbage) {
    std::unique_ptr<platform::DriverConnection> bad;
    ASSERT_EQ(platform::DriverConnection::Connect(bad), 0u);
    ASSERT_EQ(bad->SendRaw(g), 0u);
    std::vector<std::string> paths;
    const uint32_t err = bad->ListInterfaces(VendorClass(), paths);
    EXPECT_NE(err, 0u) << "the service answers garbage with an error and closes";
    EXPECT_TRUE(bad->IsBroken());
    EXPECT_EQ(bad->ListInterfaces(VendorClass(), paths), kErrorDeviceNotConnected);
  }
  // Garbage before HELLO: a raw socket that never says hello.
  {
    std::unique_ptr<platform::DriverConnection> c;
    ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
  }
  EXPECT_TRUE(driver.Running());
  EXPECT_EQ(good.Descriptor(1, 0, 18).data.size(), 18u);
  EXPECT_EQ(List().size(), 1u);
}

struct RawFrame {
  uint16_t type = 0;
  std::string payload;
};

std::vector<RawFrame> SplitFrames(std::string bytes) {
  std::vector<RawFrame> frames;
  while (bytes.size() >= kFrameHeaderSize) {
    const FrameHeader h = DecodeHeader(bytes.data());
    if (bytes.size() - kFrameHeaderSize < h.length) break;
    frames.push_back({h.type, bytes.substr(kFrameHeaderSize, h.length)});
    bytes.erase(0, kFrameHeaderSize + h.length);
  }
  EXPECT_TRUE(bytes.empty()) << "a partial frame at the end";
  return frames;
}

TEST_F(DriverServiceTest, RequestsSentTogetherAreAnsweredInOrderBeforeTheConnectionCloses) {
  // The status request waits 50 ms in the device: the requests behind it
  // stay buffered meanwhile and are served once it is answered.
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("faults", R"([{"bRequest":3,"action":"delay","delayMs":50}])"))
                   .empty());
  RawClient raw(driver.SocketPath());
  ASSERT_TRUE(raw.Connected());
  const std::string getStatus = ControlRequest(1, 1, 1, 3, 0, 3, 6);
  const std::string requests =
      FrameWriter(MessageType::Hello).U32(kMagic).U32(kProtocolVersion).String("raw").Finish() +
      FrameWriter(MessageType::Open).String(DeviceDescription().Path()).Finish() +
      FrameWriter(MessageType::IoControl)
          .U32(kIoctlControlRequest)
          .U32(6)
          .U32(16)
          .Bytes(getStatus.data(), 16)
          .Finish() +
      FrameWriter(MessageType::IoControl)
          .U32(kIoctlGetDescriptor)
          .U32(18)
          .U32(8)
          .Bytes(DescriptorRequest(1, 0).data(), 8)
          .Finish() +
      FrameWriter(MessageType::Close).Finish();
  ASSERT_TRUE(raw.Send(requests));
  raw.EndSending();  // what was sent before the end of the stream is still answered
  const auto frames = SplitFrames(raw.ReadToEnd());
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].type, static_cast<uint16_t>(MessageType::HelloReply));
  EXPECT_EQ(frames[1].type, static_cast<uint16_t>(MessageType::Status));
  EXPECT_EQ(frames[1].payload, std::string(4, '\0'));
  EXPECT_EQ(frames[2].type, static_cast<uint16_t>(MessageType::IoControlReply));
  ASSERT_EQ(frames[2].payload.size(), 8u + 6u);
  EXPECT_EQ(frames[2].payload.substr(0, 8), std::string("\0\0\0\0\x06\0\0\0", 8));
  EXPECT_EQ(frames[3].type, static_cast<uint16_t>(MessageType::IoControlReply));
  ASSERT_EQ(frames[3].payload.size(), 8u + 18u);
  EXPECT_EQ(frames[3].payload.substr(8, 2), std::string("\x12\x01", 2)) << "a device descriptor";
  EXPECT_EQ(frames[4].type, static_cast<uint16_t>(MessageType::Status));
  EXPECT_EQ(frames[4].payload, std::string(4, '\0'));
  EXPECT_TRUE(driver.Running());
}

TEST_F(DriverServiceTest, HungRequestTimesOutAndBreaksTheConnection) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription().Knob("faults", R"([{"request":1,"action":"hang"}])")).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  d.Conn().SetRequestTimeout(200);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(d.GetStatus(3).error, kErrorSemTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(d.Conn().IsBroken());
  EXPECT_EQ(d.GetStatus(3).error, kErrorDeviceNotConnected);
  // A delayed request is answered normally once its delay has passed.
  ASSERT_TRUE(driver.SetBehaviour("dev1", R"({"faults":[{"bRequest":3,"action":"delay","delayMs":50}]})"));
  Device e;
  ASSERT_EQ(e.Connect(), 0u);
  ASSERT_EQ(e.Open(DeviceDescription().Path()), 0u);
  const Reply r = e.GetStatus(3);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.data.size(), 6u);
}

TEST_F(DriverServiceTest, ClientsSeeAnErrorWhenTheServiceDies) {
  ASSERT_FALSE(driver.AddDevice(DeviceDescription()).empty());
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  driver.Kill();
  EXPECT_EQ(d.GetStatus(3).error, kErrorDeviceNotConnected);
  std::unique_ptr<platform::DriverConnection> c;
  EXPECT_EQ(platform::DriverConnection::Connect(c), kErrorServiceNotActive);
}

TEST_F(DriverServiceTest, ShutdownCommandAndSigtermEndTheServiceAndRemoveTheSocket) {
  std::string reply;
  ASSERT_EQ(driver.Control(R"({"cmd":"shutdown"})", reply), 0u);
  for (int i = 0; i < 500 && driver.Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(driver.Running());
  ASSERT_TRUE(driver.ExitStatus().has_value());
  EXPECT_TRUE(WIFEXITED(*driver.ExitStatus()) && WEXITSTATUS(*driver.ExitStatus()) == 0);
  struct stat st {};
  EXPECT_NE(::stat(driver.SocketPath().c_str(), &st), 0) << "socket file removed";

  ASSERT_TRUE(driver.Start()) << driver.LastError();
  EXPECT_TRUE(driver.Stop(5000)) << "SIGTERM ends the service";
  ASSERT_TRUE(driver.ExitStatus().has_value());
  EXPECT_TRUE(WIFEXITED(*driver.ExitStatus()) && WEXITSTATUS(*driver.ExitStatus()) == 0);
  EXPECT_NE(::stat(driver.SocketPath().c_str(), &st), 0);
}

TEST(DriverServiceStartTest, SecondServiceOnTheSameSocketRefusesToStart) {
  DriverServiceFixture first;
  ASSERT_TRUE(first.Start()) << first.LastError();
  DriverServiceFixture second;
  const std::string args[] = {"--socket", first.SocketPath()};
  // The fixture passes its own --socket first; the later one wins.
  EXPECT_FALSE(second.Start({args[0], args[1]}));
  EXPECT_THAT(second.LastError(), ::testing::HasSubstr("already listening"));
  EXPECT_TRUE(first.Running());
}

TEST(DriverServiceStartTest, DevicesFromFilesAreAddedInOrder) {
  DriverServiceFixture driver;
  const std::string f1 = driver.TempFile("b.json"), f2 = driver.TempFile("a.json");
  testsupport::WriteFile(f1, DeviceDescription().Id("first").Serial("S1").ToJson());
  testsupport::WriteFile(f2, DeviceDescription().Id("second").Serial("S2").ToJson());
  ASSERT_TRUE(driver.Start({"--device", f1, "--device", f2})) << driver.LastError();
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
  std::vector<std::string> paths;
  ASSERT_EQ(c->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_THAT(paths, ElementsAre(DeviceDescription().Serial("S1").Path(), DeviceDescription().Serial("S2").Path()));
}

TEST(DriverServiceStartTest, ExampleDescriptionLoadsAndBadFilesStopTheStart) {
  DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start({"--devices", testsupport::SourceDir() + "/driver/devices"})) << driver.LastError();
  EXPECT_EQ(driver.DeviceField("example", "state"), "present");
  DriverServiceFixture broken;
  const std::string bad = broken.TempFile("bad.json");
  testsupport::WriteFile(bad, "{ not json");
  EXPECT_FALSE(broken.Start({"--device", bad}));
  EXPECT_THAT(broken.LastError(), ::testing::HasSubstr("not valid JSON at line 1, column 4"));
  // A folder that does not exist is no fault: no simulated devices.
  DriverServiceFixture none;
  ASSERT_TRUE(none.Start({"--devices", none.TempFile("missing")})) << none.LastError();
  EXPECT_THAT(testsupport::ReadFile(none.LogPath()), ::testing::HasSubstr("no simulated devices: the folder"));
}

}  // namespace
}  // namespace drvtest
