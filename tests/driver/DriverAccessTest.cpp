// Who may reach the driver service and what it writes for them: socket
// access independent of the umask, a private default directory, control
// commands for the service's own user only, trace files opened safely.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"
#include "support/RunShell.h"
#include "support/TempDir.h"

extern char** environ;

namespace drvtest {
namespace {

using testsupport::DriverServiceFixture;
using ::testing::HasSubstr;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

using ToolResult = testsupport::ShellResult;

// Runs a shell command line; stdout and stderr together.
ToolResult Shell(const std::string& cmd) { return testsupport::RunShell(cmd); }

// velmora-driverctl run as user nobody, in the group nogroup or only in group 100.
ToolResult CtlAsNobody(const std::string& socket, bool withGroup, const std::string& args) {
  const std::string groups = withGroup ? "--regid=65534 --groups=65534" : "--regid=100 --clear-groups";
  return Shell("setpriv --reuid=65534 " + groups + " " + std::string(VLMU_BUILD_DIR) +
               "/tools/driverctl/velmora-driverctl --socket '" + socket + "' " + args);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(DriverAccessTest, SocketIsForItsOwnerWhateverTheUmaskAndForAGroupWhenGiven) {
  const mode_t old = ::umask(0);
  DriverServiceFixture open;
  const bool started = open.Start();
  ::umask(old);
  ASSERT_TRUE(started) << open.LastError();
  struct stat st {};
  ASSERT_EQ(::stat(open.SocketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, ::geteuid());

  if (::geteuid() != 0) GTEST_SKIP() << "giving the socket to a group needs root";
  DriverServiceFixture grouped;
  ASSERT_TRUE(grouped.Start({"--socket-group", "nogroup"})) << grouped.LastError();
  ASSERT_EQ(::stat(grouped.SocketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, kNogroup);
}

TEST(DriverAccessTest, OtherUsersMayUseDevicesButNotControlTheService) {
  if (::geteuid() != 0 || Shell("command -v setpriv").exitCode != 0) GTEST_SKIP() << "needs root and setpriv";
  DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start({"--socket-group", "nogroup"})) << driver.LastError();
  ASSERT_EQ(driver.AddDevice(testsupport::DeviceDescription()), "dev1");
  const std::filesystem::path dir = std::filesystem::path(driver.SocketPath()).parent_path();
  std::filesystem::permissions(dir, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);

  // Outside the group the socket cannot be reached at all.
  ToolResult r = CtlAsNobody(driver.SocketPath(), false, "interfaces");
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("cannot connect"));
  EXPECT_THAT(r.output, HasSubstr("(error 5: permission denied; the service admits"));

  // In the group: devices and the lists yes, commands that change the service no.
  r = CtlAsNobody(driver.SocketPath(), true, "interfaces");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("vid_1234&pid_5678#SN0001"));
  r = CtlAsNobody(driver.SocketPath(), true, "raw '{\"cmd\":\"ping\"}'");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  r = CtlAsNobody(driver.SocketPath(), true, "list");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("\"id\": \"dev1\""));
  const std::string victim = driver.TempFile("created-for-nobody");
  const std::string denied[] = {"shutdown", "trace on '" + victim + "'", "unplug dev1", "remove dev1",
                                "raw '{\"cmd\":\"add-device\",\"description\":{}}'"};
  for (const auto& args : denied) {
    r = CtlAsNobody(driver.SocketPath(), true, args);
    EXPECT_NE(r.exitCode, 0) << args;
    EXPECT_THAT(r.output, HasSubstr("reserved for the service's user and root")) << args;
  }
  EXPECT_TRUE(driver.Running());
  EXPECT_FALSE(std::filesystem::exists(victim));
  EXPECT_EQ(driver.DeviceField("dev1", "state"), "present");
}

TEST(DriverAccessTest, TraceFilesAreNotFollowedThroughLinksNorOpenedWhenSpecial) {
  DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  const std::string target = driver.TempFile("target");
  const std::string link = driver.TempFile("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const std::string fifo = driver.TempFile("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string file;
    const char* fragment;
  } cases[] = {{link, "cannot open trace file"}, {fifo, "cannot open trace file"}, {"/dev/null", "not a regular file"}};
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(driver.Control(nlohmann::json{{"cmd", "trace"}, {"file", c.file}}.dump(), reply), kErrorInvalidParameter);
    EXPECT_THAT(reply, HasSubstr(c.fragment)) << c.file;
  }
  EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";
  // A new trace file is for the service's user alone.
  const std::string fresh = driver.TempFile("fresh.jsonl");
  const mode_t old = ::umask(0);
  std::string reply;
  const uint32_t err = driver.Control(nlohmann::json{{"cmd", "trace"}, {"file", fresh}}.dump(), reply);
  ::umask(old);
  EXPECT_EQ(err, 0u) << reply;
  EXPECT_EQ(ModeOf(fresh), 0600u);
}

