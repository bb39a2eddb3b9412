// The export frame (global lock, API return entry, exception guard) and the
// entry's reason codes, white-box.
#include "api/ApiFrame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "../log/LogTestUtil.h"
#include "api/LibraryEntry.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using logtest::HasDefaultPrefixThen;
using logtest::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr auto kBound = std::chrono::seconds(30);

class ApiFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VLMUFWDL_EnableLogging(Log().c_str()), 0u); }
  void TearDown() override { EXPECT_EQ(VLMUFWDL_EnableLogging(nullptr), 0u); }
  std::string Log() const { return dir.File("frame.log"); }

  // Entries written after SetUp's two EnableLogging lines, prefixes checked and removed.
  std::vector<std::string> NewEntries() const {
    std::vector<std::string> entries;
    const auto lines = Lines(ReadFile(Log()));
    for (size_t i = 2; i < lines.size(); ++i) {
      const size_t start = lines[i].find("  ");
      EXPECT_TRUE(start != std::string::npos && HasDefaultPrefixThen(lines[i], lines[i].substr(start + 2))) << lines[i];
      entries.push_back(start == std::string::npos ? lines[i] : lines[i].substr(start + 2));
    }
    return entries;
  }

  TempDir dir;
};

// Holds the global lock on another thread until released.
class LockHolder {
 public:
  LockHolder() {
    mThread = std::thread([this] {
      std::lock_guard<std::mutex> lock(TheGlobalLock());
      mHeld.set_value();
      mRelease.get_future().wait_for(kBound);
    });
    mHeld.get_future().wait();
  }
  ~LockHolder() {
    Release();
    mThread.join();
  }
  void Release() {
    if (!mReleased.exchange(true)) mRelease.set_value();
  }

 private:
  std::promise<void> mHeld;
  std::promise<void> mRelease;
  std::atomic<bool> mReleased{false};
  std::thread mThread;
};

TEST_F(ApiFrameTest, ApiVersionNeedsNoLock) {
  LockHolder holder;
  EXPECT_EQ(VLMUFWDL_GetApiVersion(), 0x00010001u);
}

TEST_F(ApiFrameTest, ExportsWaitForTheGlobalLock) {
  LockHolder holder;
  std::atomic<bool> done{false};
  std::thread caller([&] {
    EXPECT_EQ(VLMUFWDL_EnableLogging(Log().c_str()), 0u);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  holder.Release();
  caller.join();
  EXPECT_TRUE(done.load());
}

TEST_F(ApiFrameTest, FrameHoldsTheGlobalLockForItsLifetime) {
  {
    ApiFrame frame;
    bool acquired = true;
    std::thread([&] {
      acquired = TheGlobalLock().try_lock();
      if (acquired) TheGlobalLock().unlock();
    }).join();
    EXPECT_FALSE(acquired);
  }
  ASSERT_TRUE(TheGlobalLock().try_lock());
  TheGlobalLock().unlock();
}

TEST_F(ApiFrameTest, ReturnWritesTheApiReturnEntry) {
  {
    ApiFrame frame;
    EXPECT_EQ(frame.Return("VLMUFWDL_Probe()", 0x2Au), 0x2Au);
    EXPECT_EQ(frame.Return("VLMUFWDL_Probe(*Count = 3)", 0xE0000020u), 0xE0000020u);
  }
  EXPECT_THAT(NewEntries(), ::testing::ElementsAre("API <-: VLMUFWDL_Probe() returning 0x0000002A",
                                                   "API <-: VLMUFWDL_Probe(*Count = 3) returning 0xE0000020"));
}

TEST_F(ApiFrameTest, GuardKeepsExceptionsInsideAndReleasesTheLock) {
  const uint32_t result = GuardedExport("VLMUFWDL_Probe", 23u, []() -> uint32_t {
    ApiFrame frame;
    throw std::runtime_error("broken");
  });
  EXPECT_EQ(result, 23u);
  EXPECT_EQ(GuardedExport("VLMUFWDL_Probe", 23u, []() -> uint32_t { return 7u; }), 7u);
  EXPECT_THAT(NewEntries(), ::testing::ElementsAre("ERROR: VLMUFWDL_Probe: unexpected internal failure"));
  ASSERT_TRUE(TheGlobalLock().try_lock());
  TheGlobalLock().unlock();
}

TEST_F(ApiFrameTest, SwitchingToAnotherLogFile) {
  const std::string second = dir.File("second.log");
  ASSERT_EQ(VLMUFWDL_EnableLogging(second.c_str()), 0u);
  EXPECT_THAT(NewEntries(), ::testing::ElementsAre("API ->: VLMUFWDL_EnableLogging('" + second + "')"));
  const auto lines = Lines(ReadFile(second));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(HasDefaultPrefixThen(lines[0], "INFO: VLMUFWDL_EnableLogging: Logfile '" + second + "' enabled."));
  EXPECT_TRUE(HasDefaultPrefixThen(lines[1], "API <-: VLMUFWDL_EnableLogging() returning 0x00000000"));
}

struct ReasonCase {
  uint32_t reason;
  std::vector<std::string> entries;
};

TEST_F(ApiFrameTest, EntryReasonsOtherThanProcessAttachAndDetach) {
  const ReasonCase cases[] = {
      {2, {"API ->: DLL_THREAD_ATTACH", "API <-: DLL_THREAD_ATTACH"}},
      {3, {"API ->: DLL_THREAD_DETACH", "API <-: DLL_THREAD_DETACH"}},
      {7, {"WARNING: unknown reason 7"}},
      {0xFFFFFFFFu, {"WARNING: unknown reason 4294967295"}},
  };
  std::vector<std::string> expected;
  for (const ReasonCase& c : cases) {
    EXPECT_TRUE(LibraryEntry(platform::ThisModule(), c.reason, nullptr));
    expected.insert(expected.end(), c.entries.begin(), c.entries.end());
  }
  EXPECT_EQ(NewEntries(), expected);
}

}  // namespace
