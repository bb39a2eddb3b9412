// Byte layouts of the DFU and vendor requests, DFU_GETSTATUS decoding, the
// poll wait arithmetic, block numbers and state names.
#include <gtest/gtest.h>

#include <chrono>

#include "FakeDfuDevice.h"
#include "LogCapture.h"

using namespace dfutest;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Header(uint8_t dir, uint8_t type, uint8_t recipient, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
             uint16_t wLength) {
  return Bytes{dir,
               type,
               0,
               0,
               0,
               recipient,
               0,
               0,
               0,
               bRequest,
               static_cast<uint8_t>(wValue & 0xFF),
               static_cast<uint8_t>(wValue >> 8),
               static_cast<uint8_t>(wIndex & 0xFF),
               static_cast<uint8_t>(wIndex >> 8),
               static_cast<uint8_t>(wLength & 0xFF),
               static_cast<uint8_t>(wLength >> 8)};
}

TEST(DfuRequests, GetStatusLayoutAndReply) {
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096, /*interface*/ 3);
  dev.statuses.push_back(Status{dfuDNBUSY, 0x002710, 0, 6, /*bStatus*/ 0x0A, /*iString*/ 0x07});
  ASSERT_EQ(0u, dev.DfuGetStatus());
  auto reqs = dev.Requests();
  ASSERT_EQ(1u, reqs.size());
  EXPECT_EQ(kIoctlControl, reqs[0].code);
  EXPECT_EQ(Header(1, 1, 1, 3, 0, 3, 6), reqs[0].in);
  EXPECT_EQ(6u, reqs[0].outSize);
  EXPECT_TRUE(reqs[0].hadByteCount);
  EXPECT_EQ(10000u, dev.PollTimeout());
  const uint8_t* s = dev.DfuStatusBytes();
  EXPECT_EQ(Bytes({0x0A, 0x10, 0x27, 0x00, dfuDNBUSY, 0x07}), Bytes(s, s + 6));
}

TEST(DfuRequests, PollTimeoutIsA24BitNumber) {
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096);
  dev.statuses.push_back(Status{dfuDNBUSY, 0xFFFFFF});
  ASSERT_EQ(0u, dev.DfuGetStatus());
  EXPECT_EQ(16777215u, dev.PollTimeout());
  dev.statuses.push_back(Status{dfuDNBUSY, 0x000001});
  ASSERT_EQ(0u, dev.DfuGetStatus());
  EXPECT_EQ(1u, dev.PollTimeout());
}

TEST(DfuRequests, GetStatusWrongLengthIs47AndKeepsPollTimeout) {
  LogCapture log;
  for (uint32_t length : {5u, 7u, 0u}) {
    SCOPED_TRACE(length);
    FakeDfuDevice dev;
    dev.MakeOpen(0x0D, 4096);
    dev.SetPollTimeout(1234);
    dev.statuses.push_back(Status{dfuDNBUSY, 99, 0, length});
    EXPECT_EQ(47u, dev.DfuGetStatus());
    EXPECT_EQ(1234u, dev.PollTimeout());
    EXPECT_TRUE(log.Has("DfuGetStatus: invlaid length: " + std::to_string(length) + "\n"));
  }
}

TEST(DfuRequests, GetStatusTransportFailureIs18) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096);
  dev.SetPollTimeout(77);
  dev.statuses.push_back(Status{dfuDNBUSY, 5, /*st*/ kErrGenFailure});
  EXPECT_EQ(18u, dev.DfuGetStatus());
  EXPECT_EQ(77u, dev.PollTimeout());
  EXPECT_TRUE(log.Has("DfuGetStatus: st: 0x0000001F\n"));
}

TEST(DfuRequests, ClrStatusLayoutAndFailure) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096, 2);
  ASSERT_EQ(0u, dev.DfuClrStatus());
  auto reqs = dev.Requests();
  ASSERT_EQ(1u, reqs.size());
  EXPECT_EQ(Header(0, 1, 1, 4, 0, 2, 0), reqs[0].in);
  EXPECT_EQ(0u, reqs[0].outSize);
  EXPECT_FALSE(reqs[0].hadByteCount);
  EXPECT_TRUE(log.Has("DfuDevice::DfuClrStatus ...\n"));

  dev.failWith = [](Kind k, size_t) { return k == Kind::ClrStatus ? 0x1Fu : 0u; };
  EXPECT_EQ(19u, dev.DfuClrStatus());
  EXPECT_TRUE(log.Has("CDfuClrStatus: st: 0x0000001F\n"));
}

