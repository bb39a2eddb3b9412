#include "log/DiagnosticLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>

#include "LogTestUtil.h"
#include "api/LibraryGlobals.h"
#include "platform/Clock.h"
#include "support/CaseName.h"
#include "support/TempDir.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using logtest::HasDefaultPrefixThen;
using logtest::Lines;
using ::testing::ElementsAre;
using testsupport::ReadFile;
using testsupport::ReadTextFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// A log with the start-up settings and no configuration file (no module).
class DiagnosticLogTest : public ::testing::Test {
 protected:
  DiagnosticLogTest() { log.Initialize(DiagnosticLog::StartupSettings{}); }
  std::string Log() const { return dir.File("trace.log"); }
  void Enable() { ASSERT_TRUE(log.SetLogFile(Log().c_str(), 5000000, false)); }

  TempDir dir;
  DiagnosticLog log;
};

TEST_F(DiagnosticLogTest, StartupSettingsWithoutConfigurationFile) {
  EXPECT_EQ(log.EnabledTypes(), 0x37u);
  EXPECT_EQ(log.Extensions(), 13u);
  EXPECT_EQ(log.DestinationMask(), 3u);
  EXPECT_EQ(log.SuppressedDestinations(), 0u);
  EXPECT_EQ(log.ModuleToken(), "VLMUFWDL");
  EXPECT_EQ(log.CfgFilePath(), "");
  EXPECT_FALSE(log.LogFileEnabled());
  const char* names[] = {"ERROR", "WARNING", "INFO", "DATA", "API ->", "API <-"};
  for (size_t row = 0; row < 32; ++row) {
    EXPECT_EQ(log.TypeName(row), row < 6 ? names[row] : "") << row;
  }
  log.Entry(LOG_ERROR, "nowhere\n");  // no log file: formatted and dropped
  EXPECT_FALSE(std::filesystem::exists(Log()));
}

TEST_F(DiagnosticLogTest, EntryLineLayoutWithDefaultPrefixes) {
  Enable();
  log.Entry(LOG_ERROR, "value %d%%\n", 5);
  log.Entry(LOG_WARNING, "warned\n");
  log.Entry(LOG_INFO, "VldFile::Open ...\n");
  log.Entry(LOG_API_ENTRY, "VLMUFWDL_OpenDevice( %u )\n", 3u);
  log.Entry(LOG_API_RETURN, "VLMUFWDL_OpenDevice returning 0x%08X\n", 0x2Eu);
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "ERROR: value 5%")) << lines[0];
  EXPECT_TRUE(HasDefaultPrefixThen(lines[1], "WARNING: warned")) << lines[1];
  EXPECT_TRUE(HasDefaultPrefixThen(lines[2], "INFO: VldFile::Open ...")) << lines[2];
  EXPECT_TRUE(HasDefaultPrefixThen(lines[3], "API ->: VLMUFWDL_OpenDevice( 3 )")) << lines[3];
  EXPECT_TRUE(HasDefaultPrefixThen(lines[4], "API <-: VLMUFWDL_OpenDevice returning 0x0000002E")) << lines[4];
  char threadPrefix[40];
  std::snprintf(threadPrefix, sizeof threadPrefix, "[T0x%llx] ",
                static_cast<unsigned long long>(platform::CurrentThreadId()));
  EXPECT_EQ(lines[0].rfind(threadPrefix, 0), 0u) << lines[0];
}

TEST_F(DiagnosticLogTest, MessageWithoutLineEndIsContinuedByNextEntry) {
  Enable();
  log.Entry(LOG_INFO, "part one, ");
  log.Entry(LOG_INFO, "part two\n");
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 1u);
  const size_t second = lines[0].find("part one, [T0x");
  EXPECT_NE(second, std::string::npos) << lines[0];
}

TEST_F(DiagnosticLogTest, PercentSignsInArgumentsAreWrittenLiterally) {
  Enable();
  log.Entry(LOG_INFO, "path '%s'\n", "C:\\100%s%d%n.vld");
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "INFO: path 'C:\\100%s%d%n.vld'")) << lines[0];
}

TEST_F(DiagnosticLogTest, TypeRowsForSingleMultiAndZeroTypes) {
  Enable();
  log.Entry(LOG_WARNING | LOG_INFO, "two bits\n");  // no row of its own: first row's name
  log.Entry(LOG_DATA | LOG_INFO, "data and info\n");
  log.Entry(0, "type zero\n");       // no enabled bit: not written
  log.Entry(LOG_DATA, "data\n");     // disabled by default
  log.Entry(0x40, "unused type\n");  // disabled
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "ERROR: two bits")) << lines[0];
  EXPECT_TRUE(HasDefaultPrefixThen(lines[1], "ERROR: data and info")) << lines[1];
}

