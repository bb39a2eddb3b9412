// The download worker: block arithmetic, poll budgets, manifestation, the
// reset, stop points, the start checks and stopping a worker at teardown.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "FakeDfuDevice.h"
#include "LogCapture.h"
#include "support/CaseName.h"

using namespace dfutest;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

constexpr uint8_t kCan = DFU_DESC_bitCanDownload;
constexpr uint8_t kTolerant = DFU_DESC_bitManifestationTolerant;

std::vector<uint8_t> Image(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 131u + 7u) & 0xFF);
  return image;
}

// Runs one download on the fake and returns the final status.
uint32_t RunDownload(FakeDfuDevice& dev, const std::vector<uint8_t>& image) {
  EXPECT_EQ(0u, dev.StartWorker(image));
  EXPECT_TRUE(dev.WaitForWorker());
  return dev.DownloadStatus().GetStatus();
}

std::vector<Request> Dnloads(FakeDfuDevice& dev) {
  std::vector<Request> out;
  for (const Request& r : dev.Requests())
    if (r.kind == Kind::Dnload) out.push_back(r);
  return out;
}

struct BlockCase {
  uint32_t imageSize;
  uint16_t transferSize;
  std::vector<uint32_t> blocks;  // expected block lengths
};
void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.imageSize << " bytes, wTransferSize " << c.transferSize; }

class Blocks : public testing::TestWithParam<BlockCase> {};

TEST_P(Blocks, SplitsTheImageAndEndsWithAnEmptyDnload) {
  const BlockCase& c = GetParam();
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, c.transferSize);
  const auto image = Image(c.imageSize);
  EXPECT_EQ(0u, RunDownload(dev, image));

  const auto dn = Dnloads(dev);
  ASSERT_EQ(c.blocks.size() + 1, dn.size());
  size_t offset = 0;
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<uint16_t>(i), dn[i].wValue);
    EXPECT_EQ(c.blocks[i], dn[i].wLength);
    ASSERT_EQ(16u + c.blocks[i], dn[i].in.size());
    EXPECT_TRUE(std::equal(dn[i].in.begin() + 16, dn[i].in.end(), image.begin() + offset));
    offset += c.blocks[i];
  }
  EXPECT_EQ(image.size(), offset);
  EXPECT_EQ(c.blocks.size(), dn.back().wValue);  // the next block number
  EXPECT_EQ(0u, dn.back().wLength);
  EXPECT_EQ(16u, dn.back().in.size());
  EXPECT_EQ(c.imageSize, dev.DownloadStatus().GetBytesDownloaded());
  EXPECT_EQ(c.imageSize, dev.DownloadStatus().GetTotalBytes());
}

std::vector<uint32_t> Repeat(uint32_t n, uint32_t len, std::vector<uint32_t> tail = {}) {
  std::vector<uint32_t> v(n, len);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

INSTANTIATE_TEST_SUITE_P(Table, Blocks,
                         testing::Values(BlockCase{10000, 4096, {4096, 4096, 1808}},
                                         BlockCase{10000, 8192, {4096, 4096, 1808}},  // capped at 4096
                                         BlockCase{10000, 1024, Repeat(9, 1024, {784})},
                                         BlockCase{8192, 4096, {4096, 4096}},  // exact multiple
                                         BlockCase{3072, 1024, {1024, 1024, 1024}}, BlockCase{1, 4096, {1}},
                                         BlockCase{4096, 65535, {4096}}, BlockCase{100, 7, Repeat(14, 7, {2})}));

TEST(Download, WholeSequenceOfAHostResetDevice) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  EXPECT_EQ(0u, RunDownload(dev, Image(5000)));
  EXPECT_EQ(
      "GETSTATUS DETACH GETSTATUS CYCLE REOPEN GETSTATUS "  // into DFU mode
      "DNLOAD GETSTATUS DNLOAD GETSTATUS "                  // two blocks
      "DNLOAD GETSTATUS "                                   // end of image, dfuIDLE
      "CYCLE REOPEN GETSTATUS",                             // reset, appIDLE
      Trace(dev.Kinds()));
}