TEST(DfuRequests, DetachIsAVendorDeviceRequestWithWIndexZero) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096, /*interface*/ 5);
  ASSERT_EQ(0u, dev.DfuDetach(0x1234));
  auto reqs = dev.Requests();
  ASSERT_EQ(1u, reqs.size());
  EXPECT_EQ(Header(0, 2, 0, 0x80, 0x1234, 0, 0), reqs[0].in);
  EXPECT_EQ(16u, reqs[0].in.size());
  EXPECT_TRUE(log.Has("DfuDevice::DfuDetach ...\n"));

  dev.failWith = [](Kind k, size_t) { return k == Kind::Detach ? 0xE0000013u : 0u; };
  EXPECT_EQ(19u, dev.DfuDetach(1));
  EXPECT_TRUE(log.Has("DfuDevice::DfuDetach: st: 0xE0000013\n"));
}

TEST(DfuRequests, DnloadCarriesBlockNumberWIndexZeroAndData) {
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096, /*interface*/ 4);
  dev.SetBlockNumber(5);
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  ASSERT_EQ(0u, dev.DfuDnload(data, 3));
  EXPECT_EQ(6u, dev.BlockNumber());
  auto reqs = dev.Requests();
  ASSERT_EQ(1u, reqs.size());
  Bytes expected = Header(0, 1, 1, 1, 5, 0, 3);
  expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});
  EXPECT_EQ(expected, reqs[0].in);
  EXPECT_EQ(0u, reqs[0].outSize);

  ASSERT_EQ(0u, dev.DfuDnload(nullptr, 0));  // end of image: header only
  reqs = dev.Requests();
  EXPECT_EQ(Header(0, 1, 1, 1, 6, 0, 0), reqs[1].in);
}

TEST(DfuRequests, BlockNumberWrapsAndAdvancesOnFailure) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(0x0D, 4096);
  dev.SetBlockNumber(65535);
  const uint8_t byte = 1;
  ASSERT_EQ(0u, dev.DfuDnload(&byte, 1));
  EXPECT_EQ(0u, dev.BlockNumber());
  EXPECT_EQ(65535u, dev.Requests()[0].wValue);

  dev.failWith = [](Kind k, size_t) { return k == Kind::Dnload ? 0x79u : 0u; };
  EXPECT_EQ(19u, dev.DfuDnload(&byte, 1));
  EXPECT_EQ(1u, dev.BlockNumber());
  EXPECT_EQ(0u, dev.Requests()[1].wValue);
  EXPECT_TRUE(log.Has("DfuDevice::DfuDnload: st: 0x00000079\n"));
}

TEST(DfuRequests, RequestsOnAClosedDeviceFailWithTheirStatus) {
  FakeDfuDevice dev;  // never opened
  EXPECT_EQ(18u, dev.DfuGetStatus());
  EXPECT_EQ(19u, dev.DfuClrStatus());
  EXPECT_EQ(19u, dev.DfuDetach(0));
  EXPECT_EQ(19u, dev.DfuDnload(nullptr, 0));
}

using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(WaitPollTimeout, RefusesWithoutBudgetOrWhenTheBudgetIsNotGreater) {
  FakeDfuDevice dev;
  struct Case {
    uint32_t budget, poll;
    bool slept;
    uint32_t left;
  } cases[] = {
      {0, 0, false, 0},                          // no budget at all
      {0, 40, false, 0},   {40, 40, false, 40},  // equality is not enough
      {39, 40, false, 39}, {41, 40, true, 1},    // sleeps the whole 40 ms and leaves 1
      {100, 0, true, 100},                       // a zero poll time costs nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.budget << "/" << c.poll);
    dev.SetRemainingWait(c.budget);
    dev.SetPollTimeout(c.poll);
    const auto t0 = Clock::now();
    EXPECT_EQ(c.slept, dev.WaitPollTimeout());
    const long long ms = MsSince(t0);
    EXPECT_EQ(c.left, dev.RemainingWait());
    if (c.slept && c.poll > 0) {
      EXPECT_GE(ms, c.poll - 1);
    }
  }
}

TEST(DfuStateName, NamesEveryStateAndUnknownValues) {
  const char* names[] = {"appIDLE",          "appDETATCH",  "dfuIDLE",
                         "dfuDNLOAD_SYNC",   "dfuDNBUSY",   "dfuDNLOAD_IDLE",
                         "dfuMANIFEST_SYNC", "dfuMANIFEST", "dfuMANIFEST_WAIT_RESET",
                         "dfuUPLOAD_IDLE",   "dfuERROR"};
  for (int i = 0; i <= 10; ++i) {
    EXPECT_STREQ(names[i], DfuStateName(i)) << i;
  }
  EXPECT_STREQ("unknown DFU_STATE", DfuStateName(11));
  EXPECT_STREQ("unknown DFU_STATE", DfuStateName(-1));
  EXPECT_STREQ("unknown DFU_STATE", DfuStateName(255));
}

}  // namespace
