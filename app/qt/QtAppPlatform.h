#pragma once
// Start-up services of the program on Qt: the single-instance marker,
// program and temporary paths, the owner-less message box and the main
// dialog.
#include <QPointer>

#include "QtMainDialog.h"
#include "SingleInstance.h"
#include "UserPrompts.h"
#include "VlmFwUpgradeApp.h"

namespace vlmqt {

class QtAppPlatform final : public vlmapp::AppPlatform {
 public:
  // `runtimeDirectory` empty: the user's runtime directory holds the marker.
  explicit QtAppPlatform(UserPrompts* prompts = nullptr, const QString& runtimeDirectory = QString());

  MarkerResult CreateInstanceMarker(const std::string& name) override;
  void ActivateRunningInstance(const std::string& windowTitle) override;
  bool ProgramPath(std::string& path) override;
  uint32_t TempDirectory(uint32_t bufferSize, std::string& path) override;
  void ShowMessageBox(const vlmapp::MessageBoxRequest& request) override;
  int RunMainDialog(vlmapp::VlmFwUpgradeApp& app) override;

 private:
  UserPrompts mDefaultPrompts;
  UserPrompts* mPrompts;
  QString mRuntimeDirectory;
  std::unique_ptr<SingleInstance> mInstance;
  QPointer<QtMainDialog> mMainDialog;
};

}  // namespace vlmqt