TEST(Download, BlockNumbersWrapAfter65535) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 1);
  EXPECT_EQ(0u, RunDownload(dev, Image(65537)));
  const auto dn = Dnloads(dev);
  ASSERT_EQ(65538u, dn.size());
  EXPECT_EQ(65535u, dn[65535].wValue);
  EXPECT_EQ(0u, dn[65536].wValue);
  EXPECT_EQ(1u, dn[65536].wLength);
  EXPECT_EQ(1u, dn[65537].wValue);
  EXPECT_EQ(0u, dn[65537].wLength);
}

TEST(Download, BusyDeviceExhaustsTheBlockBudget) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 100);
  dev.statuses = {{dfuIDLE}};  // already in DFU mode
  // dfuDNBUSY with 40 ms: waits at 100 and 60; 20 is not more than 40, so the
  // third busy answer is not waited for; one more status request goes out
  // and the block fails with 26 even though the device then reports idle.
  dev.statuses.push_back({dfuDNBUSY, 40});
  dev.statuses.push_back({dfuDNBUSY, 40});
  dev.statuses.push_back({dfuDNBUSY, 40});
  dev.statuses.push_back({dfuDNLOAD_IDLE, 0});
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(26u, RunDownload(dev, Image(10)));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 79);
  EXPECT_EQ("GETSTATUS DNLOAD GETSTATUS GETSTATUS GETSTATUS GETSTATUS", Trace(dev.Kinds()));
  EXPECT_EQ(3u, log.CountOf("Download: dfuDNBUSY state detected, continue after poll timeout = 40 ms.\n"));
  EXPECT_TRUE(log.Has("Download: maximum polling time elapsed.\n"));
  EXPECT_EQ(0u, dev.DownloadStatus().GetBytesDownloaded());
  EXPECT_EQ(0u, dev.Count(Kind::Cycle));  // no reset after a download-phase failure
}

TEST(Download, BudgetEqualToThePollTimeIsNotEnough) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 80);
  dev.statuses = {{dfuIDLE}, {dfuDNBUSY, 40}, {dfuDNBUSY, 40}, {dfuDNLOAD_IDLE}};
  EXPECT_EQ(26u, RunDownload(dev, Image(10)));
  EXPECT_EQ(3u, dev.Count(Kind::GetStatus) - 1u);
}

TEST(Download, BudgetIsFreshForEveryBlock) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 100);
  // Each of three blocks: busy 40 twice, then idle: 80 ms of the 100 ms budget.
  dev.statuses = {{dfuIDLE}};
  for (int b = 0; b < 3; ++b) {
    dev.statuses.push_back({dfuDNBUSY, 40});
    dev.statuses.push_back({dfuDNBUSY, 40});
    dev.statuses.push_back({dfuDNLOAD_IDLE});
  }
  EXPECT_EQ(0u, RunDownload(dev, Image(12)));
  EXPECT_EQ(12u, dev.DownloadStatus().GetBytesDownloaded());
}

TEST(Download, DnloadSyncIsAnsweredWithoutSleeping) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 60000);
  dev.statuses = {{dfuIDLE}, {dfuDNLOAD_SYNC, 5000}, {dfuDNLOAD_IDLE, 5000}};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, RunDownload(dev, Image(10)));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 2000);
  EXPECT_FALSE(log.Has("Download: dfuDNLOAD_SYNC state detected"));
}

TEST(Download, SyncAfterBusyWaitsAgainAndRejudgesExhaustion) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 100);
  // busy 30 (100 -> 70), then sync 30 (70 -> 40), then sync again: poll,
  // status idle.
  dev.statuses = {{dfuIDLE}, {dfuDNBUSY, 30}, {dfuDNLOAD_SYNC, 30}, {dfuDNLOAD_IDLE}};
  EXPECT_EQ(0u, RunDownload(dev, Image(10)));
  EXPECT_TRUE(log.Has("Download: dfuDNLOAD_SYNC state detected, continue after poll timeout = 30 ms.\n"));
}

TEST(Download, PollsWithoutWaitAreBounded) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.statuses = {{dfuIDLE}};
  dev.fallback = [](const std::vector<Request>&) { return Status{dfuDNBUSY, 0}; };
  EXPECT_EQ(26u, RunDownload(dev, Image(10)));
  EXPECT_EQ(1u + 1u + DfuDevice::kMaxFreePollsPerBlock, dev.Count(Kind::GetStatus));
  EXPECT_TRUE(log.Has("Download: block not accepted after 1000 polls without poll timeout.\n"));
}

