// One instance of the upgrade program at a time: the marker in-process, and
// the program itself started twice, and again after its first instance died;
// start-up cases where the marker cannot be made, cannot be trusted or the
// running instance cannot be reached.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "SingleInstance.h"
#include "support/DriverServiceFixture.h"
#include "support/SpawnProgram.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(SingleInstance, SecondMarkerIsRefusedAndActivatesTheFirst) {
  testsupport::TempDir dir;
  const QString where = QString::fromStdString(dir.path().string());
  vlmqt::SingleInstance first("{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}", where);
  ASSERT_EQ(first.Create(), vlmapp::AppPlatform::MarkerResult::Created);
  QSignalSpy activated(&first, &vlmqt::SingleInstance::activationRequested);
  vlmqt::SingleInstance second("{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}", where);
  EXPECT_EQ(second.Create(), vlmapp::AppPlatform::MarkerResult::AlreadyExists);
  std::thread knock([&] { second.ActivateRunning(); });
  EXPECT_TRUE(WaitFor([&] { return activated.count() == 1; }));
  knock.join();
  // A directory that cannot hold the marker is a failure, not a second instance.
  vlmqt::SingleInstance nowhere("marker", where + "/missing/folder");
  EXPECT_EQ(nowhere.Create(), vlmapp::AppPlatform::MarkerResult::Failed);
}

class ProgramProcess {
 public:
  // `env`: variables set (NAME=value) or removed (NAME) for the program.
  explicit ProgramProcess(const std::string& runtimeDir, std::vector<std::string> env = {},
                          const std::string& stderrFile = "") {
    env.insert(env.begin(), {"XDG_RUNTIME_DIR=" + runtimeDir, "QT_QPA_PLATFORM=offscreen"});
    mPid = testsupport::SpawnProgram(VLMAPP_PROGRAM, env, stderrFile);
  }
  ~ProgramProcess() {
    if (mPid > 0 && !Ended()) {
      ::kill(mPid, SIGKILL);
      ::waitpid(mPid, &mStatus, 0);
    }
  }
  pid_t Pid() const { return mPid; }
  bool Ended() {
    if (mEnded) return true;
    mEnded = ::waitpid(mPid, &mStatus, WNOHANG) == mPid;
    return mEnded;
  }
  int ExitCode() const { return WIFEXITED(mStatus) ? WEXITSTATUS(mStatus) : -1; }
  void Kill() {
    ::kill(mPid, SIGKILL);
    ::waitpid(mPid, &mStatus, 0);
    mEnded = true;
  }

 private:
  pid_t mPid = -1;
  int mStatus = 0;
  bool mEnded = false;
};

TEST(SingleInstance, ProgramStartedTwiceEndsTheSecondAtOnceAndSurvivesACrashedFirst) {
  testsupport::DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start()) << driver.LastError();
  testsupport::TempDir runtime;
  // A runtime directory must be private to its user, or it is not used.
  ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
  const std::string lock = runtime.File("{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}.lock");
  const std::string server = runtime.File("{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}.sock");
  auto lockOwner = [&lock] {
    QFile f(QString::fromStdString(lock));
    if (!f.open(QIODevice::ReadOnly)) return QByteArray();
    return f.readLine().trimmed();
  };

  ProgramProcess first(runtime.path().string());
  ASSERT_GT(first.Pid(), 0);
  ASSERT_TRUE(WaitFor([&] { return lockOwner() == QByteArray::number(first.Pid()) && QFile::exists(QString::fromStdString(server)); }));

  ProgramProcess second(runtime.path().string());
  ASSERT_TRUE(WaitFor([&] { return second.Ended(); })) << "the second instance did not end";
  EXPECT_EQ(second.ExitCode(), 0);
  EXPECT_FALSE(first.Ended());
  EXPECT_EQ(lockOwner(), QByteArray::number(first.Pid()));

  // The first instance dies without cleaning up; its marker does not block a new start.
  first.Kill();
  ProgramProcess third(runtime.path().string());
  ASSERT_TRUE(WaitFor([&] { return lockOwner() == QByteArray::number(third.Pid()); }));
  EXPECT_FALSE(third.Ended());
}

constexpr const char* kMarker = "{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}";

// The folders of one start: a private runtime folder, and a temporary folder
// shared by all users (mode 1777, as /tmp), where others can plant files.
struct StartScene {
  testsupport::TempDir root;
  std::string runtime = root.File("run");
  std::string shared = root.File("shared");
  std::string privateTemp = shared + "/velmora-" + std::to_string(::geteuid());
  std::string liveLock;  // the lock file of a running instance, to copy
  std::vector<std::string> env;
  StartScene() {
    std::filesystem::create_directory(runtime);
    std::filesystem::create_directory(shared);
    ::chmod(runtime.c_str(), 0700);
    ::chmod(shared.c_str(), 01777);
    env = {"TMPDIR=" + shared, "VLMU_DRIVER_SOCKET=" + root.File("no-service.sock")};
  }
  // A lock of this program's name in `dir` that names a running instance.
  void PlantLiveLock(const std::string& dir) const {
    std::filesystem::copy_file(liveLock, dir + "/" + kMarker + ".lock");
  }
};

