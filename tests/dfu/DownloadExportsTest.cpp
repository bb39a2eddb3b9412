// The download, time-out and serial-number exports end to end: the shared
// library against the driver service and its simulated devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "support/CaseName.h"
#include "support/DriverServiceFixture.h"

using namespace dfue2e;
using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

constexpr uint32_t kReplugMs = 3000;
constexpr uint32_t kBlockMs = 1000;
constexpr uint32_t kManifestMs = 3000;
// Long enough for every run of these tests: two re-plugs, all blocks and
// manifestation, with a wide margin for a loaded machine.
constexpr uint32_t kRunLimitMs = 60000;

class DownloadExports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(driver.Start()) << driver.LastError();
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(0, kReplugMs));
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(1, kBlockMs));
    ASSERT_EQ(0u, VLMUFWDL_SetTimeout(2, kManifestMs));
  }
  void TearDown() override {
    WaitForDownload(kRunLimitMs);
    CloseWhenIdle();
    VLMUFWDL_SetTimeout(0, 60000);
    VLMUFWDL_SetTimeout(1, 1000);
    VLMUFWDL_SetTimeout(2, 70000);
  }

  // Adds a device, enumerates and opens index 0.
  std::string AddAndOpen(const DeviceDescription& spec = DeviceDescription()) {
    const std::string id = driver.AddDevice(spec);
    EXPECT_FALSE(id.empty()) << driver.LastError();
    uint32_t count = 0;
    EXPECT_EQ(0u, VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(0u, VLMUFWDL_OpenDevice(0));
    return id;
  }

  std::string WriteImage(const std::string& name, const std::string& bytes) {
    const std::string path = driver.TempFile(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }

  DriverServiceFixture driver;
};

TEST_F(DownloadExports, FullUpgradeStoresTheImageByteForByte) {
  ExportLog log;
  const std::string image = MakeImage(20000);
  const std::string path = WriteImage("fw.vld", image);
  const std::string id = AddAndOpen();

  uint32_t bytes = 99, total = 99;
  EXPECT_EQ(0u, VLMUFWDL_GetDownloadStatus(&bytes, &total));  // nothing started yet
  EXPECT_EQ(0u, bytes);
  EXPECT_EQ(0u, total);

  driver.ClearTrace();
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  // The switch into DFU mode alone takes two re-enumerations: still running.
  EXPECT_EQ(36u, VLMUFWDL_GetDownloadStatus(&bytes, &total));
  EXPECT_EQ(image.size(), total);

  const Outcome o = WaitForDownload(kRunLimitMs);
  ASSERT_TRUE(o.ended);
  EXPECT_EQ(0u, o.status);
  EXPECT_EQ(image.size(), o.bytes);
  EXPECT_EQ(image.size(), o.total);
  EXPECT_EQ(0u, CloseWhenIdle());

  std::string stored;
  ASSERT_TRUE(driver.GetFirmware(id, stored)) << driver.LastError();
  EXPECT_EQ(image.size(), stored.size());
  EXPECT_TRUE(stored == image);

  // Into DFU mode (host reset), the blocks, the end of the image, the reset.
  const auto words = RequestWords(driver.ReadTrace());
  std::vector<std::string> expected = {"GS", "DET", "GS", "CYC", "GS"};
  uint32_t block = 0;
  for (size_t off = 0; off < image.size(); off += 4096, ++block) {
    const size_t len = std::min<size_t>(4096, image.size() - off);
    expected.push_back("DN" + std::to_string(block) + ":" + std::to_string(len));
    expected.push_back("GS");
  }
  expected.push_back("DN" + std::to_string(block) + ":0");
  ASSERT_GE(words.size(), expected.size() + 3) << Join(words);
  EXPECT_EQ(Join(expected), Join(std::vector<std::string>(words.begin(), words.begin() + expected.size())));
  // Manifestation: status requests only, then the reset and one status.
  for (size_t i = expected.size(); i + 2 < words.size(); ++i) {
    EXPECT_EQ("GS", words[i]) << Join(words);
  }
  EXPECT_EQ("CYC", words[words.size() - 2]);
  EXPECT_EQ("GS", words.back());

  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload( '" + path + "',0x00000000 )\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload returning 0x00000000\n"));
  EXPECT_TRUE(log.Has("Download: download finished with status 0x00000000.\n"));
  EXPECT_TRUE(log.Has("DfuDevice::SwitchDeviceBackFromDfu: Succeeded.\n"));
  EXPECT_EQ(std::string::npos, log.Text().find("GetDownloadStatus")) << "polling writes no entries";

  // After closing, the record is cleared again.
  EXPECT_EQ(0u, VLMUFWDL_GetDownloadStatus(&bytes, &total));
  EXPECT_EQ(0u, bytes);
  EXPECT_EQ(0u, total);
}

TEST_F(DownloadExports, WillDetachDeviceAndBusyPolls) {
  const std::string image = MakeImage(9000, 2);
  const std::string path = WriteImage("fw.vld", image);
  const std::string id =
      AddAndOpen(DeviceDescription().WillDetach().Knob("busyPolls", "2").Knob("pollTimeout", "{\"dfuDNBUSY\": 5}"));
  driver.ClearTrace();
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  const Outcome o = WaitForDownload(kRunLimitMs);
  ASSERT_TRUE(o.ended);
  EXPECT_EQ(0u, o.status);
  std::string stored;
  ASSERT_TRUE(driver.GetFirmware(id, stored));
  EXPECT_TRUE(stored == image);
  const auto words = RequestWords(driver.ReadTrace());
  // No status request between the detach and the reopen, no port cycle.
  ASSERT_GE(words.size(), 4u);
  EXPECT_EQ("GS DET GS DN0:4096", Join({words[0], words[1], words[2], words[3]}));
  // Every block: its DNLOAD, then three status requests (busy, busy, idle).
  EXPECT_EQ("GS GS GS DN1:4096", Join({words[4], words[5], words[6], words[7]}));
}

TEST_F(DownloadExports, LibraryStatesDuringADownload) {
  ExportLog log;
  const std::string image = MakeImage(40000, 3);
  const std::string path = WriteImage("fw.vld", image);
  // Every block is busy for a while: the download takes about a second.
  AddAndOpen(DeviceDescription().Knob("busyPolls", "1").Knob("pollTimeout", "{\"dfuDNBUSY\": 80}"));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));

  EXPECT_EQ(35u, VLMUFWDL_StartDownload(path.c_str(), 0));
  EXPECT_EQ(35u, VLMUFWDL_SetTimeout(1, 5));
  EXPECT_EQ(35u, VLMUFWDL_CloseDevice());
  EXPECT_EQ(35u, VLMUFWDL_EnableLogging(nullptr));
  EXPECT_EQ(35u, VLMUFWDL_SetSerialNumber("X"));
  char buffer[16] = {};
  char* p = buffer;
  EXPECT_EQ(35u, VLMUFWDL_GetSerialNumber(&p, sizeof buffer));
  EXPECT_EQ(16u, VLMUFWDL_OpenDevice(0));
  // These still work during a download (once the device is back in DFU mode,
  // so that the enumeration finds it).
  uint32_t bytes = 0, total = 0;
  for (int i = 0; i < 3000 && bytes == 0; ++i) {
    ASSERT_EQ(36u, VLMUFWDL_GetDownloadStatus(&bytes, &total));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GT(bytes, 0u);
  VLMUFWDL_VLD_FILE_INFO fileInfo;
  EXPECT_EQ(0u, VLMUFWDL_GetVldFileInfo(path.c_str(), &fileInfo));
  uint32_t count = 0;
  EXPECT_EQ(0u, VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count));
  VLMUFWDL_DEVICE_INFO info;
  EXPECT_EQ(0u, VLMUFWDL_GetDeviceInfo(0, &info));
  EXPECT_EQ(0x1234u, info.VendorId);
  const uint32_t running = VLMUFWDL_GetDownloadStatus(&bytes, &total);
  EXPECT_EQ(36u, running) << "the download should still run";

  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload failed, because download is in progress\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_SetTimeout failed, because download is in progress\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_SetSerialNumber failed, because download is in progress\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetSerialNumber failed, because download is in progress\n"));

  const Outcome o = WaitForDownload(kRunLimitMs);
  ASSERT_TRUE(o.ended);
  EXPECT_EQ(0u, o.status);
  // The refused time-out did not change the running download's budget.
  EXPECT_EQ(0u, CloseWhenIdle());
}