TEST(Download, ErrorStateAfterABlockIs46WithoutReset) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.statuses = {{dfuIDLE}, {dfuERROR}};
  EXPECT_EQ(46u, RunDownload(dev, Image(10)));
  EXPECT_TRUE(log.Has("Download: invalid DFU state dfuERROR.\n"));
  EXPECT_EQ("GETSTATUS DNLOAD GETSTATUS", Trace(dev.Kinds()));
}

TEST(Download, RequestFailuresOfTheDownloadPhase) {
  struct Case {
    const char* name;
    Kind kind;
    size_t nth;
    uint32_t st;
    uint32_t expected;
    const char* message;
  } cases[] = {
      {"dnload", Kind::Dnload, 1, 0x1F, 19, "Download: DfuDnload failed with failed with 0x00000013.\n"},
      {"status", Kind::GetStatus, 2, 0x1F, 18, "Download: DfuGetStatus failed with 0x00000012.\n"},
      {"end of image", Kind::Dnload, 2, 0x1F, 19, "Download: DfuDnload failed with 0x00000013.\n"},
      {"status after end", Kind::GetStatus, 3, 0x1F, 18, "Download: DfuGetStatus failed with 0x00000012.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    FakeDfuDevice dev;
    dev.MakeOpen(kCan, 4096);
    dev.statuses = {{dfuIDLE}};
    dev.failWith = [&](Kind k, size_t n) { return k == c.kind && n == c.nth ? c.st : 0u; };
    EXPECT_EQ(c.expected, RunDownload(dev, Image(5000)));
    EXPECT_TRUE(log.Has(c.message)) << log.Text();
    EXPECT_EQ(0u, dev.Count(Kind::Cycle));
  }
}

TEST(Download, WrongLengthStatusDuringBusyPoll) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.statuses = {{dfuIDLE}, {dfuDNBUSY, 0}, {dfuDNLOAD_IDLE, 0, 0, 7}};
  EXPECT_EQ(47u, RunDownload(dev, Image(10)));
  EXPECT_TRUE(log.Has("Download: DfuGetStatus during dfuDNLOAD_SYNC failed with 0x0000002F.\n"));
}

TEST(Download, TransferSizeZeroInDfuModeIs45) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.onReopen = [](FakeDfuDevice& d) { d.SetTransferSize(0); };
  EXPECT_EQ(45u, RunDownload(dev, Image(10)));
  EXPECT_EQ(0u, dev.Count(Kind::Dnload));
  EXPECT_TRUE(log.Has("Download: wTransferSize is 0, no block can be sent.\n"));
}

TEST(Download, DfuModeDescriptorsDecideTheBlockSize) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 64);  // run-time descriptor
  dev.onReopen = [](FakeDfuDevice& d) { d.SetTransferSize(2048); };
  EXPECT_EQ(0u, RunDownload(dev, Image(5000)));
  const auto dn = Dnloads(dev);
  ASSERT_EQ(4u, dn.size());
  EXPECT_EQ(2048u, dn[0].wLength);
  EXPECT_EQ(904u, dn[2].wLength);
}

TEST(Download, SwitchFailureIsTheFinalStatus) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan | DFU_DESC_bitWillDetach, 4096);
  dev.statuses = {{appIDLE}, {appIDLE}};
  EXPECT_EQ(31u, RunDownload(dev, Image(10)));
  EXPECT_TRUE(log.Has("DfuDevice::ThreadRoutine: SwitchDeviceToDfu failed with 0x0000001F\n"));
  EXPECT_EQ(0u, dev.Count(Kind::Dnload));
}

TEST(Download, FailedReopenNeverShowsAZeroStatus) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.reopenResults.push_back(24);  // the device does not come back after the detach
  EXPECT_EQ(24u, RunDownload(dev, Image(100)));
  // The reopen closed the device on the worker; the record still said 36.
  EXPECT_EQ(36u, dev.statusAfterFailedReopen.load());
  EXPECT_EQ(100u, dev.DownloadStatus().GetTotalBytes());
  EXPECT_FALSE(dev.IsOpen());
  // Once the worker has ended, closing clears the record as usual.
  dev.Close();
  EXPECT_EQ(0u, dev.DownloadStatus().GetStatus());
  EXPECT_EQ(0u, dev.DownloadStatus().GetTotalBytes());
}

// ---- manifestation ---------------------------------------------------------

