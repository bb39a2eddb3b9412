// Code shared by the tools: status words, display forms, the image writer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "CommandLine.h"
#include "ImageDisplay.h"
#include "NumberText.h"
#include "StatusText.h"
#include "VldImage.h"
#include "image/TestImages.h"
#include "vlmufwdl.h"

namespace {

// The tools' words are the public header's (tests/api/StatusNameTest.cpp
// checks the table itself).
TEST(StatusText, WordsComeFromThePublicHeader) {
  for (uint32_t code = 0; code < 64; ++code) {
    EXPECT_STREQ(vlmutool::StatusText(code), VLMUFWDL_StatusText(code)) << code;
    EXPECT_EQ(vlmutool::IsKnownStatus(code), std::string(VLMUFWDL_StatusName(code)) != "VLMUFWDL_STATUS_UNKNOWN")
        << code;
  }
  EXPECT_STREQ(vlmutool::StatusText(48), "the DFU suffix CRC of the image file does not match");
  EXPECT_STREQ(vlmutool::StatusText(0), "success");
}

TEST(StatusText, OtherValuesAreUnknown) {
  for (const uint32_t code : {7u, 8u, 40u, 49u, 0xE0000001u}) {
    EXPECT_FALSE(vlmutool::IsKnownStatus(code)) << code;
    EXPECT_STREQ(vlmutool::StatusText(code), "unknown status");
  }
  EXPECT_EQ(vlmutool::DescribeStatus(6), "the image header CRC does not match (status 0x06)");
}

TEST(ImageDisplay, NumbersAndVendorId) {
  EXPECT_EQ(vlmutool::FormatHex32(0x1234), "0x00001234");
  EXPECT_EQ(vlmutool::FormatHex32(0xDEADBEEF), "0xDEADBEEF");
  const uint8_t vendor[3] = {0x00, 0x1A, 0x2B};
  EXPECT_EQ(vlmutool::FormatVendorId(vendor), "001A2B");
}

TEST(ImageDisplay, DateAndTime) {
  EXPECT_EQ(vlmutool::FormatDateTime("20261207", "123456"), "2026/12/07  12:34:56");
  EXPECT_EQ(vlmutool::FormatDateTime("", "123456"), "  12:34:56");
  EXPECT_EQ(vlmutool::FormatDateTime("20261207", ""), "2026/12/07  ");
  EXPECT_EQ(vlmutool::FormatDateTime("", ""), "  ");
  // Characters are taken as they stand; a short text ends where it ends.
  EXPECT_EQ(vlmutool::FormatDateTime("abcdefghij", "uvwxyz!"), "abcd/ef/gh  uv:wx:yz");
  EXPECT_EQ(vlmutool::FormatDateTime("2026", "12"), "2026/  12:");
}

TEST(ImageDisplay, JsonStringsKeepEveryByte) {
  EXPECT_EQ(vlmutool::JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(vlmutool::JsonString(std::string("\n\t\x01\xE9", 4)), "\"\\n\\t\\u0001\\u00E9\"");
  EXPECT_EQ(vlmutool::Printable(std::string("a\x1b[2Jb", 6)), "a\\x1B[2Jb");
}

TEST(ImageDisplay, DescriptionLines) {
  VLMUFWDL_VLD_FILE_INFO info{};
  info.ModelId = 0x1234;
  info.SoftwareVersion = 0x01020304;
  info.HwId = 0xA;
  std::memcpy(info.SoftwareDate, "20261207", 8);
  std::memcpy(info.SoftwareTime, "120000", 6);
  info.VendorId[0] = 0x12;
  info.VendorId[1] = 0x34;
  info.VendorId[2] = 0x56;
  std::strcpy(info.InfoText, "Hello");
  EXPECT_EQ(vlmutool::DescribeImage("x.vld", info),
            "File:                x.vld\n"
            "Vendor ID:           123456\n"
            "HwID:                0x0000000A\n"
            "Software Date/Time:  2026/12/07  12:00:00\n"
            "Software Version:    0x01020304\n"
            "Model ID:            0x00001234\n"
            "Header Value:        0x00000000\n"
            "Info Text:           Hello\n");
  EXPECT_EQ(vlmutool::ImageJson("x.vld", 6, nullptr),
            "{\"file\": \"x.vld\", \"status\": 6, \"error\": \"the image header CRC does not match\"}");
}

// The writer's bytes equal those of the independent zlib-based test builder.
TEST(VldImageWriter, MatchesTheIndependentBuilder) {
  for (const uint32_t version : {0u, 1u}) {
    for (const bool suffix : {false, true}) {
      vlmutool::VldImageLayout spec;
      spec.version = version;
      spec.headerValue = 0xA5A5F00D;
      spec.date = "20261207";
      spec.time = "120000";
      spec.timeTrailer[0] = 'Z';
      spec.timeTrailer[1] = '!';
      spec.modelId = 0x00010203;
      spec.softwareVersion = 0x01020304;
      spec.hwId = 0xA;
      spec.vendorId = 0x030201;
      spec.infoText = "Velmora test firmware";
      spec.payload = std::string(200, '\x5A');
      if (suffix) spec.suffix = vlmutool::DfuSuffixFields{0xFFFF, 0x5678, 0x1234, 0x0100};
      std::string written = vlmutool::BuildVldImage(spec);

      testimages::Params p;
      p.version = version;
      p.suffix = suffix;
      std::string expected = testimages::Build(p);
      // The test builder marks the unread byte 39; the writer leaves it zero.
      expected[39] = 0;
      testimages::FixHeaderCrc(expected);
      if (suffix) {
        expected.resize(expected.size() - 16);
        testimages::AppendSuffix(expected);
      }
      EXPECT_EQ(written, expected) << "version " << version << " suffix " << suffix;
    }
  }
}

TEST(VldImageWriter, CorruptHeaderCrcAndRefusals) {
  vlmutool::VldImageLayout spec;
  spec.payload = "abc";
  std::string good = vlmutool::BuildVldImage(spec);
  spec.corruptHeaderCrc = true;
  std::string bad = vlmutool::BuildVldImage(spec);
  ASSERT_EQ(good.size(), bad.size());
  EXPECT_NE(testimages::Le32(good, 44), testimages::Le32(bad, 44));
  EXPECT_EQ(good.substr(48), bad.substr(48));

  std::string error;
  spec.version = 2;
  EXPECT_TRUE(vlmutool::BuildVldImage(spec, &error).empty());
  EXPECT_EQ(error, "the image version must be 0 or 1");
  spec.version = 1;
  spec.vendorId = 0x1000000;
  EXPECT_TRUE(vlmutool::BuildVldImage(spec, &error).empty());
  EXPECT_EQ(error, "the vendor id has 24 bits");
}

}  // namespace

namespace {

TEST(NumberText, BasesAreExplicitAndLimitsExact) {
  using vlmutool::NumberBase;
  const struct {
    const char* text;
    NumberBase base;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"010", NumberBase::kDecimal, 255, true, 10},  // never octal
      {"010", NumberBase::kDecimalOrHex, 255, true, 10},
      {"0x10", NumberBase::kDecimalOrHex, 255, true, 16},
      {"0X1f", NumberBase::kHex, 255, true, 31},
      {"ff", NumberBase::kHex, 255, true, 255},
      {"ff", NumberBase::kDecimalOrHex, 255, false, 0},
      {"0x10", NumberBase::kDecimal, 255, false, 0},
      {"256", NumberBase::kDecimal, 255, false, 0},
      {"4294967295", NumberBase::kDecimal, 0xFFFFFFFF, true, 0xFFFFFFFF},
      {"4294967296", NumberBase::kDecimal, 0xFFFFFFFF, false, 0},
      {"18446744073709551615", NumberBase::kDecimal, UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", NumberBase::kDecimal, UINT64_MAX, false, 0},
      {"5", NumberBase::kDecimal, 0, false, 0},
      {"", NumberBase::kDecimal, 255, false, 0},
      {"0x", NumberBase::kHex, 255, false, 0},
      {"-1", NumberBase::kDecimal, 255, false, 0},
      {" 1", NumberBase::kDecimal, 255, false, 0},
      {"1 ", NumberBase::kDecimal, 255, false, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 7;
    EXPECT_EQ(c.ok, vlmutool::ParseNumber(c.text, c.base, c.max, value)) << c.text;
    EXPECT_EQ(c.ok ? c.value : 7u, value) << c.text;
  }
  uint16_t narrow = 0;
  EXPECT_FALSE(vlmutool::ParseNumber("0x10000", NumberBase::kHex, narrow));
  EXPECT_TRUE(vlmutool::ParseNumber("0xFFFF", NumberBase::kHex, narrow));
  EXPECT_EQ(narrow, 0xFFFF);
}

}  // namespace

namespace {

// The programs' command lines: what is accepted, what is refused, in the
// programs' own words.
TEST(CommandLine, OptionsAnywhereAndRefusalsInTheToolsWords) {
  const std::vector<vlmutool::OptionSpec> specs = {
      {"--log", true}, {"--serial", true, true}, {"--json"}, {"--help", false, false, 'h'}};
  const struct {
    std::vector<std::string> args;
    bool stop;
    const char* error;     // "" when accepted
    const char* operands;  // joined by '|'
    const char* serials;   // joined by '|'
  } cases[] = {
      {{"upgrade", "--serial", "A", "img", "--serial=B", "--json"}, false, "", "upgrade|img", "A|B"},
      {{"--log", "-x", "list"}, false, "", "list", ""},  // a value may start with '-'
      {{"list", "--", "--json"}, false, "", "list|--json", ""},
      {{"--socket", "x"}, false, "unknown option --socket", "", ""},
      {{"list", "--log"}, false, "option --log needs a value", "", ""},
      {{"--json=1"}, false, "option --json takes no value", "", ""},
      {{"--log", "a", "--log", "b"}, false, "option --log is given twice", "", ""},
      {{"-q"}, false, "unknown option -q", "", ""},
      {{"-h", "raw", "--json"}, true, "", "raw|--json", ""},
  };
  for (const auto& c : cases) {
    vlmutool::CommandLine line;
    std::string error;
    const bool ok = line.Parse(c.args, specs, error, c.stop);
    EXPECT_EQ(ok, std::string(c.error).empty()) << c.error;
    EXPECT_EQ(error, c.error);
    if (!ok) continue;
    std::string operands, serials;
    for (const auto& o : line.Operands()) operands += (operands.empty() ? "" : "|") + o;
    for (const auto& s : line.Values("--serial")) serials += (serials.empty() ? "" : "|") + s;
    EXPECT_EQ(operands, c.operands);
    EXPECT_EQ(serials, c.serials);
  }
}

}  // namespace
