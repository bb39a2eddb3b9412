#pragma once
// The single-instance marker of the program: a per-user lock file named after
// the marker in the user's runtime directory, and a local server beside it
// through which a second start hands the focus to the running instance. A
// lock left by an instance that died is taken over (its process is gone).
#include <QLocalServer>
#include <QLockFile>
#include <QString>
#include <memory>

#include "VlmFwUpgradeApp.h"

namespace vlmqt {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `directory` empty: the user's runtime directory.
  explicit SingleInstance(const QString& name, const QString& directory = QString());

  vlmapp::AppPlatform::MarkerResult Create();
  // Asks the running instance to come to the front; silent when none answers.
  void ActivateRunning();

  QString LockPath() const;
  QString ServerPath() const;

 signals:
  // The running instance was asked to come to the front.
  void activationRequested();

 private:
  QString mName;
  QString mDirectory;
  std::unique_ptr<QLockFile> mLock;
  std::unique_ptr<QLocalServer> mServer;
};

// Brings the application's active pop-up (a modal dialog or message box) or
// its main window to the front, restored if minimised.
void BringToFront(QWidget* mainWindow);

}  // namespace vlmqt
