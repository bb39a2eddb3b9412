#include "QtProgressDialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimerEvent>
#include <climits>

#include "DialogUnits.h"
#include "WindowPlacement.h"

namespace vlmqt {

QtProgressDialog::QtProgressDialog(vlmapp::DownloadProgressDlg& logic, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), mLogic(logic) {
  setObjectName("129");
  setWindowTitle("Download progress");
  setFont(DialogFont());
  const DialogUnits du(font());
  setFixedSize(du.X(295), du.Y(46));

  mStatus = new QLabel("Status...", this);
  mStatus->setObjectName(QString::number(vlmapp::IDC_STATUS_TEXT));
  mStatus->setGeometry(du.Rect(14, 8, 267, 8));
  mProgress = new QProgressBar(this);
  mProgress->setObjectName(QString::number(vlmapp::IDC_PROGRESS));
  mProgress->setGeometry(du.Rect(14, 20, 208, 14));
  mProgress->setRange(0, 100);
  mProgress->setValue(0);
  mProgress->setTextVisible(false);
  mCloseButton = new QPushButton("Close", this);
  mCloseButton->setObjectName(QString::number(vlmapp::IDC_CLOSE));
  mCloseButton->setGeometry(du.Rect(231, 20, 50, 14));
  mCloseButton->setDefault(true);
  mCloseButton->setEnabled(false);
  connect(mCloseButton, &QPushButton::clicked, this, &QtProgressDialog::reject);

  mLogic.OnInitDialog(*this);
}

void QtProgressDialog::SetStatusText(const std::string& text) { mStatus->setText(QString::fromStdString(text)); }

void QtProgressDialog::SetProgressRange(uint32_t low, uint32_t high) {
  mScaleShift = 0;
  while ((high >> mScaleShift) > static_cast<uint32_t>(INT_MAX)) ++mScaleShift;
  mProgress->setRange(static_cast<int>(low >> mScaleShift), static_cast<int>(high >> mScaleShift));
}

void QtProgressDialog::SetProgressPosition(uint32_t position) {
  mProgress->setValue(static_cast<int>(position >> mScaleShift));
}

void QtProgressDialog::EnableCloseButton(bool enabled) {
  mCloseButton->setEnabled(enabled);
  if (enabled) mCloseButton->setFocus();
}

bool QtProgressDialog::StartTimer(uintptr_t id, uint32_t periodMs) {
  if (mTimers.contains(id)) return false;
  const int qtId = startTimer(static_cast<int>(periodMs), Qt::PreciseTimer);
  if (qtId == 0) return false;
  mTimers.insert(id, qtId);
  return true;
}

void QtProgressDialog::StopTimer(uintptr_t id) {
  const auto it = mTimers.find(id);
  if (it == mTimers.end()) return;
  killTimer(it.value());
  mTimers.erase(it);
}

void QtProgressDialog::PostPoll() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        QThread::msleep(vlmapp::kPostedPollPauseMs);
        mLogic.OnPollEvent(*this);
      },
      Qt::QueuedConnection);
}

void QtProgressDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CentreOverOwner(this);
}

void QtProgressDialog::timerEvent(QTimerEvent* event) {
  for (auto it = mTimers.cbegin(); it != mTimers.cend(); ++it) {
    if (it.value() == event->timerId()) {
      if (mLogic.OnTimer(*this, it.key())) return;
      break;
    }
  }
  QDialog::timerEvent(event);
}

void QtProgressDialog::reject() {
  if (mLogic.CanClose()) QDialog::reject();
}

void QtProgressDialog::closeEvent(QCloseEvent* event) {
  if (mLogic.CanClose()) {
    QDialog::closeEvent(event);
  } else {
    event->ignore();
  }
}

void QtProgressDialog::keyPressEvent(QKeyEvent* event) {
  // Enter is the OK command, which does nothing here.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
  QDialog::keyPressEvent(event);
}

}  // namespace vlmqt
