// The simulated DFU device: vendor detach, mode switches, the DFU 1.1 state
// machine for downloads, the serial number requests and the behaviour knobs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"

namespace drvtest {
namespace {

using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

// DFU states and status codes.
constexpr uint8_t appIDLE = 0, appDETACH = 1, dfuIDLE = 2, dfuDNLOAD_SYNC = 3, dfuDNBUSY = 4, dfuDNLOAD_IDLE = 5,
                  dfuMANIFEST_SYNC = 6, dfuMANIFEST = 7, dfuMANIFEST_WAIT_RESET = 8, dfuERROR = 10;
constexpr uint8_t errWRITE = 3, errADDRESS = 8, errNOTDONE = 9, errFIRMWARE = 10, errSTALLEDPKT = 15;
constexpr uint16_t kRuntimeIf = 3, kDfuIf = 0;

std::string Pattern(size_t n, uint8_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return s;
}

class DriverDfuTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }

  // Adds the device and opens it.
  void Add(const DeviceDescription& spec) {
    mSpec = spec;
    ASSERT_EQ(driver.AddDevice(spec), spec.id) << driver.LastError();
    Reopen();
  }
  void Reopen() {
    dev = std::make_unique<Device>();
    ASSERT_EQ(dev->Connect(), 0u);
    ASSERT_EQ(dev->Open(mSpec.Path()), 0u);
  }
  // Waits for the device to be back on the bus and opens it again.
  void WaitAndReopen() {
    ASSERT_TRUE(driver.WaitForState(mSpec.id, "present")) << driver.ListDevices();
    Reopen();
  }
  // Run-time device into dfuIDLE the way the library does it without WillDetach.
  void EnterDfu() {
    ASSERT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE);
    ASSERT_EQ(dev->Detach(), 0u);
    ASSERT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appDETACH);
    ASSERT_EQ(dev->CyclePort(), 0u);
    WaitAndReopen();
    ASSERT_EQ(driver.DeviceField(mSpec.id, "mode"), "dfu");
    ASSERT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE);
  }
  // One block: DNLOAD then GETSTATUS until dfuDNLOAD_IDLE (bounded).
  void SendBlock(uint16_t block, const std::string& data) {
    ASSERT_EQ(dev->Dnload(block, data), 0u);
    for (int i = 0; i < 50; ++i) {
      const Reply r = dev->GetStatus(kDfuIf);
      ASSERT_EQ(r.error, 0u);
      if (StateOf(r) == dfuDNLOAD_IDLE) return;
      ASSERT_THAT(StateOf(r), ::testing::AnyOf(dfuDNBUSY, dfuDNLOAD_SYNC));
      std::this_thread::sleep_for(std::chrono::milliseconds(PollOf(r)));
    }
    FAIL() << "block " << block << " never accepted";
  }
  std::string Firmware() {
    std::string fw;
    EXPECT_TRUE(driver.GetFirmware(mSpec.id, fw)) << driver.LastError();
    return fw;
  }

  DriverServiceFixture driver;
  std::unique_ptr<Device> dev;
  DeviceDescription mSpec;
};

TEST_F(DriverDfuTest, DetachThenPortCycleEntersDfuModeWithItsOwnDescriptors) {
  Add(DeviceDescription());
  EnterDfu();
  // DFU-mode configuration: the DFU interface alone, number 0, protocol 2.
  const Reply cfg = dev->Descriptor(2, 0, 255);
  ASSERT_EQ(cfg.error, 0u);
  ASSERT_EQ(cfg.data.size(), 27u);
  EXPECT_EQ(cfg.data.substr(9, 9), std::string("\x09\x04\x00\x00\x00\xFE\x01\x02\x04", 9));
  EXPECT_EQ(dev->Descriptor(3, 4, 255).data.size(), 2u + 2u * 11u) << "\"Velmora DFU\"";
  EXPECT_EQ(dev->Descriptor(3, 2, 255).data.size(), 2u + 2u * 19u) << "\"Velmora Audio (DFU)\"";
  const auto trace = driver.ReadTrace();
  int removals = 0, arrivals = 0;
  for (const auto& e : trace) {
    removals += e.op == "removal";
    arrivals += e.op == "arrival";
  }
  EXPECT_EQ(removals, 1);
  EXPECT_EQ(arrivals, 2);  // when added, and after the cycle
}

