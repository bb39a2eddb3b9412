#pragma once
// The library's connection to one device: identity and DFU descriptors, DFU
// class and vendor requests, mode switching, the download worker and the
// serial-number operations.
//
// Implementation files: DfuDevice.cpp (open, close, reopen, device info,
// descriptor walk, firmware buffer), DfuRequests.cpp (DFU requests, poll wait,
// state names), DfuModeSwitch.cpp, DfuDownload.cpp, DfuSerialNumber.cpp.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "device/VlmuDevice.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuState.h"
#include "dfu/DownloadStatusInfo.h"
#include "dfu/TThread.h"

class DfuDevice : public TThread, public VlmuDevice {
 public:
  // Indices of mTimeouts.
  enum { kTimeoutReplug = 0, kTimeoutBlockPoll = 1, kTimeoutManifestPoll = 2 };

  DfuDevice();
  ~DfuDevice() override;

  // Device object
  uint32_t OpenDevice(VlmuDeviceSet& deviceSet, uint32_t deviceIndex);
  uint32_t Close() override;
  uint32_t CloseAndReopen(bool waitForReplug, uint32_t timeoutMs) override;
  uint32_t ReadDeviceInfo();
  uint32_t GetDfuDescriptorData();
  uint8_t* GetFirmwareBuffer(uint32_t size);

  // DFU requests
  uint32_t DfuGetStatus();
  uint32_t DfuClrStatus();
  uint32_t DfuDetach(uint16_t detachTimeout);
  uint32_t DfuDnload(const uint8_t* data, uint16_t length);
  bool WaitPollTimeout();

  // Mode switching
  uint32_t SwitchDeviceToDfu(uint8_t* lastState);
  uint32_t SwitchDeviceBackFromDfu(uint8_t* lastState);
  uint32_t DetachDevice();

  // Download
  uint32_t StartFirmwareDownload(uint32_t firmwareSize);
  // Asks a running download worker to stop at its next stop point (poll waits
  // are cut short) and waits up to timeoutMs for it to end. Returns true when
  // no worker runs any more. Called by the library teardown before the global
  // object is destroyed; never from the worker itself.
  bool StopDownloadAndWait(uint32_t timeoutMs);

  // Bounds of the engine (see DfuModeSwitch.cpp and DfuDownload.cpp).
  static constexpr uint32_t kMaxSwitchPasses = 16;          // state reads of SwitchDeviceToDfu
  static constexpr uint32_t kMaxFreePollsPerBlock = 1000;   // polls without a wait per block
  static constexpr uint32_t kMaxFreePollsManifest = 10000;  // polls without a wait, manifestation
  static constexpr uint32_t kMaxSerialNumberLength = 127;   // characters of a written serial number
  static constexpr uint32_t kMaxBlockSize = 4096;

  // Serial number
  uint32_t SetSerialNumber(const char* serialNumber);
  uint32_t GetSerialNumber(char** serialNumber, uint16_t bufferSize);
  uint32_t VendorSetSerialNumber(const char* serialNumber);
  uint32_t VendorGetSerialNumber(char** serialNumber, uint16_t bufferSize);

  // Device information, each read under mDeviceInfoLock.
  uint16_t GetVendorId() const;
  uint16_t GetProductId() const;
  void CopySerialNumber(uint16_t* out, size_t maxUnits) const;  // copies maxUnits code units

  DownloadStatusInfo& DownloadStatus() { return mDownloadStatus; }
  void SetTimeoutValue(int selector, uint32_t ms) { mTimeouts[selector] = ms; }
  uint32_t GetTimeoutValue(int selector) const { return mTimeouts[selector]; }

 protected:
  void ThreadRoutine() override;
  void ThreadCleanup() override;
  // True when the worker was asked to stop (TThread stop request or teardown).
  bool StopOrAbortRequested();
  // A re-plug wait of the download worker ends when the worker is asked to stop.
  bool ReplugWaitCancelled() override { return IsThreadRunning() && StopOrAbortRequested(); }
  // Sleeps up to ms milliseconds; returns early when teardown asks to abort.
  void PollSleep(uint32_t ms);

  DownloadStatusInfo mDownloadStatus;
  uint8_t mDeviceDescriptor[18] = {};
  uint8_t mDfuInterfaceNumber = 0;
  uint8_t mDfuAttributes = 0;
  uint16_t mDetachTimeout = 0;
  uint16_t mTransferSize = 0;
  uint16_t mVendorId = 0;
  uint16_t mProductId = 0;
  uint16_t mSerialNumber[256] = {};
  mutable std::mutex mDeviceInfoLock;
  std::unique_ptr<uint8_t[]> mFirmware;
  uint32_t mFirmwareBufferSize = 0;
  uint8_t mDfuStatus[6] = {};
  uint32_t mPollTimeout = 0;
  uint16_t mBlockNumber = 0;
  uint32_t mRemainingWait = 0;
  uint32_t mTimeouts[3] = {60000, 1000, 70000};
  // Teardown's stop request: set by StopDownloadAndWait, cleared when a
  // download starts; mAbortSignal cuts poll waits short.
  std::atomic<bool> mAbortRequested{false};
  std::mutex mAbortLock;
  std::condition_variable mAbortSignal;
};
