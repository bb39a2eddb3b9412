// VLMUFWDL_GetVldFileInfo through the library's exports: argument checks,
// the record, the API entries and the reader's statuses passed through.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "image/LogLines.h"
#include "image/RecordExpectations.h"
#include "image/TestImages.h"
#include "support/CaseName.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

using testimages::Build;
using testimages::Params;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

// The log writes pointers as sixteen upper-case hexadecimal digits.
std::string PointerText(const void* p) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

int OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

bool AllBytes(const VLMUFWDL_VLD_FILE_INFO& info, unsigned char value) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
  for (std::size_t i = 0; i < sizeof info; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// The API return entry comes once; only the reader's own entries (its
// destruction closing the file) follow it.
void ExpectReturnEntry(const std::vector<std::string>& entries, const std::string& expected) {
  std::size_t at = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].compare(0, 7, "API <-:") == 0) {
      EXPECT_EQ(at, entries.size()) << "second API return entry: " << entries[i];
      at = i;
    }
  }
  ASSERT_LT(at, entries.size()) << "no API return entry";
  EXPECT_EQ(entries[at], expected);
  for (std::size_t i = at + 1; i < entries.size(); ++i) {
    if (entries[i].find("VLMUFWDL_EnableLogging") != std::string::npos) break;
    EXPECT_EQ(entries[i].compare(0, 14, "INFO: VldFile:"), 0) << entries[i];
  }
}

class GetVldFileInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mLogPath = mDir.File("export.log");
    ASSERT_EQ(VLMUFWDL_EnableLogging(mLogPath.c_str()), 0u);
  }
  void TearDown() override { VLMUFWDL_EnableLogging(nullptr); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = mDir.File(name);
    testsupport::WriteFile(path, bytes);
    return path;
  }
  // Entries written after logging was switched on, from the first entry of
  // this export on.
  std::vector<std::string> ExportEntries() const {
    std::vector<std::string> all = testlog::Entries(mLogPath);
    std::vector<std::string> out;
    bool started = false;
    for (const std::string& e : all) {
      if (e.find("VLMUFWDL_GetVldFileInfo") != std::string::npos) started = true;
      if (started) out.push_back(e);
    }
    return out;
  }
  std::string LogText() const { return testsupport::ReadFile(mLogPath); }

  testsupport::TempDir mDir;
  std::string mLogPath;
};

TEST_F(GetVldFileInfoTest, NullRecordAnswers2WithoutApiEntries) {
  const std::string path = Write("a.vld", Build(Params{}));
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), nullptr), 2u);
  // The message has no line end of its own.
  EXPECT_THAT(LogText(), ::testing::HasSubstr("ERROR: VLMUFWDL_GetVldFileInfo: parameter 'VldInfo' is NULL"));
  EXPECT_THAT(LogText(), Not(::testing::HasSubstr("API ->: VLMUFWDL_GetVldFileInfo")));
  EXPECT_THAT(LogText(), Not(::testing::HasSubstr("API <-: VLMUFWDL_GetVldFileInfo")));
}

TEST_F(GetVldFileInfoTest, NullNameAnswers2AndLeavesTheRecordZero) {
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(nullptr, &info), 2u);
  EXPECT_TRUE(AllBytes(info, 0));
  EXPECT_THAT(LogText(), ::testing::HasSubstr("ERROR: VLMUFWDL_GetVldFileInfo: parameter 'VldFileName' is NULL"));
  EXPECT_THAT(LogText(), Not(::testing::HasSubstr("API ->: VLMUFWDL_GetVldFileInfo")));
}

TEST_F(GetVldFileInfoTest, GoodImageFillsTheRecordBetweenTheApiEntries) {
  Params p;
  p.suffix = true;
  p.vendor[0] = 0x2B;
  p.vendor[1] = 0x1A;
  p.vendor[2] = 0x00;
  const std::string path = Write("good.vld", Build(p));
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), 0u);
  testimages::ExpectRecordOf(p, info);

  const auto entries = ExportEntries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front(), "API ->: VLMUFWDL_GetVldFileInfo('" + path + "'," + PointerText(&info) + ")");
  ExpectReturnEntry(entries, "API <-: VLMUFWDL_GetVldFileInfo returning 0x00000000");
  EXPECT_THAT(testlog::OfType(entries, "ERROR"), IsEmpty());
}

