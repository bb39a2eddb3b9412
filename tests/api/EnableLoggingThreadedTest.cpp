// VLMUFWDL_EnableLogging from several threads at once: every call is
// serialised by the global lock and each log file gets whole lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../log/LogTestUtil.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using logtest::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(EnableLoggingThreaded, ConcurrentCallersSwitchFilesSafely) {
  TempDir dir;
  constexpr int kThreads = 6;
  constexpr int kCalls = 40;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = dir.File("thread" + std::to_string(t) + ".log");
      for (int i = 0; i < kCalls; ++i) {
        if (VLMUFWDL_GetApiVersion() != 0x00010001u) ++failures[t];
        if (VLMUFWDL_EnableLogging(i % 5 == 4 ? nullptr : path.c_str()) != 0u) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(VLMUFWDL_EnableLogging(nullptr), 0u);

  const std::regex line(std::string("^") + logtest::kDefaultPrefix +
                        R"((API ->: VLMUFWDL_EnableLogging\('(.*|NULL)'\)|)"
                        R"(INFO: VLMUFWDL_EnableLogging: Logfile '.*thread[0-9]\.log' enabled\.|)"
                        R"(API <-: VLMUFWDL_EnableLogging\(\) returning 0x00000000)$)");
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << t;
    for (const std::string& text : Lines(ReadFile(dir.File("thread" + std::to_string(t) + ".log")))) {
      EXPECT_TRUE(std::regex_match(text, line)) << text;
      ++total;
    }
  }
  EXPECT_GT(total, 0u);
}

}  // namespace