// While the worker waits for the device to come back on the bus its handle
// is closed, yet the download is still in progress: the exports that would
// use the device answer 35 (OpenDevice 16), never "no device open" (15).
TEST_F(DownloadExports, DownloadInProgressWhileTheWorkerWaitsForTheDevice) {
  ExportLog log;
  const std::string path = WriteImage("fw.vld", MakeImage(5000, 10));
  // The device stays off the bus for 1.5 s after each port cycle: the worker
  // waits that long with the handle closed.
  AddAndOpen(DeviceDescription().Reenumeration(1500));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  // The reopen closes the handle right after its entry, before any wait.
  bool reopening = false;
  for (int i = 0; i < 1000 && !reopening; ++i) {
    reopening = log.Has("DfuDevice::CloseAndReopen( ...\n");
    if (!reopening) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(reopening) << "the worker never started its re-plug wait";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  uint32_t bytes = 0, total = 0;
  ASSERT_EQ(36u, VLMUFWDL_GetDownloadStatus(&bytes, &total));
  EXPECT_EQ(35u, VLMUFWDL_StartDownload(path.c_str(), 0));
  EXPECT_EQ(35u, VLMUFWDL_SetSerialNumber("X"));
  char buffer[16] = {};
  char* p = buffer;
  EXPECT_EQ(35u, VLMUFWDL_GetSerialNumber(&p, sizeof buffer));
  EXPECT_EQ(16u, VLMUFWDL_OpenDevice(0));
  EXPECT_EQ(35u, VLMUFWDL_CloseDevice());
  // Still running after the calls: all of them met the download in progress.
  ASSERT_EQ(36u, VLMUFWDL_GetDownloadStatus(&bytes, &total)) << "re-plug wait ended during the calls";

  EXPECT_FALSE(log.Has("No open device found")) << log.Text();
  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload failed, because download is in progress\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_SetSerialNumber failed, because download is in progress\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetSerialNumber failed, because download is in progress\n"));
  EXPECT_EQ(0u, WaitForDownload(kRunLimitMs).status);
}

TEST_F(DownloadExports, ArgumentChecks) {
  ExportLog log;
  uint32_t n = 0;
  EXPECT_EQ(2u, VLMUFWDL_GetDownloadStatus(nullptr, &n));
  EXPECT_EQ(2u, VLMUFWDL_GetDownloadStatus(&n, nullptr));
  EXPECT_EQ(28u, VLMUFWDL_SetTimeout(3, 10));
  EXPECT_EQ(28u, VLMUFWDL_SetTimeout(-1, 10));
  EXPECT_EQ(2u, VLMUFWDL_StartDownload(nullptr, 0));
  EXPECT_EQ(15u, VLMUFWDL_StartDownload(driver.TempFile("none.vld").c_str(), 0));
  EXPECT_EQ(2u, VLMUFWDL_SetSerialNumber(nullptr));
  EXPECT_EQ(15u, VLMUFWDL_SetSerialNumber("X"));
  char buffer[8] = {};
  char* p = buffer;
  char* none = nullptr;
  EXPECT_EQ(2u, VLMUFWDL_GetSerialNumber(nullptr, 8));
  EXPECT_EQ(2u, VLMUFWDL_GetSerialNumber(&none, 8));
  EXPECT_EQ(2u, VLMUFWDL_GetSerialNumber(&p, 0));
  EXPECT_EQ(15u, VLMUFWDL_GetSerialNumber(&p, 8));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDownloadStatus: parameter 'BytesDownloaded' is NULL"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetDownloadStatus: parameter 'TotalBytes' is NULL"));
  EXPECT_TRUE(log.Has("VLMUFWDL_SetTimeout: unexpected timeout parameter 3\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_SetTimeout returning 0x0000001C\n"));
  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload: parameter 'VldFileName' is NULL"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetSerialNumber: parameter 'SerialNumberBufferSize' is 0"));
  EXPECT_TRUE(log.Has("VLMUFWDL_GetSerialNumber: parameter '*SerialNumber' is NULL"));
}

