#include "SimulatedSource.h"

#include <algorithm>
#include <cctype>

#include "Hex.h"
#include "dfu/DfuState.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

// DFU requests, states and status codes: dfu/DfuState.h, as the library
// uses them.
// Request header fields.
[[maybe_unused]] constexpr uint32_t kTypeStandard = 0, kTypeClass = 1, kTypeVendor = 2;
constexpr uint32_t kRecipientDevice = 0, kRecipientInterface = 1;

uint16_t Le16(std::string_view s, size_t off) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[off]) | (static_cast<uint8_t>(s[off + 1]) << 8));
}
uint32_t Le32(std::string_view s, size_t off) {
  return static_cast<uint32_t>(Le16(s, off)) | (static_cast<uint32_t>(Le16(s, off + 2)) << 16);
}

IoResult Stall() { return IoResult{kErrorGenFailure, {}}; }
IoResult Ok(std::string out = {}) { return IoResult{0, std::move(out)}; }

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

const char* ModeName(bool dfu) { return dfu ? "dfu" : "runtime"; }

}  // namespace

// ---------------------------------------------------------------- SimDevice

SimDevice::SimDevice(SimulatedSource& owner, uint64_t uid, Description description, Behaviour behaviour)
    : mOwner(owner), mUid(uid), mDesc(std::move(description)), mBehaviour(std::move(behaviour)) {
  mBcdDevice = mDesc.runtime.deviceDescriptor.size() >= 14 ? Le16(mDesc.runtime.deviceDescriptor, 12) : 0;
  mStoredSerial = mBehaviour.storedSerial.empty() ? mDesc.serialNumber : mBehaviour.storedSerial;
  if (mBehaviour.dfuOnly || mBehaviour.initialState == "dfuIDLE")
    EnterDfuMode(dfuIDLE, OK);
  else if (mBehaviour.initialState == "dfuERROR")
    EnterDfuMode(dfuERROR, errUNKNOWN);
  else
    EnterRuntimeMode(mBehaviour.initialState == "appDETACH" ? appDETACH : appIDLE);
  mPluggedIn = mDesc.present;
}

SimDevice::~SimDevice() {
  mOwner.Timers().Cancel(mReturnTimer);
  mOwner.Timers().Cancel(mDetachTimer);
  mOwner.Timers().Cancel(mDetachExpiryTimer);
  for (auto& p : mPending) mOwner.Timers().Cancel(p.timer);
}

bool SimDevice::WillDetach() const {
  if (mBehaviour.willDetach) return *mBehaviour.willDetach;
  return (mDesc.runtime.attributes & 0x08) != 0;
}

bool SimDevice::ManifestationTolerant() const {
  if (mBehaviour.manifestationTolerant) return *mBehaviour.manifestationTolerant;
  return (mDesc.dfu.attributes & 0x04) != 0;
}

uint32_t SimDevice::PollTimeoutFor(uint8_t state) const {
  auto it = mBehaviour.pollTimeout.find(state);
  return it == mBehaviour.pollTimeout.end() ? 0 : it->second;
}

void SimDevice::EnterRuntimeMode(uint8_t state) {
  mDfuMode = false;
  mState = state;
  mStatus = OK;
}

void SimDevice::EnterDfuMode(uint8_t state, uint8_t status) {
  mDfuMode = true;
  mState = state;
  mStatus = status;
  mExpectedBlock = 0;
  mBlocksAccepted = 0;
  mReceiving.clear();
  mManifestStarted = false;
  mManifested = false;
}

void SimDevice::Arrive() {
  if (mPresent || !mPluggedIn) return;
  mPresent = true;
  mOpenFailuresLeft = mBehaviour.openFailures;
  ++mAppearance;
  mOwner.Announce(kDbtDeviceArrival, *this, Current().path);
}

