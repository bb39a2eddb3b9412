#pragma once
// The progress dialog (template 129) in Qt Widgets over DownloadProgressDlg.
// No close box; Enter does nothing; "Close" (and Escape) end it only once
// the download has its final status.
#include <QDialog>
#include <QMap>

#include "DialogViews.h"
#include "DownloadProgressDlg.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace vlmqt {

class QtProgressDialog final : public QDialog, public vlmapp::ProgressDialogView {
  Q_OBJECT

 public:
  QtProgressDialog(vlmapp::DownloadProgressDlg& logic, QWidget* parent);

  // ProgressDialogView
  void SetStatusText(const std::string& text) override;
  void SetProgressRange(uint32_t low, uint32_t high) override;
  void SetProgressPosition(uint32_t position) override;
  void EnableCloseButton(bool enabled) override;
  bool StartTimer(uintptr_t id, uint32_t periodMs) override;
  void StopTimer(uintptr_t id) override;
  void PostPoll() override;

 public slots:
  void reject() override;
  void accept() override {}

 protected:
  void showEvent(QShowEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  vlmapp::DownloadProgressDlg& mLogic;
  QLabel* mStatus = nullptr;
  QProgressBar* mProgress = nullptr;
  QPushButton* mCloseButton = nullptr;
  // The bar counts in int: values past its range are scaled down by this shift.
  int mScaleShift = 0;
  QMap<uintptr_t, int> mTimers;  // dialog's timer identifier -> Qt timer id
};

}  // namespace vlmqt
