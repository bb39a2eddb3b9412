// Who may reach the driver service and what it writes for them: socket
// access independent of the umask, a private default directory, control
// commands for the service's own user only, trace files opened safely,
// clients that trust only their own user's or root's services, attacks by
// other users and other services.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"
#include "support/BuildPaths.h"
#include "support/CaseName.h"
#include "support/RunShell.h"
#include "support/TempDir.h"

extern char** environ;

namespace drvtest {
namespace {

using ::testing::HasSubstr;
using testsupport::DriverServiceFixture;
using testsupport::PrintTo;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

using ToolResult = testsupport::ShellResult;

// Runs a shell command line; stdout and stderr together.
ToolResult Shell(const std::string& cmd) { return testsupport::RunShell(cmd); }

// velmora-driverctl run as user nobody, in the group nogroup or only in group 100.
ToolResult CtlAsNobody(const std::string& socket, bool withGroup, const std::string& args) {
  const std::string groups = withGroup ? "--regid=65534 --groups=65534" : "--regid=100 --clear-groups";
  return Shell("setpriv --reuid=65534 " + groups + " " + testsupport::BuildDir() +
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

// A child process of user `uid` (others in the socket group nogroup) that
// runs `body`, reports its result and then holds what it opened; killed
// when the object goes.
class Child {
 public:
  Child(uid_t uid, const std::function<int()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    mResult = fds[0];
    if ((mPid = ::fork()) == 0) {
      if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(kNogroup) != 0 || ::setuid(uid) != 0))
        ::_exit(120);
      const int result = body();
      (void)!::write(fds[1], &result, sizeof result);
      for (;;) ::pause();
    }
    ::close(fds[1]);
  }
  ~Child() {
    if (mPid > 0) ::kill(mPid, SIGKILL), ::waitpid(mPid, nullptr, 0);
    ::close(mResult);
  }
  int Result() {  // waits at most 20 s; -1 when nothing came
    pollfd p{mResult, POLLIN, 0};
    int r = -1;
    return ::poll(&p, 1, 20000) > 0 && ::read(mResult, &r, sizeof r) == sizeof r ? r : -1;
  }
  int End() {  // SIGTERM; the exit status
    ::kill(mPid, SIGTERM);
    return WaitExit(std::exchange(mPid, -1));
  }

 private:
  pid_t mPid = -1;
  int mResult = -1;
};

// Body of a Child: the service with `args`, its output in `log`; `handOver`
// (a listening socket) given to it as descriptor 3, as systemd does.
int ExecService(std::vector<std::string> args, const std::string& log, int handOver = -1) {
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(out, 1), ::dup2(out, 2);
  if (handOver >= 0 && handOver != 3) ::dup2(handOver, 3);
  if (handOver >= 0) ::fcntl(3, F_SETFD, 0), ::setenv("LISTEN_FDS", "1", 1);
  if (handOver >= 0) ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
  args.insert(args.begin(), {testsupport::DriverServiceBinary(), "--foreground"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  return 127;
}

// Connects until `path` answers (at most 5 s); the error of the last try.
uint32_t ConnectWhenUp(const std::string& path, std::string* message = nullptr) {
  std::unique_ptr<platform::DriverConnection> c;
  uint32_t error = 0;
  for (int i = 0; i < 500 && (error = platform::DriverConnection::ConnectTo(path, c, "t", 1000, message)) ==
                                 kErrorServiceNotActive;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return error;
}

// A client uses a service only when it runs as the client's user or root, or
// when its socket lies in a folder only they control, or in a folder of the
// service's user that such a folder holds (a runtime folder the service
// manager made), and says why it refuses. The service is nobody's: in a
// folder of its own in a folder all may write to, then with that folder moved
// into root's folder, and as a socket-activated unit runs it, on a socket the
// service manager (root) made and handed over, whose file stays when it ends.
TEST(DriverAccessTest, ClientTrustsOnlyItsOwnUserRootOrAFolderOnlyTheyControl) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a service of another user";
  testsupport::TempDir dir;
  const std::string shared = dir.File("shared"), rootOnly = dir.File("root-only");
  const std::string squatted = shared + "/velmora", given = rootOnly + "/velmora";
  std::filesystem::create_directories(squatted), std::filesystem::create_directories(rootOnly);
  ::chmod(dir.path().c_str(), 0755), ::chmod(shared.c_str(), 01777), ::chmod(rootOnly.c_str(), 0755);
  ASSERT_EQ(::chown(squatted.c_str(), kNobody, kNobody) | ::chmod(squatted.c_str(), 0700), 0);
  Child service(kNobody, [&] { return ExecService({"--socket", squatted + "/driver.sock"}, dir.File("log")); });
  std::string message;
  EXPECT_EQ(ConnectWhenUp(squatted + "/driver.sock", &message), kErrorAccessDenied)
      << testsupport::ReadFile(dir.File("log"));
  EXPECT_THAT(message, AllOf(HasSubstr("uid 65534"), HasSubstr(shared + " may be written by other users")));
  ASSERT_EQ(::rename(squatted.c_str(), given.c_str()), 0);
  EXPECT_EQ(ConnectWhenUp(given + "/driver.sock"), 0u);
  ASSERT_EQ(::chmod(given.c_str(), 0770), 0);
  EXPECT_EQ(ConnectWhenUp(given + "/driver.sock", &message), kErrorAccessDenied);
  EXPECT_THAT(message, HasSubstr(given + " may be written by other users"));
  EXPECT_EQ(service.End(), 0);

  const std::string activated = rootOnly + "/activated.sock";
  const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, activated.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&addr), sizeof addr) | ::listen(listening, 8), 0);
  Child handed(kNobody, [&] { return ExecService({}, dir.File("log"), listening); });
  ::close(listening);
  EXPECT_EQ(ConnectWhenUp(activated), 0u) << testsupport::ReadFile(dir.File("log"));
  EXPECT_EQ(handed.End(), 0);
  EXPECT_NE(ModeOf(activated), 0u) << "the service manager's socket file was removed";
}

// Opens `count` connections, HELLO on every second one; returns how many
// HELLOs were answered. The connections stay open.
int HoldConnections(const std::string& socket, int count) {
  auto* held = new std::vector<std::unique_ptr<RawClient>>;  // never closed: the process holds them
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    RawClient& c = *held->emplace_back(std::make_unique<RawClient>(socket));
    answered += i % 2 == 1 && c.Send(Hello()) && c.ReadFrame(2000).first == uint16_t(MessageType::HelloReply);
  }
  return answered;
}