void SimDevice::LeaveBus() {
  mOwner.Timers().Cancel(mDetachTimer);
  mDetachTimer = 0;
  mOwner.Timers().Cancel(mDetachExpiryTimer);
  mDetachExpiryTimer = 0;
  if (!mPresent) return;
  const std::string path = Current().path;
  mPresent = false;
  ++mAppearance;  // handles of this appearance are dead from now on
  FailPending(kErrorDeviceNotConnected);
  mOwner.Announce(kDbtDeviceRemoveComplete, *this, path);
}

void SimDevice::FailPending(uint32_t error) {
  auto pending = std::move(mPending);
  mPending.clear();
  for (auto& p : pending) {
    mOwner.Timers().Cancel(p.timer);
    p.done(IoResult{error, {}});
  }
}

// A bus reset or power cycle: decide which firmware runs afterwards.
void SimDevice::ChooseModeAfterReset() {
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
    return;
  }
  if (mFirmwareInvalid || mBehaviour.dfuOnly) {
    // The old image was overwritten in part: only the DFU-mode firmware can run.
    EnterDfuMode(mFirmwareInvalid ? dfuERROR : dfuIDLE, mFirmwareInvalid ? errFIRMWARE : OK);
    return;
  }
  EnterRuntimeMode(appIDLE);
}

void SimDevice::ResetAndReturn(uint64_t delayMs) {
  LeaveBus();
  ChooseModeAfterReset();
  mOwner.Timers().Cancel(mReturnTimer);
  mReturnTimer = 0;
  if (mBehaviour.neverReturn) return;
  mReturnTimer = mOwner.Timers().Schedule(delayMs, [this] {
    mReturnTimer = 0;
    Arrive();
  });
}

void SimDevice::Plug() {
  mPluggedIn = true;
  if (!mPresent && mReturnTimer == 0) Arrive();
}

void SimDevice::Unplug() {
  mPluggedIn = false;
  mOwner.Timers().Cancel(mReturnTimer);
  mReturnTimer = 0;
  if (mPresent) {
    LeaveBus();
  }
  ChooseModeAfterReset();  // power is gone: the device boots afresh when plugged in
}

void SimDevice::Remove() {
  mOwner.Timers().Cancel(mReturnTimer);
  mReturnTimer = 0;
  LeaveBus();
  FailPending(kErrorDeviceNotConnected);
}

bool SimDevice::SetBehaviour(const json& knobs, std::string& error) {
  if (!knobs.is_object()) {
    error = "behaviour must be an object";
    return false;
  }
  json merged = mDesc.behaviour;
  for (const auto& [k, v] : knobs.items()) merged[k] = v;
  Behaviour b;
  if (!ParseBehaviour(merged, b, error)) return false;
  // A script runs on from where it is unless it is given anew.
  if (!knobs.contains("script")) b.script = std::move(mBehaviour.script);
  mDesc.behaviour = merged;
  mBehaviour = b;
  if (knobs.contains("openFailures")) mOpenFailuresLeft = mBehaviour.openFailures;
  if (knobs.contains("storedSerial")) mStoredSerial = mBehaviour.storedSerial;
  return true;
}

json SimDevice::Info() const {
  return {{"id", mDesc.id},
          {"path", Current().path},
          {"state", mPresent ? "present" : (mPluggedIn ? "off-bus" : "unplugged")},
          {"mode", ModeName(mDfuMode)},
          {"dfuState", mState},
          {"dfuStatus", mStatus},
          {"requests", mRequests},
          {"appearance", mAppearance},
          {"bcdDevice", mBcdDevice},
          {"firmwareSize", mFirmware.size()},
          {"blocksReceived", mBlocksAccepted},
          {"storedSerial", EscapedText(mStoredSerial)},
          {"storedSerialHex", ToHex(mStoredSerial)}};
}

