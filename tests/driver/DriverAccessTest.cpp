// Who may reach the driver service and what it writes for them: socket
// access independent of the umask, a private default directory, control
// commands for the service's own user only, trace files opened safely,
// clients that trust only their own user's or root's services, and a table
// of attacks by other users and other services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
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

// The service started as user nobody on `socket` (--foreground, its output in `log`).
pid_t SpawnAsNobody(const std::string& socket, const std::string& log) {
  std::vector<std::string> args = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   testsupport::DriverServiceBinary(), "--foreground", "--socket", socket};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "setpriv", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// A client uses a socket only when the service behind it is of its own user
// or root, or when the socket lies in a folder that only they control; it
// says why it refuses. Here the service is another user's (nobody).
TEST(DriverAccessTest, ClientTrustsOnlyItsOwnUserRootOrAFolderOnlyTheyControl) {
  if (::geteuid() != 0 || Shell("command -v setpriv").exitCode != 0) GTEST_SKIP() << "needs root and setpriv";
  testsupport::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.File("shared");  // like a runtime folder all users share
  const std::string rootOnly = dir.File("root-only");
  std::filesystem::create_directory(shared);
  std::filesystem::create_directory(rootOnly);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(rootOnly.c_str(), 0755), 0);
  const std::string socket = shared + "/driver.sock";
  const pid_t service = SpawnAsNobody(socket, dir.File("log"));
  ASSERT_GT(service, 0);
  for (int i = 0; i < 500 && ModeOf(socket) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(ModeOf(socket), 0u) << testsupport::ReadFile(dir.File("log"));
  ::chmod(socket.c_str(), 0666);  // reachable for everyone, as with a socket group everyone is in

  const std::string moved = rootOnly + "/driver.sock";  // the same service, now in root's folder
  const struct Case {
    std::string path;
    bool moveThere;
    uint32_t error;
    const char* fragment;
  } cases[] = {{socket, false, kErrorAccessDenied, "uid 65534"}, {moved, true, 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.moveThere) {
      ASSERT_EQ(::rename(socket.c_str(), moved.c_str()), 0);
    }
    std::unique_ptr<platform::DriverConnection> connection;
    std::string message;
    EXPECT_EQ(platform::DriverConnection::ConnectTo(c.path, connection, "access-test", 5000, &message), c.error);
    EXPECT_EQ(connection != nullptr, c.error == 0);
    EXPECT_THAT(message, HasSubstr(c.fragment));
    if (c.error != 0) {
      EXPECT_THAT(message, HasSubstr(shared));
      // The library's own connections refuse it too, and tell it on standard error.
      const ToolResult r = Shell("VLMU_DRIVER_SOCKET='" + c.path + "' " + std::string(VLMU_BUILD_DIR) +
                                 "/tools/flasher/vlmu-flash list");
      EXPECT_NE(r.exitCode, 0) << r.output;
      EXPECT_THAT(r.output, HasSubstr("uid 65534"));
    }
  }
  ::kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service), 0);

  // As a system unit runs it: the service manager (root) makes the socket in
  // its own folder and hands it to the service of a dedicated user. The
  // socket is trusted, and its file stays when the service ends.
  const std::string activated = rootOnly + "/activated.sock";
  const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, activated.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listening, 8), 0);
  const std::string log = dir.File("activated.log");
  const pid_t handed = ::fork();
  if (handed == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (listening != 3) ::dup2(listening, 3);
    ::fcntl(3, F_SETFD, 0);  // without close-on-exec, as the manager hands it over
    ::setenv("LISTEN_FDS", "1", 1);
    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    const std::string binary = testsupport::DriverServiceBinary();
    ::execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", binary.c_str(), "--foreground",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(listening);
  std::unique_ptr<platform::DriverConnection> trusted;
  uint32_t error = 0;
  for (int i = 0; i < 500 && (error = platform::DriverConnection::ConnectTo(activated, trusted, "t", 1000)) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(error, 0u) << testsupport::ReadFile(log);
  trusted.reset();
  ::kill(handed, SIGTERM);
  EXPECT_EQ(WaitExit(handed), 0);
  EXPECT_THAT(testsupport::ReadFile(log), HasSubstr("listening on " + activated));
  EXPECT_NE(ModeOf(activated), 0u) << "the service manager's socket file was removed";
}

// A process of another user (in the socket group nogroup) that runs `body`,
// reports its result and then holds what it opened until destroyed.
class OtherUser {
 public:
  OtherUser(uid_t uid, const std::function<int()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    mPid = ::fork();
    if (mPid == 0) {
      ::close(fds[0]);
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNogroup) != 0 || ::setuid(uid) != 0) ::_exit(120);
      const int result = body();
      (void)!::write(fds[1], &result, sizeof result);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    mResultFd = fds[0];
  }
  ~OtherUser() {
    if (mPid > 0) {
      ::kill(mPid, SIGKILL);
      ::waitpid(mPid, nullptr, 0);
    }
    if (mResultFd >= 0) ::close(mResultFd);
  }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;
  // The body's result (waiting at most 20 s), or -1.
  int Result() {
    pollfd p{mResultFd, POLLIN, 0};
    int result = -1;
    if (mResultFd >= 0 && ::poll(&p, 1, 20000) > 0 && ::read(mResultFd, &result, sizeof result) != sizeof result)
      result = -1;
    return result;
  }

 private:
  pid_t mPid = -1;
  int mResultFd = -1;
};

