#include "DfuMachine.h"

#include "dfu/DfuState.h"
#include "platform/ByteOrder.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;

namespace {

IoResult Stall() { return IoResult{kErrorGenFailure, {}}; }
IoResult Ok(std::string out = {}) { return IoResult{0, std::move(out)}; }
IoResult StateReply(uint8_t state) { return Ok(std::string(1, static_cast<char>(state))); }

}  // namespace

DfuMachine::DfuMachine(Scheduler& timers, Description& description, Behaviour& behaviour,
                       std::function<void()> resetSelf)
    : mTimers(timers), mDesc(description), mBehaviour(behaviour), mResetSelf(std::move(resetSelf)) {
  mBcdDevice = mDesc.runtime.deviceDescriptor.size() >= 14 ? platform::LoadLe16(mDesc.runtime.deviceDescriptor, 12) : 0;
  mStoredSerial = mBehaviour.storedSerial.empty() ? mDesc.serialNumber : mBehaviour.storedSerial;
  // A device without run-time firmware (dfuOnly) starts in DFU mode, in
  // dfuERROR when asked to, else in dfuIDLE.
  if (mBehaviour.initialState == "dfuERROR")
    EnterDfuMode(dfuERROR, errUNKNOWN);
  else if (mBehaviour.dfuOnly || mBehaviour.initialState == "dfuIDLE")
    EnterDfuMode(dfuIDLE, OK);
  else
    EnterRuntimeMode(mBehaviour.initialState == "appDETACH" ? appDETACH : appIDLE);
}

DfuMachine::~DfuMachine() { StopTimers(); }

void DfuMachine::StopTimers() {
  mTimers.Cancel(mDetachTimer);
  mDetachTimer = 0;
  mTimers.Cancel(mDetachExpiryTimer);
  mDetachExpiryTimer = 0;
}

bool DfuMachine::WillDetach() const {
  if (mBehaviour.willDetach) return *mBehaviour.willDetach;
  return (mDesc.runtime.attributes & DFU_DESC_bitWillDetach) != 0;
}

bool DfuMachine::ManifestationTolerant() const {
  if (mBehaviour.manifestationTolerant) return *mBehaviour.manifestationTolerant;
  return (mDesc.dfu.attributes & DFU_DESC_bitManifestationTolerant) != 0;
}

uint32_t DfuMachine::PollTimeoutFor(uint8_t state) const {
  auto it = mBehaviour.pollTimeout.find(state);
  return it == mBehaviour.pollTimeout.end() ? 0 : it->second;
}

void DfuMachine::EnterRuntimeMode(uint8_t state) {
  mDfuMode = false;
  mState = state;
  mStatus = OK;
}

void DfuMachine::EnterDfuMode(uint8_t state, uint8_t status) {
  mDfuMode = true;
  mState = state;
  mStatus = status;
  mExpectedBlock = 0;
  mBlocksAccepted = 0;
  mReceiving.clear();
  mManifestStarted = false;
  mManifested = false;
}

void DfuMachine::Reset() {
  mRuntimeNoStatus = false;
  if (!mDfuMode) {
    if (mBehaviour.dfuOnly || (mState == appDETACH && !mBehaviour.stayInAppIdleAfterDetach))
      EnterDfuMode(dfuIDLE, OK);
    else
      EnterRuntimeMode(appIDLE);
    return;
  }
  if ((mState == dfuMANIFEST || mState == dfuMANIFEST_SYNC || mState == dfuMANIFEST_WAIT_RESET) && !mManifested &&
      ManifestationComplete())
    FinishManifestation();
  if (mManifested) {
    ResetAfterManifestation();
  } else if (mFirmwareInvalid || mBehaviour.dfuOnly) {
    // The old image was overwritten in part: only the DFU-mode firmware can run.
    EnterDfuMode(mFirmwareInvalid ? dfuERROR : dfuIDLE, mFirmwareInvalid ? errFIRMWARE : OK);
  } else {
    EnterRuntimeMode(appIDLE);
  }
}

// The new image runs, or fails to, as the behaviour's finalReset says.
void DfuMachine::ResetAfterManifestation() {
  mManifested = false;
  mFirmwareInvalid = false;
  if (mBehaviour.finalReset == "dfuERROR") {
    EnterDfuMode(dfuERROR, errFIRMWARE);
  } else if (mBehaviour.finalReset == "dfuIDLE" || mBehaviour.dfuOnly) {
    EnterDfuMode(dfuIDLE, OK);
  } else {
    EnterRuntimeMode(appIDLE);
    mRuntimeNoStatus = mBehaviour.finalReset == "noStatus";
  }
}