TEST_F(DiagnosticLogTest, MessageIsCutAt1023Characters) {
  Enable();
  const std::string longText(2000, 'a');
  log.Entry(LOG_INFO, "%s\n", longText.c_str());
  log.Entry(LOG_INFO, "next\n");
  const std::string content = ReadTextFile(Log());
  const auto lines = Lines(content);
  ASSERT_EQ(lines.size(), 1u);  // the cut message lost its "\n": the next entry follows on the same line
  const size_t start = lines[0].find("INFO: ") + 6;
  EXPECT_EQ(lines[0].substr(start, 1023), std::string(1023, 'a'));
  EXPECT_EQ(lines[0].substr(start + 1023, 4), "[T0x");
}

TEST_F(DiagnosticLogTest, FormattingFaultWritesTheRawFormat) {
#ifdef _WIN32
  GTEST_SKIP() << "MinGW's printf converts any wide character: no formatting fault to provoke";
#endif
  Enable();
  // A wide character that the "C" locale cannot convert makes the formatting fail.
  const wchar_t text[] = {L'x', static_cast<wchar_t>(0x263A), 0};
  log.Entry(LOG_ERROR, "bad %ls %d\n", text, 7);
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "ERROR: _____FAULTY_LOG_ENTRY: bad %ls %d")) << lines[0];
}

TEST(DiagnosticLogFormat, FaultTextIsCutTo1023Characters) {
#ifdef _WIN32
  GTEST_SKIP() << "MinGW's printf converts any wide character: no formatting fault to provoke";
#endif
  char text[DiagnosticLog::kMaxText + 1];
  const std::string format = std::string(1500, 'f') + "%ls";
  const wchar_t wide[] = {static_cast<wchar_t>(0x263A), 0};
  // Called through a va_list the way the log does.
  struct Caller {
    static void Run(char (&out)[DiagnosticLog::kMaxText + 1], const char* fmt, ...) {
      va_list args;
      va_start(args, fmt);
      DiagnosticLog::FormatText(out, fmt, args);
      va_end(args);
    }
  };
  Caller::Run(text, format.c_str(), wide);
  const std::string expected = ("_____FAULTY_LOG_ENTRY: " + format).substr(0, 1023);
  EXPECT_EQ(std::string(text), expected);
  Caller::Run(text, nullptr);
  EXPECT_STREQ(text, "_____FAULTY_LOG_ENTRY: ");
}

namespace {
// Formats through a va_list the way the log does.
std::string FormatForTest(const char* fmt, ...) {
  char text[DiagnosticLog::kMaxText + 1];
  va_list args;
  va_start(args, fmt);
  DiagnosticLog::FormatText(text, fmt, args);
  va_end(args);
  return text;
}
}  // namespace

TEST(DiagnosticLogFormat, PointersAreWrittenAsSixteenUpperCaseDigitsWithoutPrefix) {
  const struct {
    uintptr_t value;
    const char* text;
  } cases[] = {{0x12ff40, "000000000012FF40"}, {0, "0000000000000000"}, {~uintptr_t{0}, "FFFFFFFFFFFFFFFF"}};
  for (const auto& c : cases) EXPECT_STREQ(FormatPointer(reinterpret_cast<void*>(c.value)).c_str(), c.text);
  EXPECT_EQ(
      FormatForTest("VLMUFWDL_GetDeviceInfo(%u,0x%s)\n", 7u, FormatPointer(reinterpret_cast<void*>(0x12ff40)).c_str()),
      "VLMUFWDL_GetDeviceInfo(7,0x000000000012FF40)\n");
}

struct LineCase {
  const char* name;
  uint32_t extensions;
  bool haveTime;
  const char* expected;
};

class DiagnosticLogLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(DiagnosticLogLineTest, PrefixesInOrder) {
  const LineCase& c = GetParam();
  char line[DiagnosticLog::kMaxLine + 1];
  const platform::LocalTime time{9, 5, 7, 42};
  const size_t length = DiagnosticLog::FormatLine(line, c.extensions, 0x1a2b, c.haveTime ? &time : nullptr, "VLMUFWDL",
                                                  "API ->", "text\n");
  EXPECT_STREQ(line, c.expected);
  EXPECT_EQ(length, std::strlen(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiagnosticLogLineTest,
    ::testing::Values(LineCase{"none", 0, true, "text\n"}, LineCase{"thread", 1, true, "[T0x1a2b] text\n"},
                      LineCase{"token", 2, true, "VLMUFWDL: text\n"}, LineCase{"type", 4, true, "API ->: text\n"},
                      LineCase{"time", 8, true, "09:05:07:042  text\n"},
                      LineCase{"unknown_time", 8, false, "Unknown time  text\n"},
                      LineCase{"defaults", 13, true, "[T0x1a2b] 09:05:07:042  API ->: text\n"},
                      LineCase{"all", 15, true, "[T0x1a2b] 09:05:07:042  VLMUFWDL: API ->: text\n"}),
    [](const ::testing::TestParamInfo<LineCase>& p) { return std::string(p.param.name); });

TEST(DiagnosticLogFormat, LineIsCutAt1115Characters) {
  char line[DiagnosticLog::kMaxLine + 1];
  const platform::LocalTime time{23, 59, 59, 999};
  const std::string token(39, 't');
  const std::string name(19, 'n');
  const std::string text(1023, 'x');
  const size_t length =
      DiagnosticLog::FormatLine(line, 15, 0xFFFFFFFFFFFFFFFFull, &time, token.c_str(), name.c_str(), text.c_str());
  const std::string prefix = "[T0xffffffffffffffff] 23:59:59:999  " + token + ": " + name + ": ";
  ASSERT_EQ(prefix.size(), 98u);
  EXPECT_EQ(length, 1115u);
  EXPECT_EQ(std::string(line), prefix + text.substr(0, 1115 - 98));
}

TEST_F(DiagnosticLogTest, FileBitSuppressionStopsWritingOtherBitsDoNot) {
  Enable();
  log.AddSuppressedDestinations(4);
  log.Entry(LOG_INFO, "attach step\n");
  log.AddSuppressedDestinations(2);
  log.Entry(LOG_INFO, "suppressed\n");
  log.RemoveSuppressedDestinations(2 | 4);
  EXPECT_EQ(log.SuppressedDestinations(), 0u);
  log.Entry(LOG_INFO, "again\n");
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "INFO: attach step"));
  EXPECT_TRUE(HasDefaultPrefixThen(lines[1], "INFO: again"));
}

