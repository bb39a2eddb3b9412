#include "SingleInstance.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

#include "platform/posix/PrivateDirectory.h"

namespace vlmqt {
namespace {
const QByteArray kActivate = "activate\n";
constexpr int kActivateWaitMs = 2000;
constexpr int kConnectRetryMs = 50;
}  // namespace

SingleInstance::SingleInstance(const QString& name, const QString& directory) : mName(name), mDirectory(directory) {}

QString SingleInstance::LockPath() const { return QDir(mDirectory).filePath(mName + ".lock"); }
QString SingleInstance::ServerPath() const { return QDir(mDirectory).filePath(mName + ".sock"); }

vlmapp::AppPlatform::MarkerResult SingleInstance::Create() {
  using Result = vlmapp::AppPlatform::MarkerResult;
  std::string why;
  if (!platform::MakePrivateDirectory(QFile::encodeName(mDirectory).toStdString(), why)) {
    mProblem = QString::fromLocal8Bit(why);
    return Result::Failed;
  }
  mLock = std::make_unique<QLockFile>(LockPath());
  // Only a live owner counts: a lock whose process is gone is stale at once.
  mLock->setStaleLockTime(0);
  if (!mLock->tryLock(0)) {
    // Held means held by a live process whose lock can be read; anything
    // else cannot tell whether another instance runs.
    const QLockFile::LockError error = mLock->error();
    const bool held = error == QLockFile::LockFailedError && mLock->getLockInfo(&mHolder, nullptr, nullptr);
    if (!held) {
      mProblem =
          QStringLiteral("cannot make the lock file %1 (%2)")
              .arg(LockPath(), error == QLockFile::PermissionError ? "no permission" : "it cannot be written or read");
    }
    mLock.reset();
    return held ? Result::AlreadyExists : Result::Failed;
  }
  // The server only carries activation requests; without it the marker
  // still holds.
  mServer = std::make_unique<QLocalServer>();
  mServer->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(ServerPath());
  if (mServer->listen(ServerPath())) {
    connect(mServer.get(), &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* client = mServer->nextPendingConnection()) {
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
          if (client->canReadLine() && client->readLine() == kActivate) emit activationRequested();
          client->disconnectFromServer();
        });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      }
    });
  }
  return Result::Created;
}

bool SingleInstance::ActivateRunning() {
  // An instance that has just taken the lock may not listen yet: connecting
  // is tried again for a while.
  QLocalSocket socket;
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    socket.connectToServer(ServerPath());
    if (socket.waitForConnected(kActivateWaitMs)) break;
    if (waited.elapsed() >= kActivateWaitMs) {
      mProblem = QStringLiteral(
                     "another instance (process %1) holds %2 but does not answer on %3; end that "
                     "instance, or remove %2 if no such instance runs")
                     .arg(QString::number(mHolder), LockPath(), ServerPath());
      return false;
    }
    QThread::msleep(kConnectRetryMs);
  }
  socket.write(kActivate);
  socket.waitForBytesWritten(kActivateWaitMs);
  socket.waitForDisconnected(kActivateWaitMs);
  return true;
}

void BringToFront(QWidget* mainWindow) {
  QWidget* target = QApplication::activeModalWidget();
  if (target == nullptr) target = mainWindow;
  if (target == nullptr) return;
  for (QWidget* w = target; w != nullptr; w = w->parentWidget()) {
    if (w->isMinimized()) w->showNormal();
  }
  target->raise();
  target->activateWindow();
}

}  // namespace vlmqt