IoResult DfuMachine::Request(const ControlSetup& setup, std::string_view data) {
  IoResult r;
  if (!Scripted(setup, r)) r = mDfuMode ? DfuRequest(setup, data) : RuntimeRequest(setup);
  // A device that sends more than wLength bytes makes the host controller
  // report babble: the transfer fails instead of being cut to size, so a
  // malformed reply can never pass for a well-formed one.
  if (setup.ToHost() && r.error == kErrorSuccess && r.out.size() > setup.wLength) return IoResult{kErrorGenFailure, {}};
  return r;
}

bool DfuMachine::Scripted(const ControlSetup& s, IoResult& result) {
  auto it = mBehaviour.script.find(ScriptRequestName(s.type, s.bRequest));
  if (it == mBehaviour.script.end() || it->second.empty()) return false;
  ScriptEntry& e = it->second.front();
  if (e.inState >= 0 && e.inState != mState) return false;  // waits for its state
  const ScriptEntry entry = e;
  if (--e.repeat == 0) it->second.erase(it->second.begin());
  if (entry.action == "pass") return false;
  result = ScriptedReply(entry, s);
  return true;
}

IoResult DfuMachine::ScriptedReply(const ScriptEntry& entry, const ControlSetup& s) {
  if (entry.action == "stall") return Stall();
  if (entry.action == "error") return IoResult{entry.error, {}};
  const uint8_t state = entry.state >= 0 ? static_cast<uint8_t>(entry.state) : mState;
  const uint8_t status = entry.status >= 0 ? static_cast<uint8_t>(entry.status) : mStatus;
  if (entry.enter) {
    mState = state;
    mStatus = status;
  }
  if (entry.action == "ack" || !s.ToHost()) return Ok();
  if (entry.hasReply) return Ok(entry.reply);
  if (s.bRequest == DFU_GETSTATE && s.type == kTypeClass) return StateReply(state);
  const uint32_t poll = entry.pollTimeout >= 0 ? static_cast<uint32_t>(entry.pollTimeout) : PollTimeoutFor(state);
  return Ok(StatusBytes(status, poll, state));
}

std::string DfuMachine::StatusBytes(uint8_t status, uint32_t pollTimeout, uint8_t state) const {
  std::string s;
  s.push_back(static_cast<char>(status));
  s.push_back(static_cast<char>(pollTimeout & 0xFF));
  s.push_back(static_cast<char>((pollTimeout >> 8) & 0xFF));
  s.push_back(static_cast<char>((pollTimeout >> 16) & 0xFF));
  s.push_back(static_cast<char>(state));
  s.push_back(0);  // iString
  s.resize(mBehaviour.statusLength, '\0');
  return s;
}

IoResult DfuMachine::StatusReply() const { return Ok(StatusBytes(mStatus, PollTimeoutFor(mState), mState)); }

// Run-time mode: the vendor detach request, and DFU_GETSTATUS / DFU_GETSTATE
// on the DFU interface; everything else is stalled.
IoResult DfuMachine::RuntimeRequest(const ControlSetup& s) {
  const Personality& p = mDesc.runtime;
  if (s.type == kTypeVendor && s.recipient == kRecipientDevice && s.bRequest == VENDOR_DFU_DETACH && !s.ToHost())
    return Detach(s.wValue);
  const bool dfuInterface = s.type == kTypeClass && s.recipient == kRecipientInterface && p.hasDfuInterface &&
                            s.wIndex == p.dfuInterfaceNumber;
  if (!dfuInterface || !s.ToHost() || (s.bRequest != DFU_GETSTATUS && s.bRequest != DFU_GETSTATE)) return Stall();
  if (mBehaviour.runtimeStatusStall || mRuntimeNoStatus) return Stall();
  return s.bRequest == DFU_GETSTATUS ? StatusReply() : StateReply(mState);
}

IoResult DfuMachine::Detach(uint16_t wDetachTimeOut) {
  if (mState != appIDLE && mState != appDETACH) return Stall();
  if (mBehaviour.stayInAppIdleAfterDetach) {
    // With WillDetach the device still leaves and comes back in run-time mode.
    if (WillDetach()) ScheduleSelfReset();
    return Ok();
  }
  mState = appDETACH;
  if (mBehaviour.detachExpires) {
    // DFU 1.1: without a reset within wDetachTimeOut (the request's wValue)
    // the device returns to appIDLE.
    mTimers.Cancel(mDetachExpiryTimer);
    mDetachExpiryTimer = mTimers.Schedule(wDetachTimeOut, [this] {
      mDetachExpiryTimer = 0;
      if (!mDfuMode && mState == appDETACH) mState = appIDLE;
    });
  }
  if (WillDetach()) {
    // The device resets itself into DFU mode shortly after the request.
    mTimers.Cancel(mDetachTimer);
    ScheduleSelfReset();
  }
  return Ok();
}

