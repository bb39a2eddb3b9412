// The firmware download: start checks, the worker's initialization, download
// and manifestation phases, the reset back into run-time mode, and stopping a
// running worker at teardown.
#include <algorithm>

#include "dfu/DfuDevice.h"
#include "log/DiagnosticLog.h"
#include "platform/Clock.h"

uint32_t DfuDevice::StartFirmwareDownload(uint32_t firmwareSize) {
  VLOG(LOG_INFO, "DfuDevice::StartFirmwareDownload( FirmwareSize = %u )...\n", firmwareSize);
  if (!IsOpen()) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: device not open\n");
    return VLMUFWDL_STATUS_NO_DEVICE_OPEN;
  }
  if (!mFirmware) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: mFirmware is NULL\n");
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if (firmwareSize == 0 || firmwareSize > mFirmwareBufferSize) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: invalid firmware size = %u (buffer size = %u)\n", firmwareSize,
         mFirmwareBufferSize);
    return VLMUFWDL_STATUS_INVALID_PARAMETER;
  }
  if ((mDfuAttributes & DFU_DESC_bitCanDownload) == 0) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: DFU_DESC_bitCanDownload not set!\n");
    return VLMUFWDL_STATUS_DOWNLOAD_NOT_SUPPORTED;
  }
  // A transfer size of 0 would make every block empty: the image could never
  // be sent, and the first empty block would start manifestation.
  if (mTransferSize == 0) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: wTransferSize is 0, no block can be sent.\n");
    return VLMUFWDL_STATUS_DOWNLOAD_NOT_SUPPORTED;
  }
  if (IsThreadRunning()) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: another download is currently running.\n");
    return VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS;
  }

  mDownloadStatus.Reset();
  mDownloadStatus.SetStatus(VLMUFWDL_STATUS_DOWNLOAD_RUNNING);
  mDownloadStatus.SetTotalBytes(firmwareSize);

  // Teardown's abort request belongs to one run only.
  mAbortRequested.store(false);

  const uint32_t tst = StartPnPTracking();
  if (tst != 0) {
    VLOG(LOG_ERROR, "StartFirmwareDownload: StartPnPTracking failed with 0x%08X.\n", tst);
    return VLMUFWDL_STATUS_DFU_MODE_FAILED;
  }
  mDownloadStatus.SetRunActive(true);
  const uint32_t sst = StartThread();
  if (sst != 0) {
    mDownloadStatus.SetRunActive(false);
    VLOG(LOG_ERROR, "StartFirmwareDownload: StartThread failed with 0x%08X.\n", sst);
    StopPnPTracking();
    return VLMUFWDL_STATUS_DFU_MODE_FAILED;
  }
  return 0;
}

bool DfuDevice::StopOrAbortRequested() { return mAbortRequested.load() || StopRequested(); }

void DfuDevice::ThreadRoutine() {
  uint8_t state = 0;
  if (!RunInitializationPhase(&state)) return;
  if (!RunDownloadPhase()) return;
  if (StopOrAbortRequested()) return;
  const std::optional<uint32_t> result = RunManifestationPhase();
  if (!result) return;
  ResetAfterDownload(*result, &state);
}

bool DfuDevice::RunInitializationPhase(uint8_t* lastState) {
  VLOG(LOG_INFO, "Download: initialization phase ...\n");
  mBlockNumber = 0;
  const uint32_t swst = SwitchDeviceToDfu(lastState);
  if (swst != 0) {
    mDownloadStatus.SetStatus(swst);
    VLOG(LOG_ERROR, "DfuDevice::ThreadRoutine: SwitchDeviceToDfu failed with 0x%08X\n", swst);
    return false;
  }
  return !mAbortRequested.load();
}

bool DfuDevice::SendBlockAndGetStatus(const uint8_t* data, uint16_t length) {
  uint32_t st = DfuDnload(data, length);
  if (st != 0) {
    if (length != 0) {
      VLOG(LOG_ERROR, "Download: DfuDnload failed with failed with 0x%08X.\n", st);
    } else {
      VLOG(LOG_ERROR, "Download: DfuDnload failed with 0x%08X.\n", st);
    }
    mDownloadStatus.SetStatus(st);
    return false;
  }
  st = DfuGetStatus();
  if (st != 0) {
    VLOG(LOG_ERROR, "Download: DfuGetStatus failed with 0x%08X.\n", st);
    mDownloadStatus.SetStatus(st);
    return false;
  }
  return true;
}

