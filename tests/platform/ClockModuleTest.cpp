#include <gtest/gtest.h>

#include <dlfcn.h>

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