TEST_F(DriverDfuTest, DfuPersonalityWithItsOwnPathComesBackAsAnotherDevice) {
  const std::string dfuPath = "\\\\?\\usb#vid_1234&pid_dfu0#SN0001#{49f4a1ff-55dd-4d45-9743-7b623eff0361}";
  Add(DeviceDescription().DfuPath(dfuPath));
  ASSERT_EQ(dev->Detach(), 0u);
  ASSERT_EQ(dev->CyclePort(), 0u);
  ASSERT_TRUE(driver.WaitForState("dev1", "present"));
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  EXPECT_EQ(d.Open(mSpec.Path()), kErrorFileNotFound);
  EXPECT_EQ(d.Open(dfuPath), 0u);
  EXPECT_EQ(StateOf(d.GetStatus(kDfuIf)), dfuIDLE);
  std::vector<std::string> events;
  for (const auto& e : driver.ReadTrace())
    if (e.op == "arrival" || e.op == "removal") events.push_back(e.op + " " + e.path);
  EXPECT_THAT(events,
              ::testing::ElementsAre("arrival " + mSpec.Path(), "removal " + mSpec.Path(), "arrival " + dfuPath));
}

TEST_F(DriverDfuTest, WillDetachDeviceLeavesTheBusByItself) {
  Add(DeviceDescription().WillDetach().Reenumeration(30));
  ASSERT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE);
  ASSERT_EQ(dev->Detach(), 0u);
  ASSERT_TRUE(driver.WaitForState("dev1", "present", 5000));
  EXPECT_EQ(dev->GetStatus(kRuntimeIf).error, kErrorDeviceNotConnected) << "it left the bus";
  Reopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "dfu");
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE);
  for (const auto& e : driver.ReadIoTrace(kIoctlCyclePort)) ADD_FAILURE() << "no port cycle was needed: " << e.raw;
}

TEST_F(DriverDfuTest, DeviceThatStaysInAppIdleAfterDetachComesBackInRunTimeMode) {
  Add(DeviceDescription().Knob("stayInAppIdleAfterDetach", "true"));
  ASSERT_EQ(dev->Detach(), 0u);
  EXPECT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE);
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "runtime");
  EXPECT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE);
}

TEST_F(DriverDfuTest, RunTimeRequestsOutsideTheVendorFamilyAreStalled) {
  Add(DeviceDescription());
  struct Case {
    const char* what;
    std::string in;
    uint32_t outSize;
  } cases[] = {
      {"DFU_DNLOAD in run-time mode", ControlRequest(0, 1, 1, 1, 0, 0, 2, "ab"), 0},
      {"DFU_GETSTATUS to another interface", ControlRequest(1, 1, 1, 3, 0, 0, 6), 6},
      {"DFU_DETACH class request (the family uses the vendor request)", ControlRequest(0, 1, 1, 0, 1000, 3, 0), 0},
      {"vendor detach to the interface", ControlRequest(0, 2, 1, 0x80, 1000, 3, 0), 0},
      {"serial number read in run-time mode", ControlRequest(1, 2, 1, 0x84, 0, 3, 16), 16},
      {"DFU_CLRSTATUS in run-time mode", ControlRequest(0, 1, 1, 4, 0, 3, 0), 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(dev->Io(kIoctlControlRequest, c.in, c.outSize).error, kErrorGenFailure) << c.what;
  EXPECT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE) << "stalls leave the run-time state alone";
}

TEST_F(DriverDfuTest, CompleteDownloadIsManifestedAndRunsAfterTheReset) {
  Add(DeviceDescription().Knob("newBcdDevice", "\"0x0207\""));
  EnterDfu();
  const std::string image = Pattern(10000, 7);
  SendBlock(0, image.substr(0, 4096));
  SendBlock(1, image.substr(4096, 4096));
  SendBlock(2, image.substr(8192));
  ASSERT_EQ(dev->Dnload(3, ""), 0u);
  Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuMANIFEST);
  r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuIDLE) << "manifestation-tolerant device returns to dfuIDLE";
  EXPECT_EQ(StatusOf(r), 0);
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "runtime");
  EXPECT_EQ(StateOf(dev->GetStatus(kRuntimeIf)), appIDLE);
  const Reply d = dev->Descriptor(1, 0, 18);
  EXPECT_EQ(static_cast<uint8_t>(d.data[12]), 0x07);
  EXPECT_EQ(static_cast<uint8_t>(d.data[13]), 0x02);
  EXPECT_EQ(Firmware(), image) << "firmware read back byte for byte";
}

