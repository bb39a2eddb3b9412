#pragma once
// One simulated device on the bus: it arrives and leaves (plug and unplug
// commands, port cycles, a detach), counts its appearances so that handles
// of an earlier one are dead, answers descriptor requests from its
// description, holds requests that faults delay or hang, and hands control
// requests to its firmware (DfuMachine).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Description.h"
#include "DeviceSource.h"
#include "DfuMachine.h"
#include "IoRequestLayout.h"

namespace vlmudrv {

class SimDevice {
 public:
  // Arrivals and removals are announced to `events`.
  SimDevice(Scheduler& timers, DeviceEvents& events, uint64_t uid, Description description, Behaviour behaviour);
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  uint64_t Uid() const { return mUid; }
  const std::string& Id() const { return mDesc.id; }
  bool Present() const { return mPresent; }
  uint64_t Appearance() const { return mAppearance; }
  const Personality& Current() const { return mMachine.DfuMode() ? mDesc.dfu : mDesc.runtime; }
  const platform::Guid& InterfaceClass() const { return mDesc.interfaceClass; }

  void IoControl(IoRequest request, IoCompletion done);
  // User actions.
  void Plug();
  void Unplug();
  // Removal from the service: fails pending requests, announces the removal.
  void Remove();
  bool SetBehaviour(const nlohmann::json& knobs, std::string& error);
  nlohmann::json Info() const;
  std::string_view Firmware() const { return mMachine.Firmware(); }
  const std::string& StoredSerial() const { return mMachine.StoredSerial(); }
  // Counts an open of the current appearance; false while opens are to fail.
  bool TakeOpen();

 private:
  struct Pending {
    uint64_t id;
    IoCompletion done;
    uint64_t timer;
  };

  IoResult Execute(const IoRequest& request);
  IoResult Descriptor(const DescriptorRequest& request) const;
  Fault* MatchFault(const IoRequest& request);
  void ApplyFault(const Fault& fault, IoRequest request, IoCompletion done);
  void AnswerDelayed(uint64_t pendingId, const IoRequest& request);

  void LeaveBus();
  void Arrive();
  void ResetAndReturn(uint64_t delayMs);
  void FailPending(uint32_t error);
  void Announce(uint32_t event, const std::string& path);

  Scheduler& mTimers;
  DeviceEvents& mEvents;
  uint64_t mUid;
  Description mDesc;
  Behaviour mBehaviour;
  DfuMachine mMachine;

  bool mPresent = false;
  uint32_t mOpenFailuresLeft = 0;  // of the current appearance
  bool mPluggedIn = true;          // false after an unplug command, until plug
  uint64_t mAppearance = 0;
  uint64_t mReturnTimer = 0;
  uint64_t mRequests = 0;
  uint64_t mNextPending = 1;
  std::vector<Pending> mPending;
};

}  // namespace vlmudrv