void GiveToNobody(const std::string& path) { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0); }

struct StartCase {
  const char* name;
  bool needsRoot;  // to plant files of another user
  std::function<void(StartScene&)> setUp;
  std::string StartScene::*runtimeDir;  // the program's XDG_RUNTIME_DIR; null: unset
  int exitCode;                         // -1: the program runs
  std::string StartScene::*logFolder;   // where its log appears while it runs; null: nowhere
  const char* stderrFragment;
};

class ProgramStartTest : public ::testing::TestWithParam<StartCase> {};

// The program never ends silently without having run or handed over to a
// running instance: when it cannot tell, it starts and says why.
TEST_P(ProgramStartTest, RunsHandsOverOrSaysWhy) {
  const StartCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  StartScene scene;
  const std::string liveRuntime = scene.root.File("live-run");
  std::filesystem::create_directory(liveRuntime);
  ::chmod(liveRuntime.c_str(), 0700);
  ProgramProcess live(liveRuntime, scene.env);
  scene.liveLock = liveRuntime + "/" + kMarker + ".lock";
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(scene.liveLock); })) << "no running instance";
  c.setUp(scene);

  std::vector<std::string> env = scene.env;
  env.push_back(c.runtimeDir != nullptr ? "XDG_RUNTIME_DIR=" + scene.*c.runtimeDir : "XDG_RUNTIME_DIR");
  const std::string errors = scene.root.File("stderr.txt");
  ProgramProcess program(c.runtimeDir != nullptr ? scene.*c.runtimeDir : "", env, errors);
  const std::string log =
      c.logFolder != nullptr ? scene.*c.logFolder + "/VelmoraFlashTool_x64.log" : std::string();
  if (c.exitCode >= 0) {
    ASSERT_TRUE(WaitFor([&] { return program.Ended(); })) << "the program did not end";
    EXPECT_EQ(program.ExitCode(), c.exitCode);
  } else if (!log.empty()) {
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(log) || program.Ended(); }));
    EXPECT_TRUE(std::filesystem::exists(log)) << log;
  } else {
    EXPECT_TRUE(WaitFor([&] { return testsupport::ReadFile(errors).find(c.stderrFragment) != std::string::npos || program.Ended(); }));
  }
  if (c.exitCode < 0) {
    EXPECT_FALSE(program.Ended()) << "ended with status " << program.ExitCode();
  }
  EXPECT_NE(testsupport::ReadFile(errors).find(c.stderrFragment), std::string::npos) << testsupport::ReadFile(errors);
  EXPECT_FALSE(live.Ended());
}

std::string UserName() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw != nullptr ? pw->pw_name : "";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramStartTest,
    ::testing::Values(
        StartCase{"marker_cannot_be_made", false,
                  [](StartScene& s) { std::filesystem::create_directory(s.runtime + "/" + kMarker + ".lock"); },
                  &StartScene::runtime, -1, &StartScene::runtime, ".lock"},
        StartCase{"runtime_folder_others_may_write", false,
                  [](StartScene& s) { s.PlantLiveLock(s.shared); }, &StartScene::shared, -1,
                  &StartScene::privateTemp, "may be written by other users"},
        StartCase{"no_runtime_folder_and_planted_locks_in_temp", true,
                  [](StartScene& s) {
                    s.PlantLiveLock(s.shared);
                    const std::string qtRuntime = s.shared + "/runtime-" + UserName();
                    std::filesystem::create_directory(qtRuntime);
                    ::chmod(qtRuntime.c_str(), 0700);
                    GiveToNobody(qtRuntime);
                  },
                  nullptr, -1, &StartScene::privateTemp, ""},
        StartCase{"private_temp_folder_of_another_user", true,
                  [](StartScene& s) {
                    std::filesystem::create_directory(s.privateTemp);
                    ::chmod(s.privateTemp.c_str(), 0700);
                    GiveToNobody(s.privateTemp);
                  },
                  nullptr, -1, nullptr, "belongs to another user"},
        StartCase{"running_instance_does_not_answer", false, [](StartScene& s) { s.PlantLiveLock(s.runtime); },
                  &StartScene::runtime, 2, nullptr, "does not answer"}),
    [](const ::testing::TestParamInfo<StartCase>& p) { return std::string(p.param.name); });

}  // namespace
