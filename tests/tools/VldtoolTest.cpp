// vldtool end to end: create, info (text and JSON) and verify, exit statuses,
// and its DFU suffixes checked by Debian's dfu-suffix.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/TestImages.h"
#include "support/CaseName.h"
#include "support/TempDir.h"
#include "tools/CommandRunner.h"
#include "vlmufwdl.h"

using ::testing::HasSubstr;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

class VldtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mPayload = mDir.File("payload.bin");
    std::string payload;
    for (int i = 0; i < 65536; ++i) payload += static_cast<char>((i * 31) ^ (i >> 8));
    testsupport::WriteFile(mPayload, payload);
  }

  // The demo's image: version 1, DFU suffix for 1234:5678.
  std::vector<std::string> CreateArgs(const std::string& out) const {
    return {VLDTOOL_PATH,   "create",     "--out",    out,
            "--version",    "1",          "--model",  "0x00010203",
            "--sw-version", "0x01020304", "--hwid",   "0x0000000A",
            "--vendor-id",  "0x123456",   "--date",   "20261207",
            "--time",       "120000",     "--info",   "Velmora sample firmware",
            "--payload",    mPayload,     "--suffix", "--vid",
            "0x1234",       "--pid",      "0x5678"};
  }

  std::string Create(const std::string& name, std::vector<std::string> extra = {}) {
    const std::string out = mDir.File(name);
    std::vector<std::string> args = CreateArgs(out);
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = testrun::Run(args, mDir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
  }

  testsupport::TempDir mDir;
  std::string mPayload;
};

TEST_F(VldtoolTest, CreateWritesTheExpectedBytes) {
  const std::string path = Create("sample.vld");
  const std::string image = testsupport::ReadFile(path);
  const std::string payload = testsupport::ReadFile(mPayload);
  const std::string info = "Velmora sample firmware";
  ASSERT_EQ(image.size(), 112 + info.size() + payload.size() + 16);
  EXPECT_EQ(image.substr(0, 4), "VlMd");
  EXPECT_EQ(testimages::Le32(image, 40), 1u);
  EXPECT_EQ(image.substr(8, 8), "20261207");
  EXPECT_EQ(image.substr(16, 6), "120000");
  EXPECT_EQ(testimages::Le32(image, 24), 0x00010203u);
  EXPECT_EQ(testimages::Le32(image, 28), 0x01020304u);
  EXPECT_EQ(testimages::Le32(image, 32), 0x0000000Au);
  EXPECT_EQ(image.substr(36, 3), "\x56\x34\x12");  // least significant byte first
  EXPECT_EQ(testimages::Le32(image, 48), 0u);
  EXPECT_EQ(testimages::Le32(image, 80), 112 + info.size());
  EXPECT_EQ(image.substr(112, info.size()), info);
  EXPECT_EQ(image.substr(112 + info.size(), payload.size()), payload);
  std::string header = image.substr(0, 112);
  testimages::SetLe32(header, 44, 0);
  EXPECT_EQ(testimages::Le32(image, 44), testimages::ZlibCrc(header.data(), header.size()));
  const std::string suffix = image.substr(image.size() - 16);
  EXPECT_EQ(suffix.substr(0, 12), std::string("\xFF\xFF\x78\x56\x34\x12\x00\x01UFD\x10", 12));
  EXPECT_EQ(testimages::Le32(suffix, 12), testimages::DfuCrc(image.data(), image.size() - 4));
}

TEST_F(VldtoolTest, InfoPrintsTheDetailsLikeTheUpgradeProgram) {
  const std::string path = Create("sample.vld");
  const auto r = testrun::Run({VLDTOOL_PATH, "info", path}, mDir);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "File:                " + path +
                       "\n"
                       "Vendor ID:           123456\n"
                       "HwID:                0x0000000A\n"
                       "Software Date/Time:  2026/12/07  12:00:00\n"
                       "Software Version:    0x01020304\n"
                       "Model ID:            0x00010203\n"
                       "Header Value:        0x00000000\n"
                       "Info Text:           Velmora sample firmware\n");
}

