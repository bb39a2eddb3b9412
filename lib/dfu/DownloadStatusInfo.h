#pragma once
// Progress record of a download: bytes accepted, total bytes and status, each
// access under the record's own lock.
#include <cstdint>
#include <mutex>

class DownloadStatusInfo {
 public:
  DownloadStatusInfo() = default;
  virtual ~DownloadStatusInfo() = default;

  // Clears the three fields, except while a download run is active: closing
  // the device on the worker (a reopen that failed) must not let a poller
  // see a 0 status, which would read as success, before the final status.
  void Reset();
  // Marks the run of a download worker (set before the worker starts,
  // cleared when it has ended).
  void SetRunActive(bool active);
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
  bool mRunActive = false;
};