TEST(DriverAccessTest, ASocketOfAnotherUserIsNotTakenOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a socket to another user";
  testsupport::TempDir dir;
  const std::string path = dir.File("squatted.sock");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);  // a stale socket file, as a killed service leaves it
  ASSERT_EQ(::chown(path.c_str(), kNobody, kNogroup), 0);
  DriverServiceFixture driver;
  EXPECT_FALSE(driver.Start({"--socket", path}));
  EXPECT_THAT(driver.LastError(), HasSubstr("belongs to another user"));
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0) << "the other user's socket is left alone";
  EXPECT_EQ(st.st_uid, kNobody);
}

// Starts the service without --socket in an environment of its own; returns its pid.
pid_t SpawnWithRuntimeDir(const std::string& runtimeDir, const std::string& logPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    if (v.rfind("VLMU_DRIVER_SOCKET=", 0) != 0 && v.rfind("XDG_RUNTIME_DIR=", 0) != 0) env.push_back(v);
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string bin = testsupport::DriverServiceBinary(), fg = "--foreground";
  char* argv[] = {bin.data(), fg.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits (at most 5 s) for the process to end; its exit code, or -1.
int WaitExit(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

TEST(DriverAccessTest, DefaultSocketLivesInAPrivateRuntimeDirectory) {
  testsupport::TempDir runtime;
  const std::string log = runtime.File("log");
  const std::string socket = runtime.File("velmora/driver.sock");
  const pid_t pid = SpawnWithRuntimeDir(runtime.path().string(), log);
  ASSERT_GT(pid, 0);
  bool up = false;
  for (int i = 0; i < 500 && !up; ++i) {
    up = ModeOf(socket) != 0;
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(up) << testsupport::ReadFile(log);
  EXPECT_EQ(ModeOf(runtime.File("velmora")), 0700u);
  EXPECT_EQ(ModeOf(socket), 0600u);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);

  // A directory others may write to, or a link in its place, is refused.
  testsupport::TempDir open, linked;
  std::filesystem::create_directory(open.path() / "velmora");
  std::filesystem::permissions(open.path() / "velmora", std::filesystem::perms::all);
  std::filesystem::create_directory_symlink(open.path() / "velmora", linked.path() / "velmora");
  struct Case {
    const testsupport::TempDir& dir;
    const char* fragment;
  } cases[] = {{open, "may be written by other users"}, {linked, "is not a directory"}};
  for (const auto& c : cases) {
    const std::string clog = c.dir.File("log");
    const pid_t p = SpawnWithRuntimeDir(c.dir.path().string(), clog);
    ASSERT_GT(p, 0);
    EXPECT_EQ(WaitExit(p), 1);
    EXPECT_THAT(testsupport::ReadFile(clog), HasSubstr(c.fragment));
    EXPECT_EQ(ModeOf(c.dir.File("velmora/driver.sock")), 0u);
  }
}

}  // namespace
}  // namespace drvtest