TEST_F(DownloadExports, BadImagesStartNothing) {
  ExportLog log;
  const std::string id = AddAndOpen();
  std::string image = MakeImage(5000, 4);
  image[image.size() - 20] ^= 0x40;  // payload byte: the suffix CRC no longer matches
  const std::string bad = WriteImage("bad.vld", image);
  driver.ClearTrace();
  EXPECT_EQ(48u, VLMUFWDL_StartDownload(bad.c_str(), 0));
  EXPECT_EQ(3u, VLMUFWDL_StartDownload(driver.TempFile("missing.vld").c_str(), 0));
  EXPECT_TRUE(log.Has("VLMUFWDL_StartDownload: Open file failed with 0x00000030.\n"));
  uint32_t bytes = 0, total = 0;
  EXPECT_EQ(0u, VLMUFWDL_GetDownloadStatus(&bytes, &total));
  EXPECT_EQ(0u, total);
  EXPECT_TRUE(RequestWords(driver.ReadTrace()).empty());
  // The device stays open and idle: a good image still downloads.
  const std::string good = WriteImage("good.vld", MakeImage(5000, 5));
  EXPECT_EQ(0u, VLMUFWDL_StartDownload(good.c_str(), 0));
  EXPECT_EQ(0u, WaitForDownload(kRunLimitMs).status);
}

