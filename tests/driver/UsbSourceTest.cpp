// The service's USB device source against devices on a umockdev testbed
// (UsbTestbed): the real velmora-driverd runs under the testbed with --usb,
// and libusb in it reaches simulated devices through usbdevfs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../dfu/E2eSupport.h"
#include "DriverTestUtil.h"
#include "UsbTestbed.h"
#include "support/BuildPaths.h"
#include "support/DriverServiceFixture.h"
#include "support/RunShell.h"

namespace {

using namespace drvtest;
using testsupport::DeviceDescription;
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
    // The service ends cleanly on SIGTERM (its transfer threads joined,
    // libusb closed; under the address sanitizer also without leaks).
    if (driver && driver->Running()) {
      EXPECT_TRUE(driver->Stop());
      ASSERT_TRUE(driver->ExitStatus().has_value());
      EXPECT_TRUE(WIFEXITED(*driver->ExitStatus()) && WEXITSTATUS(*driver->ExitStatus()) == 0)
          << testsupport::ReadFile(driver->LogPath());
    }
    driver.reset();
    bed.reset();
  }
  std::string Add(const DeviceDescription& spec, int port) {
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
  // Waits until the service lists exactly `paths` (in any order: the order
  // of arrival on the bus).
  bool WaitForList(std::vector<std::string> paths, uint32_t timeoutMs = 10000) {
    std::sort(paths.begin(), paths.end());
    std::unique_ptr<platform::DriverConnection> conn;
    if (platform::DriverConnection::Connect(conn, "usb-list") != 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> got;
    do {
      got.clear();
      if (conn->ListInterfaces(VendorClass(), got) == 0) std::sort(got.begin(), got.end());
      if (got == paths) return true;
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

using ToolRun = testsupport::ShellResult;

ToolRun RunFlasher(const std::string& args) { return testsupport::RunShell(testsupport::FlashBinary() + " " + args); }

// A whole vlmu-flash upgrade of a USB device through the service: a device
// the service resets into DFU mode, and one that detaches itself (WillDetach)
// and comes back with a DFU-mode product id the service was not told about.
// Either way it keeps its path, and the image lands byte for byte.
TEST_F(UsbSource, FlasherUpgradesAUsbDeviceThroughTheService) {
  const DeviceDescription cases[] = {
      DeviceDescription().Id("reset").Serial("USB-0042"),
      DeviceDescription().Id("self").Serial("USB-0043").WillDetach().DfuProductId(0x5679),
  };
  int port = 1;
  for (const DeviceDescription& spec : cases) {
    SCOPED_TRACE(spec.id);
    const std::string id = Add(spec, port++);
    ASSERT_TRUE(StartService({"--usb", "1234:5678"}));
    const std::string path = spec.Path();
    ASSERT_TRUE(WaitForList({path}));

    ToolRun list = RunFlasher("list");
    EXPECT_EQ(0, list.exitCode) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("0      4660 / 22136       " + spec.serialNumber)) << list.output;

    const std::string image = dfue2e::MakeImage(30000, 7);
    const std::string file = driver->TempFile("fw.vld");
    testsupport::WriteFile(file, image);
    ToolRun up = RunFlasher("--timeout-replug 10000 upgrade --serial " + spec.serialNumber + " " + file);
    EXPECT_EQ(0, up.exitCode) << up.output << testsupport::ReadFile(driver->LogPath());
    EXPECT_NE(std::string::npos, up.output.find("Download successfully finished")) << up.output;
    std::string stored;
    ASSERT_TRUE(bed->GetFirmware(id, stored));
    EXPECT_TRUE(stored == image) << "stored " << stored.size() << " bytes, sent " << image.size();
    // Detach cycle, then the reset after the manifestation: two re-enumerations.
    EXPECT_EQ(3, bed->Appearances(id));
    // The service still lists the device, at its path, after it came back.
    EXPECT_TRUE(WaitForList({path}));
    ASSERT_TRUE(driver->Stop());
    nlohmann::json unplugged;
    ASSERT_EQ(0u, bed->Control({{"cmd", "unplug"}, {"id", id}}, unplugged));
  }
}

// A production line: two interfaces upgraded at the same time by two
// vlmu-flash processes, one per device.
TEST_F(UsbSource, TwoDevicesUpgradedInParallel) {
  const DeviceDescription one = DeviceDescription().Id("one").Serial("LINE-1");
  const DeviceDescription two = DeviceDescription().Id("two").Serial("LINE-2");
  Add(one, 8);
  Add(two, 9);
  ASSERT_TRUE(StartService({"--usb", "1234:5678"}));
  ASSERT_TRUE(WaitForList({one.Path(), two.Path()}));
  // A device that re-enumerates is off the list for a moment, and the
  // indices behind it shift: the flasher of the second device starts first
  // and the other one only after it has chosen its device (its first open),
  // so that each finds its device at the index it was given.
  std::vector<std::string> order;
  {
    std::unique_ptr<platform::DriverConnection> conn;
    ASSERT_EQ(0u, platform::DriverConnection::Connect(conn, "usb-list"));
    ASSERT_EQ(0u, conn->ListInterfaces(VendorClass(), order));
    ASSERT_EQ(2u, order.size());
  }
  std::string images[2];
  ToolRun runs[2];
  std::thread flashers[2];
  for (int i = 1; i >= 0; --i) {
    images[i] = dfue2e::MakeImage(20000 + 5000 * static_cast<size_t>(i), 20 + static_cast<uint32_t>(i));
    const std::string file = driver->TempFile("fw" + std::to_string(i) + ".vld");
    testsupport::WriteFile(file, images[i]);
    flashers[i] = std::thread([&runs, i, file] {
      runs[i] = RunFlasher("--timeout-replug 10000 upgrade --device " + std::to_string(i) + " " + file);
    });
    if (i == 1) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      bool opened = false;
      while (!opened && std::chrono::steady_clock::now() < end) {
        for (const auto& e : driver->ReadTrace()) opened = opened || e.op == "open";
        if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      EXPECT_TRUE(opened);
    }
  }
  for (auto& t : flashers) t.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(0, runs[i].exitCode) << runs[i].output;
    const std::string id = order[static_cast<size_t>(i)] == one.Path() ? "one" : "two";
    EXPECT_NE(std::string::npos, runs[i].output.find(id == "one" ? "LINE-1" : "LINE-2")) << runs[i].output;
    std::string stored;
    ASSERT_TRUE(bed->GetFirmware(id, stored));
    EXPECT_TRUE(stored == images[i]) << "device " << id;
  }
}

// USB options the service refuses at start, with the message it gives.
TEST(UsbOptions, MalformedSettingsAreRefused) {
  testsupport::TempDir dir;
  const std::string config = dir.File("usb.json");
  struct Row {
    std::string args;
    std::string configText;
    std::string message;
  };
  const Row rows[] = {
      {"--usb 12345:1", "", "not a VID:PID pair in hex: \"12345:1\""},
      {"--usb 1234:5678,", "", "not a VID:PID pair in hex: \"\""},
      {"--usb 1234-5678", "", "not a VID:PID pair in hex: \"1234-5678\""},
      {"--usb-timeout 0", "", "--usb-timeout needs milliseconds between 1 and 600000"},
      {"--usb-timeout 0x10", "", "--usb-timeout needs milliseconds between 1 and 600000"},
      {"--usb-any-dfu=yes", "", "option --usb-any-dfu takes no value"},
      {"--usb-any-dfu extra", "", "unexpected argument extra"},
      {"--usb", "", "option --usb needs a value"},
      {"--usb-config " + config, R"({"ids": ["1234:5678"], "speed": 1})",
       "unknown or malformed USB configuration field \"speed\""},
      {"--usb-config " + config, R"({"ids": 5})", "\"ids\" must be a text or an array of texts"},
      {"--usb-config " + config, R"({"interfaceClass": "{nope}"})", "\"interfaceClass\" is not a GUID text"},
      {"--usb-config " + config, R"({"controlTimeoutMs": 0})",
       "unknown or malformed USB configuration field \"controlTimeoutMs\""},
      // Comments are allowed; the fault is named by line and column, the file by its path.
      {"--usb-config " + config, "// ids [\"\n{\"ids\": [\"1234:5678\",]}",
       config + ": not valid JSON at line 2, column 22; correct"},
      {"--usb-config " + dir.File("none.json"), "", dir.File("none.json") + ": cannot read: No such file or directory"},
  };
  for (const Row& row : rows) {
    if (!row.configText.empty()) testsupport::WriteFile(config, row.configText);
    const std::string out = dir.File("out.txt");
    const int status = std::system((testsupport::DriverServiceBinary() + " --foreground --socket " +
                                    dir.File("s.sock") + " " + row.args + " >" + out + " 2>&1")
                                       .c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << row.args;
    EXPECT_NE(std::string::npos, testsupport::ReadFile(out).find(row.message)) << testsupport::ReadFile(out);
  }
}

// Which devices the service serves: the id list, the DFU class, nothing else.
TEST_F(UsbSource, ServesTheListedIdsAndOptionallyEveryDfuDevice) {
  const DeviceDescription a = DeviceDescription().Serial("A1");
  const DeviceDescription b = DeviceDescription().Id("b").Ids(0x1234, 0x9999).Serial("B1");
  DeviceDescription c = DeviceDescription().Id("c").Ids(0xabcd, 0x0001).Serial("C1");
  c.runtimeJson =
      R"({"configurations": [{"interfaces": [{"bInterfaceNumber": 0, "bInterfaceClass": 1, "bInterfaceSubClass": 1}]}]})";
  const std::string ida = Add(a, 1), idb = Add(b, 2), idc = Add(c, 3);
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> paths;
  };
  const Row rows[] = {
      {{"--usb", "1234:5678"}, {a.Path()}},
      {{"--usb", "0x1234:0x9999", "--usb", "abcd:0001"}, {b.Path(), c.Path()}},
      {{"--usb-any-dfu"}, {a.Path(), b.Path()}},
      {{"--usb", "1234:0001"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.back());
    const uint64_t before[] = {bed->Ioctls(ida), bed->Ioctls(idb), bed->Ioctls(idc)};
    ASSERT_TRUE(StartService(row.args));
    std::vector<std::string> expected = row.paths;
    // Served in the order they arrived, which the bus decides: compare as sets.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> got;
    std::unique_ptr<platform::DriverConnection> conn;
    ASSERT_EQ(0u, platform::DriverConnection::Connect(conn, "usb-list"));
    std::sort(expected.begin(), expected.end());
    // Nothing to wait for when nothing is served: give the service the time
    // it takes to look at the bus.
    if (expected.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    do {
      got.clear();
      ASSERT_EQ(0u, conn->ListInterfaces(VendorClass(), got));
      std::sort(got.begin(), got.end());
      if (got == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    EXPECT_EQ(expected, got);
    // A device that does not match is never opened.
    const std::string ids[] = {ida, idb, idc};
    for (int i = 0; i < 3; ++i) {
      const bool listed = std::find(expected.begin(), expected.end(),
                                    (i == 0   ? a
                                     : i == 1 ? b
                                              : c)
                                        .Path()) != expected.end();
      if (!listed) {
        EXPECT_EQ(before[i], bed->Ioctls(ids[i])) << ids[i];
      }
    }
    conn.reset();
    EXPECT_TRUE(driver->Stop());
  }
}

// Descriptors, the serial number, a stall, malformed requests (which never
// reach the device), then a detach and port cycle into DFU mode: the device
// leaves and comes back at a new address, the old handle is dead, and the
// DFU requests work on the new one.
TEST_F(UsbSource, RequestsStallsAndCyclePort) {
  const DeviceDescription spec = DeviceDescription().Serial("USB-7");
  const std::string id = Add(spec, 4);
  ASSERT_TRUE(StartService({"--usb", "1234:5678"}));
  ASSERT_TRUE(WaitForList({spec.Path()}));
  Events events;
  ASSERT_EQ(0u, events.Subscribe());
  Device dev;
  ASSERT_EQ(0u, dev.Connect());
  ASSERT_EQ(0u, dev.Open(spec.Path()));

  Reply dd = dev.Descriptor(1, 0, 18);
  ASSERT_EQ(0u, dd.error);
  ASSERT_EQ(18u, dd.data.size());
  EXPECT_EQ(std::string("\x34\x12\x78\x56", 4), dd.data.substr(8, 4));  // idVendor, idProduct
  Reply serial = dev.Descriptor(3, 3, 255, 0x0409);
  EXPECT_EQ(0u, serial.error);
  EXPECT_EQ(std::string("\x0c\x03U\0S\0B\0-\0"
                        "7\0",
                        12),
            serial.data);
  Reply shortRead = dev.Descriptor(2, 0, 9);  // first 9 bytes of the configuration
  EXPECT_EQ(0u, shortRead.error);
  EXPECT_EQ(9u, shortRead.data.size());

  // The run-time firmware stalls DFU_DNLOAD.
  EXPECT_EQ(31u, dev.Dnload(0, std::string(16, 'x')));
  EXPECT_EQ(31u, dev.Descriptor(3, 9, 255, 0x0409).error);  // no string 9

  const uint64_t urbs = bed->ControlUrbs(id);
  struct Bad {
    uint32_t code;
    std::string in;
    uint32_t error;
  };
  const Bad bad[] = {
      {kIoctlGetDescriptor, std::string(7, '\0'), 87},
      {kIoctlControlRequest, std::string(15, '\0'), 87},
      {kIoctlControlRequest, ControlRequest(0, 1, 1, 1, 0, 0, 4, "ab"), 87},  // data shorter than wLength
      {kIoctlControlRequest, ControlRequest(1, 1, 1, 3, 0, 3, 6, "ab"), 87},  // device-to-host with data
      {kIoctlControlRequest, ControlRequest(2, 1, 1, 3, 0, 3, 6), 87},        // direction 2
      {kIoctlControlRequest, ControlRequest(1, 3, 1, 3, 0, 3, 6), 87},        // type 3
      {kIoctlControlRequest, ControlRequest(1, 1, 4, 3, 0, 3, 6), 87},        // recipient 4
      {kIoctlCyclePort, "x", 87},
      {0x80892008, "", 1},
  };
  for (const Bad& b : bad) EXPECT_EQ(b.error, dev.Io(b.code, b.in, 64).error) << std::hex << b.code;
  EXPECT_EQ(urbs, bed->ControlUrbs(id)) << "a malformed request reached the device";

  // Vendor detach, then the port cycle: back in DFU mode at a new address.
  const std::string nodeBefore = bed->DevNode(id);
  EXPECT_EQ(0u, dev.Detach());
  EXPECT_EQ(0u, dev.CyclePort());
  EXPECT_TRUE(events.WaitFor(kDbtDeviceRemoveComplete, spec.Path()));
  EXPECT_TRUE(events.WaitFor(kDbtDeviceArrival, spec.Path()));
  EXPECT_EQ(1167u, dev.Descriptor(1, 0, 18).error);  // the handle of the old appearance
  EXPECT_EQ(2, bed->Appearances(id));
  EXPECT_NE(nodeBefore, bed->DevNode(id));

  Device dfu;
  ASSERT_EQ(0u, dfu.Connect());
  ASSERT_EQ(0u, dfu.Open(spec.Path()));
  EXPECT_EQ(0u, dfu.Dnload(0, std::string(64, 'a')));
  Reply st = dfu.GetStatus(0);
  EXPECT_EQ(0u, st.error);
  EXPECT_EQ(6u, st.data.size());
  EXPECT_EQ(5, StateOf(st));  // dfuDNLOAD_IDLE
  EXPECT_EQ(0, StatusOf(st));
  // Out of sequence: stalled, and the device reports errADDRESS afterwards.
  EXPECT_EQ(31u, dfu.Dnload(5, std::string(64, 'b')));
  st = dfu.GetStatus(0);
  EXPECT_EQ(10, StateOf(st));  // dfuERROR
  EXPECT_EQ(0x08, StatusOf(st));
}

// A device that is pulled out while a request is in flight: the request
// fails with 1167, the removal is announced, the interface is gone.
TEST_F(UsbSource, UnplugDuringARequest) {
  const DeviceDescription spec = DeviceDescription().Serial("GONE");
  const std::string id = Add(spec, 5);
  ASSERT_TRUE(StartService({"--usb", "1234:5678"}));
  ASSERT_TRUE(WaitForList({spec.Path()}));
  Events events;
  ASSERT_EQ(0u, events.Subscribe());
  nlohmann::json r;
  ASSERT_EQ(0u, bed->Control({{"cmd", "set-behaviour"},
                              {"id", id},
                              {"behaviour", {{"faults", {{{"bRequest", 3}, {"action", "unplug"}}}}}}},
                             r));
  Device dev;
  ASSERT_EQ(0u, dev.Connect());
  ASSERT_EQ(0u, dev.Open(spec.Path()));
  EXPECT_EQ(1167u, dev.GetStatus(3).error);
  EXPECT_TRUE(events.WaitFor(kDbtDeviceRemoveComplete, spec.Path()));
  EXPECT_TRUE(WaitForList({}));
  EXPECT_EQ(1167u, dev.Descriptor(1, 0, 18).error);
  // Plugged in again: the same interface comes back.
  ASSERT_EQ(0u, bed->Control({{"cmd", "plug"}, {"id", id}}, r));
  EXPECT_TRUE(events.WaitFor(kDbtDeviceArrival, spec.Path(), 1));
  EXPECT_TRUE(WaitForList({spec.Path()}));
}

// A device that stops answering fails its own request after the control
// time-out; the service keeps serving another device meanwhile.
TEST_F(UsbSource, SilentDeviceFailsOnlyItsOwnRequest) {
  const DeviceDescription quiet = DeviceDescription().Serial("QUIET");
  const DeviceDescription busy = DeviceDescription().Id("busy").Serial("BUSY");
  const std::string idq = Add(quiet, 6);
  Add(busy, 7);
  ASSERT_TRUE(StartService({"--usb", "1234:5678", "--usb-timeout", "1500"}));
  ASSERT_TRUE(WaitForList({quiet.Path(), busy.Path()}));
  nlohmann::json r;
  ASSERT_EQ(0u, bed->Control({{"cmd", "set-behaviour"},
                              {"id", idq},
                              {"behaviour", {{"faults", {{{"bRequest", 3}, {"action", "hang"}}}}}}},
                             r));
  const uint64_t urbsBefore = bed->ControlUrbs(idq);
  std::atomic<bool> quietDone{false};
  std::atomic<uint32_t> quietError{0};
  std::thread t([&] {
    Device q;
    if (q.Connect() != 0 || q.Open(quiet.Path()) != 0) return;
    quietError = q.GetStatus(3).error;
    quietDone = true;
  });
  Device other;
  ASSERT_EQ(0u, other.Connect());
  ASSERT_EQ(0u, other.Open(busy.Path()));
  // Wait until the silent request is at the device, then use the other one.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end && bed->ControlUrbs(idq) == urbsBefore)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  int answered = 0;
  for (int i = 0; i < 20 && !quietDone; ++i) answered += other.Descriptor(1, 0, 18).error == 0;
  EXPECT_FALSE(quietDone.load()) << "the silent request ended before the other device was served";
  EXPECT_EQ(20, answered);
  t.join();
  EXPECT_TRUE(quietDone.load());
  EXPECT_EQ(121u, quietError.load());
}

}  // namespace