struct ManifestCase {
  const char* name;
  uint8_t attributes;
  std::vector<Status> afterEnd;  // answers from the status after the empty DNLOAD on
  uint32_t manifestBudget;
  uint32_t expected;
  bool reset;
  const char* message;
};

class Manifestation : public testing::TestWithParam<ManifestCase> {};

TEST_P(Manifestation, EndsAndResets) {
  const ManifestCase& c = GetParam();
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(c.attributes, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutManifestPoll, c.manifestBudget);
  dev.statuses = {{dfuIDLE}, {dfuDNLOAD_IDLE}};
  for (Status s : c.afterEnd) dev.statuses.push_back(s);
  EXPECT_EQ(c.expected, RunDownload(dev, Image(100)));
  EXPECT_EQ(c.reset ? 1u : 0u, dev.Count(Kind::Cycle));
  EXPECT_TRUE(log.Has(c.message)) << log.Text();
}

const ManifestCase kManifestCases[] = {
    {"NotTolerantWaitsOnceThenResets",
     kCan,
     {{dfuMANIFEST, 30}, {appIDLE}},
     1000,
     0,
     true,
     "Download: dfuMANIFEST state detected, continue after poll timeout = 30 ms.\n"},
    {"NotTolerantNoAnswerAfterReset",
     kCan,
     {{dfuMANIFEST, 30}, {appIDLE, 0, kErrGenFailure}},
     1000,
     0,
     true,
     "after final reset.\n"},
    {"TolerantSyncManifestIdle",
     kCan | kTolerant,
     {{dfuMANIFEST_SYNC}, {dfuMANIFEST, 10}, {dfuMANIFEST_SYNC, 10}, {dfuIDLE}, {appIDLE}},
     1000,
     0,
     true,
     "Download: dfuIDLE state detected.\n"},
    {"WaitReset",
     kCan,
     {{dfuMANIFEST_WAIT_RESET}, {appIDLE}},
     1000,
     0,
     true,
     "Download: dfuMANIFEST_WAIT_RESET state detected.\n"},
    {"SyncForeverIs27AndStillResets",
     kCan | kTolerant,
     {{dfuMANIFEST_SYNC, 40}, {dfuMANIFEST_SYNC, 40}, {dfuMANIFEST_SYNC, 40}, {dfuMANIFEST_SYNC, 40}, {appIDLE}},
     100,
     27,
     true,
     "Download: Timeout in state dfuMANIFEST_SYNC.\n"},
    {"ManifestTimeoutIs27",
     kCan,
     {{dfuMANIFEST, 200}, {appIDLE}},
     100,
     27,
     true,
     "Download: timeout in state dfuMANIFEST.\n"},
    {"InvalidStateIs46AndResets",
     kCan,
     {{dfuDNBUSY}, {appIDLE}},
     1000,
     46,
     true,
     "Download: invalid DFU state dfuDNBUSY\n"},
    {"ErrorAfterResetIs31",
     kCan,
     {{dfuIDLE}, {dfuERROR}},
     1000,
     31,
     true,
     "DfuDevice::ThreadRoutine: SwitchDeviceBackFromDfu failed with 0x0000001F\n"},
    {"ManifestResultWinsOverReset",
     kCan,
     {{dfuDNBUSY}, {dfuERROR}},
     1000,
     46,
     true,
     "Download: download finished with status 0x0000002E.\n"},
    {"StatusFailureInSync",
     kCan | kTolerant,
     {{dfuMANIFEST_SYNC}, {dfuIDLE, 0, kErrGenFailure}, {appIDLE}},
     1000,
     18,
     true,
     "Download: DfuGetStatus in state dfuMANIFEST_SYNC!\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, Manifestation, testing::ValuesIn(kManifestCases),
                         [](const testing::TestParamInfo<ManifestCase>& i) { return i.param.name; });

TEST(Manifestation, PollsWithoutWaitAreBoundedWith27) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan | kTolerant, 4096);
  dev.statuses = {{dfuIDLE}, {dfuDNLOAD_IDLE}};
  dev.fallback = [](const std::vector<Request>& seen) {
    // After the reset the device runs; before it, it manifests forever.
    return seen.size() >= 2 && seen[seen.size() - 2].kind == Kind::Reopen ? Status{appIDLE}
                                                                          : Status{dfuMANIFEST_SYNC, 0};
  };
  EXPECT_EQ(27u, RunDownload(dev, Image(10)));
  EXPECT_EQ(1u, dev.Count(Kind::Cycle));
  EXPECT_TRUE(log.Has("Download: manifestation not finished after 10000 polls without poll timeout.\n"));
}