TEST_F(DriverDfuTest, NewBcdDeviceComesFromTheImagesDfuSuffix) {
  Add(DeviceDescription());
  EnterDfu();
  std::string image = Pattern(100, 1);
  image += std::string(
      "\x09\x03\x78\x56\x34\x12\x10\x01"
      "UFD\x10\x00\x00\x00\x00",
      16);
  SendBlock(0, image);
  ASSERT_EQ(dev->Dnload(1, ""), 0u);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuMANIFEST);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE);
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  const Reply d = dev->Descriptor(1, 0, 18);
  EXPECT_EQ(static_cast<uint8_t>(d.data[12]), 0x09);
  EXPECT_EQ(static_cast<uint8_t>(d.data[13]), 0x03);
  EXPECT_EQ(Firmware(), image);
}

TEST_F(DriverDfuTest, NonTolerantDeviceWaitsForResetAfterManifestation) {
  Add(DeviceDescription().ManifestationTolerant(false).Knob("pollTimeout", R"({"dfuMANIFEST":25})"));
  EnterDfu();
  SendBlock(0, "firmware");
  ASSERT_EQ(dev->Dnload(1, ""), 0u);
  Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuMANIFEST);
  EXPECT_EQ(PollOf(r), 25u);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuMANIFEST_WAIT_RESET);
  EXPECT_EQ(dev->ClrStatus(kDfuIf), kErrorGenFailure) << "only a reset is accepted now";
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "runtime");
  EXPECT_EQ(Firmware(), "firmware");
}

TEST_F(DriverDfuTest, NonTolerantDeviceResetRightAfterTheFirstManifestPollStartsTheNewImage) {
  // The library waits bwPollTimeout once and resets without another poll.
  Add(DeviceDescription().ManifestationTolerant(false));
  EnterDfu();
  SendBlock(0, "abc");
  ASSERT_EQ(dev->Dnload(1, ""), 0u);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuMANIFEST);
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "runtime");
  EXPECT_EQ(Firmware(), "abc");
}

// DFU 1.1: a request the state does not allow is stalled and the device
// enters dfuERROR with errSTALLEDPKT (or the status named).
TEST_F(DriverDfuTest, IllegalRequestsStallAndEnterDfuError) {
  struct Case {
    const char* what;
    int blocksFirst;  // blocks accepted before the request
    std::string in;
    uint8_t status;
  } cases[] = {
      {"DFU_CLRSTATUS in dfuIDLE", 0, ControlRequest(0, 1, 1, 4, 0, kDfuIf, 0), errSTALLEDPKT},
      {"empty DFU_DNLOAD in dfuIDLE", 0, ControlRequest(0, 1, 1, 1, 0, 0, 0), errNOTDONE},
      {"first block with number 1", 0, ControlRequest(0, 1, 1, 1, 1, 0, 2, "ab"), errADDRESS},
      {"block number repeated", 1, ControlRequest(0, 1, 1, 1, 0, 0, 2, "ab"), errADDRESS},
      {"block larger than wTransferSize", 0, ControlRequest(0, 1, 1, 1, 0, 0, 4097, std::string(4097, 'x')), 14},
      {"DFU_UPLOAD (device cannot upload)", 0, ControlRequest(1, 1, 1, 2, 0, kDfuIf, 64), errSTALLEDPKT},
      {"DFU_GETSTATUS sent host-to-device", 0, ControlRequest(0, 1, 1, 3, 0, kDfuIf, 0), errSTALLEDPKT},
      {"DFU_CLRSTATUS in dfuDNLOAD_IDLE", 1, ControlRequest(0, 1, 1, 4, 0, kDfuIf, 0), errSTALLEDPKT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    driver.Stop();
    ASSERT_TRUE(driver.Start()) << driver.LastError();
    Add(DeviceDescription().Knob("initialState", "\"dfuIDLE\""));
    for (int b = 0; b < c.blocksFirst; ++b) SendBlock(static_cast<uint16_t>(b), "data");
    EXPECT_EQ(dev->Io(kIoctlControlRequest, c.in, 64).error, kErrorGenFailure);
    const Reply r = dev->GetStatus(kDfuIf);
    EXPECT_EQ(StateOf(r), dfuERROR);
    EXPECT_EQ(StatusOf(r), c.status);
    // In dfuERROR everything but GETSTATUS and CLRSTATUS stalls, and the state stays.
    EXPECT_EQ(dev->Dnload(0, "x"), kErrorGenFailure);
    EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuERROR);
    EXPECT_EQ(dev->ClrStatus(kDfuIf), 0u);
    const Reply cleared = dev->GetStatus(kDfuIf);
    EXPECT_EQ(StateOf(cleared), dfuIDLE);
    EXPECT_EQ(StatusOf(cleared), 0);
  }
}