TEST_F(DiagnosticLogTest, SetLogFileFailureLeavesLoggingOff) {
  const std::string bad = dir.File("missing/trace.log");
  EXPECT_FALSE(log.SetLogFile(bad.c_str(), 5000000, false));
  EXPECT_FALSE(log.LogFileEnabled());
  log.Entry(LOG_ERROR, "dropped\n");
  EXPECT_FALSE(std::filesystem::exists(bad));
  EXPECT_FALSE(log.SetLogFile("", 5000000, false));
  EXPECT_FALSE(log.LogFileEnabled());
}

TEST_F(DiagnosticLogTest, StopLogFileClosesAndStopsWriting) {
  Enable();
  log.Entry(LOG_INFO, "one\n");
  EXPECT_TRUE(log.StopLogFile());
  EXPECT_FALSE(log.LogFileEnabled());
  EXPECT_EQ(log.LogFilePath(), "");
  log.Entry(LOG_INFO, "two\n");
  EXPECT_EQ(Lines(ReadTextFile(Log())).size(), 1u);
  EXPECT_TRUE(log.StopLogFile());  // nothing open: still a clean close
}

TEST_F(DiagnosticLogTest, FailedRotationKeepsTheFileEnabledAndTheLinesInTheLiveFile) {
  const std::string bak = dir.File("trace.bak");
  WriteFile(bak, "protected");
  ASSERT_EQ(::chmod(bak.c_str(), 0444), 0);
  ASSERT_TRUE(log.SetLogFile(Log().c_str(), 0, true));
  log.Entry(LOG_ERROR, "first\n");   // written, then the rotation fails and the live file is reopened
  log.Entry(LOG_ERROR, "second\n");  // written into the live file as well
  EXPECT_TRUE(log.LogFileEnabled());
  const auto lines = Lines(ReadTextFile(Log()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "ERROR: first"));
  EXPECT_TRUE(HasDefaultPrefixThen(lines[1], "ERROR: second"));
  EXPECT_EQ(ReadFile(bak), "protected");
  ::chmod(bak.c_str(), 0644);
  // A new log file set by the caller works again.
  ASSERT_TRUE(log.SetLogFile(dir.File("other.log").c_str(), 5000000, false));
  log.Entry(LOG_ERROR, "third\n");
  EXPECT_EQ(Lines(ReadTextFile(dir.File("other.log"))).size(), 1u);
}

TEST_F(DiagnosticLogTest, TeardownDisablesAllTypesAndClosesTheFile) {
  Enable();
  log.Teardown();
  EXPECT_EQ(log.EnabledTypes(), 0u);
  EXPECT_FALSE(log.IsEnabled(LOG_ERROR));
  EXPECT_FALSE(log.LogFileEnabled());
  log.Entry(LOG_ERROR, "after teardown\n");
  EXPECT_EQ(ReadTextFile(Log()), "");
}

int gEvaluations = 0;
int CountedArgument() { return ++gEvaluations; }

TEST(DiagnosticLogMacro, DisabledTypeEvaluatesNoArgument) {
  // The library's own log (white-box tests run its entry at start-up).
  ASSERT_FALSE(TheDiagnosticLog().IsEnabled(LOG_DATA));
  gEvaluations = 0;
  VLOG(LOG_DATA, "value %d\n", CountedArgument());
  EXPECT_EQ(gEvaluations, 0);
  ASSERT_TRUE(TheDiagnosticLog().IsEnabled(LOG_INFO));
  VLOG(LOG_INFO, "value %d\n", CountedArgument());
  EXPECT_EQ(gEvaluations, 1);
}

}  // namespace
