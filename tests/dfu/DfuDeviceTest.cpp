// DfuDevice identity and DFU descriptor search against a fake device file:
// exact statuses, exact log entries, and no read outside any buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceCodes.h"
#include "device/DeviceLogCapture.h"
#include "device/FakeDeviceFile.h"
#include "support/CaseName.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using namespace devicetest;

class Engine : public ::testing::Test {
 protected:
  NoServiceEnvironment env;
  DeviceLogCapture log;
  std::shared_ptr<FakeDevice> fake = GoodDevice();
  TestDfuDevice device;
  void SetUp() override {
    ASSERT_TRUE(log.Enabled());
    device.Attach(fake);
  }
  // ReadDeviceInfo, then the descriptor search, as OpenDevice does after Open.
  uint32_t Identify() {
    const uint32_t st = device.ReadDeviceInfo();
    return st != 0 ? st : device.GetDfuDescriptorData();
  }
};

// ---- device identity ------------------------------------------------------------

TEST_F(Engine, ReadsVendorProductAndSerialNumber) {
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_EQ(device.GetVendorId(), 0x1234);
  EXPECT_EQ(device.GetProductId(), 0x5678);
  EXPECT_EQ(device.Serial(), u"SN0001");
  const auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].in, (Bytes{0, 0, 0, 0, 3, 0, 0, 0})) << "language table: index 0, language 0";
  EXPECT_EQ(requests[1].outSize, 256u);
  EXPECT_EQ(requests[2].in, (Bytes{0, 0, 0, 0, 3, 3, 0x09, 0x04})) << "first language of the table";
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo ...\n"));
}

TEST_F(Engine, NoSerialIndexMeansNoStringRequest) {
  fake->deviceDescriptor = DeviceDescriptor(0x1111, 0x2222, 0, 1);
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_EQ(device.GetVendorId(), 0x1111);
  EXPECT_TRUE(device.Serial().empty());
  EXPECT_EQ(fake->CountOfType(3), 0u);
}

TEST_F(Engine, LanguageTableWithOnlyItsHeaderIsAWarning) {
  fake->strings[{0, 0}] = Bytes{2, 3};
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_TRUE(device.Serial().empty());
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo: Language IDs not supported\n"));
  EXPECT_NE(log.LineWith("Language IDs not supported").find("WARNING"), std::string::npos);
  EXPECT_EQ(fake->CountOfType(3), 1u);
}

TEST_F(Engine, FailingLanguageOrSerialRequestIsAWarning) {
  fake->strings.erase({0, 0});
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo: Get language IDs not supported: st: 0x0000001F\n"));
  fake->strings[{0, 0}] = Bytes{4, 3, 0x07, 0x04};  // German first: no serial string for it
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo: GetStringDescriptor st: 0x0000001F\n"));
  EXPECT_EQ(device.GetVendorId(), 0x1234) << "identity stays although the serial number is missing";
  EXPECT_TRUE(device.Serial().empty());
}

TEST_F(Engine, DeviceDescriptorFailures) {
  fake->deviceDescriptor.resize(17);
  EXPECT_EQ(device.ReadDeviceInfo(), 18u);
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo: GetDeviceDescriptor failed with 0xE0000037\n"));
  EXPECT_EQ(device.GetVendorId(), 0);
  fake->failWith = [](const RecordedRequest& r) { return r.type() == 1 ? 1167u : 0u; };
  EXPECT_EQ(device.ReadDeviceInfo(), 18u);
  EXPECT_TRUE(log.Has("DfuDevice::ReadDeviceInfo: GetDeviceDescriptor failed with 0x0000048F\n"));
}

struct StringCase {
  const char* name;
  Bytes descriptor;
  uint32_t status;
  std::u16string serial;
  const char* error;  // exact ERROR text or nullptr
};

class SerialString : public Engine, public ::testing::WithParamInterface<StringCase> {};