// Attacks on the service by other users (needs root: they are in the socket
// group nogroup) and by another service; each checks the service's answer
// and returns what holds the attack until the service's own user was served.
struct AttackCase {
  const char* name;
  bool byOtherUsers;
  std::shared_ptr<void> (*attack)(DriverServiceFixture& driver, const std::string& socket);
};

class DriverAttackTest : public ::testing::TestWithParam<AttackCase> {};

TEST_P(DriverAttackTest, TheServicesOwnUserIsStillServed) {
  const AttackCase& c = GetParam();
  if (c.byOtherUsers && ::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start(c.byOtherUsers ? std::vector<std::string>{"--socket-group", "nogroup"}
                                          : std::vector<std::string>{"--frame-timeout", "300"}));
  ::chmod(std::filesystem::path(driver.SocketPath()).parent_path().c_str(), 0711);
  const std::shared_ptr<void> holding = c.attack(driver, driver.SocketPath());
  std::unique_ptr<platform::DriverConnection> own;
  ASSERT_EQ(platform::DriverConnection::ConnectTo(driver.SocketPath(), own, "own user", 5000), 0u);
  std::vector<std::string> paths;
  EXPECT_EQ(own->ListInterfaces(VendorClass(), paths), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverAttackTest,
    ::testing::Values(AttackCase{"silent_connection_is_closed", false,
                                 [](DriverServiceFixture&, const std::string& socket) -> std::shared_ptr<void> {
                                   RawClient silent(socket);
                                   EXPECT_EQ(ErrorCodeOf(silent.ReadFrame(5000)), kErrorSemTimeout);
                                   return nullptr;
                                 }},
                      AttackCase{"another_user_takes_every_slot", true,
                                 [](DriverServiceFixture&, const std::string& socket) -> std::shared_ptr<void> {
                                   auto greedy =
                                       std::make_shared<Child>(kNobody, [&] { return HoldConnections(socket, 140); });
                                   EXPECT_EQ(greedy->Result(), 16);  // 32 connections, half of them with HELLO
                                   Child other(
                                       1, [&] { return HoldConnections(socket, 2); });  // another member of the group
                                   EXPECT_EQ(other.Result(), 1);
                                   return greedy;
                                 }},
                      AttackCase{"large_command_of_another_user_is_refused_at_its_header", true,
                                 [](DriverServiceFixture&, const std::string& socket) -> std::shared_ptr<void> {
                                   Child sender(kNobody, [&] {
                                     RawClient raw(
                                         socket);  // the command's body never comes: answered before the frame time-out
                                     raw.Send(Hello() + Header(MessageType::Control, 1024 * 1024));
                                     return raw.ReadFrame().first == uint16_t(MessageType::HelloReply)
                                                ? int(ErrorCodeOf(raw.ReadFrame(3000)))
                                                : -2;
                                   });
                                   EXPECT_EQ(sender.Result(), int(kErrorAccessDenied));
                                   return nullptr;
                                 }},
                      AttackCase{"socket_file_replaced_by_another_service", false,
                                 [](DriverServiceFixture& driver, const std::string& socket) -> std::shared_ptr<void> {
                                   ::unlink(socket.c_str());
                                   auto second = std::make_shared<Child>(::geteuid(), [&] {
                                     return ExecService({"--socket", socket}, driver.TempFile("second.log"));
                                   });
                                   EXPECT_EQ(ConnectWhenUp(socket), 0u);
                                   EXPECT_TRUE(driver.Stop());  // the first service ends; the second one's file stays
                                   return second;
                                 }}),
    [](const ::testing::TestParamInfo<AttackCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drvtest