TEST_F(VldtoolTest, InfoJson) {
  const std::string path = Create("sample.vld", {"--header-value", "7"});
  const auto r = testrun::Run({VLDTOOL_PATH, "info", "--json", path}, mDir);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "{\"file\": \"" + path +
                       "\", \"status\": 0, \"vendorId\": \"123456\", \"hwId\": \"0x0000000A\", "
                       "\"softwareDate\": \"20261207\", \"softwareTime\": \"120000\", "
                       "\"softwareDateTime\": \"2026/12/07  12:00:00\", \"softwareVersion\": "
                       "\"0x01020304\", \"modelId\": \"0x00010203\", \"headerValue\": \"0x00000007\", "
                       "\"infoText\": \"Velmora sample firmware\"}\n");
}

TEST_F(VldtoolTest, VerifyGoodImage) {
  const std::string path = Create("sample.vld");
  const auto r = testrun::Run({VLDTOOL_PATH, "verify", path}, mDir);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "OK: '" + path + "' is a valid firmware image\n");
}

struct BadCase {
  const char* name;
  std::vector<std::string> createExtra;
  int flipFromEnd;  // > 0: flip a bit of the byte this far from the end
  int status;
  const char* words;
};

class VldtoolVerifyTest : public VldtoolTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(VldtoolVerifyTest, ExitsWithTheLibraryStatus) {
  const BadCase& c = GetParam();
  const std::string path = Create("bad.vld", c.createExtra);
  if (c.flipFromEnd > 0) {
    std::string image = testsupport::ReadFile(path);
    image[image.size() - static_cast<std::size_t>(c.flipFromEnd)] ^= 0x01;
    testsupport::WriteFile(path, image);
  }
  const auto r = testrun::Run({VLDTOOL_PATH, "verify", path}, mDir);
  EXPECT_EQ(r.exitCode, c.status);
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", c.status);
  EXPECT_EQ(r.out, "FAILED: '" + path + "': " + c.words + " (status " + code + ")\n");
  const auto info = testrun::Run({VLDTOOL_PATH, "info", "--json", path}, mDir);
  EXPECT_EQ(info.exitCode, c.status);
  EXPECT_THAT(info.out, HasSubstr("\"status\": " + std::to_string(c.status)));
}