Fault* SimDevice::MatchFault(const IoRequest& request) {
  for (Fault& f : mBehaviour.faults) {
    if (f.done) continue;
    if (f.request != 0) {
      if (f.request == mRequests) return f.done = true, &f;
      continue;
    }
    if (request.code != kIoctlControlRequest || request.in.size() < 16) continue;
    if (static_cast<uint8_t>(request.in[9]) != f.bRequest) continue;
    if (++f.seen == f.occurrence) return f.done = true, &f;
  }
  return nullptr;
}

void SimDevice::IoControl(IoRequest request, IoCompletion done) {
  ++mRequests;
  if (Fault* f = MatchFault(request)) {
    if (f->action == "stall") return done(Stall());
    if (f->action == "error") return done(IoResult{f->error, {}});
    if (f->action == "unplug") {
      // The device drops off the bus while the request is in flight.
      mPending.push_back({mNextPending++, std::move(done), 0});
      Unplug();
      return;
    }
    const uint64_t pid = mNextPending++;
    uint64_t timer = 0;
    if (f->action == "delay") {
      timer = mOwner.Timers().Schedule(f->delayMs, [this, pid, request] {
        auto it = std::find_if(mPending.begin(), mPending.end(), [pid](const Pending& p) { return p.id == pid; });
        if (it == mPending.end()) return;
        IoCompletion d = std::move(it->done);
        mPending.erase(it);
        d(mPresent ? Execute(request) : IoResult{kErrorDeviceNotConnected, {}});
      });
    }
    mPending.push_back({pid, std::move(done), timer});  // "hang": answered only when the device leaves
    return;
  }
  done(Execute(request));
}

IoResult SimDevice::Execute(const IoRequest& request) {
  IoResult r;
  switch (request.code) {
    case kIoctlGetDescriptor:
      r = Descriptor(request);
      break;
    case kIoctlControlRequest:
      r = Control(request);
      break;
    case kIoctlCyclePort:
      if (!request.in.empty()) return IoResult{kErrorInvalidParameter, {}};
      ResetAndReturn(mBehaviour.reenumerationMs);
      return Ok();
    default:
      return IoResult{kErrorInvalidFunction, {}};
  }
  if (r.out.size() > request.outSize) r.out.resize(request.outSize);
  return r;
}

IoResult SimDevice::Descriptor(const IoRequest& request) {
  if (request.in.size() != 8) return IoResult{kErrorInvalidParameter, {}};
  const auto type = static_cast<uint8_t>(request.in[4]);
  const auto index = static_cast<uint8_t>(request.in[5]);
  const Personality& p = Current();
  switch (type) {
    case 1:
      return Ok(p.deviceDescriptor);
    case 2:
      if (index >= p.configurations.size()) return Stall();
      return Ok(p.configurations[index]);
    case 3: {
      if (index != 0 && mBehaviour.serialInDescriptor && p.deviceDescriptor.size() > 16 &&
          index == static_cast<uint8_t>(p.deviceDescriptor[16]))
        return Ok(StringDescriptor(mStoredSerial));
      auto it = p.strings.find(index);
      if (it == p.strings.end()) return Stall();
      return Ok(it->second);
    }
    default:
      return Stall();
  }
}