bool DfuDevice::RunDownloadPhase() {
  VLOG(LOG_INFO, "Download: download phase ...\n");
  const uint32_t blockSize = std::min<uint32_t>(mTransferSize, kMaxBlockSize);
  if (blockSize == 0) {
    // The DFU-mode descriptors are read anew after the switch; they too must
    // allow a block of at least one byte.
    VLOG(LOG_ERROR, "Download: wTransferSize is 0, no block can be sent.\n");
    mDownloadStatus.SetStatus(VLMUFWDL_STATUS_DOWNLOAD_NOT_SUPPORTED);
    return false;
  }
  const uint8_t* cursor = mFirmware.get();
  uint32_t remaining = mDownloadStatus.GetTotalBytes();
  while (remaining != 0) {
    mRemainingWait = mTimeouts[kTimeoutBlockPoll];
    const uint32_t length = std::min(remaining, blockSize);
    if (!SendBlockAndGetStatus(cursor, static_cast<uint16_t>(length))) return false;
    if (!WaitForBlockTaken()) return false;

    mDownloadStatus.AddBytesDownloaded(length);
    remaining -= length;
    cursor += length;
    VLOG(LOG_INFO, "Download: %u of %u bytes downloaded.\n", mDownloadStatus.GetBytesDownloaded(),
         mDownloadStatus.GetTotalBytes());
  }
  return true;
}

bool DfuDevice::WaitForBlockTaken() {
  // Polls that cost no wait (bwPollTimeout 0) never exhaust the budget, so
  // they are counted.
  uint32_t freePolls = 0;
  for (;;) {
    if (StopOrAbortRequested()) return false;
    bool exhausted = false;
    const uint32_t budgetBefore = mRemainingWait;
    const uint8_t polled = LastStatus().bState;
    if (polled == dfuDNLOAD_IDLE) {
      VLOG(LOG_INFO, "Download: dfuDNLOAD_IDLE state detected.\n");
      return true;
    }
    if (polled == dfuDNBUSY) {
      VLOG(LOG_INFO, "Download: dfuDNBUSY state detected, continue after poll timeout = %u ms.\n", mPollTimeout);
      exhausted = !WaitPollTimeout();
    } else if (polled != dfuDNLOAD_SYNC) {
      VLOG(LOG_ERROR, "Download: invalid DFU state %s.\n", DfuStateName(polled));
      mDownloadStatus.SetStatus(VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE);
      return false;
    }

    const uint32_t st = DfuGetStatus();
    if (st != 0) {
      VLOG(LOG_ERROR, "Download: DfuGetStatus during dfuDNLOAD_SYNC failed with 0x%08X.\n", st);
      mDownloadStatus.SetStatus(st);
      return false;
    }
    if (LastStatus().bState == dfuDNLOAD_SYNC) {
      VLOG(LOG_INFO, "Download: dfuDNLOAD_SYNC state detected, continue after poll timeout = %u ms.\n", mPollTimeout);
      exhausted = !WaitPollTimeout();
    }
    if (exhausted) {
      VLOG(LOG_ERROR, "Download: maximum polling time elapsed.\n");
      mDownloadStatus.SetStatus(VLMUFWDL_STATUS_BLOCK_POLL_TIMEOUT);
      return false;
    }
    if (mRemainingWait == budgetBefore && ++freePolls >= kMaxFreePollsPerBlock) {
      VLOG(LOG_ERROR, "Download: block not accepted after %u polls without poll timeout.\n", freePolls);
      mDownloadStatus.SetStatus(VLMUFWDL_STATUS_BLOCK_POLL_TIMEOUT);
      return false;
    }
  }
}