INSTANTIATE_TEST_SUITE_P(
    Images, VldtoolVerifyTest,
    ::testing::Values(BadCase{"SuffixCrc", {}, 1, 48, "the DFU suffix CRC of the image file does not match"},
                      BadCase{"HeaderCrc", {"--corrupt-header-crc"}, 0, 6, "the image header CRC does not match"},
                      BadCase{"FileVersion",
                              {"--file-version", "2"},
                              0,
                              5,
                              "unknown image file identifier, or wrong image file version"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VldtoolTest, MissingImageExits3) {
  const auto r = testrun::Run({VLDTOOL_PATH, "info", mDir.File("none.vld")}, mDir);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_THAT(r.err, HasSubstr("the image file does not exist or cannot be opened (status 0x03)"));
}

TEST_F(VldtoolTest, LogOptionWritesTheLibraryLog) {
  const std::string path = Create("sample.vld", {"--corrupt-header-crc"});
  const std::string log = mDir.File("tool.log");
  const auto r = testrun::Run({VLDTOOL_PATH, "verify", "--log", log, path}, mDir);
  EXPECT_EQ(r.exitCode, 6);
  EXPECT_THAT(testsupport::ReadFile(log), HasSubstr("ERROR: Unexpected CRC header value in file '" + path + "'\n"));
}

TEST_F(VldtoolTest, Version0AndNoSuffix) {
  const std::string out = mDir.File("v0.vld");
  const auto r = testrun::Run({VLDTOOL_PATH, "create",       "--out",  out,      "--version", "0",           "--model",
                               "1",          "--sw-version", "2",      "--hwid", "3",         "--vendor-id", "0x00ABCD",
                               "--date",     "19991231",     "--time", "235959", "--payload", mPayload},
                              mDir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string image = testsupport::ReadFile(out);
  EXPECT_EQ(image.substr(0, 4), "vLmD");
  EXPECT_EQ(image.size(), 96 + 65536u);
  const auto info = testrun::Run({VLDTOOL_PATH, "info", out}, mDir);
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_THAT(info.out, HasSubstr("Vendor ID:           00ABCD\n"));
  EXPECT_THAT(info.out, HasSubstr("Software Date/Time:  1999/12/31  23:59:59\n"));
  EXPECT_THAT(info.out, HasSubstr("Info Text:           \n"));
}

TEST_F(VldtoolTest, InfoFileAndLongTextWarning) {
  const std::string text(600, 't');
  const std::string infoFile = mDir.File("info.txt");
  testsupport::WriteFile(infoFile, text);
  const std::string out = mDir.File("long.vld");
  const auto r =
      testrun::Run({VLDTOOL_PATH,   "create", "--out",       out,      "--version",   "1",     "--model", "1",
                    "--sw-version", "2",      "--hwid",      "3",      "--vendor-id", "1",     "--date",  "20260101",
                    "--time",       "000000", "--info-file", infoFile, "--payload",   mPayload},
                   mDir);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("the info text has 600 characters; readers show only the first 511"));
  const auto info = testrun::Run({VLDTOOL_PATH, "info", out}, mDir);
  EXPECT_THAT(info.out, HasSubstr("Info Text:           " + std::string(511, 't') + "\n"));
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

class VldtoolUsageTest : public VldtoolTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(VldtoolUsageTest, Exits64WithAMessageAndWritesNothing) {
  const UsageCase& c = GetParam();
  std::vector<std::string> args = {VLDTOOL_PATH};
  for (const std::string& a : c.args)
    args.push_back(a == "{payload}" ? mPayload : a == "{out}" ? mDir.File("o.vld") : a);
  const auto r = testrun::Run(args, mDir);
  EXPECT_EQ(r.exitCode, 64);
  EXPECT_THAT(r.err, HasSubstr(c.message));
  EXPECT_TRUE(testsupport::ReadFile(mDir.File("o.vld")).empty());
}

const std::vector<std::string> kBase = {"create",       "--out",  "{out}",  "--model",   "1",
                                        "--sw-version", "2",      "--hwid", "3",         "--date",
                                        "20260101",     "--time", "000000", "--payload", "{payload}"};

std::vector<std::string> BaseWith(std::vector<std::string> extra) {
  std::vector<std::string> args = kBase;
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

INSTANTIATE_TEST_SUITE_P(
    Args, VldtoolUsageTest,
    ::testing::Values(
        UsageCase{"NoCommand", {}, "no command"},
        UsageCase{"UnknownCommand", {"frobnicate"}, "unknown command 'frobnicate'"},
        UsageCase{"MissingVersion", BaseWith({"--vendor-id", "1"}), "missing option --version"},
        UsageCase{"Version2", BaseWith({"--vendor-id", "1", "--version", "2"}), "invalid value '2' for --version"},
        UsageCase{"VendorIdTooWide", BaseWith({"--vendor-id", "0x1000000", "--version", "1"}),
                  "invalid value '0x1000000' for --vendor-id"},
        UsageCase{"DateTwice", BaseWith({"--vendor-id", "1", "--version", "1", "--date", "2026-1-1"}),
                  "option --date is given twice"},
        UsageCase{"SuffixWithoutIds", BaseWith({"--vendor-id", "1", "--version", "1", "--suffix"}),
                  "--suffix needs --vid and --pid"},
        UsageCase{"PidTooWide",
                  BaseWith({"--vendor-id", "1", "--version", "1", "--suffix", "--vid", "1", "--pid", "65536"}),
                  "invalid value '65536' for --pid"},
        UsageCase{"NotANumber", BaseWith({"--vendor-id", "12z", "--version", "1"}), "invalid value '12z'"},
        UsageCase{"InfoTwice", BaseWith({"--vendor-id", "1", "--version", "1", "--info", "a", "--info-file", "b"}),
                  "give --info or --info-file, not both"},
        UsageCase{"VerifyNoFile", {"verify"}, "expected one image file"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VldtoolTest, BadDateAndTimeDigitsAreRefused) {
  for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
           {"--date", "2026121"}, {"--date", "2026-1-1"}, {"--time", "12000"}, {"--time", "12:00:"}}) {
    std::vector<std::string> args = CreateArgs(mDir.File("d.vld"));
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
      if (args[i] == option) args[i + 1] = value;
    }
    const auto r = testrun::Run(args, mDir);
    EXPECT_EQ(r.exitCode, 64) << option << " " << value;
    EXPECT_THAT(r.err,
                HasSubstr(option == "--date" ? "--date takes 8 digits YYYYMMDD" : "--time takes 6 digits HHMMSS"));
  }
}

TEST_F(VldtoolTest, UnreadableOrSpecialInputsExit66) {
  const std::string fifo = mDir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* option;
    std::string path;
    const char* message;
  } cases[] = {
      {"--payload", mDir.File("no-payload.bin"), "cannot read payload"},
      {"--payload", fifo, "not a regular file"},
      {"--payload", mDir.path().string(), "not a regular file"},
      {"--info-file", fifo, "cannot read info file"},
  };
  for (const auto& c : cases) {
    // Bounded from outside: an input that blocks must fail the test, not hang it.
    std::vector<std::string> args = CreateArgs(mDir.File("p.vld"));
    args.insert(args.begin(), {"timeout", "20"});
    if (std::string(c.option) == "--info-file") {
      for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--info")
          args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      }
      args.insert(args.end(), {"--info-file", c.path});
    } else {
      for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--payload") args[i + 1] = c.path;
      }
    }
    const auto r = testrun::Run(args, mDir);
    EXPECT_EQ(r.exitCode, 66) << c.path;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.path;
    EXPECT_FALSE(std::filesystem::exists(mDir.File("p.vld")));
  }
}