IoResult SimDevice::Control(const IoRequest& request) {
  const std::string& in = request.in;
  if (in.size() < 16) return IoResult{kErrorInvalidParameter, {}};
  const auto dir = static_cast<uint8_t>(in[0]);
  const uint32_t type = Le32(in, 1);
  const uint32_t recipient = Le32(in, 5);
  const auto bRequest = static_cast<uint8_t>(in[9]);
  const uint16_t wValue = Le16(in, 10), wIndex = Le16(in, 12), wLength = Le16(in, 14);
  if (dir > 1 || type > kTypeVendor || recipient > 3) return IoResult{kErrorInvalidParameter, {}};
  if (dir == 0 && in.size() != 16u + wLength) return IoResult{kErrorInvalidParameter, {}};
  if (dir == 1 && in.size() != 16) return IoResult{kErrorInvalidParameter, {}};
  const std::string_view data = std::string_view(in).substr(16);
  IoResult scripted;
  if (Scripted(dir, type, bRequest, scripted)) {
    if (dir == 1 && scripted.error == kErrorSuccess && scripted.out.size() > wLength) return IoResult{kErrorGenFailure, {}};
    return scripted;
  }
  IoResult r = mDfuMode ? DfuRequest(dir, type, recipient, bRequest, wValue, wIndex, wLength, data)
                        : RuntimeRequest(dir, type, recipient, bRequest, wValue, wIndex, wLength, data);
  // A device that sends more than wLength bytes makes the host controller
  // report babble: the transfer fails instead of being cut to size, so a
  // malformed reply can never pass for a well-formed one.
  if (dir == 1 && r.error == kErrorSuccess && r.out.size() > wLength) return IoResult{kErrorGenFailure, {}};
  return r;
}

bool SimDevice::TakeOpen() {
  if (mOpenFailuresLeft == 0) return true;
  --mOpenFailuresLeft;
  return false;
}

bool SimDevice::Scripted(uint8_t dir, uint32_t type, uint8_t bRequest, IoResult& result) {
  auto it = mBehaviour.script.find(ScriptRequestName(type, bRequest));
  if (it == mBehaviour.script.end() || it->second.empty()) return false;
  ScriptEntry& e = it->second.front();
  if (e.inState >= 0 && e.inState != mState) return false;  // waits for its state
  const ScriptEntry entry = e;
  if (--e.repeat == 0) it->second.erase(it->second.begin());
  if (entry.action == "pass") return false;
  if (entry.action == "stall") {
    result = Stall();
    return true;
  }
  if (entry.action == "error") {
    result = IoResult{entry.error, {}};
    return true;
  }
  const uint8_t state = entry.state >= 0 ? static_cast<uint8_t>(entry.state) : mState;
  const uint8_t status = entry.status >= 0 ? static_cast<uint8_t>(entry.status) : mStatus;
  if (entry.enter) {
    mState = state;
    mStatus = status;
  }
  if (entry.action == "ack" || dir == 0) {
    result = Ok();
    return true;
  }
  if (entry.hasReply) {
    result = Ok(entry.reply);
  } else if (bRequest == DFU_GETSTATE && type == kTypeClass) {
    result = Ok(std::string(1, static_cast<char>(state)));
  } else {
    const uint32_t poll = entry.pollTimeout >= 0 ? static_cast<uint32_t>(entry.pollTimeout) : PollTimeoutFor(state);
    std::string s;
    s.push_back(static_cast<char>(status));
    s.push_back(static_cast<char>(poll & 0xFF));
    s.push_back(static_cast<char>((poll >> 8) & 0xFF));
    s.push_back(static_cast<char>((poll >> 16) & 0xFF));
    s.push_back(static_cast<char>(state));
    s.push_back(0);  // iString
    s.resize(mBehaviour.statusLength, '\0');
    result = Ok(s);
  }
  return true;
}

IoResult SimDevice::StatusReply(uint16_t wLength) {
  (void)wLength;
  const uint32_t poll = PollTimeoutFor(mState);
  std::string s;
  s.push_back(static_cast<char>(mStatus));
  s.push_back(static_cast<char>(poll & 0xFF));
  s.push_back(static_cast<char>((poll >> 8) & 0xFF));
  s.push_back(static_cast<char>((poll >> 16) & 0xFF));
  s.push_back(static_cast<char>(mState));
  s.push_back(0);  // iString
  s.resize(mBehaviour.statusLength, '\0');
  return Ok(s);
}