TEST_F(DriverDfuTest, RequestsInDnloadSyncOtherThanGetStatusStall) {
  Add(DeviceDescription().Knob("initialState", "\"dfuIDLE\""));
  ASSERT_EQ(dev->Dnload(0, "abcd"), 0u);
  EXPECT_EQ(dev->Dnload(1, "efgh"), kErrorGenFailure);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuERROR);
}

TEST_F(DriverDfuTest, BusyAndSyncPollsFollowTheKnobs) {
  Add(DeviceDescription()
          .Knob("initialState", "\"dfuIDLE\"")
          .Knob("syncPolls", "1")
          .Knob("busyPolls", "2")
          .Knob("pollTimeout", R"({"dfuDNBUSY":400,"dfuDNLOAD_SYNC":7})"));
  ASSERT_EQ(dev->Dnload(0, "abcd"), 0u);
  Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuDNLOAD_SYNC);
  EXPECT_EQ(PollOf(r), 7u);
  r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuDNBUSY);
  EXPECT_EQ(PollOf(r), 400u);
  EXPECT_EQ(std::string(r.data.data() + 1, 3), std::string("\x90\x01\x00", 3)) << "bwPollTimeout little-endian";
  // Without enforcement an early poll counts as a poll.
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuDNBUSY);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuDNLOAD_IDLE);
  EXPECT_EQ(driver.DeviceField("dev1", "blocksReceived"), "1");
}

TEST_F(DriverDfuTest, EnforcedPollTimeoutStallsAnEarlyPoll) {
  Add(DeviceDescription()
          .Knob("initialState", "\"dfuIDLE\"")
          .Knob("busyPolls", "1")
          .Knob("enforcePollTimeout", "true")
          .Knob("pollTimeout", R"({"dfuDNBUSY":60000})"));
  ASSERT_EQ(dev->Dnload(0, "abcd"), 0u);
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuDNBUSY);
  EXPECT_EQ(dev->GetStatus(kDfuIf).error, kErrorGenFailure);
  EXPECT_EQ(StatusOf(dev->GetStatus(kDfuIf)), errSTALLEDPKT);
  // With a short poll time-out, waiting it out makes the next poll legal.
  ASSERT_TRUE(driver.SetBehaviour("dev1", R"({"pollTimeout":{"dfuDNBUSY":20}})"));
  ASSERT_EQ(dev->ClrStatus(kDfuIf), 0u);
  ASSERT_EQ(dev->Dnload(0, "abcd"), 0u);
  const Reply busy = dev->GetStatus(kDfuIf);
  ASSERT_EQ(StateOf(busy), dfuDNBUSY);
  std::this_thread::sleep_for(std::chrono::milliseconds(PollOf(busy) + 10));
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuDNLOAD_IDLE);
}

TEST_F(DriverDfuTest, EnforcedPollTimeoutAppliesToManifestationToo) {
  Add(DeviceDescription()
          .Knob("initialState", "\"dfuIDLE\"")
          .Knob("enforcePollTimeout", "true")
          .Knob("pollTimeout", R"({"dfuMANIFEST":60000})"));
  SendBlock(0, "img");
  ASSERT_EQ(dev->Dnload(1, ""), 0u);
  const Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuMANIFEST);
  EXPECT_EQ(PollOf(r), 60000u);
  EXPECT_EQ(dev->GetStatus(kDfuIf).error, kErrorGenFailure) << "polled long before bwPollTimeout";
  const Reply after = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(after), dfuERROR);
  EXPECT_EQ(StatusOf(after), errSTALLEDPKT);
}

