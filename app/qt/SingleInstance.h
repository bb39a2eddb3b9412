#pragma once
// The single-instance marker of the program: a per-user lock file named after
// the marker in a folder that only the user controls (so no one else can
// plant a lock there), and a local server beside it through which a second
// start hands the focus to the running instance. A lock left by an instance
// that died is taken over (its process is gone).
#include <QLocalServer>
#include <QLockFile>
#include <QString>
#include <memory>

#include "VlmFwUpgradeApp.h"

namespace vlmqt {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `directory`: the marker's folder, made (mode 0700) when missing; it is
  // used only when it belongs to this user and no one else may write to it.
  SingleInstance(const QString& name, const QString& directory);

  vlmapp::AppPlatform::MarkerResult Create();
  // Asks the running instance to come to the front. False when it does not
  // answer within a couple of seconds.
  bool ActivateRunning();
  // Why Create failed or ActivateRunning reached no one, naming the files.
  const QString& Problem() const { return mProblem; }

  QString LockPath() const;
  QString ServerPath() const;

 signals:
  // The running instance was asked to come to the front.
  void activationRequested();

 private:
  QString mName;
  QString mDirectory;
  QString mProblem;
  qint64 mHolder = 0;  // process that holds the lock when Create found it held
  std::unique_ptr<QLockFile> mLock;
  std::unique_ptr<QLocalServer> mServer;
};

// Brings the application's active pop-up (a modal dialog or message box) or
// its main window to the front, restored if minimised.
void BringToFront(QWidget* mainWindow);

}  // namespace vlmqt
