#pragma once
// Progress record of a download: bytes accepted, total bytes and status, each
// access under the record's own lock.
#include <cstdint>
#include <mutex>

class DownloadStatusInfo {
 public:
  DownloadStatusInfo() = default;
  virtual ~DownloadStatusInfo() = default;

  void Reset();
  void SetStatus(uint32_t status);
  void SetTotalBytes(uint32_t total);
  void AddBytesDownloaded(uint32_t bytes);
  uint32_t GetBytesDownloaded() const;
  uint32_t GetTotalBytes() const;
  uint32_t GetStatus() const;

 private:
  mutable std::mutex mLock;
  uint32_t mBytesDownloaded = 0;
  uint32_t mTotalBytes = 0;
  uint32_t mStatus = 0;
};
