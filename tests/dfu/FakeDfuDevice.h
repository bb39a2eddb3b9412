#pragma once
// A DfuDevice whose transport is a script: every I/O control request and
// every close/reopen is recorded, and DFU_GETSTATUS answers come from a queue
// (or a fallback that models a well-behaved device). No driver is involved.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dfu/ControlRequest.h"
#include "dfu/DfuDevice.h"
#include "platform/ByteOrder.h"
#include "platform/DeviceFile.h"

namespace dfutest {

inline constexpr uint32_t kIoctlControl = 0x80892014;
inline constexpr uint32_t kIoctlCycle = 0x80892018;
inline constexpr uint32_t kErrGenFailure = 31;

// What the fake saw, in order.
enum class Kind { GetStatus, ClrStatus, Detach, Dnload, SetSerial, GetSerial, Cycle, Reopen, Other };

struct Request {
  Kind kind = Kind::Other;
  uint32_t code = 0;
  std::vector<uint8_t> in;  // whole input buffer (header + data)
  uint32_t outSize = 0;
  bool hadByteCount = false;
  uint16_t wValue = 0;  // from the header, for control requests
  uint16_t wLength = 0;
  bool reopenWait = false;  // Reopen only
  uint32_t reopenTimeout = 0;

  std::vector<uint8_t> Data() const {
    return in.size() > 16 ? std::vector<uint8_t>(in.begin() + 16, in.end()) : std::vector<uint8_t>{};
  }
};

// One DFU_GETSTATUS answer.
struct Status {
  uint8_t state = dfuIDLE;
  uint32_t pollMs = 0;
  uint32_t st = 0;      // transport result (0 = success)
  uint32_t length = 6;  // bytes returned
  uint8_t bStatus = 0;
  uint8_t iString = 0;
};

class NullDeviceFile : public platform::DeviceFile {
 public:
  uint32_t IoControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) override {
    return 1;  // never used: the fake answers before the real transport
  }
};

class FakeDfuDevice : public DfuDevice {
 public:
  using DfuDevice::kTimeoutBlockPoll;

  FakeDfuDevice() = default;
  ~FakeDfuDevice() override {
    // Make sure no worker outlives the object under test.
    StopDownloadAndWait(10000);
  }

  // Opens the fake with the given DFU functional descriptor data.
  void MakeOpen(uint8_t attributes, uint16_t transferSize, uint8_t interfaceNumber = 0, uint16_t detachTimeout = 1000) {
    mHandle = std::make_unique<NullDeviceFile>();
    mDfuAttributes = attributes;
    mTransferSize = transferSize;
    mDfuInterfaceNumber = interfaceNumber;
    mDetachTimeout = detachTimeout;
  }