// A service started on its own (velmora-driverd ARGS), ended with SIGTERM.
class OwnService {
 public:
  OwnService(std::vector<std::string> args, const std::string& log) {
    args.insert(args.begin(), testsupport::DriverServiceBinary());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) mPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~OwnService() { End(); }
  int End() {
    if (mPid <= 0) return -1;
    ::kill(mPid, SIGTERM);
    const int code = WaitExit(mPid);
    mPid = -1;
    return code;
  }

 private:
  pid_t mPid = -1;
};

// Connects `count` times, sending HELLO on every second connection; returns
// how many HELLOs were answered. The connections stay open (the process ends
// without closing them).
int HoldConnections(const std::string& socket, int count) {
  auto* held = new std::vector<std::unique_ptr<RawClient>>;
  int answered = 0;
  for (int i = 0; i < count; ++i) {
    held->push_back(std::make_unique<RawClient>(socket));
    if (i % 2 == 1 && held->back()->Send(Hello()) &&
        held->back()->ReadFrame(2000).first == static_cast<uint16_t>(MessageType::HelloReply))
      ++answered;
  }
  return answered;
}

struct AttackCase {
  const char* name;
  bool byOtherUsers;  // needs root: the attackers are other users in the socket group
  std::vector<std::string> args;
  // Attacks the service and checks its answer; what it returns holds the
  // attack (connections, processes) until the service's own user was served.
  std::shared_ptr<void> (*attack)(DriverServiceFixture& driver);
};

class DriverAttackTest : public ::testing::TestWithParam<AttackCase> {};

TEST_P(DriverAttackTest, TheServicesOwnUserIsStillServed) {
  const AttackCase& c = GetParam();
  if (c.byOtherUsers && ::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  DriverServiceFixture driver;
  std::vector<std::string> args = c.args;
  if (c.byOtherUsers) args.insert(args.end(), {"--socket-group", "nogroup"});
  ASSERT_TRUE(driver.Start(args)) << driver.LastError();
  const std::filesystem::path dir = std::filesystem::path(driver.SocketPath()).parent_path();
  std::filesystem::permissions(dir, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
  const std::shared_ptr<void> holding = c.attack(driver);
  std::unique_ptr<platform::DriverConnection> own;
  ASSERT_EQ(platform::DriverConnection::ConnectTo(driver.SocketPath(), own, "own user", 5000), 0u);
  std::vector<std::string> paths;
  EXPECT_EQ(own->ListInterfaces(VendorClass(), paths), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverAttackTest,
    ::testing::Values(
        AttackCase{"silent_connection_is_closed", false, {"--frame-timeout", "300"},
                   [](DriverServiceFixture& driver) -> std::shared_ptr<void> {
                     RawClient silent(driver.SocketPath());
                     EXPECT_EQ(ErrorCodeOf(silent.ReadFrame(5000)), kErrorSemTimeout);
                     EXPECT_TRUE(silent.ClosedWithin(5000));
                     return nullptr;
                   }},
        AttackCase{"another_user_takes_every_slot", true, {},
                   [](DriverServiceFixture& driver) -> std::shared_ptr<void> {
                     const std::string socket = driver.SocketPath();
                     auto greedy = std::make_shared<OtherUser>(kNobody, [socket] { return HoldConnections(socket, 140); });
                     EXPECT_GT(greedy->Result(), 0);
                     // Another member of the group still gets a connection.
                     OtherUser other(1, [socket] { return HoldConnections(socket, 2); });
                     EXPECT_EQ(other.Result(), 1);
                     return greedy;
                   }},
        AttackCase{"large_command_of_another_user_is_refused_at_its_header", true, {},
                   [](DriverServiceFixture& driver) -> std::shared_ptr<void> {
                     const std::string socket = driver.SocketPath();
                     OtherUser sender(kNobody, [socket] {
                       RawClient raw(socket);
                       raw.Send(Hello() + Header(MessageType::Control, 1024 * 1024));  // the body never comes
                       if (raw.ReadFrame().first != static_cast<uint16_t>(MessageType::HelloReply)) return -2;
                       return static_cast<int>(ErrorCodeOf(raw.ReadFrame(3000)));  // well before the frame time-out
                     });
                     EXPECT_EQ(sender.Result(), static_cast<int>(kErrorAccessDenied));
                     return nullptr;
                   }},
        AttackCase{"socket_file_taken_over_by_another_service", false, {},
                   [](DriverServiceFixture& driver) -> std::shared_ptr<void> {
                     // The file is replaced by a second service's socket; the
                     // first service ends and leaves the second one's file alone.
                     const std::string socket = driver.SocketPath();
                     EXPECT_EQ(::unlink(socket.c_str()), 0);
                     auto second = std::make_shared<OwnService>(
                         std::vector<std::string>{"--foreground", "--socket", socket}, driver.TempFile("second.log"));
                     std::unique_ptr<platform::DriverConnection> probe;
                     for (int i = 0; i < 500 && platform::DriverConnection::ConnectTo(socket, probe, "probe", 1000) != 0; ++i)
                       std::this_thread::sleep_for(std::chrono::milliseconds(10));
                     EXPECT_NE(probe, nullptr) << testsupport::ReadFile(driver.TempFile("second.log"));
                     EXPECT_TRUE(driver.Stop());
                     EXPECT_NE(ModeOf(socket), 0u) << "the second service's socket file was removed";
                     return second;
                   }}),
    [](const ::testing::TestParamInfo<AttackCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drvtest
