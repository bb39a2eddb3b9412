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
#include <optional>
#include <span>
#include <vector>

#include "device/VlmuDevice.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/DfuState.h"
#include "dfu/DownloadStatusInfo.h"
#include "dfu/TThread.h"
#include "vlmufwdl.h"

// What the walk over configuration descriptors found so far: the DFU
// interface (class 0xFE, subclass 1) and, after it, its DFU functional
// descriptor.
struct DfuDescriptorSearch {
  bool interfaceFound = false;
  bool functionalFound = false;
  uint8_t expectedFunctionalLength = 7;  // 7 for protocol 0, 9 for protocols 1 and 2
  uint8_t interfaceNumber = 0;
  uint8_t attributes = 0;
  uint16_t detachTimeout = 0;
  uint16_t transferSize = 0;
};

// Walks the descriptors of one configuration: `configuration` is its
// wTotalLength bytes, the 9-byte configuration header first. Continues
// `search` (a functional descriptor counts only after the DFU interface) and
// stops at the functional descriptor. Returns 0, or 47 for a corrupt
// configuration. Writes the entries of GetDfuDescriptorData's walk; no device
// I/O and no other state.
uint32_t WalkConfigurationDescriptor(std::span<const uint8_t> configuration, uint8_t configIndex,
                                     DfuDescriptorSearch& search);

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

  // The phases of the download worker, in the order ThreadRoutine runs them.
  // Each returns false when the download ends in it: its failure status is
  // stored in the progress record (or, when stopped, nothing is).
  bool RunInitializationPhase(uint8_t* lastState);
  bool RunDownloadPhase();
  // The status of the manifestation (0 or a failure), or nothing when stopped.
  std::optional<uint32_t> RunManifestationPhase();
  void ResetAfterDownload(uint32_t result, uint8_t* lastState);

  // The steps of SwitchDeviceToDfu: one state read (a failed read before the
  // detach counts as appIDLE), and what the state read asks for.
  struct SwitchStep {
    bool ends = false;  // the switch ends with `status`
    uint32_t status = 0;
    bool reopen = false;  // otherwise: close and reopen before the next read
    static SwitchStep End(uint32_t st) { return SwitchStep{true, st, false}; }
    static SwitchStep Next(bool reopenFirst) { return SwitchStep{false, 0, reopenFirst}; }
  };
  uint32_t ReadStateForSwitch(bool detached, uint8_t* state);
  SwitchStep SwitchStepFrom(uint8_t state, bool& detached);

  // Fetches configuration descriptor configIndex whole into `buffer` (its
  // header first for wTotalLength); logs and returns 18 or 47 on failure.
  uint32_t ReadConfigurationDescriptor(uint8_t configIndex, std::vector<uint8_t>& buffer, uint32_t* totalLength);

  // One DFU_DNLOAD (a block, or the empty end-of-image block) and the
  // DFU_GETSTATUS after it. A failure is logged and stored; returns false.
  bool SendBlockAndGetStatus(const uint8_t* data, uint16_t length);
  // Polls until the device has taken the block just sent (dfuDNLOAD_IDLE).
  bool WaitForBlockTaken();

  // A re-plug wait of the download worker ends when the worker is asked to stop.
  bool ReplugWaitCancelled() override { return IsThreadRunning() && StopOrAbortRequested(); }
  // Sleeps up to ms milliseconds; returns early when teardown asks to abort.
  void PollSleep(uint32_t ms);
  // The fields of the last DFU_GETSTATUS reply.
  DfuStatus LastStatus() const { return DfuStatus::FromReply(mDfuStatus); }

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
  // The last DFU_GETSTATUS reply as the transport left it (zeros after a
  // failed request unless the driver wrote part of a reply); LastStatus()
  // reads its fields.
  uint8_t mDfuStatus[DfuStatus::kReplySize] = {};
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