// ---------------------------------------------------------------------------
// Debian's dfu-suffix as the peer for the DFU suffix.

class DfuSuffixPeerTest : public VldtoolTest {
 protected:
  void SetUp() override {
    if (!testrun::OnPath("dfu-suffix")) GTEST_SKIP() << "dfu-suffix (package dfu-util) is not installed";
    VldtoolTest::SetUp();
  }
};

TEST_F(DfuSuffixPeerTest, AcceptsTheSuffixVldtoolWrites) {
  const std::string path = Create("sample.vld");
  const auto r = testrun::Run({"dfu-suffix", "-c", path}, mDir);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("Vendor ID:\t0x1234"));
  EXPECT_THAT(r.out, HasSubstr("Product ID:\t0x5678"));
  EXPECT_THAT(r.out, HasSubstr("BCD DFU:\t0x0100"));
  const std::string image = testsupport::ReadFile(path);
  char crc[32];
  std::snprintf(crc, sizeof crc, "CRC:\t\t0x%08X", testimages::Le32(image, image.size() - 4));
  EXPECT_THAT(r.out, HasSubstr(crc));
}

TEST_F(DfuSuffixPeerTest, RejectsAVldtoolImageWithAWrongCrc) {
  const std::string path = Create("sample.vld");
  std::string image = testsupport::ReadFile(path);
  image[image.size() - 3] ^= 0x20;
  testsupport::WriteFile(path, image);
  const auto r = testrun::Run({"dfu-suffix", "-c", path}, mDir);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_THAT(r.err, HasSubstr("CRC does not match"));
}

TEST_F(DfuSuffixPeerTest, SuffixAddedByDfuSuffixIsAcceptedByTheLibrary) {
  const std::string out = mDir.File("peer.vld");
  const auto created =
      testrun::Run({VLDTOOL_PATH,   "create", "--out",  out,    "--version",   "1",        "--model", "1",
                    "--sw-version", "2",      "--hwid", "3",    "--vendor-id", "0x123456", "--date",  "20260101",
                    "--time",       "000000", "--info", "peer", "--payload",   mPayload},
                   mDir);
  ASSERT_EQ(created.exitCode, 0) << created.err;
  const std::size_t plainSize = testsupport::ReadFile(out).size();
  const auto added = testrun::Run({"dfu-suffix", "-a", out, "-v", "0x1234", "-p", "0x5678"}, mDir);
  ASSERT_EQ(added.exitCode, 0) << added.out << added.err;
  std::string image = testsupport::ReadFile(out);
  ASSERT_EQ(image.size(), plainSize + 16);
  ASSERT_EQ(image.substr(image.size() - 8, 3), "UFD");

  VLMUFWDL_VLD_FILE_INFO info;
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(out.c_str(), &info), 0u);
  EXPECT_STREQ(info.InfoText, "peer");

  image[image.size() - 4] ^= 0x01;  // first byte of dwCRC
  testsupport::WriteFile(out, image);
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(out.c_str(), &info), 48u);
}

}  // namespace
