// One instance of the upgrade program at a time: the marker in-process, and
// the program itself started twice, and again after its first instance died.
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
  explicit ProgramProcess(const std::string& runtimeDir)
      : mPid(testsupport::SpawnProgram(VLMAPP_PROGRAM,
                                       {"XDG_RUNTIME_DIR=" + runtimeDir, "QT_QPA_PLATFORM=offscreen"})) {}
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

}  // namespace