// ---- stop points -------------------------------------------------------------

TEST(StopPoints, AbortDuringBlockPollLeaves36AndSendsNothingMore) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.statuses = {{dfuIDLE}};
  dev.beforeRequest = [&](const Request& r, size_t) {
    if (r.kind == Kind::Dnload && r.wValue == 1) dev.RequestAbort();
  };
  EXPECT_EQ(36u, RunDownload(dev, Image(10000)));
  EXPECT_EQ("GETSTATUS DNLOAD GETSTATUS DNLOAD GETSTATUS", Trace(dev.Kinds()));
  EXPECT_EQ(4096u, dev.DownloadStatus().GetBytesDownloaded());
}

TEST(StopPoints, AbortIsSeenBeforeThePollOfTheLastBlock) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.statuses = {{dfuIDLE}, {dfuDNLOAD_IDLE}};
  // The stop request arrives while the only block's status is read: the
  // poll does not look at the answer, the block is not counted and
  // manifestation does not start.
  dev.beforeRequest = [&](const Request& r, size_t i) {
    if (r.kind == Kind::GetStatus && i == 2) dev.RequestAbort();
  };
  EXPECT_EQ(36u, RunDownload(dev, Image(10)));
  EXPECT_EQ("GETSTATUS DNLOAD GETSTATUS", Trace(dev.Kinds()));
  EXPECT_EQ(0u, dev.DownloadStatus().GetBytesDownloaded());
}

TEST(StopPoints, AbortDuringManifestationSkipsTheReset) {
  FakeDfuDevice dev;
  dev.MakeOpen(kCan | kTolerant, 4096);
  dev.statuses = {{dfuIDLE}, {dfuDNLOAD_IDLE}, {dfuMANIFEST_SYNC}, {dfuMANIFEST_SYNC, 0}};
  dev.beforeRequest = [&](const Request& r, size_t i) {
    if (r.kind == Kind::GetStatus && i == 5) dev.RequestAbort();
  };
  EXPECT_EQ(36u, RunDownload(dev, Image(10)));
  EXPECT_EQ(0u, dev.Count(Kind::Cycle));
}

TEST(StopPoints, StopDownloadAndWaitCutsAPollWaitShort) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  dev.SetTimeoutValue(DfuDevice::kTimeoutBlockPoll, 600000);
  dev.statuses = {{dfuIDLE}};
  dev.fallback = [](const std::vector<Request>&) { return Status{dfuDNBUSY, 60000}; };
  std::atomic<bool> busy{false};
  dev.beforeRequest = [&](const Request& r, size_t) {
    if (r.kind == Kind::GetStatus && dev.Count(Kind::Dnload) > 0) busy = true;
  };
  ASSERT_EQ(0u, dev.StartWorker(Image(10)));
  for (int i = 0; i < 2000 && !busy; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(busy.load());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(dev.StopDownloadAndWait(5000));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 3000);
  EXPECT_FALSE(dev.IsThreadRunning());
  EXPECT_EQ(36u, dev.DownloadStatus().GetStatus());
  EXPECT_TRUE(log.Has("DfuDevice::StopDownloadAndWait: download worker stopped.\n"));
}

TEST(StopPoints, StopDownloadAndWaitWithoutWorkerReturnsAtOnce) {
  FakeDfuDevice dev;
  EXPECT_TRUE(dev.StopDownloadAndWait(0));
}

TEST(StopPoints, StopDownloadAndWaitGivesUpAfterItsBound) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  std::mutex gate;
  std::unique_lock<std::mutex> hold(gate);
  std::atomic<bool> inside{false};
  dev.beforeRequest = [&](const Request& r, size_t) {
    if (r.kind == Kind::Detach) {
      inside = true;
      std::lock_guard<std::mutex> wait(gate);  // a request that takes its time
    }
  };
  ASSERT_EQ(0u, dev.StartWorker(Image(10)));
  for (int i = 0; i < 2000 && !inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(inside.load());
  EXPECT_FALSE(dev.StopDownloadAndWait(50));
  EXPECT_TRUE(log.Has("DfuDevice::StopDownloadAndWait: download worker still running after 50 ms.\n"));
  hold.unlock();
  EXPECT_TRUE(dev.StopDownloadAndWait(10000));
  EXPECT_EQ(0u, dev.Count(Kind::Dnload));  // the abort is honoured after the switch
}