// Entries that one StartDownload call writes on the calling thread, from its
// API entry up to the next entry of that thread that names an export.
std::vector<std::string> StartDownloadCallEntries(const std::string& logText, size_t occurrence) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < logText.size()) {
    const size_t end = logText.find('\n', from);
    lines.push_back(logText.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (end == std::string::npos) break;
    from = end + 1;
  }
  const auto thread = [](const std::string& line) { return line.substr(0, line.find(']') + 1); };
  std::vector<std::string> call;
  size_t seen = 0;
  std::string caller;
  for (const std::string& line : lines) {
    const size_t body = line.find("  ");  // after the thread id and the time
    if (body == std::string::npos) continue;
    const std::string entry = line.substr(body + 2);
    if (caller.empty()) {
      if (entry.rfind("API ->: VLMUFWDL_StartDownload(", 0) == 0 && seen++ == occurrence) {
        caller = thread(line);
        call.push_back(entry);
      }
      continue;
    }
    if (thread(line) != caller) continue;
    // A later call: the next API entry, or an entry of another export.
    if (entry.rfind("API ->: ", 0) == 0) break;
    if (entry.find("VLMUFWDL_") != std::string::npos && entry.find("VLMUFWDL_StartDownload") == std::string::npos)
      break;
    call.push_back(entry);
  }
  return call;
}

// The API return entry comes before the image reader is destroyed: only the
// reader's own entries (closing the file) follow it, refused start or not.
TEST_F(DownloadExports, ReturnEntryPrecedesTheClosingOfTheImage) {
  ExportLog log;
  AddAndOpen();
  std::string damaged = MakeImage(5000, 11);
  damaged[damaged.size() - 20] ^= 0x40;  // the suffix CRC no longer matches
  const std::string bad = WriteImage("bad.vld", damaged);
  const std::string good = WriteImage("good.vld", MakeImage(5000, 12));
  EXPECT_EQ(48u, VLMUFWDL_StartDownload(bad.c_str(), 0));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(good.c_str(), 0));
  EXPECT_EQ(0u, WaitForDownload(kRunLimitMs).status);
  EXPECT_EQ(0u, CloseWhenIdle());

  const std::string text = log.Text();
  const char* const returns[] = {"API <-: VLMUFWDL_StartDownload returning 0x00000030",
                                 "API <-: VLMUFWDL_StartDownload returning 0x00000000"};
  for (size_t i = 0; i < 2; ++i) {
    const std::vector<std::string> call = StartDownloadCallEntries(text, i);
    const auto ret = std::find(call.begin(), call.end(), returns[i]);
    ASSERT_NE(ret, call.end()) << returns[i] << "\n" << text;
    const auto destroyed = std::find(call.begin(), call.end(), "INFO: VldFile::~VldFile ...");
    ASSERT_NE(destroyed, call.end()) << text;
    EXPECT_LT(ret - call.begin(), destroyed - call.begin()) << text;
    for (auto it = ret + 1; it != call.end(); ++it) {
      EXPECT_EQ(0u, it->rfind("INFO: VldFile::", 0)) << "after the API return entry: " << *it;
    }
  }
}