  // ---- script -----------------------------------------------------------
  std::mutex lock;
  std::deque<Status> statuses;  // consumed by DFU_GETSTATUS
  // Answer when `statuses` is empty: a device that takes every block at once
  // and finishes manifestation at once; after a reopen in DFU mode, dfuIDLE.
  std::function<Status(const std::vector<Request>&)> fallback;
  // false: keep only the last few requests, without their data (for
  // benchmarks of long downloads; Requests() then shows just those).
  bool recordAll = true;
  // Per-kind transport results: the n-th request of a kind (0-based) fails.
  std::function<uint32_t(Kind, size_t indexOfKind)> failWith;
  uint32_t cycleResult = 0;
  std::deque<uint32_t> reopenResults;  // default 0
  std::function<void(FakeDfuDevice&)> onReopen;
  // Called before a request is answered (may set the abort flag, block, ...).
  std::function<void(const Request&, size_t index)> beforeRequest;
  // Serial number read: bytes the device returns (at most the buffer size).
  std::string serialReply;
  // Progress status seen right after a failed reopen closed the device.
  std::atomic<uint32_t> statusAfterFailedReopen{0xFFFFFFFF};

  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> g(lock);
    return requests;
  }
  std::vector<Kind> Kinds() {
    std::vector<Kind> out;
    for (const auto& r : Requests()) out.push_back(r.kind);
    return out;
  }
  size_t Count(Kind k) {
    size_t n = 0;
    for (const auto& r : Requests()) n += r.kind == k ? 1 : 0;
    return n;
  }

  // ---- access to engine members ------------------------------------------
  uint16_t BlockNumber() const { return mBlockNumber; }
  void SetBlockNumber(uint16_t n) { mBlockNumber = n; }
  uint32_t PollTimeout() const { return mPollTimeout; }
  void SetPollTimeout(uint32_t ms) { mPollTimeout = ms; }
  uint32_t RemainingWait() const { return mRemainingWait; }
  void SetRemainingWait(uint32_t ms) { mRemainingWait = ms; }
  const uint8_t* DfuStatusBytes() const { return mDfuStatus; }
  void SetAttributes(uint8_t a) { mDfuAttributes = a; }
  void SetTransferSize(uint16_t t) { mTransferSize = t; }
  void RequestAbort() { mAbortRequested.store(true); }

  // Fills the firmware buffer and runs the worker the way
  // StartFirmwareDownload does, without device-change tracking.
  uint32_t StartWorker(const std::vector<uint8_t>& image) {
    uint8_t* buffer = GetFirmwareBuffer(static_cast<uint32_t>(image.size()));
    if (buffer == nullptr) return 2;
    if (!image.empty()) std::memcpy(buffer, image.data(), image.size());
    mDownloadStatus.Reset();
    mDownloadStatus.SetStatus(36);
    mDownloadStatus.SetTotalBytes(static_cast<uint32_t>(image.size()));
    mAbortRequested.store(false);
    mDownloadStatus.SetRunActive(true);
    const uint32_t st = StartThread();
    if (st != 0) mDownloadStatus.SetRunActive(false);
    return st;
  }

  // Waits (bounded) for the worker to end; true when it ended.
  bool WaitForWorker(uint32_t ms = 20000) {
    for (uint32_t waited = 0; IsThreadRunning(); waited += 2) {
      if (waited >= ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // ---- transport overrides ------------------------------------------------
  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReceived) override {
    if (bytesReceived != nullptr) *bytesReceived = 0;
    if (out != nullptr && outSize != 0) std::memset(out, 0, outSize);
    if (!IsOpen()) return 0xE0000013;

    Request r;
    r.code = code;
    if (in != nullptr && inSize != 0) {
      const auto* p = static_cast<const uint8_t*>(in);
      r.in.assign(p, p + inSize);
    }
    r.outSize = outSize;
    r.hadByteCount = bytesReceived != nullptr;
    if (code == kIoctlCycle) {
      r.kind = Kind::Cycle;
    } else if (code == kIoctlControl && r.in.size() >= 16) {
      r.wValue = platform::LoadLe16(r.in.data() + 10);
      r.wLength = platform::LoadLe16(r.in.data() + 14);
      switch (r.in[9]) {
        case DFU_GETSTATUS:
          r.kind = Kind::GetStatus;
          break;
        case DFU_CLRSTATUS:
          r.kind = Kind::ClrStatus;
          break;
        case DFU_DNLOAD:
          r.kind = Kind::Dnload;
          break;
        case VENDOR_DFU_DETACH:
          r.kind = Kind::Detach;
          break;
        case VENDOR_SET_SERIAL_NUMBER:
          r.kind = Kind::SetSerial;
          break;
        case VENDOR_GET_SERIAL_NUMBER:
          r.kind = Kind::GetSerial;
          break;
        default:
          r.kind = Kind::Other;
          break;
      }
    }
    size_t ofKind = 0;
    const size_t index = Record(r, &ofKind);
    if (beforeRequest) beforeRequest(r, index);

    if (failWith) {
      const uint32_t st = failWith(r.kind, ofKind);
      if (st != 0) return st;
    }
    if (r.kind == Kind::Cycle) return cycleResult;
    if (r.kind == Kind::GetStatus) {
      Status s = NextStatus();
      uint8_t reply[8] = {s.bStatus,
                          static_cast<uint8_t>(s.pollMs & 0xFF),
                          static_cast<uint8_t>((s.pollMs >> 8) & 0xFF),
                          static_cast<uint8_t>((s.pollMs >> 16) & 0xFF),
                          s.state,
                          s.iString,
                          0,
                          0};
      // The byte count is reported as the script says (a misbehaving driver
      // may claim more than the buffer); at most the buffer is written.
      const uint32_t n = std::min<uint32_t>(std::min<uint32_t>(s.length, 8), outSize);
      if (out != nullptr) std::memcpy(out, reply, n);
      if (bytesReceived != nullptr) *bytesReceived = s.length;
      return s.st;
    }
    if (r.kind == Kind::GetSerial) {
      const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(serialReply.size()), outSize);
      if (out != nullptr) std::memcpy(out, serialReply.data(), n);
      if (bytesReceived != nullptr) *bytesReceived = n;
      return 0;
    }
    return 0;
  }

  uint32_t CloseAndReopen(bool waitForReplug, uint32_t timeoutMs) override {
    Request r;
    r.kind = Kind::Reopen;
    r.reopenWait = waitForReplug;
    r.reopenTimeout = timeoutMs;
    const size_t index = Record(r);
    if (beforeRequest) beforeRequest(r, index);
    uint32_t result = 0;
    {
      std::lock_guard<std::mutex> g(lock);
      if (!reopenResults.empty()) {
        result = reopenResults.front();
        reopenResults.pop_front();
      }
    }
    if (result != 0) {
      // Like the transport: a failed reopen leaves the device closed.
      Close();
      statusAfterFailedReopen = mDownloadStatus.GetStatus();
    }
    if (result == 0 && onReopen) onReopen(*this);
    return result;
  }

 private:
  size_t Record(const Request& r, size_t* indexOfKind = nullptr) {
    std::lock_guard<std::mutex> g(lock);
    if (recordAll) {
      requests.push_back(r);
    } else {
      if (requests.size() >= 8) requests.erase(requests.begin());
      requests.push_back(
          Request{r.kind, r.code, {}, r.outSize, r.hadByteCount, r.wValue, r.wLength, r.reopenWait, r.reopenTimeout});
    }
    const size_t n = kindCounts[static_cast<size_t>(r.kind)]++;
    if (indexOfKind != nullptr) *indexOfKind = n;
    return requests.size() - 1;
  }
  Status NextStatus() {
    // The fallback sees the record of requests in place (no copy: downloads
    // of many blocks stay fast); it must not call back into the fake.
    std::lock_guard<std::mutex> g(lock);
    if (!statuses.empty()) {
      Status s = statuses.front();
      statuses.pop_front();
      return s;
    }
    if (fallback) return fallback(requests);
    return DefaultFallback(requests);
  }

  // A well-behaved device: run-time mode until detached, appDETACH after the
  // detach request, dfuIDLE after the reopen, takes every block at once,
  // manifests at once, and runs its firmware after the final reset.
  static Status DefaultFallback(const std::vector<Request>& seen) {
    for (size_t i = seen.size() - 1; i-- > 0;) {
      const Request& r = seen[i];
      if (r.kind == Kind::Dnload) return Status{r.wLength != 0 ? dfuDNLOAD_IDLE : dfuIDLE};
      if (r.kind == Kind::Detach) return Status{appDETACH};
      if (r.kind == Kind::Reopen) {
        for (size_t j = 0; j < i; ++j) {
          if (seen[j].kind == Kind::Dnload && seen[j].wLength == 0) return Status{appIDLE};
        }
        return Status{dfuIDLE};
      }
    }
    return Status{appIDLE};
  }

  std::vector<Request> requests;
  size_t kindCounts[static_cast<size_t>(Kind::Other) + 1] = {};
};

inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::GetStatus:
      return "GETSTATUS";
    case Kind::ClrStatus:
      return "CLRSTATUS";
    case Kind::Detach:
      return "DETACH";
    case Kind::Dnload:
      return "DNLOAD";
    case Kind::SetSerial:
      return "SETSERIAL";
    case Kind::GetSerial:
      return "GETSERIAL";
    case Kind::Cycle:
      return "CYCLE";
    case Kind::Reopen:
      return "REOPEN";
    default:
      return "OTHER";
  }
}

inline std::string Trace(const std::vector<Kind>& kinds) {
  std::string s;
  for (Kind k : kinds) {
    if (!s.empty()) s += ' ';
    s += KindName(k);
  }
  return s;
}

}  // namespace dfutest
