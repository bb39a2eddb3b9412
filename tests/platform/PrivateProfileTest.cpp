#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "support/CaseName.h"
#include "support/TempDir.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using platform::ProfileLookup;
using platform::ProfileUpdate;
using platform::ReadProfileValue;
using platform::WriteProfileValue;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct LookupCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;
};

class ProfileLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookupTest, ReadsValueOrDefault) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(ProfileLookup(c.content, c.section, c.key, "<default>"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileLookupTest,
    ::testing::Values(LookupCase{"plain", "[LogFile]\nMaxSize=100\n", "LogFile", "MaxSize", "100"},
                      LookupCase{"section_case", "[LOGFILE]\nMaxSize=100\n", "logfile", "MaxSize", "100"},
                      LookupCase{"key_case", "[LogFile]\nMAXSIZE=100\n", "LogFile", "maxsize", "100"},
                      LookupCase{"blanks_trimmed", "  [ LogFile ]  \n\t MaxSize \t=  100  \n", "LogFile", "MaxSize",
                                 "100"},
                      LookupCase{"crlf", "[LogFile]\r\nMaxSize=100\r\n", "LogFile", "MaxSize", "100"},
                      LookupCase{"no_final_newline", "[LogFile]\nMaxSize=100", "LogFile", "MaxSize", "100"},
                      LookupCase{"double_quotes", "[A]\nK=\" padded \"\n", "A", "K", " padded "},
                      LookupCase{"single_quotes", "[A]\nK='x'\n", "A", "K", "x"},
                      LookupCase{"unbalanced_quote", "[A]\nK=\"x\n", "A", "K", "\"x"},
                      LookupCase{"empty_value", "[A]\nK=\n", "A", "K", ""},
                      LookupCase{"equals_in_value", "[A]\nK=a=b\n", "A", "K", "a=b"},
                      LookupCase{"missing_key", "[A]\nOther=1\n", "A", "K", "<default>"},
                      LookupCase{"missing_section", "[B]\nK=1\n", "A", "K", "<default>"},
                      LookupCase{"key_in_other_section", "[A]\nX=1\n[B]\nK=2\n", "A", "K", "<default>"},
                      LookupCase{"key_before_any_section", "K=1\n[A]\nX=2\n", "A", "K", "<default>"},
                      LookupCase{"first_of_duplicates", "[A]\nK=1\nK=2\n", "A", "K", "1"},
                      LookupCase{"second_section_copy", "[A]\nX=1\n[B]\n[a]\nK=3\n", "A", "K", "3"},
                      LookupCase{"comment_line", "[A]\n;K=1\nK=2\n", "A", "K", "2"},
                      LookupCase{"garbage_lines", "garbage\n[A]\n###\nnonsense line\nK=7\n[broken\n", "A", "K", "7"},
                      LookupCase{"unclosed_section", "[A\nK=5\n", "A", "K", "5"},
                      LookupCase{"empty_content", "", "A", "K", "<default>"}),
    [](const ::testing::TestParamInfo<LookupCase>& param) { return std::string(param.param.name); });

struct UpdateCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

class ProfileUpdateTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(ProfileUpdateTest, ChangesOnlyTheKeyLine) {
  const UpdateCase& c = GetParam();
  EXPECT_EQ(ProfileUpdate(c.before, c.section, c.key, c.value, "\n"), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileUpdateTest,
    ::testing::Values(
        UpdateCase{"replace_in_place", "; top\n[A]\nK=1\nJ=2\n", "A", "K", "9", "; top\n[A]\nK=9\nJ=2\n"},
        UpdateCase{"replace_keeps_key_spelling", "[a]\n  maxsize = 1 \n", "A", "MaxSize", "5", "[a]\nmaxsize=5\n"},
        UpdateCase{"replace_keeps_crlf", "[A]\r\nK=1\r\nJ=2\r\n", "A", "K", "x", "[A]\r\nK=x\r\nJ=2\r\n"},
        UpdateCase{"replace_last_line_without_newline", "[A]\nK=1", "A", "K", "2", "[A]\nK=2"},
        UpdateCase{"append_to_section", "[A]\nJ=2\n\n[B]\nX=1\n", "A", "K", "3", "[A]\nJ=2\nK=3\n\n[B]\nX=1\n"},
        UpdateCase{"append_to_section_crlf", "[A]\r\nJ=2\r\n[B]\r\n", "A", "K", "3", "[A]\r\nJ=2\r\nK=3\r\n[B]\r\n"},
        UpdateCase{"append_to_empty_section", "[A]\n[B]\n", "a", "K", "3", "[A]\nK=3\n[B]\n"},
        UpdateCase{"append_at_end_without_newline", "[A]\nJ=2", "A", "K", "3", "[A]\nJ=2\nK=3"},
        UpdateCase{"append_keeps_garbage", "[A]\ngarbage\n;c\n", "A", "K", "3", "[A]\ngarbage\n;c\nK=3\n"},
        UpdateCase{"new_section_at_end", "[A]\nK=1\n", "B", "K", "2", "[A]\nK=1\n[B]\nK=2\n"},
        UpdateCase{"new_section_crlf", "[A]\r\nK=1\r\n", "B", "K", "2", "[A]\r\nK=1\r\n[B]\r\nK=2\r\n"},
        UpdateCase{"new_section_after_unterminated_line", "x", "B", "K", "2", "x\n[B]\nK=2\n"},
        UpdateCase{"empty_file", "", "Common", "ModuleToken", "VLMUFWDL", "[Common]\nModuleToken=VLMUFWDL\n"},
        UpdateCase{"empty_value", "[A]\nK=1\n", "A", "K", "", "[A]\nK=\n"},
        UpdateCase{"first_duplicate_updated", "[A]\nK=1\nK=2\n", "A", "K", "3", "[A]\nK=3\nK=2\n"}),
    [](const ::testing::TestParamInfo<UpdateCase>& param) { return std::string(param.param.name); });

TEST(PrivateProfileFile, MissingFileReadsDefault) {
  TempDir dir;
  EXPECT_EQ(ReadProfileValue("A", "K", "dflt", dir.File("none.cfg").c_str()), "dflt");
  EXPECT_EQ(ReadProfileValue("A", "K", nullptr, dir.File("none.cfg").c_str()), "");
}

TEST(PrivateProfileFile, WriteCreatesMissingFileAndReadsBack) {
  TempDir dir;
  const std::string file = dir.File("new.cfg");
  ASSERT_TRUE(WriteProfileValue("Common", "ModuleToken", "VLMUFWDL", file.c_str()));
  ASSERT_TRUE(WriteProfileValue("LogFile", "MaxSize", "256000", file.c_str()));
  ASSERT_TRUE(WriteProfileValue("common", "moduletoken", "OTHER", file.c_str()));
  EXPECT_EQ(ReadFile(file), "[Common]\nModuleToken=OTHER\n[LogFile]\nMaxSize=256000\n");
  EXPECT_EQ(ReadProfileValue("LOGFILE", "maxsize", "", file.c_str()), "256000");
}

TEST(PrivateProfileFile, WriteLeavesEveryOtherByteAlone) {
  TempDir dir;
  const std::string file = dir.File("keep.cfg");
  const std::string before =
      "; comment \xB4 with 8-bit text\r\n[LogFile]\r\n  odd  line without equals\n"
      "PathAndName=old\r\nMaxSize=1\n\n\t[Other]  \r\nX = y \r\n";
  WriteFile(file, before);
  ASSERT_TRUE(WriteProfileValue("LogFile", "PathAndName", "/tmp/new.log", file.c_str()));
  EXPECT_EQ(ReadFile(file),
            "; comment \xB4 with 8-bit text\r\n[LogFile]\r\n  odd  line without equals\n"
            "PathAndName=/tmp/new.log\r\nMaxSize=1\n\n\t[Other]  \r\nX = y \r\n");
}

TEST(PrivateProfileFile, RefusesTextThatWouldBreakLines) {
  TempDir dir;
  const std::string file = dir.File("bad.cfg");
  WriteFile(file, "[A]\nK=1\n");
  EXPECT_FALSE(WriteProfileValue("A", "K", "1\n[B]", file.c_str()));
  EXPECT_FALSE(WriteProfileValue("A", "K=", "1", file.c_str()));
  EXPECT_FALSE(WriteProfileValue("A]", "K", "1", file.c_str()));
  EXPECT_FALSE(WriteProfileValue("A", "", "1", file.c_str()));
  EXPECT_FALSE(WriteProfileValue("A", "K", nullptr, file.c_str()));
  EXPECT_EQ(ReadFile(file), "[A]\nK=1\n");
}

TEST(PrivateProfileFile, WriteIntoMissingDirectoryFails) {
  TempDir dir;
  const std::string file = dir.File("no/such/dir/x.cfg");
  EXPECT_FALSE(WriteProfileValue("A", "K", "1", file.c_str()));
  EXPECT_EQ(ReadProfileValue("A", "K", "d", file.c_str()), "d");
}

TEST(PrivateProfileFile, UnreadableTargetIsNotTreatedAsEmpty) {
  TempDir dir;
  // A directory cannot be read as a file: reading gives the default and
  // writing fails instead of replacing anything.
  const std::string path = dir.File("isdir.cfg");
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(ReadProfileValue("A", "K", "d", path.c_str()), "d");
  EXPECT_FALSE(WriteProfileValue("A", "K", "1", path.c_str()));
}

TEST(PrivateProfileFile, OnlyRegularFilesOfBoundedSizeAreRead) {
  TempDir dir;
  const std::string fifo = dir.File("fifo.cfg");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = dir.File("zero.cfg");
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  const std::string big = dir.File("big.cfg");
  WriteFile(big, "[A]\nK=big\n" + std::string(1024 * 1024, ';'));
  const std::string limit = dir.File("limit.cfg");
  WriteFile(limit, "[A]\nK=fits\n" + std::string(1024 * 1024 - 11, ';'));
  ASSERT_EQ(ReadFile(limit).size(), 1024u * 1024u);

  for (const std::string& path : {fifo, zero, big}) {
    // Run aside so that a reader that blocks fails the test instead of hanging it.
    auto read = std::async(std::launch::async, [&] { return ReadProfileValue("A", "K", "d", path.c_str()); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << path << ": the read blocks";
      const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // a writer that leaves at once ends it
      if (unblock >= 0) ::close(unblock);
    }
    EXPECT_EQ(read.get(), "d") << path;
  }
  EXPECT_FALSE(WriteProfileValue("A", "K", "1", fifo.c_str()));
  EXPECT_FALSE(WriteProfileValue("A", "K", "1", big.c_str()));
  EXPECT_EQ(ReadFile(big).size(), 10u + 1024u * 1024u) << "an oversized file is left alone";
  EXPECT_EQ(ReadProfileValue("A", "K", "d", limit.c_str()), "fits");
}

}  // namespace
