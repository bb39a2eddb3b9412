// Entries from many threads at once: lines never interleave and rotation
// under load loses no line structure.
#include "log/DiagnosticLog.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "LogTestUtil.h"
#include "support/TempDir.h"

namespace {

using logtest::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr int kThreads = 8;
constexpr int kEntriesPerThread = 400;

void WriteFromThreads(DiagnosticLog& log) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string padding(static_cast<size_t>(40 + t * 13), static_cast<char>('a' + t));
      for (int i = 0; i < kEntriesPerThread; ++i) {
        log.Entry(i % 2 ? LOG_INFO : LOG_API_ENTRY, "writer %d entry %d %s end\n", t, i, padding.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

const std::regex& LinePattern() {
  static const std::regex pattern(std::string("^") + logtest::kDefaultPrefix +
                                  R"((INFO|API ->): writer ([0-9]) entry ([0-9]+) ([a-h]+) end$)");
  return pattern;
}

TEST(DiagnosticLogThreaded, LinesNeverInterleave) {
  TempDir dir;
  DiagnosticLog log;
  log.Initialize(DiagnosticLog::StartupSettings{});
  ASSERT_TRUE(log.SetLogFile(dir.File("trace.log").c_str(), 5000000, false));
  WriteFromThreads(log);

  const auto lines = Lines(ReadFile(dir.File("trace.log")));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntriesPerThread));
  std::map<int, int> nextEntry;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, LinePattern())) << line;
    const int writer = std::stoi(match[2]);
    const int entry = std::stoi(match[3]);
    EXPECT_EQ(match[4].length(), 40 + writer * 13) << line;
    EXPECT_EQ(entry, nextEntry[writer]) << line;  // each thread's entries in its own order
    nextEntry[writer] = entry + 1;
  }
}

TEST(DiagnosticLogThreaded, RotationUnderLoadKeepsWholeLines) {
  TempDir dir;
  DiagnosticLog log;
  log.Initialize(DiagnosticLog::StartupSettings{});
  ASSERT_TRUE(log.SetLogFile(dir.File("trace.log").c_str(), 20000, true));
  WriteFromThreads(log);
  ASSERT_TRUE(log.StopLogFile());

  const std::string current = ReadFile(dir.File("trace.log"));
  const std::string backup = ReadFile(dir.File("trace.bak"));
  EXPECT_LE(current.size(), 20000u + 200u);
  EXPECT_GT(backup.size(), 20000u);
  EXPECT_LE(backup.size(), 20000u + 200u);  // rotated right after the entry that crossed the limit
  for (const std::string* content : {&current, &backup}) {
    ASSERT_TRUE(content->empty() || content->back() == '\n');
    for (const std::string& line : Lines(*content)) {
      EXPECT_TRUE(std::regex_match(line, LinePattern())) << line;
    }
  }
}

}  // namespace
