// The walk over one configuration's descriptors, called directly on bytes.
#include <gtest/gtest.h>

#include <span>
#include <vector>

#include "device/FakeDeviceFile.h"
#include "dfu/DfuDevice.h"
#include "support/CaseName.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using devicetest::Bytes;
using devicetest::Configuration;
using devicetest::DfuInterface;
using devicetest::Functional;
using devicetest::Interface;
using devicetest::Other;

uint32_t Walk(const Bytes& configuration, DfuDescriptorSearch& search) {
  return WalkConfigurationDescriptor(std::span<const uint8_t>(configuration), 0, search);
}

struct WalkBytesCase {
  const char* name;
  Bytes configuration;
  uint32_t status;
  bool interfaceFound;
  bool functionalFound;
  uint8_t interfaceNumber = 0;
  uint16_t transferSize = 0;
};

class WalkBytes : public ::testing::TestWithParam<WalkBytesCase> {};

TEST_P(WalkBytes, StatusAndFindings) {
  const WalkBytesCase& c = GetParam();
  DfuDescriptorSearch search;
  EXPECT_EQ(Walk(c.configuration, search), c.status);
  EXPECT_EQ(search.interfaceFound, c.interfaceFound);
  EXPECT_EQ(search.functionalFound, c.functionalFound);
  if (c.interfaceFound) {
    EXPECT_EQ(search.interfaceNumber, c.interfaceNumber);
  }
  if (c.functionalFound) {
    EXPECT_EQ(search.transferSize, c.transferSize);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkBytes,
    ::testing::Values(
        WalkBytesCase{"found",
                      Configuration({Interface(0, 1, 1, 0), DfuInterface(3, 1), Functional(0x0B, 500, 1024, 9)}), 0,
                      true, true, 3, 1024},
        // A functional descriptor counts only after the DFU interface.
        WalkBytesCase{"functionalFirst", Configuration({Functional(0x01, 1, 64), DfuInterface(1, 0)}), 0, true, false,
                      1},
        WalkBytesCase{"noDfuInterface", Configuration({Interface(0, 1, 1, 0), Functional(0x01, 1, 64)}), 0, false,
                      false},
        WalkBytesCase{"protocolThree", Configuration({DfuInterface(1, 3), Functional(0x01, 1, 64)}), 47, false, false},
        WalkBytesCase{"functionalOfWrongLength", Configuration({DfuInterface(1, 1), Functional(0x01, 1, 64, 7)}), 47,
                      true, false, 1},
        WalkBytesCase{"interfaceOfEightBytes", Configuration({Interface(0, 0xFE, 1, 0, 8)}), 47, false, false},
        WalkBytesCase{"zeroLength", Configuration({Other(0x24, 3), Bytes{0, 0x24, 0}}), 47, false, false},
        WalkBytesCase{"pastTheEnd", Configuration({Other(0x24, 3), Bytes{9, 0x24, 0}}), 47, false, false},
        // Two bytes left cannot hold the next descriptor's header and length.
        WalkBytesCase{"twoBytesLeft", Configuration({Other(0x24, 3), Bytes{2, 0x24}}), 47, false, false},
        WalkBytesCase{"headerOnly", Configuration({}), 0, false, false}),
    [](const ::testing::TestParamInfo<WalkBytesCase>& p) { return std::string(p.param.name); });

TEST(WalkBytes, SearchContinuesIntoTheNextConfiguration) {
  DfuDescriptorSearch search;
  ASSERT_EQ(Walk(Configuration({DfuInterface(4, 0)}), search), 0u);
  EXPECT_TRUE(search.interfaceFound);
  EXPECT_FALSE(search.functionalFound);
  ASSERT_EQ(Walk(Configuration({Functional(0x05, 250, 2048)}), search), 0u);
  EXPECT_TRUE(search.functionalFound);
  EXPECT_EQ(search.interfaceNumber, 4);
  EXPECT_EQ(search.attributes, 0x05);
  EXPECT_EQ(search.detachTimeout, 250);
  EXPECT_EQ(search.transferSize, 2048);
}

TEST(WalkBytes, InputShorterThanTheHeaderFindsNothing) {
  DfuDescriptorSearch search;
  const Bytes shortBytes{9, 2, 30};
  EXPECT_EQ(Walk(shortBytes, search), 0u);
  EXPECT_FALSE(search.interfaceFound);
}

}  // namespace