std::optional<uint32_t> DfuDevice::RunManifestationPhase() {
  VLOG(LOG_INFO, "Download: manifestation phase ...\n");
  mRemainingWait = mTimeouts[kTimeoutManifestPoll];
  if (!SendBlockAndGetStatus(nullptr, 0)) return std::nullopt;

  const bool tolerant = (mDfuAttributes & DFU_DESC_bitManifestationTolerant) != 0;
  uint32_t result = 0;
  bool finished = false;
  uint32_t freePolls = 0;
  for (;;) {
    if (StopOrAbortRequested()) return std::nullopt;
    const uint32_t budgetBefore = mRemainingWait;
    const uint8_t polled = LastStatus().bState;
    bool done = false;
    if (polled == dfuIDLE) {
      VLOG(LOG_INFO, "Download: dfuIDLE state detected.\n");
      done = true;
    } else if (polled == dfuMANIFEST_SYNC) {
      // Straight to the status request below.
    } else if (polled == dfuMANIFEST) {
      VLOG(LOG_INFO, "Download: dfuMANIFEST state detected, continue after poll timeout = %u ms.\n", mPollTimeout);
      if (!WaitPollTimeout()) {
        VLOG(LOG_ERROR, "Download: timeout in state dfuMANIFEST.\n");
        result = VLMUFWDL_STATUS_MANIFEST_POLL_TIMEOUT;
        finished = true;
      }
      // A device that is not manifestation-tolerant cannot answer any more;
      // it waits for the reset.
      if (!tolerant) done = true;
    } else if (polled == dfuMANIFEST_WAIT_RESET) {
      VLOG(LOG_INFO, "Download: dfuMANIFEST_WAIT_RESET state detected.\n");
      done = true;
    } else {
      VLOG(LOG_ERROR, "Download: invalid DFU state %s\n", DfuStateName(polled));
      result = VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE;
      done = true;
    }
    if (done) break;

    const uint32_t st = DfuGetStatus();
    if (st != 0) {
      VLOG(LOG_ERROR, "Download: DfuGetStatus in state dfuMANIFEST_SYNC!\n");
      result = st;
      finished = true;
    }
    if (LastStatus().bState == dfuMANIFEST_SYNC) {
      VLOG(LOG_WARNING, "Download: DfuGetStatus returns dfuMANIFEST_SYNC, continue after poll timeout = %u ms.\n",
           mPollTimeout);
      if (!WaitPollTimeout()) {
        VLOG(LOG_ERROR, "Download: Timeout in state dfuMANIFEST_SYNC.\n");
        result = VLMUFWDL_STATUS_MANIFEST_POLL_TIMEOUT;
        break;
      }
    }
    if (finished) break;
    if (mRemainingWait == budgetBefore && ++freePolls >= kMaxFreePollsManifest) {
      VLOG(LOG_ERROR, "Download: manifestation not finished after %u polls without poll timeout.\n", freePolls);
      result = VLMUFWDL_STATUS_MANIFEST_POLL_TIMEOUT;
      break;
    }
  }
  return result;
}

void DfuDevice::ResetAfterDownload(uint32_t result, uint8_t* lastState) {
  VLOG(LOG_INFO, "Download: download finished with status 0x%08X.\n", result);
  if (mAbortRequested.load()) return;
  VLOG(LOG_INFO, "Download: Reset device ...\n");
  const uint32_t rst = SwitchDeviceBackFromDfu(lastState);
  if (result != 0) {
    mDownloadStatus.SetStatus(result);
  } else {
    mDownloadStatus.SetStatus(rst);
    if (rst != 0) {
      VLOG(LOG_ERROR, "DfuDevice::ThreadRoutine: SwitchDeviceBackFromDfu failed with 0x%08X\n", rst);
    }
  }
}

void DfuDevice::ThreadCleanup() {
  StopPnPTracking();
  // From here on closing the device clears the progress record again.
  mDownloadStatus.SetRunActive(false);
  TThread::ThreadCleanup();
}

bool DfuDevice::StopDownloadAndWait(uint32_t timeoutMs) {
  if (!IsThreadRunning()) return true;
  VLOG(LOG_INFO, "DfuDevice::StopDownloadAndWait( %u ms ) ...\n", timeoutMs);
  {
    std::lock_guard<std::mutex> lock(mAbortLock);
    mAbortRequested.store(true);
  }
  mAbortSignal.notify_all();

  // The worker looks at the request between requests and cuts its poll
  // waits short; a request or a re-plug wait in progress runs to its end.
  const uint32_t start = platform::GetTickCount();
  while (IsThreadRunning()) {
    const uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed >= timeoutMs) break;
    platform::Sleep(std::min<uint32_t>(10, timeoutMs - elapsed));
  }
  if (IsThreadRunning()) {
    VLOG(LOG_ERROR, "DfuDevice::StopDownloadAndWait: download worker still running after %u ms.\n", timeoutMs);
    return false;
  }
  VLOG(LOG_INFO, "DfuDevice::StopDownloadAndWait: download worker stopped.\n");
  return true;
}
