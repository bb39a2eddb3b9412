#include "dfu/DownloadStatusInfo.h"

void DownloadStatusInfo::Reset() {
  std::lock_guard<std::mutex> guard(mLock);
  if (mRunActive) return;
  mBytesDownloaded = 0;
  mTotalBytes = 0;
  mStatus = 0;
}

void DownloadStatusInfo::SetRunActive(bool active) {
  std::lock_guard<std::mutex> guard(mLock);
  mRunActive = active;
}

void DownloadStatusInfo::SetStatus(uint32_t status) {
  std::lock_guard<std::mutex> guard(mLock);
  mStatus = status;
}

void DownloadStatusInfo::SetTotalBytes(uint32_t total) {
  std::lock_guard<std::mutex> guard(mLock);
  mTotalBytes = total;
}

void DownloadStatusInfo::AddBytesDownloaded(uint32_t bytes) {
  std::lock_guard<std::mutex> guard(mLock);
  mBytesDownloaded += bytes;
}

uint32_t DownloadStatusInfo::GetBytesDownloaded() const {
  std::lock_guard<std::mutex> guard(mLock);
  return mBytesDownloaded;
}

uint32_t DownloadStatusInfo::GetTotalBytes() const {
  std::lock_guard<std::mutex> guard(mLock);
  return mTotalBytes;
}

uint32_t DownloadStatusInfo::GetStatus() const {
  std::lock_guard<std::mutex> guard(mLock);
  return mStatus;
}