struct PassThrough {
  const char* name;
  std::string (*bytes)();
  uint32_t status;
};

const PassThrough kPassThrough[] = {
    {"ReadFailure4", [] { return Build(Params{}).substr(0, 40); }, 4},
    {"UnknownIdentifier5",
     [] {
       Params p;
       p.identifier = "ABCD";
       return Build(p);
     },
     5},
    {"HeaderCrc6",
     [] {
       std::string image = Build(Params{});
       image[45] = static_cast<char>(image[45] ^ 4);
       return image;
     },
     6},
    {"SuffixCrc48",
     [] {
       Params p;
       p.suffix = true;
       std::string image = Build(p);
       image[image.size() - 2] = static_cast<char>(image[image.size() - 2] ^ 4);
       return image;
     },
     48},
};

class GetVldFileInfoFailureTest : public GetVldFileInfoTest, public ::testing::WithParamInterface<PassThrough> {};

TEST_P(GetVldFileInfoFailureTest, ReaderStatusIsPassedThroughWithAZeroRecord) {
  const PassThrough& c = GetParam();
  const std::string path = Write(std::string(c.name) + ".vld", c.bytes());
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0xAB, sizeof info);
  const int descriptors = OpenDescriptorCount();
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), c.status);
  EXPECT_EQ(OpenDescriptorCount(), descriptors) << "the image file was left open";
  EXPECT_TRUE(AllBytes(info, 0));
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", c.status);
  const auto entries = ExportEntries();
  EXPECT_THAT(testlog::OfType(entries, "ERROR"),
              Contains("VLMUFWDL_GetVldFileInfo: open file '" + path + "' failed with " + code + "."));
  ExpectReturnEntry(entries, std::string("API <-: VLMUFWDL_GetVldFileInfo returning ") + code);
}

INSTANTIATE_TEST_SUITE_P(Statuses, GetVldFileInfoFailureTest, ::testing::ValuesIn(kPassThrough),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(GetVldFileInfoTest, MissingFileAnswers3) {
  const std::string path = mDir.File("none.vld");
  VLMUFWDL_VLD_FILE_INFO info;
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), 3u);
  EXPECT_THAT(testlog::OfType(ExportEntries(), "ERROR"),
              ElementsAre("VldFile::Open: file '" + path + "' could not be found.",
                          "VLMUFWDL_GetVldFileInfo: open file '" + path + "' failed with 0x00000003."));
}

TEST_F(GetVldFileInfoTest, EmptyNameAnswers3) {
  VLMUFWDL_VLD_FILE_INFO info;
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo("", &info), 3u);
  EXPECT_TRUE(AllBytes(info, 0));
}

TEST_F(GetVldFileInfoTest, GoodImageLeavesNoFileOpen) {
  const std::string path = Write("closed.vld", Build(Params{}));
  VLMUFWDL_VLD_FILE_INFO info;
  const int descriptors = OpenDescriptorCount();
  ASSERT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), 0u);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(GetVldFileInfoTest, PercentSignsInTheNameAreLoggedLiterally) {
  const std::string path = Write("x%s%n%p.vld", Build(Params{}).substr(0, 20));
  VLMUFWDL_VLD_FILE_INFO info;
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), 4u);
  const auto entries = ExportEntries();
  EXPECT_EQ(entries.front(), "API ->: VLMUFWDL_GetVldFileInfo('" + path + "'," + PointerText(&info) + ")");
  EXPECT_THAT(testlog::OfType(entries, "ERROR"),
              ElementsAre("reading common file header from file '" + path + "' failed",
                          "VLMUFWDL_GetVldFileInfo: open file '" + path + "' failed with 0x00000004."));
}

TEST_F(GetVldFileInfoTest, LongInfoTextIsCutWithTwoWarnings) {
  Params p;
  p.info = std::string(600, 'i');
  const std::string path = Write("long.vld", Build(p));
  VLMUFWDL_VLD_FILE_INFO info;
  ASSERT_EQ(VLMUFWDL_GetVldFileInfo(path.c_str(), &info), 0u);
  EXPECT_EQ(std::string(info.InfoText), std::string(511, 'i'));
  EXPECT_THAT(testlog::OfType(ExportEntries(), "WARNING"),
              ElementsAre("Info text of file " + path + " will be truncated.",
                          "VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE has to be greater then 600"));
}

}  // namespace