// ---- start checks --------------------------------------------------------------

TEST(StartFirmwareDownload, ChecksInOrder) {
  LogCapture log;
  {
    FakeDfuDevice dev;
    EXPECT_EQ(15u, dev.StartFirmwareDownload(10));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: device not open\n"));
  }
  {
    FakeDfuDevice dev;
    dev.MakeOpen(kCan, 4096);
    EXPECT_EQ(2u, dev.StartFirmwareDownload(10));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: mFirmware is NULL\n"));
    ASSERT_NE(nullptr, dev.GetFirmwareBuffer(100));
    EXPECT_EQ(2u, dev.StartFirmwareDownload(0));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: invalid firmware size = 0 (buffer size = 100)\n"));
    EXPECT_EQ(2u, dev.StartFirmwareDownload(101));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: invalid firmware size = 101 (buffer size = 100)\n"));
    dev.SetAttributes(0x0C);
    EXPECT_EQ(45u, dev.StartFirmwareDownload(100));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: DFU_DESC_bitCanDownload not set!\n"));
    dev.SetAttributes(kCan);
    dev.SetTransferSize(0);
    EXPECT_EQ(45u, dev.StartFirmwareDownload(100));
    EXPECT_TRUE(log.Has("StartFirmwareDownload: wTransferSize is 0, no block can be sent.\n"));
    EXPECT_EQ(0u, dev.DownloadStatus().GetStatus());  // nothing started, record untouched
    EXPECT_TRUE(dev.Requests().empty());
  }
}

TEST(StartFirmwareDownload, SecondStartWhileRunningIs35) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(kCan, 4096);
  std::mutex gate;
  std::unique_lock<std::mutex> hold(gate);
  std::atomic<bool> inside{false};
  dev.beforeRequest = [&](const Request& r, size_t) {
    if (r.kind == Kind::Dnload && r.wValue == 0) {
      inside = true;
      std::lock_guard<std::mutex> wait(gate);
    }
  };
  ASSERT_EQ(0u, dev.StartWorker(Image(5000)));
  for (int i = 0; i < 2000 && !inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(inside.load());
  EXPECT_EQ(35u, dev.StartFirmwareDownload(5000));
  EXPECT_TRUE(log.Has("StartFirmwareDownload: another download is currently running.\n"));
  EXPECT_EQ(36u, dev.DownloadStatus().GetStatus());
  EXPECT_EQ(5000u, dev.DownloadStatus().GetTotalBytes());
  hold.unlock();
  ASSERT_TRUE(dev.WaitForWorker());
  EXPECT_EQ(0u, dev.DownloadStatus().GetStatus());
  EXPECT_EQ(5000u, dev.DownloadStatus().GetBytesDownloaded());
}

TEST(DownloadStatusInfo, FieldsAndReset) {
  DownloadStatusInfo info;
  EXPECT_EQ(0u, info.GetStatus());
  info.SetStatus(36);
  info.SetTotalBytes(1000);
  info.AddBytesDownloaded(400);
  info.AddBytesDownloaded(600);
  EXPECT_EQ(36u, info.GetStatus());
  EXPECT_EQ(1000u, info.GetTotalBytes());
  EXPECT_EQ(1000u, info.GetBytesDownloaded());
  info.Reset();
  EXPECT_EQ(0u, info.GetStatus());
  EXPECT_EQ(0u, info.GetTotalBytes());
  EXPECT_EQ(0u, info.GetBytesDownloaded());
}

TEST(DownloadStatusInfo, ResetIsIgnoredWhileARunIsActive) {
  DownloadStatusInfo info;
  info.SetStatus(36);
  info.SetTotalBytes(500);
  info.AddBytesDownloaded(100);
  info.SetRunActive(true);
  info.Reset();
  EXPECT_EQ(36u, info.GetStatus());
  EXPECT_EQ(500u, info.GetTotalBytes());
  EXPECT_EQ(100u, info.GetBytesDownloaded());
  info.SetStatus(24);  // the worker's final status still lands
  EXPECT_EQ(24u, info.GetStatus());
  info.SetRunActive(false);
  info.Reset();
  EXPECT_EQ(0u, info.GetStatus());
}

}  // namespace