TEST_F(DownloadExports, ImageReplacedBetweenDetailsAndStart) {
  const std::string id = AddAndOpen();
  const std::string path = WriteImage("fw.vld", MakeImage(6000, 6));
  VLMUFWDL_VLD_FILE_INFO info;
  ASSERT_EQ(0u, VLMUFWDL_GetVldFileInfo(path.c_str(), &info));

  // Replaced by a damaged file: refused, nothing sent.
  std::string damaged = MakeImage(6000, 6);
  damaged[5] ^= 1;  // header byte: header CRC
  testsupport::WriteFile(path, damaged);
  driver.ClearTrace();
  const uint32_t st = VLMUFWDL_StartDownload(path.c_str(), 0);
  EXPECT_TRUE(st == 6u || st == 48u) << st;
  EXPECT_TRUE(RequestWords(driver.ReadTrace()).empty());

  // Replaced by another valid, larger image: what is on disk at the start is sent.
  const std::string other = MakeImage(12000, 7);
  testsupport::WriteFile(path, other);
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  const Outcome o = WaitForDownload(kRunLimitMs);
  EXPECT_EQ(0u, o.status);
  EXPECT_EQ(other.size(), o.total);
  std::string stored;
  ASSERT_TRUE(driver.GetFirmware(id, stored));
  EXPECT_TRUE(stored == other);
}

// Faults that end a download: the final status is a failure, never 0, and
// the run ends within the time-outs.
struct FaultCase {
  const char* name;
  const char* knobs;   // behaviour set before the start ("" none)
  int actAt;           // 0: never; 1: when the first bytes are counted; 2: when all bytes are counted
  const char* action;  // "unplug", "kill" (the service), or behaviour knobs to set then
  uint32_t expected;   // the final status; 0: any failure (which request fails first is a race)
};

class DownloadFaults : public DownloadExports, public testing::WithParamInterface<FaultCase> {};