TEST_P(SerialString, StatusSerialAndEntry) {
  const StringCase& c = GetParam();
  fake->strings[{3, 0x0409}] = c.descriptor;
  EXPECT_EQ(device.ReadDeviceInfo(), c.status);
  EXPECT_EQ(device.Serial(), c.serial);
  if (c.error != nullptr) {
    EXPECT_TRUE(log.Has(c.error)) << log.Text();
    EXPECT_NE(log.LineWith(c.error).find("ERROR"), std::string::npos);
  } else {
    EXPECT_FALSE(log.Has("invalid string desc.")) << log.Text();
  }
}

Bytes LongUnterminated() {
  Bytes d{0xFF, 3};
  for (int i = 0; i < 127; ++i) {
    d.push_back(static_cast<uint8_t>('A' + i % 26));
    d.push_back(0);
  }
  return d;  // 256 bytes, no NUL character
}

std::u16string LongText() {
  std::u16string s;
  for (int i = 0; i < 127; ++i) s.push_back(static_cast<char16_t>('A' + i % 26));
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialString,
    ::testing::Values(StringCase{"exactly2", Bytes{2, 3}, 47, u"",
                                 "DfuDevice::ReadDeviceInfo: invalid string desc. length: 2 desctype: 3\n"},
                      StringCase{"one", Bytes{1}, 47, u"",
                                 "DfuDevice::ReadDeviceInfo: invalid string desc. length: 1 desctype: 0\n"},
                      StringCase{"empty", Bytes{}, 47, u"",
                                 "DfuDevice::ReadDeviceInfo: invalid string desc. length: 0 desctype: 0\n"},
                      StringCase{"wrongType", Bytes{6, 2, 'A', 0, 'B', 0}, 47, u"",
                                 "DfuDevice::ReadDeviceInfo: invalid string desc. length: 6 desctype: 2\n"},
                      StringCase{"oddLength", Bytes{7, 3, 'A', 0, 'B', 0, 'C'}, 0, u"AB", nullptr},
                      StringCase{"oddThree", Bytes{3, 3, 'Z'}, 0, u"", nullptr},
                      StringCase{"embeddedNul", Bytes{10, 3, 'A', 0, 'B', 0, 0, 0, 'C', 0}, 0, u"AB", nullptr},
                      StringCase{"unterminated", LongUnterminated(), 0, LongText(), nullptr},
                      StringCase{"nonAscii", Bytes{6, 3, 0xC4, 0x00, 0x3A, 0x26}, 0, u"\u00C4\u263A", nullptr}),
    [](const ::testing::TestParamInfo<StringCase>& p) { return std::string(p.param.name); });

TEST_F(Engine, SerialStringLongerThanTheBufferIsCutAtTheBuffer) {
  Bytes d = LongUnterminated();
  d.resize(400, 'x');  // the device would send more than 256 bytes
  fake->strings[{3, 0x0409}] = d;
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  EXPECT_EQ(device.Serial(), LongText());
}

// ---- DFU descriptor search --------------------------------------------------------

struct WalkCase {
  const char* name;
  std::vector<Bytes> configurations;
  uint32_t status;
  const char* entry;              // exact entry expected in the log
  uint8_t numConfigurations = 0;  // 0: the number of configurations given
  uint8_t interfaceNumber = 0;
  uint8_t attributes = 0;
  uint16_t detach = 0;
  uint16_t transfer = 0;
};

class DescriptorWalk : public Engine, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(DescriptorWalk, StatusEntryAndData) {
  const WalkCase& c = GetParam();
  fake->configurations = c.configurations;
  const uint8_t n = c.numConfigurations != 0 ? c.numConfigurations : static_cast<uint8_t>(c.configurations.size());
  fake->deviceDescriptor = DeviceDescriptor(0x1234, 0x5678, 0, n);
  EXPECT_EQ(Identify(), c.status);
  EXPECT_TRUE(log.Has(c.entry)) << "missing: " << c.entry << "\n" << log.Text();
  EXPECT_TRUE(log.Has("DfuDevice::GetDfuDescriptorData ... \n"));
  if (c.status == 0) {
    EXPECT_EQ(device.DfuInterfaceNumber(), c.interfaceNumber);
    EXPECT_EQ(device.DfuAttributes(), c.attributes);
    EXPECT_EQ(device.DetachTimeout(), c.detach);
    EXPECT_EQ(device.TransferSize(), c.transfer);
  } else {
    EXPECT_NE(log.LineWith(c.entry).find("ERROR"), std::string::npos) << log.LineWith(c.entry);
  }
}

