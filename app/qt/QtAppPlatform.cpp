#include "QtAppPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace vlmqt {

QtAppPlatform::QtAppPlatform(UserPrompts* prompts, const QString& runtimeDirectory)
    : mPrompts(prompts != nullptr ? prompts : &mDefaultPrompts), mRuntimeDirectory(runtimeDirectory) {}

vlmapp::AppPlatform::MarkerResult QtAppPlatform::CreateInstanceMarker(const std::string& name) {
  mInstance = std::make_unique<SingleInstance>(QString::fromStdString(name), mRuntimeDirectory);
  const MarkerResult result = mInstance->Create();
  if (result == MarkerResult::Created) {
    QObject::connect(mInstance.get(), &SingleInstance::activationRequested, [this] { BringToFront(mMainDialog); });
  }
  return result;
}

void QtAppPlatform::ActivateRunningInstance(const std::string& /*windowTitle*/) {
  // The running instance is found through its marker's server rather than by
  // its window title.
  if (mInstance) mInstance->ActivateRunning();
}

bool QtAppPlatform::ProgramPath(std::string& path) {
  const QString file = QCoreApplication::applicationFilePath();
  if (file.isEmpty()) return false;
  path = QFile::encodeName(QDir::toNativeSeparators(file)).toStdString();
  return true;
}

uint32_t QtAppPlatform::TempDirectory(uint32_t bufferSize, std::string& path) {
  std::string temp = QFile::encodeName(QDir::toNativeSeparators(QDir::tempPath())).toStdString();
  if (temp.empty()) return 0;
  const char separator = QDir::separator().toLatin1();
  if (temp.back() != separator) temp.push_back(separator);
  const auto length = static_cast<uint32_t>(temp.size());
  if (length + 1 > bufferSize) return length + 1;
  path = temp;
  return length;
}

void QtAppPlatform::ShowMessageBox(const vlmapp::MessageBoxRequest& request) {
  mPrompts->ShowMessageBox(nullptr, request);
}

int QtAppPlatform::RunMainDialog(vlmapp::VlmFwUpgradeApp& app) {
  QtMainDialog dialog(app.Library(), app.AppName(),
                      [&app](vlmapp::VlmFwUpgradeDlg& dlg) { app.SetUpLogging(dlg); }, mPrompts);
  mMainDialog = &dialog;
  const int result = dialog.exec();
  mMainDialog = nullptr;
  return result;
}

}  // namespace vlmqt