IoResult SimDevice::RuntimeRequest(uint8_t dir, uint32_t type, uint32_t recipient, uint8_t bRequest, uint16_t wValue,
                                   uint16_t wIndex, uint16_t wLength, std::string_view data) {
  (void)data;
  const Personality& p = mDesc.runtime;
  if (type == kTypeVendor && recipient == kRecipientDevice && bRequest == VENDOR_DFU_DETACH && dir == 0) {
    if (mState != appIDLE && mState != appDETACH) return Stall();
    if (mBehaviour.stayInAppIdleAfterDetach) {
      if (WillDetach()) {
        mDetachTimer = mOwner.Timers().Schedule(mBehaviour.detachDelayMs, [this] { ResetAndReturn(mBehaviour.reenumerationMs); });
      }
      return Ok();
    }
    mState = appDETACH;
    if (mBehaviour.detachExpires) {
      // DFU 1.1: without a reset within wDetachTimeOut (the request's
      // wValue) the device returns to appIDLE.
      mOwner.Timers().Cancel(mDetachExpiryTimer);
      mDetachExpiryTimer = mOwner.Timers().Schedule(wValue, [this] {
        mDetachExpiryTimer = 0;
        if (!mDfuMode && mState == appDETACH) mState = appIDLE;
      });
    }
    if (WillDetach()) {
      // The device resets itself into DFU mode shortly after the request.
      mOwner.Timers().Cancel(mDetachTimer);
      mDetachTimer = mOwner.Timers().Schedule(mBehaviour.detachDelayMs, [this] { ResetAndReturn(mBehaviour.reenumerationMs); });
    }
    return Ok();
  }
  if (type == kTypeClass && recipient == kRecipientInterface && p.hasDfuInterface && wIndex == p.dfuInterfaceNumber) {
    if (bRequest == DFU_GETSTATUS && dir == 1) {
      if (mBehaviour.runtimeStatusStall || mRuntimeNoStatus) return Stall();
      return StatusReply(wLength);
    }
    if (bRequest == DFU_GETSTATE && dir == 1) {
      if (mBehaviour.runtimeStatusStall || mRuntimeNoStatus) return Stall();
      return Ok(std::string(1, static_cast<char>(mState)));
    }
  }
  return Stall();
}

// DFU 1.1: an illegal request is stalled and moves the device to dfuERROR.
IoResult SimDevice::StallToError(uint8_t status) {
  mState = dfuERROR;
  mStatus = status;
  return Stall();
}

bool SimDevice::ManifestationComplete() const {
  return mManifestStarted && mManifestPollsDone >= mBehaviour.manifestPolls &&
         mOwner.Timers().NowMs() - mManifestStart >= mBehaviour.manifestTimeMs;
}

void SimDevice::FinishManifestation() {
  // The received image becomes the firmware without a copy; the blocks of
  // the next download start afresh (in the old image's memory).
  mFirmware.swap(mReceiving);
  mReceiving.clear();
  mManifested = true;
  mManifestStarted = false;
  if (mBehaviour.newBcdDevice) {
    mBcdDevice = *mBehaviour.newBcdDevice;
  } else if (mFirmware.size() >= 16 && mFirmware.compare(mFirmware.size() - 8, 3, "UFD") == 0) {
    const uint16_t suffixBcd = Le16(mFirmware, mFirmware.size() - 16);
    if (suffixBcd != 0xFFFF) mBcdDevice = suffixBcd;
  }
  if (mDesc.runtime.deviceDescriptor.size() >= 14) {
    mDesc.runtime.deviceDescriptor[12] = static_cast<char>(mBcdDevice & 0xFF);
    mDesc.runtime.deviceDescriptor[13] = static_cast<char>(mBcdDevice >> 8);
  }
}

// States that change with time rather than with requests.
void SimDevice::ApplyTimedTransitions() {
  const uint64_t now = mOwner.Timers().NowMs();
  if (mState == dfuDNBUSY && now >= mBusyUntil) mState = dfuDNLOAD_SYNC;
}

