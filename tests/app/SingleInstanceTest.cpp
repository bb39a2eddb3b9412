// One instance of the upgrade program at a time: the marker in-process, and
// the program itself started twice, and again after its first instance died;
// start-up cases where the marker cannot be made, cannot be trusted or the
// running instance cannot be reached.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "SingleInstance.h"
#include "support/CaseName.h"
#include "support/DriverServiceFixture.h"
#include "support/SpawnProgram.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::PrintTo;

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
  explicit ProgramProcess(std::vector<std::string> env, const std::string& stderrFile = "") {
    env.push_back("QT_QPA_PLATFORM=offscreen");
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

  ProgramProcess first({"XDG_RUNTIME_DIR=" + runtime.path().string()});
  ASSERT_GT(first.Pid(), 0);
  ASSERT_TRUE(WaitFor(
      [&] { return lockOwner() == QByteArray::number(first.Pid()) && QFile::exists(QString::fromStdString(server)); }));

  ProgramProcess second({"XDG_RUNTIME_DIR=" + runtime.path().string()});
  ASSERT_TRUE(WaitFor([&] { return second.Ended(); })) << "the second instance did not end";
  EXPECT_EQ(second.ExitCode(), 0);
  EXPECT_FALSE(first.Ended());
  EXPECT_EQ(lockOwner(), QByteArray::number(first.Pid()));

  // The first instance dies without cleaning up; its marker does not block a new start.
  first.Kill();
  ProgramProcess third({"XDG_RUNTIME_DIR=" + runtime.path().string()});
  ASSERT_TRUE(WaitFor([&] { return lockOwner() == QByteArray::number(third.Pid()); }));
  EXPECT_FALSE(third.Ended());
}

const std::string kLock = "/{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}.lock";

// Folders of one start that others can plant files in: a private runtime
// folder, a temporary folder all users share (mode 1777, as /tmp), and the
// runtime folder of a running instance, whose lock can be copied elsewhere.
struct StartScene {
  testsupport::TempDir root;
  std::string run = root.File("run"), shared = root.File("shared"), live = root.File("live");
  std::string privateTemp = shared + "/velmora-" + std::to_string(::geteuid());
  std::vector<std::string> env = {"TMPDIR=" + shared, "VLMU_DRIVER_SOCKET=" + root.File("none.sock")};
  StartScene() {
    for (const std::string* d : {&run, &shared, &live}) std::filesystem::create_directory(*d);
    ::chmod(run.c_str(), 0700), ::chmod(live.c_str(), 0700), ::chmod(shared.c_str(), 01777);
  }
  void PlantLiveLock(const std::string& dir) const { std::filesystem::copy_file(live + kLock, dir + kLock); }
  static void MakeOthers(const std::string& dir) {
    std::filesystem::create_directory(dir);
    EXPECT_EQ(::chown(dir.c_str(), 65534, 65534) | ::chmod(dir.c_str(), 0700), 0);
  }
};

struct StartCase {
  const char* name;
  bool needsRoot;                       // to plant files of another user
  std::string (*setUp)(StartScene& s);  // returns the program's XDG_RUNTIME_DIR ("": unset)
  int exitCode;                         // -1: the program runs
  std::string StartScene::*logFolder;   // where its log appears; null: nowhere
  const char* said;                     // on standard error
};

class ProgramStartTest : public ::testing::TestWithParam<StartCase> {};

// The program never ends silently without having run or handed over to a
// running instance: when it cannot tell, it starts and says why.
TEST_P(ProgramStartTest, RunsHandsOverOrSaysWhy) {
  const StartCase& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  StartScene s;
  ProgramProcess live({"XDG_RUNTIME_DIR=" + s.live, s.env[0], s.env[1]});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(s.live + kLock); })) << "no running instance";
  const std::string runtime = c.setUp(s);
  s.env.push_back(runtime.empty() ? "XDG_RUNTIME_DIR" : "XDG_RUNTIME_DIR=" + runtime);
  const std::string errors = s.root.File("stderr");
  const std::string log = c.logFolder != nullptr ? s.*c.logFolder + "/VelmoraFlashTool_x64.log" : "";
  ProgramProcess program(s.env, errors);
  const auto said = [&] { return testsupport::ReadFile(errors).find(c.said) != std::string::npos; };
  const auto logged = [&] { return log.empty() || std::filesystem::exists(log); };
  EXPECT_TRUE(WaitFor([&] { return program.Ended() || (c.exitCode < 0 && said() && logged()); }));
  EXPECT_EQ(program.Ended() ? program.ExitCode() : -1, c.exitCode);
  EXPECT_TRUE(logged()) << log;
  EXPECT_TRUE(said()) << testsupport::ReadFile(errors);
  EXPECT_FALSE(live.Ended());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramStartTest,
    ::testing::Values(StartCase{"marker_cannot_be_made", false,
                                [](StartScene& s) { return std::filesystem::create_directory(s.run + kLock), s.run; },
                                -1, &StartScene::run, ".lock"},
                      StartCase{"runtime_folder_others_may_write", false,
                                [](StartScene& s) { return s.PlantLiveLock(s.shared), s.shared; }, -1,
                                &StartScene::privateTemp, "may be written by other users"},
                      StartCase{"no_runtime_folder_and_planted_locks_in_temp", true,
                                [](StartScene& s) {
                                  s.PlantLiveLock(s.shared);
                                  StartScene::MakeOthers(s.shared + "/runtime-" +
                                                         ::getpwuid(::geteuid())->pw_name);  // Qt's fallback
                                  return std::string();
                                },
                                -1, &StartScene::privateTemp, ""},
                      StartCase{"private_temp_folder_of_another_user", true,
                                [](StartScene& s) { return StartScene::MakeOthers(s.privateTemp), std::string(); }, -1,
                                nullptr, "belongs to another user"},
                      StartCase{"running_instance_does_not_answer", false,
                                [](StartScene& s) { return s.PlantLiveLock(s.run), s.run; }, 2, nullptr,
                                "does not answer"}),
    [](const ::testing::TestParamInfo<StartCase>& p) { return std::string(p.param.name); });

}  // namespace
