#include "QtAppPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

#include "platform/posix/PrivateDirectory.h"

namespace vlmqt {

QtAppPlatform::QtAppPlatform(UserPrompts* prompts, const QString& privateDirectory)
    : mPrompts(prompts != nullptr ? prompts : &mDefaultPrompts),
      mPrivateDirectory(privateDirectory),
      mLookedUp(!privateDirectory.isEmpty()) {}

void QtAppPlatform::Tell(const QString& text) {
  std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(text));
}

const QString& QtAppPlatform::PrivateDirectory() {
  if (!mLookedUp) {
    mLookedUp = true;
    std::string why, note;
    mPrivateDirectory = QFile::decodeName(platform::UserPrivateDirectory(why, note).c_str());
    mProblem = QString::fromLocal8Bit(why);
    if (!note.empty()) {
      Tell(QStringLiteral("not using $XDG_RUNTIME_DIR: %1").arg(QString::fromLocal8Bit(note)) +
           (mPrivateDirectory.isEmpty() ? QString() : QStringLiteral("; using %1").arg(mPrivateDirectory)));
    }
  }
  return mPrivateDirectory;
}

vlmapp::AppPlatform::MarkerResult QtAppPlatform::CreateInstanceMarker(const std::string& name) {
  // Without a marker the program still starts: it cannot tell whether
  // another instance runs, and ending would leave the user with nothing.
  const QString& directory = PrivateDirectory();
  if (directory.isEmpty()) {
    Tell(QStringLiteral("no single-instance marker: %1; starting without it (set XDG_RUNTIME_DIR to a folder "
                        "of your own that no one else may write to)")
             .arg(mProblem));
    return MarkerResult::Failed;
  }
  mInstance = std::make_unique<SingleInstance>(QString::fromStdString(name), directory);
  const MarkerResult result = mInstance->Create();
  if (result == MarkerResult::Created) {
    QObject::connect(mInstance.get(), &SingleInstance::activationRequested, [this] { BringToFront(mMainDialog); });
  } else if (result == MarkerResult::Failed) {
    Tell(QStringLiteral("no single-instance marker: %1; starting without it").arg(mInstance->Problem()));
  }
  return result;
}

bool QtAppPlatform::ActivateRunningInstance(const std::string& /*windowTitle*/) {
  // The running instance is found through its marker's server rather than by
  // its window title.
  if (mInstance && mInstance->ActivateRunning()) return true;
  if (mInstance) Tell(mInstance->Problem());
  return false;
}

bool QtAppPlatform::ProgramPath(std::string& path) {
  const QString file = QCoreApplication::applicationFilePath();
  if (file.isEmpty()) return false;
  path = QFile::encodeName(QDir::toNativeSeparators(file)).toStdString();
  return true;
}

uint32_t QtAppPlatform::TempDirectory(uint32_t bufferSize, std::string& path) {
  // The log is the user's own: a file of a fixed name in a folder others can
  // write to could be planted, linked elsewhere or locked against this user.
  if (PrivateDirectory().isEmpty()) {
    Tell(QStringLiteral("no log file: %1").arg(mProblem));
    return kNoPrivateTempDirectory;
  }
  std::string temp = QFile::encodeName(mPrivateDirectory).toStdString();
  if (temp.back() != '/') temp.push_back('/');
  const auto length = static_cast<uint32_t>(temp.size());
  if (length + 1 > bufferSize) return length + 1;
  path = temp;
  return length;
}

void QtAppPlatform::ShowMessageBox(const vlmapp::MessageBoxRequest& request) {
  mPrompts->ShowMessageBox(nullptr, request);
}

int QtAppPlatform::RunMainDialog(vlmapp::VlmFwUpgradeApp& app) {
  QtMainDialog dialog(
      app.Library(), app.AppName(), [&app](vlmapp::VlmFwUpgradeDlg& dlg) { app.SetUpLogging(dlg); }, mPrompts);
  mMainDialog = &dialog;
  const int result = dialog.exec();
  mMainDialog = nullptr;
  return result;
}

}  // namespace vlmqt
