// Load and unload of the library, its configuration file and
// VLMUFWDL_EnableLogging, seen through private copies of the library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "../log/LogTestUtil.h"
#include "LibraryCopy.h"
#include "support/CaseName.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using testsupport::PrintTo;  // parameterized cases print as their names

using apitest::LibraryCopy;
using logtest::HasDefaultPrefixThen;
using logtest::Lines;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Lines of a log file with the default prefixes, prefixes checked and
// removed. The operation-entry lines of the engine's objects ("INFO:
// Class::Operation ...", e.g. from destructors at unload) are left out: they
// belong to other components.
std::vector<std::string> Entries(const std::string& path) {
  static const std::regex engineOperation(R"(^INFO: [A-Za-z_][A-Za-z0-9_]*::~?[A-Za-z_][A-Za-z0-9_]* \.\.\.$)");
  std::vector<std::string> entries;
  for (const std::string& line : Lines(ReadFile(path))) {
    const size_t typeStart = line.find("  ");
    if (typeStart == std::string::npos || !HasDefaultPrefixThen(line, line.substr(typeStart + 2))) {
      ADD_FAILURE() << "line without default prefix: " << line;
      entries.push_back(line);
      continue;
    }
    const std::string entry = line.substr(typeStart + 2);
    if (!std::regex_match(entry, engineOperation)) entries.push_back(entry);
  }
  return entries;
}

// The configuration file as the library fills an empty one.
std::string FilledCfg(const std::string& path, const std::string& maxSize) {
  const char* names[] = {"ERROR", "WARNING", "INFO", "DATA", "API ->", "API <-"};
  std::string text = "[Common]\nModuleToken=VLMUFWDL\n";
  for (int n = 1; n <= 32; ++n) {
    text += "[LogType" + std::to_string(n) + "]\nName=" + (n <= 6 ? names[n - 1] : "") +
            "\nEnabled=" + ((0x37u >> (n - 1)) & 1u ? "1" : "0") + "\n";
  }
  text += "[LogFile]\nThreadIdExtension=1\nModuleTokenExtension=0\nTypeExtension=1\nTimeExtension=1\n";
  text += "PathAndName=" + path + "\nMaxSize=" + maxSize + "\nCheckSizeAfterEachEntry=0\n";
  return text;
}

