#include "SimDevice.h"

#include <algorithm>

#include "Hex.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

IoResult Stall() { return IoResult{kErrorGenFailure, {}}; }
IoResult Ok(std::string out = {}) { return IoResult{0, std::move(out)}; }
IoResult Gone() { return IoResult{kErrorDeviceNotConnected, {}}; }

}  // namespace

SimDevice::SimDevice(Scheduler& timers, DeviceEvents& events, uint64_t uid, Description description,
                     Behaviour behaviour)
    : mTimers(timers),
      mEvents(events),
      mUid(uid),
      mDesc(std::move(description)),
      mBehaviour(std::move(behaviour)),
      mMachine(timers, mDesc, mBehaviour, [this] { ResetAndReturn(mBehaviour.reenumerationMs); }) {
  mPluggedIn = mDesc.present;
}

SimDevice::~SimDevice() {
  mTimers.Cancel(mReturnTimer);
  for (auto& p : mPending) mTimers.Cancel(p.timer);
}

void SimDevice::Announce(uint32_t event, const std::string& path) {
  mEvents.OnDeviceChange(event, mDesc.interfaceClass, path);
}

void SimDevice::Arrive() {
  if (mPresent || !mPluggedIn) return;
  mPresent = true;
  mOpenFailuresLeft = mBehaviour.openFailures;
  ++mAppearance;
  Announce(kDbtDeviceArrival, Current().path);
}

void SimDevice::LeaveBus() {
  mMachine.StopTimers();
  if (!mPresent) return;
  const std::string path = Current().path;
  mPresent = false;
  ++mAppearance;  // handles of this appearance are dead from now on
  FailPending(kErrorDeviceNotConnected);
  Announce(kDbtDeviceRemoveComplete, path);
}

void SimDevice::FailPending(uint32_t error) {
  auto pending = std::move(mPending);
  mPending.clear();
  for (auto& p : pending) {
    mTimers.Cancel(p.timer);
    p.done(IoResult{error, {}});
  }
}

void SimDevice::ResetAndReturn(uint64_t delayMs) {
  LeaveBus();
  mMachine.Reset();
  mTimers.Cancel(mReturnTimer);
  mReturnTimer = 0;
  if (mBehaviour.neverReturn) return;
  mReturnTimer = mTimers.Schedule(delayMs, [this] {
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
  mTimers.Cancel(mReturnTimer);
  mReturnTimer = 0;
  if (mPresent) LeaveBus();
  mMachine.Reset();  // power is gone: the device boots afresh when plugged in
}

void SimDevice::Remove() {
  mTimers.Cancel(mReturnTimer);
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
  if (knobs.contains("storedSerial")) mMachine.SetStoredSerial(mBehaviour.storedSerial);
  return true;
}

json SimDevice::Info() const {
  return {{"id", mDesc.id},
          {"path", Current().path},
          {"state", mPresent ? "present" : (mPluggedIn ? "off-bus" : "unplugged")},
          {"mode", mMachine.DfuMode() ? "dfu" : "runtime"},
          {"dfuState", mMachine.State()},
          {"dfuStatus", mMachine.Status()},
          {"requests", mRequests},
          {"appearance", mAppearance},
          {"bcdDevice", mMachine.BcdDevice()},
          {"firmwareSize", mMachine.Firmware().size()},
          {"blocksReceived", mMachine.BlocksAccepted()},
          {"storedSerial", EscapedText(StoredSerial())},
          {"storedSerialHex", ToHex(StoredSerial())}};
}

bool SimDevice::TakeOpen() {
  if (mOpenFailuresLeft == 0) return true;
  --mOpenFailuresLeft;
  return false;
}

Fault* SimDevice::MatchFault(const IoRequest& request) {
  for (Fault& f : mBehaviour.faults) {
    if (f.done) continue;
    if (f.request != 0) {
      if (f.request == mRequests) return f.done = true, &f;
      continue;
    }
    if (request.code != kIoctlControlRequest || request.in.size() < ControlSetup::kSize) continue;
    if (ControlSetup::Read(request.in).bRequest != f.bRequest) continue;
    if (++f.seen == f.occurrence) return f.done = true, &f;
  }
  return nullptr;
}

void SimDevice::IoControl(IoRequest request, IoCompletion done) {
  ++mRequests;
  if (const Fault* f = MatchFault(request)) return ApplyFault(*f, std::move(request), std::move(done));
  done(Execute(request));
}

void SimDevice::ApplyFault(const Fault& fault, IoRequest request, IoCompletion done) {
  if (fault.action == "stall") return done(Stall());
  if (fault.action == "error") return done(IoResult{fault.error, {}});
  const uint64_t id = mNextPending++;
  if (fault.action == "unplug") {
    // The device drops off the bus while the request is in flight.
    mPending.push_back({id, std::move(done), 0});
    Unplug();
    return;
  }
  uint64_t timer = 0;
  if (fault.action == "delay")
    timer = mTimers.Schedule(fault.delayMs, [this, id, request = std::move(request)] { AnswerDelayed(id, request); });
  mPending.push_back({id, std::move(done), timer});  // "hang": answered only when the device leaves
}

void SimDevice::AnswerDelayed(uint64_t pendingId, const IoRequest& request) {
  auto it = std::find_if(mPending.begin(), mPending.end(), [pendingId](const Pending& p) { return p.id == pendingId; });
  if (it == mPending.end()) return;
  IoCompletion done = std::move(it->done);
  mPending.erase(it);
  done(mPresent ? Execute(request) : Gone());
}

IoResult SimDevice::Execute(const IoRequest& request) {
  if (const uint32_t error = CheckIoRequest(request); error != kErrorSuccess) return IoResult{error, {}};
  if (request.code == kIoctlCyclePort) {
    ResetAndReturn(mBehaviour.reenumerationMs);
    return Ok();
  }
  const std::string_view in = request.in;
  IoResult r = request.code == kIoctlGetDescriptor
                   ? Descriptor(DescriptorRequest::Read(in))
                   : mMachine.Request(ControlSetup::Read(in), in.substr(ControlSetup::kSize));
  if (r.out.size() > request.outSize) r.out.resize(request.outSize);
  return r;
}

IoResult SimDevice::Descriptor(const DescriptorRequest& request) const {
  const Personality& p = Current();
  switch (request.type) {
    case 1:
      return Ok(p.deviceDescriptor);
    case 2:
      if (request.index >= p.configurations.size()) return Stall();
      return Ok(p.configurations[request.index]);
    case 3: {
      // The serial number string may report what was written with 0x83.
      if (request.index != 0 && mBehaviour.serialInDescriptor && p.deviceDescriptor.size() > 16 &&
          request.index == static_cast<uint8_t>(p.deviceDescriptor[16]))
        return Ok(StringDescriptor(StoredSerial()));
      auto it = p.strings.find(request.index);
      if (it == p.strings.end()) return Stall();
      return Ok(it->second);
    }
    default:
      return Stall();
  }
}

}  // namespace vlmudrv
