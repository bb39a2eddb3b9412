#include "SingleInstance.h"

#include <QApplication>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

namespace vlmqt {
namespace {
const QByteArray kActivate = "activate\n";
constexpr int kActivateWaitMs = 2000;
}  // namespace

SingleInstance::SingleInstance(const QString& name, const QString& directory) : mName(name), mDirectory(directory) {
  if (mDirectory.isEmpty()) {
    mDirectory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (mDirectory.isEmpty()) mDirectory = QDir::tempPath();
  }
}

QString SingleInstance::LockPath() const { return QDir(mDirectory).filePath(mName + ".lock"); }
QString SingleInstance::ServerPath() const { return QDir(mDirectory).filePath(mName + ".sock"); }

vlmapp::AppPlatform::MarkerResult SingleInstance::Create() {
  using Result = vlmapp::AppPlatform::MarkerResult;
  mLock = std::make_unique<QLockFile>(LockPath());
  // Only a live owner counts: a lock whose process is gone is stale at once.
  mLock->setStaleLockTime(0);
  if (!mLock->tryLock(0)) {
    const bool held = mLock->error() == QLockFile::LockFailedError;
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

void SingleInstance::ActivateRunning() {
  QLocalSocket socket;
  socket.connectToServer(ServerPath());
  if (!socket.waitForConnected(kActivateWaitMs)) return;
  socket.write(kActivate);
  socket.waitForBytesWritten(kActivateWaitMs);
  socket.waitForDisconnected(kActivateWaitMs);
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
