#include "ServiceNotice.h"

#include <QResizeEvent>

#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmqt {
namespace {

// A service that listens but does not answer must not hold up the window.
constexpr uint32_t kAnswerTimeoutMs = 500;

QString NoticeText(uint32_t error, const QString& socket) {
  if (error == driverproto::kErrorAccessDenied) {
    return QString("No access to the driver service at %1: join the group plugdev, then log in again.").arg(socket);
  }
  return QString("Driver service not reachable at %1: start it with systemctl start velmora-driverd.").arg(socket);
}

}  // namespace

ServiceNotice::ServiceNotice(QWidget* parent) : QLabel(parent) {
  setObjectName("serviceNotice");
  setStyleSheet("QLabel { color: #a01010; }");
  setTextFormat(Qt::PlainText);
  hide();
  mTimer.setInterval(kCheckPeriodMs);
  connect(&mTimer, &QTimer::timeout, this, &ServiceNotice::Check);
  mTimer.start();
}

void ServiceNotice::Check() {
  std::unique_ptr<platform::DriverConnection> connection;
  const uint32_t error =
      platform::DriverConnection::Connect(connection, "VelmoraFlashTool_x64 service check", kAnswerTimeoutMs);
  connection.reset();
  if (error == 0) {
    hide();
  } else {
    ShowText(NoticeText(error, QString::fromStdString(platform::DriverConnection::SocketPath())));
    show();
  }
  const std::optional<uint32_t> before = mLastError;
  mLastError = error;
  if (before.has_value() && (*before == 0) != (error == 0)) {
    if (error == 0) {
      emit serviceAppeared();
    } else {
      emit serviceLost();
    }
  }
}

void ServiceNotice::ShowText(const QString& text) {
  mFullText = text;
  // One line: a long socket path is shortened in the middle, the whole text
  // stays in the tool tip.
  setText(fontMetrics().elidedText(text, Qt::ElideMiddle, width()));
  setToolTip(text);
}

void ServiceNotice::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  if (!mFullText.isEmpty()) ShowText(mFullText);
}

}  // namespace vlmqt
