// Switching into dfuIDLE and back: request sequences, statuses and messages
// for every row of the state table, and the bound on passes.
#include <gtest/gtest.h>

#include "FakeDfuDevice.h"
#include "LogCapture.h"
#include "support/CaseName.h"

using namespace dfutest;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

constexpr uint8_t kCanDownload = DFU_DESC_bitCanDownload;
constexpr uint8_t kWillDetach = DFU_DESC_bitWillDetach;
constexpr uint32_t kFail = 0x10000000;  // Status.st marker: the request fails

struct SwitchCase {
  const char* name;
  uint8_t attributes;
  std::vector<Status> statuses;  // answers of the DFU_GETSTATUS requests, in order
  uint32_t cycleResult;
  uint32_t expected;
  uint8_t lastState;
  const char* trace;
  const char* message;  // an entry the log must hold ("" = none checked)
};

class SwitchToDfu : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchToDfu, FollowsTheStateTable) {
  const SwitchCase& c = GetParam();
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(c.attributes, 4096, 0, 2500);
  dev.SetTimeoutValue(DfuDevice::kTimeoutReplug, 4321);
  for (Status s : c.statuses) {
    if (s.st == kFail) s.st = kErrGenFailure;
    dev.statuses.push_back(s);
  }
  dev.fallback = [](const std::vector<Request>&) { return Status{dfuIDLE}; };
  dev.cycleResult = c.cycleResult;
  uint8_t last = 0xEE;
  EXPECT_EQ(c.expected, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ(c.lastState, last);
  EXPECT_EQ(c.trace, Trace(dev.Kinds()));
  for (const Request& r : dev.Requests()) {
    if (r.kind == Kind::Reopen) {
      EXPECT_TRUE(r.reopenWait);
      EXPECT_EQ(4321u, r.reopenTimeout);
    }
    if (r.kind == Kind::Detach) {
      EXPECT_EQ(2500u, r.wValue);
    }
  }
  if (*c.message) {
    EXPECT_TRUE(log.Has(c.message)) << log.Text();
  }
}

const SwitchCase kSwitchCases[] = {
    {"AlreadyDfuIdle",
     kCanDownload,
     {{dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: dfuIDLE state detected.\n"},
    {"HostResetsDevice",
     kCanDownload,
     {{appIDLE}, {appDETACH}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS DETACH GETSTATUS CYCLE REOPEN GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: appDETATCH state detected.\n"},
    {"DeviceDetachesItself",
     kCanDownload | kWillDetach,
     {{appIDLE}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS DETACH REOPEN GETSTATUS",
     "DfuDevice::DetachDevice ...\n"},
    {"AppDetachFirstHostReset",
     kCanDownload,
     {{appDETACH}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS CYCLE REOPEN GETSTATUS",
     ""},
    {"AppDetachFirstWillDetach",
     kCanDownload | kWillDetach,
     {{appDETACH}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS REOPEN GETSTATUS",
     ""},
    {"NoStatusAssumesAppIdle",
     kCanDownload,
     {{appIDLE, 0, kFail}, {appDETACH}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS DETACH GETSTATUS CYCLE REOPEN GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: DfuGetStatus returned 0x00000012. appIDLE assumed.\n"},
    {"NoStatusAfterDetachIsFatal",
     kCanDownload,
     {{appIDLE, 0, kFail}, {appIDLE, 0, kFail}},
     0,
     18,
     appIDLE,
     "GETSTATUS DETACH GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: DfuGetStatus failed with 0x00000012\n"},
    {"ShortStatusAfterDetachIs47",
     kCanDownload | kWillDetach,
     {{appIDLE}, {dfuIDLE, 0, 0, 5}},
     0,
     47,
     appIDLE,
     "GETSTATUS DETACH REOPEN GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: DfuGetStatus failed with 0x0000002F\n"},
    {"ReenteredAppIdle",
     kCanDownload | kWillDetach,
     {{appIDLE}, {appIDLE}},
     0,
     31,
     appIDLE,
     "GETSTATUS DETACH REOPEN GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: Reentered appIDLE after detach. Device doesn't enter DFU "
     "mode.\n"},
    {"ErrorIsCleared",
     kCanDownload,
     {{dfuERROR}, {dfuIDLE}},
     0,
     0,
     dfuIDLE,
     "GETSTATUS CLRSTATUS GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: DfuClrStatus succeeded but DfuState is 10-dfuERROR\n"},
    {"UnexpectedState",
     kCanDownload,
     {{dfuDNBUSY}},
     0,
     46,
     dfuDNBUSY,
     "GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: unexpected DFU state 4-dfuDNBUSY.\n"},
    {"UnknownState",
     kCanDownload,
     {{42}},
     0,
     46,
     42,
     "GETSTATUS",
     "DfuDevice::SwitchDeviceToDfu: unexpected DFU state 42-unknown DFU_STATE.\n"},
    {"CyclePortFailureIs19",
     kCanDownload,
     {{appDETACH}},
     0x1F,
     19,
     appDETACH,
     "GETSTATUS CYCLE",
     "DfuDevice::SwitchDeviceToDfu: CyclePort failed with 0x0000001F\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, SwitchToDfu, testing::ValuesIn(kSwitchCases),
                         [](const testing::TestParamInfo<SwitchCase>& i) { return i.param.name; });

TEST(SwitchToDfuFailures, DetachFailure) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload, 4096);
  dev.statuses.push_back({appIDLE});
  dev.failWith = [](Kind k, size_t) { return k == Kind::Detach ? 0x1Fu : 0u; };
  uint8_t last = 0;
  EXPECT_EQ(19u, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ("GETSTATUS DETACH", Trace(dev.Kinds()));
  EXPECT_TRUE(log.Has("DetachDevice: DfuDetach failed with 0x00000013.\n"));
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceToDfu: DetachDevice failed with 0x00000013\n"));
}

TEST(SwitchToDfuFailures, ClrStatusFailure) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload, 4096);
  dev.statuses.push_back({dfuERROR});
  dev.failWith = [](Kind k, size_t) { return k == Kind::ClrStatus ? 0x1Fu : 0u; };
  uint8_t last = 0;
  EXPECT_EQ(19u, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ(dfuERROR, last);
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceToDfu: DfuClrStatus failed with 0x00000013\n"));
}

TEST(SwitchToDfuFailures, ReopenFailureReturnsItsStatus) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload | kWillDetach, 4096);
  dev.statuses.push_back({appIDLE});
  dev.reopenResults.push_back(24);
  uint8_t last = 0;
  EXPECT_EQ(24u, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ("GETSTATUS DETACH REOPEN", Trace(dev.Kinds()));
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceToDfu: CloseAndReopen device failed with 0x00000018\n"));
}

TEST(SwitchToDfuFailures, RepeatedErrorIsBoundedWith46) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload, 4096);
  dev.fallback = [](const std::vector<Request>&) { return Status{dfuERROR}; };
  uint8_t last = 0;
  EXPECT_EQ(46u, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ(DfuDevice::kMaxSwitchPasses, dev.Count(Kind::GetStatus));
  EXPECT_EQ(DfuDevice::kMaxSwitchPasses, dev.Count(Kind::ClrStatus));
  EXPECT_TRUE(log.Has("last state 10-dfuERROR"));
}

TEST(SwitchToDfuFailures, DeviceThatAlwaysComesBackInAppDetachIsBounded) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload | kWillDetach, 4096);
  dev.fallback = [](const std::vector<Request>&) { return Status{appDETACH}; };
  uint8_t last = 0;
  EXPECT_EQ(46u, dev.SwitchDeviceToDfu(&last));
  EXPECT_EQ(DfuDevice::kMaxSwitchPasses, dev.Count(Kind::GetStatus));
  EXPECT_EQ(DfuDevice::kMaxSwitchPasses, dev.Count(Kind::Reopen));
  EXPECT_EQ(0u, dev.Count(Kind::Cycle));
}

struct BackCase {
  const char* name;
  Status status;  // answer after the reset
  uint32_t cycleResult;
  uint32_t expected;
  uint8_t lastState;
  const char* message;
};

class SwitchBack : public testing::TestWithParam<BackCase> {};

TEST_P(SwitchBack, ResetsAndJudgesTheState) {
  const BackCase& c = GetParam();
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutReplug, 777);
  Status s = c.status;
  if (s.st == kFail) s.st = kErrGenFailure;
  dev.statuses.push_back(s);
  dev.cycleResult = c.cycleResult;
  uint8_t last = 0xEE;
  EXPECT_EQ(c.expected, dev.SwitchDeviceBackFromDfu(&last));
  EXPECT_EQ(c.lastState, last);
  EXPECT_EQ("CYCLE REOPEN GETSTATUS", Trace(dev.Kinds()));
  EXPECT_EQ(777u, dev.Requests()[1].reopenTimeout);
  EXPECT_TRUE(log.Has(c.message)) << log.Text();
}

const BackCase kBackCases[] = {
    {"Started", {appIDLE}, 0, 0, appIDLE, "DfuDevice::SwitchDeviceBackFromDfu: Succeeded.\n"},
    {"NoAnswerCountsAsStarted",
     {appIDLE, 0, kFail},
     0,
     0,
     appIDLE,
     "DfuDevice::SwitchDeviceBackFromDfu: DfuGetStatus returned 0x00000012 after final reset.\n"},
    {"FirmwareNotStarted",
     {dfuERROR},
     0,
     31,
     dfuERROR,
     "DfuDevice::SwitchDeviceBackFromDfu: Firmware could not be started.\n"},
    {"StillInDfuIdle",
     {dfuIDLE},
     0,
     46,
     dfuIDLE,
     "DfuDevice::SwitchDeviceBackFromDfu: Invalid DFU state dfuIDLE after reset.\n"},
    {"CycleFailureIsNotFatal",
     {appIDLE},
     0x1F,
     0,
     appIDLE,
     "DfuDevice::SwitchDeviceBackFromDfu: CyclePort returned with 0x0000001F\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, SwitchBack, testing::ValuesIn(kBackCases),
                         [](const testing::TestParamInfo<BackCase>& i) { return i.param.name; });

TEST(SwitchBackFailures, ReopenFailureReturnsItsStatus) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCanDownload, 4096);
  dev.reopenResults.push_back(14);
  uint8_t last = 0;
  EXPECT_EQ(14u, dev.SwitchDeviceBackFromDfu(&last));
  EXPECT_EQ("CYCLE REOPEN", Trace(dev.Kinds()));
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceBackFromDfu: CloseAndReopen device failed with 0x0000000E\n"));
}

}  // namespace