TEST_F(DriverDfuTest, ErrorAtBlockReportsDfuErrorAndKeepsTheBlock) {
  Add(DeviceDescription().Knob("initialState", "\"dfuIDLE\"").Knob("errorAtBlock", "1"));
  SendBlock(0, "good");
  ASSERT_EQ(dev->Dnload(1, "bad!"), 0u);
  const Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuERROR);
  EXPECT_EQ(StatusOf(r), errWRITE);
  EXPECT_EQ(driver.DeviceField("dev1", "blocksReceived"), "1");
}

TEST_F(DriverDfuTest, ManifestSyncPollsAndManifestPollsAreCounted) {
  Add(DeviceDescription()
          .Knob("initialState", "\"dfuIDLE\"")
          .Knob("manifestSyncPolls", "2")
          .Knob("manifestPolls", "3"));
  SendBlock(0, "img");
  ASSERT_EQ(dev->Dnload(1, ""), 0u);
  const uint8_t expected[] = {dfuMANIFEST_SYNC, dfuMANIFEST_SYNC, dfuMANIFEST, dfuMANIFEST, dfuMANIFEST, dfuIDLE};
  for (uint8_t st : expected) EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), st);
  EXPECT_EQ(Firmware(), "img");
}

TEST_F(DriverDfuTest, StatusRepliesOfOtherLengthsShowInTheByteCount) {
  Add(DeviceDescription().Knob("initialState", "\"dfuIDLE\"").Knob("statusLength", "5"));
  EXPECT_EQ(dev->GetStatus(kDfuIf, 6).data.size(), 5u);
  ASSERT_TRUE(driver.SetBehaviour("dev1", R"({"statusLength":7})"));
  EXPECT_EQ(dev->Io(kIoctlControlRequest, ControlRequest(1, 1, 1, 3, 0, kDfuIf, 8), 8).data.size(), 7u);
  const Reply overlong = dev->GetStatus(kDfuIf, 6);
  EXPECT_EQ(overlong.error, kErrorGenFailure) << "more than wLength bytes is babble, not a cut reply";
  EXPECT_TRUE(overlong.data.empty());
}

TEST_F(DriverDfuTest, SerialNumberVendorRequestsWorkInDfuMode) {
  Add(DeviceDescription());
  EXPECT_EQ(dev->SetSerial(kRuntimeIf, "X"), kErrorGenFailure) << "run-time mode";
  EnterDfu();
  Reply r = dev->GetSerial(kDfuIf, 64);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.data, "SN0001");
  ASSERT_EQ(dev->SetSerial(kDfuIf, "VLM-12345678"), 0u);
  EXPECT_EQ(dev->GetSerial(kDfuIf, 64).data, "VLM-12345678");
  EXPECT_EQ(dev->GetSerial(kDfuIf, 4).data, "VLM-") << "at most wLength bytes";
  ASSERT_EQ(dev->SetSerial(kDfuIf, ""), 0u);
  EXPECT_EQ(dev->GetSerial(kDfuIf, 64).data, "");
  ASSERT_EQ(dev->SetSerial(kDfuIf, "ABCD"), 0u);
  EXPECT_EQ(dev->SetSerial(kDfuIf, std::string(256, 'x')), kErrorGenFailure) << "longer than the device stores";
  EXPECT_EQ(dev->SetSerial(1, "ABCD"), kErrorGenFailure) << "another interface";
  std::string stored;
  ASSERT_TRUE(driver.GetSerial("dev1", stored));
  EXPECT_EQ(stored, "ABCD");
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE) << "vendor requests leave the DFU state alone";
  // Back in run-time mode the USB serial number string is unchanged (the
  // interface path stays the same).
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "runtime");
}

