// Serial-number vendor requests: layouts, termination of the read text,
// argument checks and the write length limit.
#include <gtest/gtest.h>

#include "FakeDfuDevice.h"
#include "LogCapture.h"
#include "support/CaseName.h"

using namespace dfutest;
using Bytes = std::vector<uint8_t>;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

TEST(VendorSetSerialNumber, SendsTheCharactersWithoutTerminator) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(DFU_DESC_bitCanDownload, 4096, /*interface*/ 2);
  ASSERT_EQ(0u, dev.VendorSetSerialNumber("AB12"));
  ASSERT_EQ(0u, dev.VendorSetSerialNumber(""));
  auto reqs = dev.Requests();
  ASSERT_EQ(2u, reqs.size());
  EXPECT_EQ(Bytes({0, 2, 0, 0, 0, 1, 0, 0, 0, 0x83, 0, 0, 2, 0, 4, 0, 'A', 'B', '1', '2'}), reqs[0].in);
  EXPECT_EQ(0u, reqs[0].outSize);
  EXPECT_EQ(Bytes({0, 2, 0, 0, 0, 1, 0, 0, 0, 0x83, 0, 0, 2, 0, 0, 0}), reqs[1].in);
  EXPECT_EQ(2u, log.CountOf("DfuDevice::VendorSetSerialNumber ...\n"));
}

TEST(VendorSetSerialNumber, LengthLimitAndFailures) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(DFU_DESC_bitCanDownload, 4096);
  const std::string longest(DfuDevice::kMaxSerialNumberLength, 'x');
  EXPECT_EQ(0u, dev.VendorSetSerialNumber(longest.c_str()));
  EXPECT_EQ(127u, dev.Requests()[0].wLength);
  const std::string tooLong(DfuDevice::kMaxSerialNumberLength + 1, 'x');
  EXPECT_EQ(2u, dev.VendorSetSerialNumber(tooLong.c_str()));
  EXPECT_EQ(1u, dev.Requests().size());
  EXPECT_TRUE(log.Has("SerialNumber has 128 characters, at most 127 are allowed\n"));
  EXPECT_EQ(2u, dev.VendorSetSerialNumber(nullptr));

  dev.failWith = [](Kind k, size_t) { return k == Kind::SetSerial ? 0x1Fu : 0u; };
  EXPECT_EQ(19u, dev.VendorSetSerialNumber("1"));
  EXPECT_TRUE(log.Has("DfuDevice::VendorSetSerialNumber: st: 0x0000001F\n"));
}

struct ReadCase {
  const char* name;
  std::string reply;
  uint16_t size;
  std::string expected;
};

class VendorGetSerialNumber : public testing::TestWithParam<ReadCase> {};

TEST_P(VendorGetSerialNumber, TerminatesInsideTheBuffer) {
  const ReadCase& c = GetParam();
  FakeDfuDevice dev;
  dev.MakeOpen(DFU_DESC_bitCanDownload, 4096, 1);
  dev.serialReply = c.reply;
  std::vector<char> buffer(c.size + 4u, '#');  // guard bytes behind the buffer
  char* p = buffer.data();
  ASSERT_EQ(0u, dev.VendorGetSerialNumber(&p, c.size));
  EXPECT_EQ(c.expected, std::string(buffer.data()));
  for (size_t i = c.size; i < buffer.size(); ++i) {
    EXPECT_EQ('#', buffer[i]) << i;
  }
  auto reqs = dev.Requests();
  ASSERT_EQ(1u, reqs.size());
  EXPECT_EQ(Bytes({1, 2, 0, 0, 0, 1, 0, 0, 0, 0x84, 0, 0, 1, 0, static_cast<uint8_t>(c.size & 0xFF),
                   static_cast<uint8_t>(c.size >> 8)}),
            reqs[0].in);
  EXPECT_EQ(c.size, reqs[0].outSize);
  EXPECT_TRUE(reqs[0].hadByteCount);
}

INSTANTIATE_TEST_SUITE_P(Table, VendorGetSerialNumber,
                         testing::Values(ReadCase{"TenOfSixteen", "0123456789", 16, "0123456789"},
                                         ReadCase{"FullBufferLosesTheLast", "0123456789ABCDEF", 16, "0123456789ABCDE"},
                                         ReadCase{"Empty", "", 16, ""}, ReadCase{"OneByteBuffer", "XYZ", 1, ""},
                                         ReadCase{"TwoByteBuffer", "XYZ", 2, "X"}),
                         [](const testing::TestParamInfo<ReadCase>& i) { return i.param.name; });

TEST(VendorGetSerialNumberChecks, NullPointersSizeZeroAndFailure) {
  LogCapture log;
  FakeDfuDevice dev;
  dev.MakeOpen(DFU_DESC_bitCanDownload, 4096);
  char buffer[8] = "garbage";
  char* p = buffer;
  char* none = nullptr;
  EXPECT_EQ(2u, dev.VendorGetSerialNumber(nullptr, 8));
  EXPECT_TRUE(log.Has("DfuDevice::VendorGetSerialNumber: SerialNumber == NULL\n"));
  EXPECT_EQ(2u, dev.VendorGetSerialNumber(&none, 8));
  EXPECT_TRUE(log.Has("DfuDevice::VendorGetSerialNumber: *SerialNumber == NULL\n"));
  EXPECT_EQ(2u, dev.VendorGetSerialNumber(&p, 0));
  EXPECT_TRUE(log.Has("DfuDevice::VendorGetSerialNumber: SerialNumberBufferSize == 0\n"));
  EXPECT_TRUE(dev.Requests().empty());

  dev.failWith = [](Kind k, size_t) { return k == Kind::GetSerial ? 0x1Fu : 0u; };
  EXPECT_EQ(19u, dev.VendorGetSerialNumber(&p, 8));
  EXPECT_EQ('\0', buffer[0]);  // a failed read leaves an empty text
  EXPECT_TRUE(log.Has("DfuDevice::VendorGetSerialNumber: st: 0x0000001F\n"));
}

TEST(SerialNumberOperations, RefuseBeforeTouchingTheDevice) {
  LogCapture log;
  FakeDfuDevice closed;
  char buffer[8] = {};
  char* p = buffer;
  EXPECT_EQ(15u, closed.SetSerialNumber("1"));
  EXPECT_TRUE(log.Has("DfuDevice::SetSerialNumber: device not open\n"));
  EXPECT_EQ(15u, closed.GetSerialNumber(&p, 8));
  EXPECT_TRUE(log.Has("DfuDevice::GetSerialNumber: device not open\n"));

  FakeDfuDevice dev;
  dev.MakeOpen(DFU_DESC_bitCanDownload, 4096);
  EXPECT_EQ(2u, dev.SetSerialNumber(nullptr));
  EXPECT_TRUE(log.Has("DfuDevice::SetSerialNumber( NULL )...\n"));
  EXPECT_TRUE(log.Has("DfuDevice::SetSerialNumber: SerialNumber is NULL\n"));
  EXPECT_EQ(2u, dev.GetSerialNumber(nullptr, 8));
  EXPECT_TRUE(log.Has("DfuDevice::GetSerialNumber: SerialNumber is NULL\n"));
  const std::string tooLong(128, '7');
  EXPECT_EQ(2u, dev.SetSerialNumber(tooLong.c_str()));
  EXPECT_TRUE(dev.Requests().empty());
}

}  // namespace
