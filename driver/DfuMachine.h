#pragma once
// The firmware of a simulated device: what it answers to control requests.
// In run-time mode the vendor detach request and DFU_GETSTATUS; in DFU mode
// the DFU 1.1 state machine (download, manifestation, errors), the vendor
// serial-number requests, and scripted replies in place of its own. Which
// firmware runs after a reset is decided here too; being on the bus is the
// SimDevice's business.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Description.h"
#include "DeviceSource.h"
#include "ImageBytes.h"
#include "IoRequestLayout.h"

namespace vlmudrv {

class DfuMachine {
 public:
  // `description` and `behaviour` belong to the device and outlive the
  // machine; `resetSelf` makes the device leave the bus and come back (a
  // WillDetach device does that after the detach request).
  DfuMachine(Scheduler& timers, Description& description, Behaviour& behaviour, std::function<void()> resetSelf);
  ~DfuMachine();
  DfuMachine(const DfuMachine&) = delete;
  DfuMachine& operator=(const DfuMachine&) = delete;

  // A well-formed control request (see CheckIoRequest) and its host-to-device data.
  IoResult Request(const ControlSetup& setup, std::string_view data);
  // A bus reset or power cycle: decides which firmware runs afterwards.
  void Reset();
  // The device left the bus: a pending self-reset or detach expiry is void.
  void StopTimers();

  bool DfuMode() const { return mDfuMode; }
  uint8_t State() const { return mState; }
  uint8_t Status() const { return mStatus; }
  uint16_t BcdDevice() const { return mBcdDevice; }
  uint64_t BlocksAccepted() const { return mBlocksAccepted; }
  std::string_view Firmware() const { return mFirmware; }
  const std::string& StoredSerial() const { return mStoredSerial; }
  void SetStoredSerial(std::string serial) { mStoredSerial = std::move(serial); }

 private:
  IoResult RuntimeRequest(const ControlSetup& s);
  IoResult Detach(uint16_t wDetachTimeOut);
  IoResult DfuRequest(const ControlSetup& s, std::string_view data);
  IoResult DfuClassRequest(const ControlSetup& s, std::string_view data);
  IoResult DfuVendorRequest(const ControlSetup& s, std::string_view data);
  IoResult Dnload(uint16_t wValue, uint16_t wLength, std::string_view data);
  IoResult BlockStatus();
  IoResult ManifestStatus(uint8_t bRequest);
  IoResult StatusReply() const;
  // The DFU_GETSTATUS reply bytes, as long as the behaviour says.
  std::string StatusBytes(uint8_t status, uint32_t pollTimeout, uint8_t state) const;
  // The scripted answer to a control request, when its script has one.
  bool Scripted(const ControlSetup& s, IoResult& result);
  IoResult ScriptedReply(const ScriptEntry& entry, const ControlSetup& s);
  IoResult StallToError(uint8_t status);
  void ApplyTimedTransitions();
  bool ManifestationComplete() const;
  void FinishManifestation();
  void ResetAfterManifestation();
  void ScheduleSelfReset();

  void EnterDfuMode(uint8_t state, uint8_t status);
  void EnterRuntimeMode(uint8_t state);
  bool WillDetach() const;
  bool ManifestationTolerant() const;
  uint32_t PollTimeoutFor(uint8_t state) const;

  Scheduler& mTimers;
  Description& mDesc;
  Behaviour& mBehaviour;
  std::function<void()> mResetSelf;
  uint64_t mDetachTimer = 0;
  uint64_t mDetachExpiryTimer = 0;  // appDETACH back to appIDLE (detachExpires)

  bool mDfuMode = false;
  uint8_t mState = 0;             // DFU_STATE
  uint8_t mStatus = 0;            // bStatus
  bool mRuntimeNoStatus = false;  // run-time firmware that stalls DFU_GETSTATUS (after a final reset)
  // Download bookkeeping of the current DFU session.
  uint16_t mExpectedBlock = 0;
  uint64_t mBlocksAccepted = 0;
  ImageBytes mReceiving;   // blocks accepted so far
  std::string mLastBlock;  // block waiting in dfuDNLOAD_SYNC
  uint32_t mSyncLeft = 0;
  uint32_t mBusyLeft = 0;
  uint64_t mBusyUntil = 0;  // end of the current dfuDNBUSY / dfuMANIFEST poll time-out
  bool mBlockError = false;
  uint32_t mManifestSyncLeft = 0;
  uint32_t mManifestPollsDone = 0;
  uint64_t mManifestStart = 0;
  bool mManifestStarted = false;
  bool mManifested = false;       // a complete image was manifested and waits for the reset
  bool mFirmwareInvalid = false;  // a download started and was not completed
  ImageBytes mFirmware;           // last manifested image
  uint16_t mBcdDevice = 0;        // run-time bcdDevice currently reported
  std::string mStoredSerial;
};

}  // namespace vlmudrv
