#include "DownloadProgressDlg.h"

#include <algorithm>
#include <utility>

#include "StringTable.h"
#include "TextFormat.h"

namespace vlmapp {
namespace {
// A final status that counts as success like 0 (the library itself never
// reports it; libraries of the family may).
constexpr uint32_t kStatusAlsoSuccess = 40;
}  // namespace

uint32_t DownloadProgressDlg::TransferPosition(uint32_t bytesDownloaded) {
  return static_cast<uint32_t>(static_cast<uint64_t>(bytesDownloaded) * 80u / 100u);
}

void DownloadProgressDlg::SetStatusText(ProgressDialogView& view, std::string text) {
  mStatusText = std::move(text);
  view.SetStatusText(mStatusText);
}

void DownloadProgressDlg::OnInitDialog(ProgressDialogView& view) {
  SetStatusText(view, LoadText(IDS_PREPARING_DOWNLOAD));
  mTimerId = 0;
  // No timer to be had: the "Close" button stays disabled (ending the dialog
  // would end the program and unload the library mid-download); posted polls
  // follow the download instead.
  if (!StartPollTimer(view)) view.PostPoll();
}

bool DownloadProgressDlg::StartPollTimer(ProgressDialogView& view) {
  for (uintptr_t id = 1; id <= kLastTimerId; ++id) {
    if (view.StartTimer(id, kPollPeriodMs)) {
      mTimerId = id;
      return true;
    }
  }
  return false;
}

bool DownloadProgressDlg::OnTimer(ProgressDialogView& view, uintptr_t timerId) {
  if (timerId == 0 || timerId != mTimerId) return false;
  Poll(view);
  return true;
}

void DownloadProgressDlg::OnPollEvent(ProgressDialogView& view) {
  if (mFinished || mTimerId != 0) return;  // a timer took over meanwhile
  Poll(view);
  if (mFinished) return;
  if (--mPollsUntilTimerAttempt == 0) {
    if (StartPollTimer(view)) return;
    mPollsBetweenTimerAttempts = std::min(mPollsBetweenTimerAttempts * 2, kMostPollsBetweenTimerAttempts);
    mPollsUntilTimerAttempt = mPollsBetweenTimerAttempts;
  }
  view.PostPoll();
}

void DownloadProgressDlg::Poll(ProgressDialogView& view) {
  uint32_t done = 0;
  uint32_t total = 0;
  const uint32_t status = mLibrary.GetDownloadStatus(&done, &total);
  if (status == VLMUFWDL_STATUS_DOWNLOAD_RUNNING) {
    if (done == 0) return;
    SetStatusText(view, done == total ? LoadText(IDS_STARTING_FIRMWARE)
                                      : FormatText(LoadText(IDS_BYTES_DOWNLOADED), {done, total}));
    view.SetProgressRange(0, total);
    view.SetProgressPosition(TransferPosition(done));
    return;
  }
  if (status == VLMUFWDL_STATUS_SUCCESS || status == kStatusAlsoSuccess) {
    SetStatusText(view, LoadText(IDS_DOWNLOAD_FINISHED));
    view.SetProgressRange(0, 100);
    view.SetProgressPosition(100);
  } else {
    SetStatusText(view, FormatText(LoadText(IDS_DOWNLOAD_FAILED), {status}));
  }
  Finish(view);
}

void DownloadProgressDlg::Finish(ProgressDialogView& view) {
  if (mTimerId != 0) view.StopTimer(mTimerId);
  mFinished = true;
  view.EnableCloseButton(true);
}

}  // namespace vlmapp