const std::vector<std::string> kAttach = {"API ->: DLL_PROCESS_ATTACH (dynamic load)", "API <-: DLL_PROCESS_ATTACH"};
const std::vector<std::string> kDetach = {"API ->: DLL_PROCESS_DETACH", "API <-: DLL_PROCESS_DETACH"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> FilesIn(const testsupport::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(LibraryExports, OnlyVlmufwdlSymbolsAreVisible) {
  const std::string command = std::string("nm -D --defined-only '") + VLMU_LIBRARY_FILE + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char address[64], type[8], name[4000];
    if (std::sscanf(line, "%63s %7s %3999s", address, type, name) == 3) symbols.push_back(name);
  }
  ASSERT_EQ(pclose(pipe), 0);
  ASSERT_FALSE(symbols.empty());
  for (const std::string& symbol : symbols) {
    EXPECT_EQ(symbol.rfind("VLMUFWDL_", 0), 0u) << "visible symbol " << symbol;
  }
  EXPECT_THAT(symbols, ::testing::IsSupersetOf({"VLMUFWDL_GetApiVersion", "VLMUFWDL_EnableLogging"}));
}

TEST(LibraryExports, ApiVersionOfTheLinkedLibrary) {
  EXPECT_EQ(VLMUFWDL_GetApiVersion(), 0x00010001u);
  EXPECT_EQ(VLMUFWDL_API_VERSION_MAJOR(VLMUFWDL_GetApiVersion()), 1u);
  EXPECT_EQ(VLMUFWDL_API_VERSION_MINOR(VLMUFWDL_GetApiVersion()), 1u);
}

TEST(LibraryLoad, WithoutConfigurationNothingIsWrittenUntilEnableLogging) {
  LibraryCopy lib;
  lib.Load();
  EXPECT_EQ(lib.GetApiVersion(), 0x00010001u);
  EXPECT_THAT(FilesIn(lib.Dir()), ::testing::ElementsAre("libvelmora_dfu_x64.so"));

  const std::string log = lib.File("trace.log");
  EXPECT_EQ(lib.EnableLogging(log.c_str()), 0u);
  lib.Unload();
  EXPECT_EQ(Entries(log), Concat({{"INFO: VLMUFWDL_EnableLogging: Logfile '" + log + "' enabled.",
                                   "API <-: VLMUFWDL_EnableLogging() returning 0x00000000"},
                                  kDetach}));
  // No configuration file appears: without one nothing is stored.
  EXPECT_THAT(FilesIn(lib.Dir()), ::testing::ElementsAre("libvelmora_dfu_x64.so", "trace.log"));
}

TEST(LibraryLoad, EmptyConfigurationIsFilledWithStartupSettings) {
  LibraryCopy lib;
  WriteFile(lib.CfgPath(), "");
  lib.Load();
  const std::string cfg = ReadFile(lib.CfgPath());
  EXPECT_EQ(cfg, FilledCfg("", "256000"));
  // Spot checks of the layout, written out.
  EXPECT_EQ(cfg.rfind("[Common]\nModuleToken=VLMUFWDL\n[LogType1]\nName=ERROR\nEnabled=1\n", 0), 0u);
  EXPECT_NE(cfg.find("[LogType4]\nName=DATA\nEnabled=0\n[LogType5]\nName=API ->\nEnabled=1\n"
                     "[LogType6]\nName=API <-\nEnabled=1\n[LogType7]\nName=\nEnabled=0\n"),
            std::string::npos);
  EXPECT_NE(cfg.find("[LogType32]\nName=\nEnabled=0\n[LogFile]\n"), std::string::npos);
  lib.Unload();
  EXPECT_THAT(FilesIn(lib.Dir()), ::testing::ElementsAre("libvelmora_dfu_x64.cfg", "libvelmora_dfu_x64.so"));
}

TEST(LibraryLoad, ConfiguredLogFileGetsAttachAndDetachEntries) {
  LibraryCopy lib;
  const std::string log = lib.File("trace.log");
  WriteFile(lib.CfgPath(), FilledCfg(log, "256000"));
  lib.Load();
  EXPECT_EQ(Entries(log), kAttach);
  lib.Unload();
  EXPECT_EQ(Entries(log), Concat({kAttach, kDetach}));
  lib.Load();
  lib.Unload();
  EXPECT_EQ(Entries(log), Concat({kAttach, kDetach, kAttach, kDetach}));
}

TEST(LibraryLoad, EnableLoggingIsStoredAndUsedAtTheNextLoad) {
  LibraryCopy lib;
  WriteFile(lib.CfgPath(), "");
  lib.Load();
  const std::string log = lib.File("chosen.log");
  EXPECT_EQ(lib.EnableLogging(log.c_str()), 0u);
  EXPECT_EQ(ReadFile(lib.CfgPath()), FilledCfg(log, "5000000"));
  lib.Unload();

  lib.Load();
  lib.Unload();
  EXPECT_EQ(Entries(log), Concat({{"INFO: VLMUFWDL_EnableLogging: Logfile '" + log + "' enabled.",
                                   "API <-: VLMUFWDL_EnableLogging() returning 0x00000000"},
                                  kDetach,
                                  kAttach,
                                  kDetach}));
}

TEST(LibraryLoad, EnableLoggingWithNullStopsTheFileAndForgetsIt) {
  LibraryCopy lib;
  const std::string log = lib.File("trace.log");
  WriteFile(lib.CfgPath(), FilledCfg(log, "256000"));
  lib.Load();
  EXPECT_EQ(lib.EnableLogging(nullptr), 0u);
  EXPECT_EQ(lib.EnableLogging(nullptr), 0u);  // nothing open: still success
  lib.Unload();
  EXPECT_EQ(Entries(log), Concat({kAttach, {"API ->: VLMUFWDL_EnableLogging('NULL')"}}));
  EXPECT_EQ(ReadFile(lib.CfgPath()), FilledCfg("", "256000"));
}

TEST(LibraryLoad, LogFileInMissingFolderAnswers23) {
  LibraryCopy lib;
  WriteFile(lib.CfgPath(), "");
  lib.Load();
  const std::string bad = lib.File("no/such/folder/trace.log");
  EXPECT_EQ(lib.EnableLogging(bad.c_str()), 23u);
  EXPECT_EQ(lib.GetApiVersion(), 0x00010001u);
  EXPECT_EQ(ReadFile(lib.CfgPath()), FilledCfg(bad, "5000000"));
  lib.Unload();
  // The stored path is tried at the next load; it fails quietly.
  lib.Load();
  const std::string good = lib.File("trace.log");
  EXPECT_EQ(lib.EnableLogging(good.c_str()), 0u);
  lib.Unload();
  EXPECT_FALSE(std::filesystem::exists(lib.File("no")));
  EXPECT_EQ(Entries(good).size(), 4u);
}

// Runs `call` aside and waits for it generously; a call that blocks (on a
// FIFO) cannot be taken back, so the test program then ends as failed.
template <typename Call>
auto Bounded(Call call) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: the call blocks\n");
    std::_Exit(1);
  }
  return result.get();
}