IoResult SimDevice::DfuRequest(uint8_t dir, uint32_t type, uint32_t recipient, uint8_t bRequest, uint16_t wValue,
                               uint16_t wIndex, uint16_t wLength, std::string_view data) {
  const Personality& p = mDesc.dfu;
  ApplyTimedTransitions();

  if (type == kTypeVendor) return DfuVendorRequest(dir, recipient, bRequest, wIndex, wLength, data);
  if (type != kTypeClass || recipient != kRecipientInterface) return Stall();
  // DFU_DNLOAD of this family carries wIndex 0; the other requests name the interface.
  const bool forUs = wIndex == p.dfuInterfaceNumber || (bRequest == DFU_DNLOAD && wIndex == 0);
  if (!forUs) return Stall();

  // Requests whose direction does not fit are malformed for any state.
  const bool toHost = bRequest == DFU_GETSTATUS || bRequest == DFU_GETSTATE || bRequest == DFU_UPLOAD;
  if ((dir == 1) != toHost) return StallToError(errSTALLEDPKT);

  if (bRequest == DFU_GETSTATE) {
    if (mState == dfuDNBUSY || mState == dfuMANIFEST) return StallToError(errSTALLEDPKT);
    return Ok(std::string(1, static_cast<char>(mState)));
  }

  switch (mState) {
    case dfuIDLE:
    case dfuDNLOAD_IDLE:
      if (bRequest == DFU_DNLOAD) return Dnload(wValue, wLength, data);
      if (bRequest == DFU_GETSTATUS) return StatusReply(wLength);
      if (bRequest == DFU_ABORT) {
        mState = dfuIDLE;
        return Ok();
      }
      return StallToError(errSTALLEDPKT);
    case dfuDNLOAD_SYNC:
    case dfuDNBUSY:
      if (bRequest != DFU_GETSTATUS) return StallToError(errSTALLEDPKT);
      return BlockStatus(wLength);
    case dfuMANIFEST_SYNC:
    case dfuMANIFEST:
      return ManifestStatus(bRequest, wLength);
    case dfuMANIFEST_WAIT_RESET:
      if (bRequest == DFU_GETSTATUS) return StatusReply(wLength);
      return Stall();
    case dfuERROR:
      if (bRequest == DFU_GETSTATUS) return StatusReply(wLength);
      if (bRequest == DFU_CLRSTATUS) {
        mState = dfuIDLE;
        mStatus = OK;
        return Ok();
      }
      return Stall();
    default:
      return StallToError(errSTALLEDPKT);
  }
}

// Vendor requests of DFU mode: serial number write and read.
IoResult SimDevice::DfuVendorRequest(uint8_t dir, uint32_t recipient, uint8_t bRequest, uint16_t wIndex,
                                     uint16_t wLength, std::string_view data) {
  if (recipient != kRecipientInterface || wIndex != mDesc.dfu.dfuInterfaceNumber) return Stall();
  if (bRequest == VENDOR_SET_SERIAL_NUMBER && dir == 0) {
    if (data.size() > mBehaviour.maxSerialLength) return Stall();
    mStoredSerial = data;
    return Ok();
  }
  if (bRequest == VENDOR_GET_SERIAL_NUMBER && dir == 1) return Ok(mStoredSerial.substr(0, wLength));
  return Stall();
}