void DfuMachine::ScheduleSelfReset() {
  mDetachTimer = mTimers.Schedule(mBehaviour.detachDelayMs, [this] { mResetSelf(); });
}

// DFU 1.1: an illegal request is stalled and moves the device to dfuERROR.
IoResult DfuMachine::StallToError(uint8_t status) {
  mState = dfuERROR;
  mStatus = status;
  return Stall();
}

bool DfuMachine::ManifestationComplete() const {
  return mManifestStarted && mManifestPollsDone >= mBehaviour.manifestPolls &&
         mTimers.NowMs() - mManifestStart >= mBehaviour.manifestTimeMs;
}

void DfuMachine::FinishManifestation() {
  // The received image becomes the firmware without a copy; the blocks of
  // the next download start afresh (in the old image's memory).
  mFirmware.swap(mReceiving);
  mReceiving.clear();
  mManifested = true;
  mManifestStarted = false;
  if (mBehaviour.newBcdDevice) {
    mBcdDevice = *mBehaviour.newBcdDevice;
  } else if (mFirmware.size() >= 16 && mFirmware.compare(mFirmware.size() - 8, 3, "UFD") == 0) {
    const uint16_t suffixBcd = platform::LoadLe16(mFirmware, mFirmware.size() - 16);
    if (suffixBcd != 0xFFFF) mBcdDevice = suffixBcd;
  }
  if (mDesc.runtime.deviceDescriptor.size() >= 14) {
    mDesc.runtime.deviceDescriptor[12] = static_cast<char>(mBcdDevice & 0xFF);
    mDesc.runtime.deviceDescriptor[13] = static_cast<char>(mBcdDevice >> 8);
  }
}

// States that change with time rather than with requests.
void DfuMachine::ApplyTimedTransitions() {
  const uint64_t now = mTimers.NowMs();
  if (mState == dfuDNBUSY && now >= mBusyUntil) mState = dfuDNLOAD_SYNC;
}

IoResult DfuMachine::DfuRequest(const ControlSetup& s, std::string_view data) {
  ApplyTimedTransitions();
  if (s.type == kTypeVendor) return DfuVendorRequest(s, data);
  if (s.type != kTypeClass || s.recipient != kRecipientInterface) return Stall();
  // DFU_DNLOAD of this family carries wIndex 0; the other requests name the interface.
  const bool forUs = s.wIndex == mDesc.dfu.dfuInterfaceNumber || (s.bRequest == DFU_DNLOAD && s.wIndex == 0);
  if (!forUs) return Stall();
  return DfuClassRequest(s, data);
}

IoResult DfuMachine::DfuClassRequest(const ControlSetup& s, std::string_view data) {
  // Requests whose direction does not fit are malformed for any state.
  const bool toHost = s.bRequest == DFU_GETSTATUS || s.bRequest == DFU_GETSTATE || s.bRequest == DFU_UPLOAD;
  if (s.ToHost() != toHost) return StallToError(errSTALLEDPKT);
  if (s.bRequest == DFU_GETSTATE) {
    if (mState == dfuDNBUSY || mState == dfuMANIFEST) return StallToError(errSTALLEDPKT);
    return StateReply(mState);
  }
  switch (mState) {
    case dfuIDLE:
    case dfuDNLOAD_IDLE:
      if (s.bRequest == DFU_DNLOAD) return Dnload(s.wValue, s.wLength, data);
      if (s.bRequest == DFU_GETSTATUS) return StatusReply();
      if (s.bRequest != DFU_ABORT) return StallToError(errSTALLEDPKT);
      mState = dfuIDLE;
      return Ok();
    case dfuDNLOAD_SYNC:
    case dfuDNBUSY:
      return s.bRequest == DFU_GETSTATUS ? BlockStatus() : StallToError(errSTALLEDPKT);
    case dfuMANIFEST_SYNC:
    case dfuMANIFEST:
      return ManifestStatus(s.bRequest);
    case dfuMANIFEST_WAIT_RESET:
      return s.bRequest == DFU_GETSTATUS ? StatusReply() : Stall();
    case dfuERROR:
      if (s.bRequest == DFU_GETSTATUS) return StatusReply();
      if (s.bRequest != DFU_CLRSTATUS) return Stall();
      mState = dfuIDLE;
      mStatus = OK;
      return Ok();
    default:
      return StallToError(errSTALLEDPKT);
  }
}

// Vendor requests of DFU mode: serial number write and read.
IoResult DfuMachine::DfuVendorRequest(const ControlSetup& s, std::string_view data) {
  if (s.recipient != kRecipientInterface || s.wIndex != mDesc.dfu.dfuInterfaceNumber) return Stall();
  if (s.bRequest == VENDOR_SET_SERIAL_NUMBER && !s.ToHost()) {
    if (data.size() > mBehaviour.maxSerialLength) return Stall();
    mStoredSerial = data;
    return Ok();
  }
  if (s.bRequest == VENDOR_GET_SERIAL_NUMBER && s.ToHost()) return Ok(mStoredSerial.substr(0, s.wLength));
  return Stall();
}