TEST_P(DownloadFaults, EndWithAFailureWithinTheTimeouts) {
  const FaultCase& c = GetParam();
  const std::string image = MakeImage(30000, 8);
  const std::string path = WriteImage("fw.vld", image);
  DeviceDescription spec;
  spec.Knob("busyPolls", "1").Knob("pollTimeout", "{\"dfuDNBUSY\": 30, \"dfuMANIFEST\": 30}");
  spec.Knob("manifestPolls", "10");
  const std::string id = AddAndOpen(spec);
  if (*c.knobs) {
    ASSERT_TRUE(driver.SetBehaviour(id, c.knobs)) << driver.LastError();
  }
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  bool acted = false;
  const Outcome o = WaitForDownload(kRunLimitMs, [&](const Outcome& now) {
    if (acted || c.actAt == 0) return;
    const bool due = c.actAt == 1 ? now.bytes > 0 : now.bytes == now.total;
    if (!due) return;
    acted = true;
    const std::string action = c.action;
    if (action == "kill") {
      driver.Kill();
    } else if (action == "unplug") {
      driver.Unplug(id);
    } else {
      EXPECT_TRUE(driver.SetBehaviour(id, action)) << driver.LastError();
    }
  });
  ASSERT_TRUE(o.ended) << "download still running after " << o.seconds << " s";
  EXPECT_NE(0u, o.status);
  EXPECT_NE(36u, o.status);
  if (c.expected != 0) {
    EXPECT_EQ(c.expected, o.status);
  }
  // Two re-plug waits and the polling budgets bound every failure.
  EXPECT_LT(o.seconds, (2 * kReplugMs + kBlockMs + kManifestMs) / 1000.0 + 5.0);
  // A failed reopen has already closed the device (15); otherwise it closes now.
  const uint32_t closed = CloseWhenIdle();
  EXPECT_TRUE(closed == 0u || closed == 15u) << closed;
  RecordProperty("final_status", static_cast<int>(o.status));
  std::printf("[ %s ] final status %u after %.2f s\n", c.name, o.status, o.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DownloadFaults,
    testing::Values(FaultCase{"UnplugMidBlock",
                              "{\"faults\":[{\"bRequest\":1,\"occurrence\":3,\"action\":\"unplug\"}]}", 0, "", 19},
                    FaultCase{"UnplugDuringDownload", "", 1, "unplug", 0},
                    FaultCase{"UnplugDuringManifestation", "", 2, "unplug", 18},
                    // The final port cycle takes the device off the bus for good.
                    FaultCase{"UnplugMidReset", "", 2, "{\"neverReturn\": true}", 24},
                    FaultCase{"NeverBackIntoDfuMode", "{\"neverReturn\": true}", 0, "", 24},
                    FaultCase{"FirmwareDoesNotStart", "{\"finalReset\": \"dfuERROR\"}", 0, "", 31},
                    FaultCase{"ErrorAtBlock", "{\"errorAtBlock\": 2}", 0, "", 46},
                    FaultCase{"HangingRequestEndsWithUnplug",
                              "{\"faults\":[{\"bRequest\":3,\"occurrence\":6,\"action\":\"hang\"}]}", 1, "unplug", 0},
                    FaultCase{"ServiceKilled", "", 1, "kill", 0},
                    // DFU_GETSTATUS answered with 5 bytes: a wrong reply length (47); with
                    // 7 bytes the transfer itself fails (babble), a failed request (18).
                    FaultCase{"StatusReplyOfFiveBytes", "{\"statusLength\": 5}", 0, "", 47},
                    FaultCase{"StatusReplyOfSevenBytes", "{\"statusLength\": 7}", 0, "", 18}),
    [](const testing::TestParamInfo<FaultCase>& i) { return i.param.name; });

TEST_F(DownloadExports, LostServiceEndsTheReplugWaitAtOnce) {
  // The device never comes back after the detach; the re-plug time-out is
  // long. The service then dies: no arrival can come any more.
  ASSERT_EQ(0u, VLMUFWDL_SetTimeout(0, 30000));
  AddAndOpen(DeviceDescription().Knob("neverReturn", "true"));
  const std::string path = WriteImage("fw.vld", MakeImage(20000, 3));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  ASSERT_TRUE(driver.WaitForState("dev1", "off-bus")) << driver.LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  driver.Kill();
  const Outcome o = WaitForDownload(kRunLimitMs);
  ASSERT_TRUE(o.ended);
  EXPECT_EQ(14u, o.status) << "the reopen failed, not timed out (24)";
  EXPECT_LT(o.seconds, 10.0) << "the wait ran on after the service was gone";
}

TEST_F(DownloadExports, SerialNumbersThroughTheExports) {
  ExportLog log;
  const std::string id = AddAndOpen(DeviceDescription().Serial("SN0001"));
  driver.ClearTrace();
  ASSERT_EQ(0u, VLMUFWDL_SetSerialNumber("ABCDEFGHIJ"));
  std::string stored;
  ASSERT_TRUE(driver.GetSerial(id, stored));
  EXPECT_EQ("ABCDEFGHIJ", stored);
  const auto words = RequestWords(driver.ReadTrace());
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(1u, std::count(words.begin(), words.end(), "SET")) << Join(words);
  EXPECT_EQ("CYC", words[words.size() - 2]);

  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  char* p = buffer;
  ASSERT_EQ(0u, VLMUFWDL_GetSerialNumber(&p, sizeof buffer));
  EXPECT_STREQ("ABCDEFGHIJ", buffer);
  std::memset(buffer, '#', sizeof buffer);
  ASSERT_EQ(0u, VLMUFWDL_GetSerialNumber(&p, 4));
  EXPECT_STREQ("ABC", buffer);  // the fourth byte is the terminator

  const std::string tooLong(128, 'Z');
  driver.ClearTrace();
  EXPECT_EQ(2u, VLMUFWDL_SetSerialNumber(tooLong.c_str()));
  EXPECT_TRUE(RequestWords(driver.ReadTrace()).empty());
  EXPECT_TRUE(log.Has("VLMUFWDL_SetSerialNumber: SetSerialNumber failed with 0x00000002.\n"));

  // A download after the serial-number operations still works.
  const std::string path = WriteImage("fw.vld", MakeImage(5000, 9));
  ASSERT_EQ(0u, VLMUFWDL_StartDownload(path.c_str(), 0));
  EXPECT_EQ(0u, WaitForDownload(kRunLimitMs).status);
}

TEST_F(DownloadExports, DeviceThatCannotEnterDfuModeSendsNoVendorRequest) {
  AddAndOpen(DeviceDescription().WillDetach().Knob("stayInAppIdleAfterDetach", "true"));
  driver.ClearTrace();
  EXPECT_EQ(31u, VLMUFWDL_SetSerialNumber("NEW"));
  char buffer[16] = {};
  char* p = buffer;
  EXPECT_EQ(31u, VLMUFWDL_GetSerialNumber(&p, sizeof buffer));
  const auto words = RequestWords(driver.ReadTrace());
  EXPECT_EQ(0, std::count(words.begin(), words.end(), "SET"));
  EXPECT_EQ(0, std::count(words.begin(), words.end(), "GET"));
}

}  // namespace