TEST_F(DriverDfuTest, FinalResetVariants) {
  struct Case {
    const char* knob;
    const char* mode;
    uint32_t statusError;
    uint8_t state;
    uint8_t status;
  } cases[] = {
      {"\"appIDLE\"", "runtime", 0, appIDLE, 0},
      {"\"noStatus\"", "runtime", kErrorGenFailure, 0xFF, 0xFF},
      {"\"dfuERROR\"", "dfu", 0, dfuERROR, errFIRMWARE},
      {"\"dfuIDLE\"", "dfu", 0, dfuIDLE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.knob);
    driver.Stop();
    ASSERT_TRUE(driver.Start()) << driver.LastError();
    Add(DeviceDescription().Knob("initialState", "\"dfuIDLE\"").Knob("finalReset", c.knob));
    SendBlock(0, "img");
    ASSERT_EQ(dev->Dnload(1, ""), 0u);
    EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuMANIFEST);
    EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE);
    ASSERT_EQ(dev->CyclePort(), 0u);
    WaitAndReopen();
    EXPECT_EQ(driver.DeviceField("dev1", "mode"), c.mode);
    const uint16_t iface = std::string(c.mode) == "dfu" ? kDfuIf : kRuntimeIf;
    const Reply r = dev->GetStatus(iface);
    EXPECT_EQ(r.error, c.statusError);
    if (r.error == 0) {
      EXPECT_EQ(StateOf(r), c.state);
      EXPECT_EQ(StatusOf(r), c.status);
    }
  }
}

TEST_F(DriverDfuTest, InterruptedDownloadComesBackInDfuModeAfterAReset) {
  Add(DeviceDescription());
  EnterDfu();
  SendBlock(0, "partial");
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(driver.DeviceField("dev1", "mode"), "dfu");
  const Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuERROR);
  EXPECT_EQ(StatusOf(r), errFIRMWARE);
  EXPECT_EQ(Firmware(), "") << "nothing was manifested";
}

TEST_F(DriverDfuTest, InitialStates) {
  struct Case {
    const char* knobs;
    const char* mode;
    uint16_t iface;
    uint8_t state;
  } cases[] = {
      {R"({"initialState":"appDETACH"})", "runtime", kRuntimeIf, appDETACH},
      {R"({"initialState":"dfuIDLE"})", "dfu", kDfuIf, dfuIDLE},
      {R"({"dfuOnly":true})", "dfu", kDfuIf, dfuIDLE},
      {R"({"initialState":"dfuERROR"})", "dfu", kDfuIf, dfuERROR},
      {R"({"dfuOnly":true,"initialState":"dfuERROR"})", "dfu", kDfuIf, dfuERROR},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.knobs);
    DeviceDescription spec = DeviceDescription().Id("d" + std::to_string(n)).Serial("S" + std::to_string(n));
    ++n;
    auto j = nlohmann::json::parse(spec.ToJson());
    j["behaviour"] = nlohmann::json::parse(c.knobs);
    ASSERT_FALSE(driver.AddDevice(j.dump()).empty()) << driver.LastError();
    Device d;
    ASSERT_EQ(d.Connect(), 0u);
    ASSERT_EQ(d.Open(spec.Path()), 0u);
    EXPECT_EQ(driver.DeviceField(spec.id, "mode"), c.mode);
    EXPECT_EQ(StateOf(d.GetStatus(c.iface)), c.state);
    if (c.state == dfuERROR) {
      EXPECT_EQ(d.ClrStatus(c.iface), 0u);
      EXPECT_EQ(StateOf(d.GetStatus(c.iface)), dfuIDLE);
    }
  }
}

TEST_F(DriverDfuTest, AppDetachAtFirstEntersDfuModeOnPortCycle) {
  Add(DeviceDescription().Knob("initialState", "\"appDETACH\""));
  ASSERT_EQ(dev->CyclePort(), 0u);
  WaitAndReopen();
  EXPECT_EQ(StateOf(dev->GetStatus(kDfuIf)), dfuIDLE);
}

TEST_F(DriverDfuTest, RunTimeGetStatusCanBeStalled) {
  Add(DeviceDescription().Knob("runtimeStatus", "\"stall\""));
  EXPECT_EQ(dev->GetStatus(kRuntimeIf).error, kErrorGenFailure);
  EXPECT_EQ(dev->Detach(), 0u);
}