// A configuration or log file that is not a regular file: the load and
// VLMUFWDL_EnableLogging return at once; such a configuration file reads as
// one without keys (no type enabled), such a log file is refused with 23 and
// left as it was.
struct OddFileCase {
  const char* name;
  bool isCfg;  // else the log file
  int (*make)(const char* path);
  std::filesystem::file_type type;
};

class LibraryOddFileTest : public ::testing::TestWithParam<OddFileCase> {};

TEST_P(LibraryOddFileTest, ReturnsAtOnceAndLosesNothing) {
  const OddFileCase& c = GetParam();
  LibraryCopy lib;
  const std::string odd = c.isCfg ? lib.CfgPath() : lib.File("odd.log"), log = lib.File("trace.log");
  ASSERT_EQ(c.make(odd.c_str()), 0);
  Bounded([&] { lib.Load(); });
  ASSERT_TRUE(lib.Loaded());
  const std::string target = c.isCfg ? log : odd;
  EXPECT_EQ(Bounded([&] { return lib.EnableLogging(target.c_str()); }), c.isCfg ? 0u : 23u);
  Bounded([&] {
    for (int i = 0; i < 2000; ++i) lib.CloseDevice();
  });  // entries to fill a pipe many times over
  EXPECT_EQ(lib.EnableLogging(log.c_str()), 0u);
  lib.Unload();
  EXPECT_EQ(ReadFile(log).empty(), c.isCfg);  // such a configuration enables no type
  EXPECT_EQ(std::filesystem::symlink_status(odd).type(), c.type);
}

int MakeDirectory(const char* path) { return ::mkdir(path, 0700); }
int MakeFifo(const char* path) { return ::mkfifo(path, 0600); }
int LinkToDevNull(const char* path) { return ::symlink("/dev/null", path); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryOddFileTest,
    ::testing::Values(OddFileCase{"cfg_directory", true, MakeDirectory, std::filesystem::file_type::directory},
                      OddFileCase{"cfg_fifo", true, MakeFifo, std::filesystem::file_type::fifo},
                      OddFileCase{"cfg_device", true, LinkToDevNull, std::filesystem::file_type::symlink},
                      OddFileCase{"log_directory", false, MakeDirectory, std::filesystem::file_type::directory},
                      OddFileCase{"log_fifo", false, MakeFifo, std::filesystem::file_type::fifo},
                      OddFileCase{"log_device", false, LinkToDevNull, std::filesystem::file_type::symlink}),
    [](const ::testing::TestParamInfo<OddFileCase>& p) { return std::string(p.param.name); });

TEST(LibraryLoad, FailedConfigurationWriteIsReported) {
  LibraryCopy lib;
  WriteFile(lib.CfgPath(), "");
  lib.Load();
  // The configuration file turns into something that cannot be written.
  std::filesystem::remove(lib.CfgPath());
  std::filesystem::create_directory(lib.CfgPath());
  const std::string log = lib.File("trace.log");
  EXPECT_EQ(lib.EnableLogging(log.c_str()), 0u);
  lib.Unload();
  const std::string failed = " into \"" + lib.CfgPath() + "\" failed";
  EXPECT_EQ(Entries(log),
            Concat({{"WARNING: SetCfgFile: writing key \"PathAndName\" of section \"LogFile\"" + failed,
                     "WARNING: SetCfgFile: writing key \"MaxSize\" of section \"LogFile\"" + failed,
                     "WARNING: SetCfgFile: writing key \"CheckSizeAfterEachEntry\" of section \"LogFile\"" + failed,
                     "INFO: VLMUFWDL_EnableLogging: Logfile '" + log + "' enabled.",
                     "API <-: VLMUFWDL_EnableLogging() returning 0x00000000"},
                    kDetach}));
}

struct CfgCase {
  const char* name;
  std::string cfg;  // "@LOG@" stands for the log file path
  std::vector<std::string> expectedLines;
};

class LibraryCfgTest : public ::testing::TestWithParam<CfgCase> {};

