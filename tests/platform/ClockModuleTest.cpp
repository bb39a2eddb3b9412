#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

TEST(Clock, LocalTimeFieldsAreInRange) {
  platform::LocalTime now {};
  ASSERT_TRUE(platform::GetLocalTime(now));
  EXPECT_GE(now.hour, 0);
  EXPECT_LE(now.hour, 23);
  EXPECT_GE(now.minute, 0);
  EXPECT_LE(now.minute, 59);
  EXPECT_GE(now.second, 0);
  EXPECT_LE(now.second, 60);
  EXPECT_LE(now.millisecond, 999u);
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
  ASSERT_EQ(platform::GetModuleFileName(platform::ThisModule(), path), 0u);
  EXPECT_EQ(std::filesystem::path(path), std::filesystem::canonical("/proc/self/exe"));
}

TEST(Module, FileNameOfAnotherLibrary) {
  Dl_info info {};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&dlsym), &info), 0);
  std::string path;
  ASSERT_EQ(platform::GetModuleFileName(reinterpret_cast<const void*>(&dlsym), path), 0u);
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("libc"), std::string::npos) << path;
}

TEST(Module, UnknownAddressIsAnError) {
  std::string path = "stale";
  EXPECT_NE(platform::GetModuleFileName(nullptr, path), 0u);
  EXPECT_TRUE(path.empty());
  EXPECT_NE(platform::GetModuleFileName(reinterpret_cast<const void*>(0x10), path), 0u);
}

}  // namespace
