#pragma once
// Simulated devices: each answers descriptor requests from its description,
// runs the vendor detach / DFU 1.1 state machine, and leaves and re-enters
// the bus on port cycles, detaches and plug/unplug commands.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Description.h"
#include "DeviceSource.h"
#include "ImageBytes.h"

namespace vlmudrv {

class SimulatedSource;

class SimDevice {
 public:
  SimDevice(SimulatedSource& owner, uint64_t uid, Description description, Behaviour behaviour);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  uint64_t Uid() const { return mUid; }
  const std::string& Id() const { return mDesc.id; }
  bool Present() const { return mPresent; }
  uint64_t Appearance() const { return mAppearance; }
  const Personality& Current() const { return mDfuMode ? mDesc.dfu : mDesc.runtime; }
  const platform::Guid& InterfaceClass() const { return mDesc.interfaceClass; }

  void IoControl(IoRequest request, IoCompletion done);
  // User actions.
  void Plug();
  void Unplug();
  // Removal from the service: fails pending requests, announces the removal.
  void Remove();
  bool SetBehaviour(const nlohmann::json& knobs, std::string& error);
  nlohmann::json Info() const;
  std::string_view Firmware() const { return mFirmware; }
  const std::string& StoredSerial() const { return mStoredSerial; }
  // Counts an open of the current appearance; false while opens are to fail.
  bool TakeOpen();

 private:
  struct Pending {
    uint64_t id;
    IoCompletion done;
    uint64_t timer;
  };

  IoResult Execute(const IoRequest& request);
  IoResult Descriptor(const IoRequest& request);
  IoResult Control(const IoRequest& request);
  IoResult RuntimeRequest(uint8_t dir, uint32_t type, uint32_t recipient, uint8_t bRequest, uint16_t wValue,
                          uint16_t wIndex, uint16_t wLength, std::string_view data);
  IoResult DfuRequest(uint8_t dir, uint32_t type, uint32_t recipient, uint8_t bRequest, uint16_t wValue,
                      uint16_t wIndex, uint16_t wLength, std::string_view data);
  // The parts of DfuRequest.
  IoResult DfuVendorRequest(uint8_t dir, uint32_t recipient, uint8_t bRequest, uint16_t wIndex, uint16_t wLength,
                            std::string_view data);
  IoResult Dnload(uint16_t wValue, uint16_t wLength, std::string_view data);
  IoResult BlockStatus(uint16_t wLength);
  IoResult ManifestStatus(uint8_t bRequest, uint16_t wLength);
  IoResult StatusReply(uint16_t wLength);
  // The scripted answer to a control request, when its script has one.
  bool Scripted(uint8_t dir, uint32_t type, uint8_t bRequest, IoResult& result);
  IoResult StallToError(uint8_t status);
  void ApplyTimedTransitions();
  bool ManifestationComplete() const;
  void FinishManifestation();

  void LeaveBus();
  void Arrive();
  void ResetAndReturn(uint64_t delayMs);
  void ChooseModeAfterReset();
  void EnterDfuMode(uint8_t state, uint8_t status);
  void EnterRuntimeMode(uint8_t state);
  void FailPending(uint32_t error);
  bool WillDetach() const;
  bool ManifestationTolerant() const;
  uint32_t PollTimeoutFor(uint8_t state) const;
  Fault* MatchFault(const IoRequest& request);

  SimulatedSource& mOwner;
  uint64_t mUid;
  Description mDesc;
  Behaviour mBehaviour;

  bool mPresent = false;
  uint32_t mOpenFailuresLeft = 0;  // of the current appearance
  bool mPluggedIn = true;  // false after an unplug command, until plug
  uint64_t mAppearance = 0;
  uint64_t mReturnTimer = 0;
  uint64_t mDetachTimer = 0;
  uint64_t mDetachExpiryTimer = 0;  // appDETACH back to appIDLE (detachExpires)
  uint64_t mRequests = 0;
  uint64_t mNextPending = 1;
  std::vector<Pending> mPending;

  bool mDfuMode = false;
  uint8_t mState = 0;   // DFU_STATE
  uint8_t mStatus = 0;  // bStatus
  bool mRuntimeNoStatus = false;  // run-time firmware that stalls DFU_GETSTATUS (after a final reset)
  // Download bookkeeping of the current DFU session.
  uint16_t mExpectedBlock = 0;
  uint64_t mBlocksAccepted = 0;
  ImageBytes mReceiving;      // blocks accepted so far
  std::string mLastBlock;     // block waiting in dfuDNLOAD_SYNC
  uint32_t mSyncLeft = 0;
  uint32_t mBusyLeft = 0;
  uint64_t mBusyUntil = 0;  // end of the current dfuDNBUSY / dfuMANIFEST poll time-out
  bool mBlockError = false;
  uint32_t mManifestSyncLeft = 0;
  uint32_t mManifestPollsDone = 0;
  uint64_t mManifestStart = 0;
  bool mManifestStarted = false;
  bool mManifested = false;        // a complete image was manifested and waits for the reset
  bool mFirmwareInvalid = false;   // a download started and was not completed
  ImageBytes mFirmware;            // last manifested image
  uint16_t mBcdDevice = 0;         // run-time bcdDevice currently reported
  std::string mStoredSerial;
};

class SimulatedSource final : public DeviceSource {
 public:
  SimulatedSource(Scheduler& scheduler, DeviceEvents& events) : mScheduler(scheduler), mEvents(events) {}
  ~SimulatedSource() override;

  // Adds a device from its description; `id` receives its id.
  bool AddDevice(const nlohmann::json& description, std::string& id, std::string& error);

  std::vector<InterfaceEntry> ListInterfaces(const platform::Guid& interfaceClass) const override;
  uint32_t Open(const std::string& path, DeviceHandle& handle) override;
  void IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) override;
  bool Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) override;

  Scheduler& Timers() { return mScheduler; }
  void Announce(uint32_t event, const SimDevice& device, const std::string& path);

 private:
  SimDevice* Find(const std::string& id);

  Scheduler& mScheduler;
  DeviceEvents& mEvents;
  uint64_t mNextUid = 1;
  uint64_t mNextAutoId = 1;
  std::vector<std::unique_ptr<SimDevice>> mDevices;  // in the order they were added
};

}  // namespace vlmudrv
