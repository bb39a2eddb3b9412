#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/Module.h"

namespace {

TEST(Clock, TickCountAdvancesAcrossSleep) {
  const uint32_t before = platform::GetTickCount();
  platform::Sleep(25);
  const uint32_t elapsed = platform::GetTickCount() - before;  // wrap-safe difference
  EXPECT_GE(elapsed, 25u);
  EXPECT_LT(elapsed, 60000u);
}

// The local time is the wall clock in the process's time zone: with a zone
// five and a half hours east of UTC its fields are UTC plus 5:30, read between
// two readings of the system clock.
TEST(Clock, LocalTimeIsTheWallClockInTheTimeZone) {
  const char* oldTz = std::getenv("TZ");
  const std::string savedTz = oldTz != nullptr ? oldTz : "";
  setenv("TZ", "<+0530>-5:30", 1);
  tzset();
  platform::LocalTime now{};
  timespec before{}, after{};
  bool ok = false;
  for (int attempt = 0; attempt < 3; ++attempt) {  // a second boundary between the readings: read again
    clock_gettime(CLOCK_REALTIME, &before);
    ok = platform::GetLocalTime(now);
    clock_gettime(CLOCK_REALTIME, &after);
    if (before.tv_sec == after.tv_sec) break;
  }
  if (oldTz != nullptr) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  ASSERT_TRUE(ok);
  ASSERT_EQ(before.tv_sec, after.tv_sec) << "the clock kept crossing second boundaries";
  const long shifted = static_cast<long>((before.tv_sec + 5 * 3600 + 30 * 60) % 86400);
  EXPECT_EQ(now.hour, shifted / 3600);
  EXPECT_EQ(now.minute, shifted / 60 % 60);
  EXPECT_EQ(now.second, shifted % 60);
  EXPECT_GE(now.millisecond, static_cast<unsigned>(before.tv_nsec / 1000000L));
  EXPECT_LE(now.millisecond, static_cast<unsigned>(after.tv_nsec / 1000000L));
}

TEST(Clock, ThreadIdsDifferBetweenThreadsAndStayStable) {
  const uint64_t mine = platform::CurrentThreadId();
  EXPECT_EQ(platform::CurrentThreadId(), mine);
  uint64_t other = mine;
  std::thread([&] { other = platform::CurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_NE(mine, 0u);
}

TEST(Clock, ThreadIdIsTheKernelsAndAForkedChildGetsItsOwn) {
  const uint64_t mine = platform::CurrentThreadId();
  EXPECT_EQ(mine, static_cast<uint64_t>(::syscall(SYS_gettid)));
  // The child's only thread is the one that forked; its id is the child's
  // process id, not the cached id of the parent's thread.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const uint64_t inChild = platform::CurrentThreadId();
    ::_exit(inChild == static_cast<uint64_t>(::getpid()) && inChild != mine ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child reported the parent's thread id";
  EXPECT_EQ(platform::CurrentThreadId(), mine);
}

TEST(Module, FileNameOfThisModuleIsTheRunningProgram) {
  // White-box tests link the library code into the program itself.
  std::string path;
  ASSERT_EQ(platform::ModuleFilePath(platform::ThisModule(), path), 0u);
  EXPECT_EQ(std::filesystem::path(path), std::filesystem::canonical("/proc/self/exe"));
}

TEST(Module, FileNameOfAnotherLibrary) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&dlsym), &info), 0);
  std::string path;
  ASSERT_EQ(platform::ModuleFilePath(reinterpret_cast<const void*>(&dlsym), path), 0u);
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("libc"), std::string::npos) << path;
}

TEST(Module, UnknownAddressIsAnError) {
  std::string path = "stale";
  EXPECT_NE(platform::ModuleFilePath(nullptr, path), 0u);
  EXPECT_TRUE(path.empty());
  EXPECT_NE(platform::ModuleFilePath(reinterpret_cast<const void*>(0x10), path), 0u);
}

}  // namespace
