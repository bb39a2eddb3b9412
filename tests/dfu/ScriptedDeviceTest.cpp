// Branches of the mode switch and the download worker that a well-behaved
// simulated device never takes, driven end to end through the exports by
// scripted device replies.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "E2eSupport.h"
#include "support/CaseName.h"
#include "support/DriverServiceFixture.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using dfue2e::CloseWhenIdle;
using dfue2e::ExportLog;
using dfue2e::MakeImage;
using dfue2e::Outcome;
using dfue2e::WaitForDownload;
using testsupport::DeviceDescription;

struct ScriptCase {
  const char* name;
  const char* knobs;      // behaviour knobs from the start
  const char* openKnobs;  // knobs set once the device is open ("" none)
  const char* lateKnobs;  // knobs set once all bytes are counted ("" none)
  uint32_t expected;      // final status
  const char* logLine;    // a line of the library's log that shows the branch
  const char* traceOut;   // the start of a reply the device sent ("" none)
  uint32_t failedOpens;   // OPEN requests the service refused
};

class ScriptedDevice : public testing::TestWithParam<ScriptCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(driver.Start()) << driver.LastError();
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(0, 3000));
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(1, 1000));
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(2, 3000));
  }
  void TearDown() override {
    WaitForDownload(60000);
    CloseWhenIdle();
    VLMUFWDL_SetTimeout(0, 60000);
    VLMUFWDL_SetTimeout(1, 1000);
    VLMUFWDL_SetTimeout(2, 70000);
  }
  testsupport::DriverServiceFixture driver;
};

TEST_P(ScriptedDevice, TakesTheBranchAndEndsWithItsStatus) {
  const ScriptCase& c = GetParam();
  ExportLog log;
  ASSERT_TRUE(log.Enabled());
  DeviceDescription spec;
  const nlohmann::json knobs = nlohmann::json::parse(c.knobs);
  for (const auto& [k, v] : knobs.items()) {
    if (k == "willDetach")
      spec.WillDetach(v.get<bool>());  // in the descriptors, where the library reads it
    else
      spec.Knob(k, v.dump());
  }
  const std::string id = driver.AddDevice(spec);
  ASSERT_FALSE(id.empty()) << driver.LastError();
  uint32_t count = 0;
  ASSERT_EQ(0u, VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count));
  ASSERT_EQ(1u, count);
  ASSERT_EQ(0u, VLMUFWDL_OpenDevice(0));
  if (*c.openKnobs != '\0') {
    ASSERT_TRUE(driver.SetBehaviour(id, c.openKnobs)) << driver.LastError();
  }
  const std::string path = driver.TempFile("fw.vld");
  testsupport::WriteFile(path, MakeImage(10000, 5));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  bool acted = false;
  const Outcome o = WaitForDownload(60000, [&](const Outcome& now) {
    if (acted || *c.lateKnobs == '\0' || now.bytes != now.total) return;
    acted = true;
    EXPECT_TRUE(driver.SetBehaviour(id, c.lateKnobs)) << driver.LastError();
  });
  ASSERT_TRUE(o.ended);
  EXPECT_EQ(c.expected, o.status);
  EXPECT_TRUE(log.Has(c.logLine)) << log.Text();
  bool replied = *c.traceOut == '\0';
  uint32_t failedOpens = 0;
  for (const auto& e : driver.ReadTrace()) {
    if (e.op == "ioctl" && e.outHex.rfind(c.traceOut, 0) == 0) replied = true;
    if (e.op == "open" && e.result == 2) ++failedOpens;
  }
  EXPECT_TRUE(replied) << "no reply starting with " << c.traceOut;
  EXPECT_EQ(c.failedOpens, failedOpens);
  std::printf("[ %s ] final status %u after %.2f s\n", c.name, o.status, o.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Branches, ScriptedDevice,
    testing::Values(
        ScriptCase{"IdleAfterABlock",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuDNLOAD_SYNC","state":"dfuIDLE"}]}})", "", "", 46,
                   "ERROR: Download: invalid DFU state dfuIDLE.\n", "000000000200", 0},
        ScriptCase{"UnknownStateAfterABlock",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuDNLOAD_SYNC","state":77}]}})", "", "", 46,
                   "ERROR: Download: invalid DFU state unknown DFU_STATE.\n", "000000004d00", 0},
        ScriptCase{"UnexpectedStateAfterTheEmptyDnload",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuMANIFEST_SYNC","state":"dfuDNLOAD_IDLE"}]}})", "", "",
                   46, "ERROR: Download: invalid DFU state dfuDNLOAD_IDLE", "000000000500", 0},
        ScriptCase{"BusyThenSync",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuDNLOAD_SYNC","state":"dfuDNBUSY","pollTimeout":10},)"
                   R"({"inState":"dfuDNLOAD_SYNC","state":"dfuDNLOAD_SYNC"}]}})",
                   "", "", 0, "INFO: Download: dfuDNLOAD_SYNC state detected, continue after poll timeout = 0 ms.\n",
                   "000a00000400", 0},
        ScriptCase{
            "ErrVerify",
            R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuDNLOAD_SYNC","state":"dfuERROR","status":"errVERIFY","enter":true}]}})",
            "", "", 46, "ERROR: Download: invalid DFU state dfuERROR.\n", "070000000a00", 0},
        ScriptCase{
            "ErrCheckErased",
            R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuDNLOAD_SYNC","state":"dfuERROR","status":"errCHECK_ERASED","enter":true}]}})",
            "", "", 46, "ERROR: Download: invalid DFU state dfuERROR.\n", "050000000a00", 0},
        ScriptCase{"AppDetachAfterTheReopen",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"dfuIDLE","state":"appDETACH"}]}})", "", "", 31,
                   "ERROR: DfuDevice::SwitchDeviceToDfu: Reentered appIDLE after detach.", "000000000100", 0},
        ScriptCase{"AppDetachAfterTheFinalReset", "{}", "",
                   R"({"script":{"DFU_GETSTATUS":[{"inState":"appIDLE","state":"appDETACH"}]}})", 46,
                   "ERROR: DfuDevice::SwitchDeviceBackFromDfu: Invalid DFU state appDETATCH after reset.\n",
                   "000000000100", 0},
        // WillDetach, but the device leaves the bus only after its
        // wDetachTimeOut (1000 ms) has expired: it is back in appIDLE then
        // and returns in run-time mode.
        ScriptCase{"DetachExpiresBeforeTheDeviceLeaves",
                   R"({"willDetach":true,"detachDelayMs":1300,"detachExpires":true})", "", "", 31,
                   "ERROR: DfuDevice::SwitchDeviceToDfu: Reentered appIDLE after detach.", "", 0},
        // Each return to the bus is announced before the device can be opened.
        ScriptCase{"OpenFailsAfterTheArrival", "{}", R"({"openFailures":2})", "", 0,
                   "INFO: Download: manifestation phase ...\n", "", 4}),
    [](const testing::TestParamInfo<ScriptCase>& i) { return i.param.name; });

}  // namespace