TEST_P(LibraryCfgTest, LinesFollowTheConfiguration) {
  const CfgCase& c = GetParam();
  LibraryCopy lib;
  std::string cfg = c.cfg;
  const std::string log = lib.File("trace.log");
  cfg.replace(cfg.find("@LOG@"), 5, log);
  WriteFile(lib.CfgPath(), cfg);
  lib.Load();
  lib.Unload();
  EXPECT_EQ(Lines(ReadFile(log)), c.expectedLines);
  EXPECT_EQ(ReadFile(lib.CfgPath()), cfg);  // a configuration that is read is not rewritten
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryCfgTest,
    ::testing::Values(
        CfgCase{"enabled_yes_disables",
                "[LogType5]\nName=API ->\nEnabled=yes\n[LogType6]\nName=API <-\nEnabled=1\n"
                "[LogFile]\nTypeExtension=1\nPathAndName=@LOG@\n",
                {"API <-: DLL_PROCESS_ATTACH", "API <-: DLL_PROCESS_DETACH"}},
        CfgCase{"keys_and_sections_ignore_case",
                "[logtype5]\nNAME=enter\nenabled=1\n[LOGFILE]\ntypeextension=1\npathandname=@LOG@\n",
                {"enter: DLL_PROCESS_ATTACH (dynamic load)", "enter: DLL_PROCESS_DETACH"}},
        CfgCase{"missing_token_and_names_are_empty",
                "garbage line\n[LogType5]\nEnabled=1\n=orphan\n[LogType6]\nEnabled=1\n"
                "[LogFile]\nModuleTokenExtension=1\nTypeExtension=1\nnot a key\nPathAndName=@LOG@\n",
                {": : DLL_PROCESS_ATTACH (dynamic load)", ": : DLL_PROCESS_ATTACH", ": : DLL_PROCESS_DETACH",
                 ": : DLL_PROCESS_DETACH"}},
        CfgCase{"token_and_names_are_cut",
                "[Common]\nModuleToken=0123456789012345678901234567890123456789XYZ\n"
                "[LogType6]\nEnabled=1\nName=abcdefghijklmnopqrstuvwxyz\n"
                "[LogFile]\nModuleTokenExtension=1\nTypeExtension=1\nPathAndName=@LOG@\n",
                {"012345678901234567890123456789012345678: abcdefghijklmnopqrs: DLL_PROCESS_ATTACH",
                 "012345678901234567890123456789012345678: abcdefghijklmnopqrs: DLL_PROCESS_DETACH"}},
        CfgCase{"no_prefixes",
                "[LogType5]\nEnabled=1\n[LogFile]\nThreadIdExtension=0\nTimeExtension=no\nPathAndName=@LOG@\n",
                {"DLL_PROCESS_ATTACH (dynamic load)", "DLL_PROCESS_DETACH"}}),
    [](const ::testing::TestParamInfo<CfgCase>& p) { return std::string(p.param.name); });

struct MaxSizeCase {
  const char* name;
  const char* maxSizeLine;
  bool rotatedAtLoad;
};

class LibraryMaxSizeTest : public ::testing::TestWithParam<MaxSizeCase> {};

TEST_P(LibraryMaxSizeTest, MalformedMeansZeroHugeMeansLargest) {
  const MaxSizeCase& c = GetParam();
  LibraryCopy lib;
  const std::string log = lib.File("trace.log");
  WriteFile(log, "old line\n");
  WriteFile(lib.CfgPath(), "[LogType5]\nEnabled=1\n[LogFile]\nPathAndName=" + log + "\n" + c.maxSizeLine);
  lib.Load();
  lib.Unload();
  if (c.rotatedAtLoad) {
    EXPECT_EQ(ReadFile(lib.File("trace.bak")), "old line\n");
    EXPECT_EQ(ReadFile(log), "DLL_PROCESS_ATTACH (dynamic load)\nDLL_PROCESS_DETACH\n");
  } else {
    EXPECT_FALSE(std::filesystem::exists(lib.File("trace.bak")));
    EXPECT_EQ(ReadFile(log), "old line\nDLL_PROCESS_ATTACH (dynamic load)\nDLL_PROCESS_DETACH\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LibraryMaxSizeTest,
                         ::testing::Values(MaxSizeCase{"missing", "", true},
                                           MaxSizeCase{"non_numeric", "MaxSize=big\n", true},
                                           MaxSizeCase{"negative", "MaxSize=-5\n", true},
                                           MaxSizeCase{"huge", "MaxSize=99999999999999999999999\n", false},
                                           MaxSizeCase{"exact_size", "MaxSize=9\n", false},
                                           MaxSizeCase{"one_below", "MaxSize=8\n", true}),
                         [](const ::testing::TestParamInfo<MaxSizeCase>& p) { return std::string(p.param.name); });

// The program needs the library under its soname (libvelmora_dfu_x64.so.1), a
// link to the copy as an installed system has it; the configuration is still
// the one named after the unversioned library.
TEST(LibraryLoad, LinkedAtLoadTimeReportsStaticLoad) {
  LibraryCopy lib;
  std::filesystem::create_symlink("libvelmora_dfu_x64.so", lib.File(VLMU_LIBRARY_SONAME));
  const std::string log = lib.File("trace.log");
  WriteFile(lib.CfgPath(), FilledCfg(log, "256000"));
  const std::string command = "LD_LIBRARY_PATH='" + lib.Dir().path().string() + "' '" + VLMU_STATIC_PROBE + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Entries(log),
            Concat({{"API ->: DLL_PROCESS_ATTACH (static load)", "API <-: DLL_PROCESS_ATTACH"}, kDetach}));
}

}  // namespace
