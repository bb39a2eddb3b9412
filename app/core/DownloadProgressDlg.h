#pragma once
// The progress dialog's logic: it polls the library's download status on a
// 200 ms timer and shows the bytes, the bar and the outcome. The bar covers
// the transfer with its first 80 per cent and is full only on success. The
// dialog can be closed only once the download has left the running status.
// When no timer can be had, it polls from its own event loop (posted polls)
// and tries to get a timer again, less often the longer that fails.
#include <cstdint>
#include <string>

#include "DialogViews.h"
#include "FirmwareLibrary.h"

namespace vlmapp {

class DownloadProgressDlg {
 public:
  static constexpr uint32_t kPollPeriodMs = 200;
  // Identifiers tried for the polling timer: 1, 2, 3, ... up to this one.
  static constexpr uintptr_t kLastTimerId = 0xFFFF;
  // Without a timer: posted polls between two attempts to get one, doubled
  // after each failed attempt up to this many.
  static constexpr uint32_t kMostPollsBetweenTimerAttempts = 1024;

  explicit DownloadProgressDlg(FirmwareLibrary& library) : mLibrary(library) {}

  void OnInitDialog(ProgressDialogView& view);
  // A timer event; false when it is not the dialog's own timer.
  bool OnTimer(ProgressDialogView& view, uintptr_t timerId);
  // A poll posted with ProgressDialogView::PostPoll.
  void OnPollEvent(ProgressDialogView& view);
  // The cancel command (the "Close" button, Escape): true when the dialog may
  // end now, that is once the download has its final status.
  bool CanClose() const { return mFinished; }

  // d x 80 / 100 for any 32-bit d.
  static uint32_t TransferPosition(uint32_t bytesDownloaded);

  const std::string& StatusText() const { return mStatusText; }
  uintptr_t TimerId() const { return mTimerId; }
  bool Finished() const { return mFinished; }

 private:
  bool StartPollTimer(ProgressDialogView& view);
  void Poll(ProgressDialogView& view);
  void SetStatusText(ProgressDialogView& view, std::string text);
  void Finish(ProgressDialogView& view);

  FirmwareLibrary& mLibrary;
  std::string mStatusText;
  uintptr_t mTimerId = 0;
  bool mFinished = false;
  uint32_t mPollsBetweenTimerAttempts = 1;
  uint32_t mPollsUntilTimerAttempt = 1;
};

}  // namespace vlmapp