TEST_F(DriverDfuTest, DeviceThatNeverReturnsStaysOffTheBusUntilPlugged) {
  Add(DeviceDescription().Reenumeration(10).Knob("neverReturn", "true"));
  ASSERT_EQ(dev->CyclePort(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "off-bus");
  ASSERT_TRUE(driver.Plug("dev1"));
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "present");
}

TEST_F(DriverDfuTest, ReenumerationDelayKeepsTheDeviceOffTheBus) {
  Add(DeviceDescription().Reenumeration(300));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(dev->CyclePort(), 0u);
  ASSERT_TRUE(driver.WaitForState("dev1", "present"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(DriverDfuTest, FaultsByRequestNumberAndByBRequestOccurrence) {
  Add(DeviceDescription().Knob("faults", R"([{"bRequest":3,"occurrence":2,"action":"stall"},
                                       {"request":4,"action":"error","error":1167}])"));
  EXPECT_EQ(dev->GetStatus(kRuntimeIf).error, 0u);                       // request 1, GETSTATUS #1
  EXPECT_EQ(dev->GetStatus(kRuntimeIf).error, kErrorGenFailure);         // request 2, GETSTATUS #2
  EXPECT_EQ(dev->GetStatus(kRuntimeIf).error, 0u);                       // request 3
  EXPECT_EQ(dev->Descriptor(1, 0, 18).error, kErrorDeviceNotConnected);  // request 4
  EXPECT_EQ(dev->Descriptor(1, 0, 18).error, 0u);                        // each fault fires once
}

TEST_F(DriverDfuTest, ScriptedRepliesRunInOrderWithRepeatsAndWaitForTheirState) {
  Add(DeviceDescription()
          .Knob("initialState", "\"dfuIDLE\"")
          .Knob("script", R"({"DFU_GETSTATUS":[{"state":"dfuDNBUSY","pollTimeout":7,"repeat":2},{"action":"stall"},
                              {"action":"error","error":1167},{"inState":"dfuDNLOAD_IDLE","status":"errVERIFY"}],
                             "DFU_CLRSTATUS":[{"action":"ack"}],
                             "DFU_GETSTATE":[{"reply":[99]}]})"));
  for (int i = 0; i < 2; ++i) {
    const Reply r = dev->GetStatus(kDfuIf);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(StateOf(r), dfuDNBUSY);
    EXPECT_EQ(PollOf(r), 7u);
  }
  EXPECT_EQ(dev->GetStatus(kDfuIf).error, kErrorGenFailure);
  // Another knob set meanwhile leaves the script where it is.
  ASSERT_TRUE(driver.SetBehaviour(mSpec.id, R"({"busyPolls":0})"));
  EXPECT_EQ(dev->GetStatus(kDfuIf).error, kErrorDeviceNotConnected);
  // The next entry waits for dfuDNLOAD_IDLE: until then the device answers itself.
  Reply r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuIDLE);
  EXPECT_EQ(StatusOf(r), 0u);
  EXPECT_EQ(dev->ClrStatus(kDfuIf), 0u) << "acknowledged without acting";
  EXPECT_EQ(dev->Io(kIoctlControlRequest, ControlRequest(1, 1, 1, 5, 0, kDfuIf, 1), 1).data, std::string(1, '\x63'));
  SendBlock(0, std::string(64, 'a'));
  r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuDNLOAD_IDLE);
  EXPECT_EQ(StatusOf(r), 7u) << "errVERIFY, scripted in dfuDNLOAD_IDLE";
  r = dev->GetStatus(kDfuIf);
  EXPECT_EQ(StateOf(r), dfuDNLOAD_IDLE);
  EXPECT_EQ(StatusOf(r), 0u) << "the script is used up";
  std::string reply;
  EXPECT_EQ(driver.Control(R"({"cmd":"set-behaviour","id":"dev1","behaviour":{"script":{"DFU_NOPE":[]}}})", reply),
            kErrorInvalidParameter);
  EXPECT_THAT(reply, ::testing::HasSubstr("unknown request"));
  EXPECT_EQ(driver.Control(R"({"cmd":"set-behaviour","id":"dev1","behaviour":{"script":{"DFU_ABORT":[{"repeat":0}]}}})",
                           reply),
            kErrorInvalidParameter);
  EXPECT_THAT(reply, ::testing::HasSubstr("repeat counts from 1"));
}

}  // namespace
}  // namespace drvtest
