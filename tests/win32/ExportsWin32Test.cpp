// velmora_dfu_x64.dll as its callers see it under Wine: the exports on a
// machine without the vendor driver, the log, and the entry point's load
// kinds with the configuration file beside a copy of the DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "log/LogTestUtil.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using testsupport::ReadFile;
using testsupport::ReadTextFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr const char* kInterfaceClassText = "{49F4A1FF-55DD-4d45-9743-7B623EFF0361}";

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path().string();
}

bool HasLine(const std::string& log, const std::string& rest) {
  for (const std::string& line : logtest::Lines(log)) {
    if (logtest::HasDefaultPrefixThen(line, rest)) return true;
  }
  return false;
}

// The text in double quotes, for a command line.
std::string Quoted(const std::string& text) {
  std::string quoted(1, '"');
  quoted.append(text).push_back('"');
  return quoted;
}

// Runs `program` with `arguments` and returns its exit code (or -1).
int RunProgram(const std::string& program, const std::string& arguments) {
  std::string commandLine = Quoted(program);
  commandLine.append(" ").append(arguments);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

TEST(Win32Exports, ApiVersion) { EXPECT_EQ(VLMUFWDL_GetApiVersion(), 0x00010001u); }

TEST(Win32Exports, WithoutTheDriverThereAreNoDevices) {
  uint32_t count = 77;
  EXPECT_EQ(VLMUFWDL_EnumerateDevices(kInterfaceClassText, &count), 0u);
  EXPECT_EQ(count, 0u);
  VLMUFWDL_DEVICE_INFO info{};
  EXPECT_EQ(VLMUFWDL_GetDeviceInfo(0, &info), 13u);
  EXPECT_EQ(VLMUFWDL_OpenDevice(0), 13u);
  EXPECT_EQ(VLMUFWDL_CloseDevice(), 15u);
  uint32_t bytes = 1, total = 1;
  EXPECT_EQ(VLMUFWDL_StartDownload("C:\\nothing.vld", 0), 15u);
  EXPECT_EQ(VLMUFWDL_EnumerateDevices("not a GUID", &count), 10u);
  (void)bytes;
  (void)total;
}

TEST(Win32Exports, ImageFileThatDoesNotExist) {
  VLMUFWDL_VLD_FILE_INFO info{};
  EXPECT_EQ(VLMUFWDL_GetVldFileInfo("C:\\no\\such\\image.vld", &info), 3u);
}

TEST(Win32Exports, LogLinesCarryTheThreadIdAndTheCalls) {
  TempDir dir;
  const std::string log = dir.File("VelmoraFlashTool_x64.log");
  ASSERT_EQ(VLMUFWDL_EnableLogging(log.c_str()), 0u);
  uint32_t count = 5;
  ASSERT_EQ(VLMUFWDL_EnumerateDevices(kInterfaceClassText, &count), 0u);
  ASSERT_EQ(VLMUFWDL_EnableLogging(nullptr), 0u);
  const std::string text = ReadTextFile(log);
  EXPECT_TRUE(HasLine(text, "API <-: VLMUFWDL_EnumerateDevices(*NumberOfDevices = 0) returning 0x00000000")) << text;
  char thread[32];
  std::snprintf(thread, sizeof thread, "[T0x%lx] ", static_cast<unsigned long>(GetCurrentThreadId()));
  EXPECT_EQ(text.rfind(thread, 0), 0u) << text;
  // Pointers: sixteen upper-case hex digits.
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(R"(API ->: VLMUFWDL_EnumerateDevices\('\{49F4A1FF-55DD-4d45-9743-7B623EFF0361\}',0x[0-9A-F]{16}\))")))
      << text;
}

// A copy of the DLL in a folder of its own with a configuration file, loaded
// by the probes: dynamically (LoadLibraryA) and at load time.
class Win32LibraryEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string bin = ProgramFolder();
    for (const char* file : {"velmora_dfu_x64.dll", "wine_static_load_probe.exe", "wine_dynamic_load_probe.exe"}) {
      ASSERT_TRUE(CopyFileA((bin + "\\" + file).c_str(), mDir.File(file).c_str(), FALSE)) << file;
    }
    mCfg = mDir.File("velmora_dfu_x64.cfg");
    mLog = mDir.File("entry.log");
  }
  void ConfigureLog() {
    // API entries and returns with the default prefixes into mLog.
    WriteFile(mCfg,
              "[LogType5]\r\nEnabled=1\r\nName=API ->\r\n[LogType6]\r\nEnabled=1\r\nName=API <-\r\n"
              "[LogFile]\r\nThreadIdExtension=1\r\nTypeExtension=1\r\nTimeExtension=1\r\nPathAndName=" +
                  mLog + "\r\nMaxSize=256000\r\n");
  }
  TempDir mDir;
  std::string mCfg;
  std::string mLog;
};

TEST_F(Win32LibraryEntry, EmptyConfigurationFileIsFilledWithTheDefaults) {
  WriteFile(mCfg, "");
  ASSERT_EQ(RunProgram(mDir.File("wine_dynamic_load_probe.exe"), Quoted(mDir.File("velmora_dfu_x64.dll"))), 0);
  const std::string cfg = ReadFile(mCfg);
  for (const char* expected : {"[Common]", "ModuleToken=VLMUFWDL", "[LogType1]", "Name=ERROR", "[LogType32]",
                               "[LogFile]", "PathAndName=", "MaxSize=256000", "CheckSizeAfterEachEntry=0",
                               "ThreadIdExtension=1", "ModuleTokenExtension=0"}) {
    EXPECT_NE(cfg.find(expected), std::string::npos) << expected << "\n" << cfg;
  }
  EXPECT_FALSE(std::filesystem::exists(mLog));
}

TEST_F(Win32LibraryEntry, LoadLibraryIsADynamicLoadWithoutThreadNotifications) {
  ConfigureLog();
  ASSERT_EQ(RunProgram(mDir.File("wine_dynamic_load_probe.exe"), Quoted(mDir.File("velmora_dfu_x64.dll"))), 0);
  const std::string log = ReadTextFile(mLog);
  EXPECT_TRUE(HasLine(log, "API ->: DLL_PROCESS_ATTACH (dynamic load)")) << log;
  EXPECT_TRUE(HasLine(log, "API <-: DLL_PROCESS_ATTACH")) << log;
  EXPECT_TRUE(HasLine(log, "API ->: DLL_PROCESS_DETACH")) << log;
  EXPECT_TRUE(HasLine(log, "API <-: DLL_PROCESS_DETACH")) << log;
  // The probe starts and ends a thread while the DLL is loaded.
  EXPECT_EQ(log.find("DLL_THREAD_"), std::string::npos) << log;
}

TEST_F(Win32LibraryEntry, LoadTimeLinkIsAStaticLoad) {
  ConfigureLog();
  ASSERT_EQ(RunProgram(mDir.File("wine_static_load_probe.exe"), ""), 0);
  const std::string log = ReadTextFile(mLog);
  EXPECT_TRUE(HasLine(log, "API ->: DLL_PROCESS_ATTACH (static load)")) << log;
  EXPECT_EQ(log.find("dynamic load"), std::string::npos) << log;
  EXPECT_EQ(log.find("DLL_THREAD_"), std::string::npos) << log;
}

}  // namespace