// DFU_DNLOAD in dfuIDLE or dfuDNLOAD_IDLE: a block, or the empty block that
// starts manifestation.
IoResult DfuMachine::Dnload(uint16_t wValue, uint16_t wLength, std::string_view data) {
  const Personality& p = mDesc.dfu;
  if (wLength == 0) {
    if (mState == dfuIDLE) return StallToError(errNOTDONE);
    if (mBehaviour.checkBlockNumbers && wValue != mExpectedBlock) return StallToError(errADDRESS);
    mState = dfuMANIFEST_SYNC;
    mManifestStarted = true;
    mManifestStart = mTimers.NowMs();
    mManifestPollsDone = 0;
    mManifestSyncLeft = mBehaviour.manifestSyncPolls;
    return Ok();
  }
  if (p.hasFunctional && (p.attributes & DFU_DESC_bitCanDownload) == 0) return StallToError(errSTALLEDPKT);
  if (p.transferSize != 0 && wLength > p.transferSize) return StallToError(errUNKNOWN);
  if (mState == dfuIDLE) {
    mExpectedBlock = mBehaviour.checkBlockNumbers ? 0 : wValue;
    mReceiving.clear();
    mBlocksAccepted = 0;
    mManifested = false;
  }
  if (mBehaviour.checkBlockNumbers && wValue != mExpectedBlock) return StallToError(errADDRESS);
  mFirmwareInvalid = true;  // from here on the old image is gone
  mLastBlock = data;
  mBlockError = mBehaviour.errorAtBlock >= 0 && static_cast<uint64_t>(mBehaviour.errorAtBlock) == mBlocksAccepted;
  mSyncLeft = mBehaviour.syncPolls;
  mBusyLeft = mBehaviour.busyPolls;
  mState = dfuDNLOAD_SYNC;
  return Ok();
}

// DFU_GETSTATUS after a block: dfuDNLOAD_SYNC and dfuDNBUSY as the behaviour
// asks, then the block is taken (dfuDNLOAD_IDLE) or fails (dfuERROR).
IoResult DfuMachine::BlockStatus() {
  if (mState == dfuDNBUSY) {
    // Polled before bwPollTimeout ran out.
    if (mBehaviour.enforcePollTimeout) return StallToError(errSTALLEDPKT);
    mState = dfuDNLOAD_SYNC;
  }
  if (mSyncLeft > 0) {
    --mSyncLeft;
    return StatusReply();  // still dfuDNLOAD_SYNC
  }
  if (mBusyLeft > 0) {
    --mBusyLeft;
    mState = dfuDNBUSY;
    mBusyUntil = mTimers.NowMs() + PollTimeoutFor(dfuDNBUSY);
    return StatusReply();
  }
  if (mBlockError) {
    mState = dfuERROR;
    mStatus = errWRITE;
    return StatusReply();
  }
  mReceiving += mLastBlock;
  mLastBlock.clear();
  ++mBlocksAccepted;
  ++mExpectedBlock;
  mState = dfuDNLOAD_IDLE;
  return StatusReply();
}

// DFU_GETSTATUS during manifestation: dfuMANIFEST_SYNC, then dfuMANIFEST
// until the manifestation time is over, then dfuIDLE (manifestation
// tolerant) or dfuMANIFEST_WAIT_RESET.
IoResult DfuMachine::ManifestStatus(uint8_t bRequest) {
  if (mState == dfuMANIFEST_SYNC) {
    if (bRequest != DFU_GETSTATUS) return StallToError(errSTALLEDPKT);
    if (mManifestSyncLeft > 0) {
      --mManifestSyncLeft;
      return StatusReply();
    }
  } else {
    if (bRequest != DFU_GETSTATUS || !mBehaviour.answerInManifest) return StallToError(errSTALLEDPKT);
    // Polled before bwPollTimeout ran out.
    if (mBehaviour.enforcePollTimeout && mTimers.NowMs() < mBusyUntil) return StallToError(errSTALLEDPKT);
  }
  if (!ManifestationComplete()) {
    mState = dfuMANIFEST;
    ++mManifestPollsDone;
    mBusyUntil = mTimers.NowMs() + PollTimeoutFor(dfuMANIFEST);
    return StatusReply();
  }
  FinishManifestation();
  mState = ManifestationTolerant() ? dfuIDLE : dfuMANIFEST_WAIT_RESET;
  if (mState == dfuIDLE) {
    mExpectedBlock = 0;
    mFirmwareInvalid = false;
  }
  return StatusReply();
}

}  // namespace vlmudrv