// DFU_DNLOAD in dfuIDLE or dfuDNLOAD_IDLE: a block, or the empty block that
// starts manifestation.
IoResult SimDevice::Dnload(uint16_t wValue, uint16_t wLength, std::string_view data) {
  const Personality& p = mDesc.dfu;
  if (wLength == 0) {
    if (mState == dfuIDLE) return StallToError(errNOTDONE);
    if (mBehaviour.checkBlockNumbers && wValue != mExpectedBlock) return StallToError(errADDRESS);
    mState = dfuMANIFEST_SYNC;
    mManifestStarted = true;
    mManifestStart = mOwner.Timers().NowMs();
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
IoResult SimDevice::BlockStatus(uint16_t wLength) {
  if (mState == dfuDNBUSY) {
    // Polled before bwPollTimeout ran out.
    if (mBehaviour.enforcePollTimeout) return StallToError(errSTALLEDPKT);
    mState = dfuDNLOAD_SYNC;
  }
  if (mSyncLeft > 0) {
    --mSyncLeft;
    return StatusReply(wLength);  // still dfuDNLOAD_SYNC
  }
  if (mBusyLeft > 0) {
    --mBusyLeft;
    mState = dfuDNBUSY;
    mBusyUntil = mOwner.Timers().NowMs() + PollTimeoutFor(dfuDNBUSY);
    return StatusReply(wLength);
  }
  if (mBlockError) {
    mState = dfuERROR;
    mStatus = errWRITE;
    return StatusReply(wLength);
  }
  mReceiving += mLastBlock;
  mLastBlock.clear();
  ++mBlocksAccepted;
  ++mExpectedBlock;
  mState = dfuDNLOAD_IDLE;
  return StatusReply(wLength);
}

// DFU_GETSTATUS during manifestation: dfuMANIFEST_SYNC, then dfuMANIFEST
// until the manifestation time is over, then dfuIDLE (manifestation
// tolerant) or dfuMANIFEST_WAIT_RESET.
IoResult SimDevice::ManifestStatus(uint8_t bRequest, uint16_t wLength) {
  if (mState == dfuMANIFEST_SYNC) {
    if (bRequest != DFU_GETSTATUS) return StallToError(errSTALLEDPKT);
    if (mManifestSyncLeft > 0) {
      --mManifestSyncLeft;
      return StatusReply(wLength);
    }
  } else {
    if (bRequest != DFU_GETSTATUS || !mBehaviour.answerInManifest) return StallToError(errSTALLEDPKT);
    // Polled before bwPollTimeout ran out.
    if (mBehaviour.enforcePollTimeout && mOwner.Timers().NowMs() < mBusyUntil) return StallToError(errSTALLEDPKT);
  }
  if (!ManifestationComplete()) {
    mState = dfuMANIFEST;
    ++mManifestPollsDone;
    mBusyUntil = mOwner.Timers().NowMs() + PollTimeoutFor(dfuMANIFEST);
    return StatusReply(wLength);
  }
  FinishManifestation();
  mState = ManifestationTolerant() ? dfuIDLE : dfuMANIFEST_WAIT_RESET;
  if (mState == dfuIDLE) {
    mExpectedBlock = 0;
    mFirmwareInvalid = false;
  }
  return StatusReply(wLength);
}

// ---------------------------------------------------------- SimulatedSource

SimulatedSource::~SimulatedSource() = default;

void SimulatedSource::Announce(uint32_t event, const SimDevice& device, const std::string& path) {
  mEvents.OnDeviceChange(event, device.InterfaceClass(), path);
}

SimDevice* SimulatedSource::Find(const std::string& id) {
  for (auto& d : mDevices)
    if (d->Id() == id) return d.get();
  return nullptr;
}

bool SimulatedSource::AddDevice(const json& description, std::string& id, std::string& error) {
  // Every present device is one path in a list reply: the bound keeps that
  // reply, and the service's memory, small.
  constexpr size_t kMaxDevices = 256;
  if (mDevices.size() >= kMaxDevices) {
    error = "the service holds " + std::to_string(kMaxDevices) + " devices already";
    return false;
  }
  Description d;
  if (!ParseDescription(description, d, error)) return false;
  if (d.id.empty()) {
    do {
      d.id = "dev" + std::to_string(mNextAutoId++);
    } while (Find(d.id) != nullptr);
  } else if (Find(d.id) != nullptr) {
    error = "a device with id \"" + d.id + "\" exists already";
    return false;
  }
  Behaviour b;
  if (!ParseBehaviour(d.behaviour, b, error)) return false;
  id = d.id;
  const bool present = d.present;
  mDevices.push_back(std::make_unique<SimDevice>(*this, mNextUid++, std::move(d), std::move(b)));
  if (present) mDevices.back()->Plug();
  return true;
}

std::vector<InterfaceEntry> SimulatedSource::ListInterfaces(const platform::Guid& interfaceClass) const {
  std::vector<InterfaceEntry> out;
  for (const auto& d : mDevices)
    if (d->Present() && d->InterfaceClass() == interfaceClass) out.push_back({d->Current().path, d->InterfaceClass()});
  return out;
}

uint32_t SimulatedSource::Open(const std::string& path, DeviceHandle& handle) {
  for (const auto& d : mDevices) {
    if (d->Present() && EqualsIgnoreCase(d->Current().path, path)) {
      if (!d->TakeOpen()) return kErrorFileNotFound;  // not ready yet after its arrival
      handle.device = d->Uid();
      handle.appearance = d->Appearance();
      handle.path = d->Current().path;
      return 0;
    }
  }
  return kErrorFileNotFound;
}

void SimulatedSource::IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) {
  for (const auto& d : mDevices) {
    if (d->Uid() != handle.device) continue;
    if (!d->Present() || d->Appearance() != handle.appearance) return done(IoResult{kErrorDeviceNotConnected, {}});
    return d->IoControl(std::move(request), std::move(done));
  }
  done(IoResult{kErrorDeviceNotConnected, {}});  // the device was removed
}

bool SimulatedSource::Control(const json& command, uint32_t& error, json& result) {
  const std::string cmd = command.value("cmd", std::string());
  auto needDevice = [&]() -> SimDevice* {
    const json idv = command.value("id", json());
    if (!idv.is_string()) {
      error = kErrorInvalidParameter;
      result["error"] = "missing device \"id\"";
      return nullptr;
    }
    SimDevice* d = Find(idv.get<std::string>());
    if (d == nullptr) {
      error = kErrorFileNotFound;
      result["error"] = "no device with id \"" + idv.get<std::string>() + "\"";
    }
    return d;
  };
  if (cmd == "add-device") {
    std::string id, msg;
    json desc = command.value("description", json());
    if (!AddDevice(desc, id, msg)) {
      error = kErrorInvalidParameter;
      result["error"] = msg;
    } else {
      result["id"] = id;
      result["path"] = Find(id)->Current().path;
    }
  } else if (cmd == "remove-device") {
    if (SimDevice* d = needDevice()) {
      d->Remove();
      mDevices.erase(std::find_if(mDevices.begin(), mDevices.end(), [d](const auto& p) { return p.get() == d; }));
      result["removed"] = command["id"];
    }
  } else if (cmd == "plug") {
    if (SimDevice* d = needDevice()) {
      d->Plug();
      result = d->Info();
    }
  } else if (cmd == "unplug") {
    if (SimDevice* d = needDevice()) {
      d->Unplug();
      result = d->Info();
    }
  } else if (cmd == "list-devices") {
    json list = json::array();
    for (const auto& d : mDevices) list.push_back(d->Info());
    result["devices"] = list;
  } else if (cmd == "get-firmware") {
    if (SimDevice* d = needDevice()) {
      result["id"] = d->Id();
      result["size"] = d->Firmware().size();
      result["base64"] = ToBase64(d->Firmware());
    }
  } else if (cmd == "get-serial") {
    if (SimDevice* d = needDevice()) {
      result["id"] = d->Id();
      result["serial"] = EscapedText(d->StoredSerial());
      result["hex"] = ToHex(d->StoredSerial());
    }
  } else if (cmd == "set-behaviour") {
    if (SimDevice* d = needDevice()) {
      std::string msg;
      if (!d->SetBehaviour(command.value("behaviour", json()), msg)) {
        error = kErrorInvalidParameter;
        result["error"] = msg;
      } else {
        result = d->Info();
      }
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace vlmudrv