const Bytes kAudio = Interface(0, 1, 1, 0);

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorWalk,
    ::testing::Values(
        WalkCase{"found",
                 {Configuration({kAudio, Other(0x24, 7), DfuInterface(2, 1), Functional(0x0B, 500, 4096, 9)})},
                 0,
                 "DfuDevice::GetDfuDescriptorData: DFU functional descriptor found (bmAttributes = 0x0B, "
                 "wDetachTimeout = 500, wTransferSize = 4096).\n",
                 0,
                 2,
                 0x0B,
                 500,
                 4096},
        WalkCase{"interfaceEntry",
                 {Configuration({DfuInterface(5, 0), Functional(0x01, 1, 64)})},
                 0,
                 "DfuDevice::GetDfuDescriptorData: DFU interface descriptor found (bInterfaceNumber = 5).\n",
                 0,
                 5,
                 0x01,
                 1,
                 64},
        WalkCase{"typeEntries",
                 {Configuration({kAudio, DfuInterface(1, 0), Functional(0x01, 1, 64)})},
                 0,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0: found descriptor of type 0x21.\n",
                 0,
                 1,
                 0x01,
                 1,
                 64},
        WalkCase{"totalLength9",
                 {Configuration({}, 9)},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 with invalid wTotalLength = 9.\n"},
        WalkCase{"totalLength0",
                 {Configuration({kAudio}, 0)},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 with invalid wTotalLength = 0.\n"},
        WalkCase{"protocol0With9",
                 {Configuration({DfuInterface(0, 0), Functional(1, 1, 64, 9)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. DFU Functional Descriptor "
                 "length is 9, expected 7.\n"},
        WalkCase{"protocol2With7",
                 {Configuration({DfuInterface(0, 2), Functional(1, 1, 64, 7)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. DFU Functional Descriptor "
                 "length is 7, expected 9.\n"},
        WalkCase{"protocol3",
                 {Configuration({DfuInterface(0, 3), Functional(1, 1, 64, 9)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. Unxepected interface "
                 "protocol 3.\n"},
        WalkCase{"interfaceLength10",
                 {Configuration({Interface(0, 1, 1, 0, 10), DfuInterface(1, 1), Functional(1, 1, 64, 9)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. Interface length is 10, "
                 "expected 9.\n"},
        WalkCase{"secondConfiguration",
                 {Configuration({kAudio, Other(0x24, 5)}),
                  Configuration({DfuInterface(0, 2), Functional(0x0D, 50, 1024, 9)})},
                 0,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 1: found descriptor of type 0x21.\n",
                 0,
                 0,
                 0x0D,
                 50,
                 1024},
        WalkCase{
            "noFunctionalStopsSearch",
            {Configuration({DfuInterface(0, 1), kAudio}), Configuration({DfuInterface(0, 1), Functional(1, 1, 64, 9)})},
            47,
            "DfuDevice::GetDfuDescriptorData: Not all required DFU descriptor data found.\n"},
        WalkCase{"noConfigurations",
                 {},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Not all required DFU descriptor data found.\n"},
        WalkCase{"noDfuInterface",
                 {Configuration({kAudio, Functional(1, 1, 64)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Not all required DFU descriptor data found.\n"},
        WalkCase{
            "functionalAfterNextInterface",
            {Configuration({DfuInterface(4, 1), Interface(5, 1, 2, 0), Other(0x05, 7), Functional(0x09, 10, 512, 9)})},
            0,
            "DfuDevice::GetDfuDescriptorData: DFU interface descriptor found (bInterfaceNumber = 4).\n",
            0,
            4,
            0x09,
            10,
            512},
        WalkCase{"functionalBeforeInterfaceSkipped",
                 {Configuration({Functional(0xFF, 9, 9, 7), DfuInterface(1, 0), Functional(0x03, 7, 256, 7)})},
                 0,
                 "DfuDevice::GetDfuDescriptorData: DFU functional descriptor found (bmAttributes = 0x03, "
                 "wDetachTimeout = 7, wTransferSize = 256).\n",
                 0,
                 1,
                 0x03,
                 7,
                 256},
        WalkCase{"lengthPastEnd",
                 {Configuration({kAudio, Other(0x24, 20)}, 9 + 9 + 10)},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. Cannot read found "
                 "descriptor with length 20.\n"},
        WalkCase{"twoBytesLeft",
                 {Configuration({kAudio, Bytes{2, 0x24}})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. Cannot read header of the "
                 "next descriptor.\n"},
        WalkCase{"zeroLength",
                 {Configuration({kAudio, Bytes{0, 0x24, 0, 0}, DfuInterface(0, 1)})},
                 47,
                 "DfuDevice::GetDfuDescriptorData: Configuration descriptor 0 is corrupt. Descriptor at offset 18 has "
                 "length 0.\n"},
        WalkCase{"configurationMissing",
                 {Configuration({kAudio})},
                 18,
                 "DfuDevice::GetDfuDescriptorData: Failed with 0x0000001F to read configuration descriptor 1.\n",
                 2}),
    [](const ::testing::TestParamInfo<WalkCase>& p) { return std::string(p.param.name); });

TEST_F(Engine, TruncatedAnswerEndsAtTheZeroTail) {
  // wTotalLength says 60, the device sends 25 bytes: the rest stays zero.
  fake->configurations = {Configuration({kAudio, Other(0x24, 7), DfuInterface(0, 1), Functional(1, 1, 64, 9)}, 60)};
  fake->deviceDescriptor = DeviceDescriptor(0x1234, 0x5678, 0, 1);
  fake->limitAnswer = [](const RecordedRequest& r, uint32_t n) { return r.outSize > 9 ? 25u : n; };
  EXPECT_EQ(Identify(), 47u);
  EXPECT_TRUE(log.Has("Configuration descriptor 0 is corrupt. Descriptor at offset 25 has length 0.\n"));
}

TEST_F(Engine, ShortHeaderAndFailedFullRead) {
  device.SetDeviceDescriptor(DeviceDescriptor(0x1234, 0x5678, 0, 1));
  fake->limitAnswer = [](const RecordedRequest&, uint32_t) { return 8u; };
  EXPECT_EQ(device.GetDfuDescriptorData(), 47u);
  EXPECT_TRUE(log.Has("DfuDevice::GetDfuDescriptorData: Received 8 bytes for header of configuration descriptor 0.\n"));
  fake->limitAnswer = nullptr;
  fake->failWith = [](const RecordedRequest& r) { return r.type() == 2 && r.outSize > 9 ? 1167u : 0u; };
  EXPECT_EQ(device.GetDfuDescriptorData(), 18u);
  EXPECT_TRUE(log.Has("DfuDevice::GetDfuDescriptorData: Failed with 0x0000048F to read configuration descriptor 0.\n"));
}

TEST_F(Engine, FullReadAsksForExactlyTotalLength) {
  device.SetDeviceDescriptor(DeviceDescriptor(0x1234, 0x5678, 0, 1));
  ASSERT_EQ(device.GetDfuDescriptorData(), 0u);
  const auto requests = fake->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].outSize, 9u);
  EXPECT_EQ(requests[1].outSize, fake->configurations[0].size());
  EXPECT_EQ(requests[1].in, (Bytes{0, 0, 0, 0, 2, 0, 0, 0}));
}

TEST_F(Engine, LargestTotalLengthIsWalkedWithinTheBuffer) {
  // 65535 bytes of 255-byte vendor descriptors, then not enough room: the
  // walk reaches the end without leaving the buffer.
  Bytes config{9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50};
  while (config.size() + 255 <= 65535) {
    Bytes d = Other(0x24, 255);
    config.insert(config.end(), d.begin(), d.end());
  }
  config.resize(65535, 0);
  fake->configurations = {config};
  device.SetDeviceDescriptor(DeviceDescriptor(0x1234, 0x5678, 0, 1));
  EXPECT_EQ(device.GetDfuDescriptorData(), 47u);
  EXPECT_TRUE(log.Has("Configuration descriptor 0 is corrupt. Descriptor at offset 65289 has length 0.\n"))
      << log.LineWith("corrupt");
}

// ---- open, close, buffer ----------------------------------------------------------

TEST_F(Engine, SecondOpenOfTheSameInstanceKeepsTheFirstConnection) {
  ASSERT_EQ(Identify(), 0u);
  VlmuDeviceSet set;
  EXPECT_EQ(device.OpenDevice(set, 0), VLMU_E_ALREADY_OPEN);
  EXPECT_TRUE(log.Has("DfuDevice::OpenDevice: Another device is already open.\n"));
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(device.GetVendorId(), 0x1234);
  uint8_t d[18];
  EXPECT_EQ(device.GetDeviceDescriptor(d), 0u);
}

TEST_F(Engine, OpenFailureIsStatus14WithTheTransportCode) {
  device.Close();
  VlmuDeviceSet set;  // never enumerated: the fixed path, and no service behind it
  EXPECT_EQ(device.OpenDevice(set, 0), 14u);
  EXPECT_TRUE(log.Has("DfuDevice::Open ...\n"));
  EXPECT_TRUE(log.Has("DfuDevice::OpenDevice: Open failed with 0x"));
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(Engine, CloseClearsIdentityButKeepsTheFirmwareBuffer) {
  ASSERT_EQ(Identify(), 0u);
  uint8_t* buffer = device.GetFirmwareBuffer(1000);
  ASSERT_NE(buffer, nullptr);
  buffer[999] = 7;
  EXPECT_EQ(device.Close(), 0u);
  EXPECT_TRUE(log.Has("DfuDevice::Close ...\n"));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetVendorId(), 0);
  EXPECT_EQ(device.GetProductId(), 0);
  EXPECT_TRUE(device.Serial().empty());
  EXPECT_EQ(device.DfuInterfaceNumber(), 0);
  EXPECT_EQ(device.TransferSize(), 0);
  EXPECT_EQ(device.DfuAttributes(), 0);
  EXPECT_EQ(device.FirmwareCapacity(), 1000u);
  EXPECT_EQ(device.GetTimeoutValue(DfuDevice::kTimeoutReplug), 60000u);
  EXPECT_EQ(device.GetTimeoutValue(DfuDevice::kTimeoutBlockPoll), 1000u);
  EXPECT_EQ(device.GetTimeoutValue(DfuDevice::kTimeoutManifestPoll), 70000u);
}

TEST_F(Engine, FirmwareBufferOnlyGrowsAndIsZeroed) {
  uint8_t* a = device.GetFirmwareBuffer(64);
  ASSERT_NE(a, nullptr);
  std::memset(a, 0xAB, 64);
  uint8_t* b = device.GetFirmwareBuffer(16);
  EXPECT_EQ(a, b) << "a smaller request reuses the buffer";
  for (int i = 0; i < 64; ++i) ASSERT_EQ(b[i], 0) << "the whole capacity is zeroed";
  EXPECT_EQ(device.FirmwareCapacity(), 64u);
  uint8_t* c = device.GetFirmwareBuffer(4096);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(device.FirmwareCapacity(), 4096u);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(c[i], 0);
}

TEST_F(Engine, CopySerialNumberCopiesAtMostTheGivenUnits) {
  ASSERT_EQ(device.ReadDeviceInfo(), 0u);
  uint16_t out[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  device.CopySerialNumber(out, 3);
  EXPECT_EQ(out[0], 'S');
  EXPECT_EQ(out[2], '0');
  EXPECT_EQ(out[3], 0xFFFF) << "nothing past the given count";
  device.CopySerialNumber(nullptr, 3);
}

TEST_F(Engine, DestructorClosesAnOpenDevice) {
  auto other = std::make_unique<TestDfuDevice>();
  other->Attach(GoodDevice());
  other.reset();
  EXPECT_TRUE(log.Has("DfuDevice::~DfuDevice ...\n"));
  EXPECT_TRUE(log.Has("~DfuDevice: Device is still open. Closing ...\n"));
}

}  // namespace
