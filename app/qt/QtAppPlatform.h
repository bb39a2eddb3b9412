#pragma once
// Start-up services of the program on Qt: the single-instance marker,
// program and temporary paths, the owner-less message box and the main
// dialog. The marker and the log live in a folder that only the user
// controls (platform::UserPrivateDirectory); what goes wrong there is told on
// standard error.
#include <QPointer>

#include "QtMainDialog.h"
#include "SingleInstance.h"
#include "UserPrompts.h"
#include "VlmFwUpgradeApp.h"

namespace vlmqt {

class QtAppPlatform final : public vlmapp::AppPlatform {
 public:
  // `privateDirectory` empty: the user's private folder holds the marker and the log.
  explicit QtAppPlatform(UserPrompts* prompts = nullptr, const QString& privateDirectory = QString());

  MarkerResult CreateInstanceMarker(const std::string& name) override;
  bool ActivateRunningInstance(const std::string& windowTitle) override;
  bool ProgramPath(std::string& path) override;
  uint32_t TempDirectory(uint32_t bufferSize, std::string& path) override;
  void ShowMessageBox(const vlmapp::MessageBoxRequest& request) override;
  int RunMainDialog(vlmapp::VlmFwUpgradeApp& app) override;

 private:
  // The private folder, looked up once; empty when there is none (see mProblem).
  const QString& PrivateDirectory();
  static void Tell(const QString& text);

  UserPrompts mDefaultPrompts;
  UserPrompts* mPrompts;
  QString mPrivateDirectory;
  bool mLookedUp = false;
  QString mProblem;
  std::unique_ptr<SingleInstance> mInstance;
  QPointer<QtMainDialog> mMainDialog;
};

}  // namespace vlmqt
