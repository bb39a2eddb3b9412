#pragma once
// A device file whose answers come from a description held in memory: the
// device descriptor, string descriptors and configuration descriptors of one
// device, with hooks for failures and short answers. Every request is
// recorded. No driver service is involved.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dfu/DfuDevice.h"
#include "platform/DeviceFile.h"
#include "platform/Event.h"

namespace devicetest {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kIoctlDescriptor = platform::kIoctlGetDescriptor;
inline constexpr uint32_t kIoctlControl = platform::kIoctlControlRequest;
inline constexpr uint32_t kIoctlCycle = platform::kIoctlCyclePort;

struct RecordedRequest {
  uint32_t code = 0;
  Bytes in;
  uint32_t outSize = 0;
  // Descriptor requests only.
  uint8_t type() const { return in.size() >= 8 ? in[4] : 0; }
  uint8_t index() const { return in.size() >= 8 ? in[5] : 0; }
  uint16_t language() const { return in.size() >= 8 ? static_cast<uint16_t>(in[6] | (in[7] << 8)) : 0; }
};

// What the fake device answers. Shared between the test and the file, which
// the device under test owns (and drops when it closes).
struct FakeDevice {
  std::mutex lock;
  Bytes deviceDescriptor;                                 // usually 18 bytes
  std::map<std::pair<uint8_t, uint16_t>, Bytes> strings;  // (index, language) -> descriptor
  std::vector<Bytes> configurations;                      // whole descriptors by index
  // Returns a transport result for a request (0 = answer normally).
  std::function<uint32_t(const RecordedRequest&)> failWith;
  // Caps the bytes answered for a request (after the output size).
  std::function<uint32_t(const RecordedRequest&, uint32_t)> limitAnswer;
  // Called before answering (may block, close the device under test, ...).
  std::function<void(const RecordedRequest&)> beforeAnswer;
  std::vector<RecordedRequest> requests;

  std::vector<RecordedRequest> Requests() {
    std::lock_guard<std::mutex> g(lock);
    return requests;
  }
  size_t CountOfType(uint8_t type) {
    size_t n = 0;
    for (const auto& r : Requests()) n += (r.code == kIoctlDescriptor && r.type() == type) ? 1 : 0;
    return n;
  }
};

class FakeDeviceFile : public platform::DeviceFile {
 public:
  explicit FakeDeviceFile(std::shared_ptr<FakeDevice> device) : mDevice(std::move(device)) {}

  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) override {
    RecordedRequest r;
    r.code = code;
    if (in != nullptr && inSize != 0) {
      const auto* p = static_cast<const uint8_t*>(in);
      r.in.assign(p, p + inSize);
    }
    r.outSize = outSize;
    {
      std::lock_guard<std::mutex> g(mDevice->lock);
      mDevice->requests.push_back(r);
    }
    if (mDevice->beforeAnswer) mDevice->beforeAnswer(r);
    if (mDevice->failWith) {
      const uint32_t st = mDevice->failWith(r);
      if (st != 0) return st;
    }
    if (code != kIoctlDescriptor) return 0;
    const Bytes* answer = nullptr;
    std::lock_guard<std::mutex> g(mDevice->lock);
    if (r.type() == 1) {
      answer = &mDevice->deviceDescriptor;
    } else if (r.type() == 2) {
      if (r.index() >= mDevice->configurations.size()) return 31;  // stalled
      answer = &mDevice->configurations[r.index()];
    } else if (r.type() == 3) {
      const auto it = mDevice->strings.find({r.index(), r.language()});
      if (it == mDevice->strings.end()) return 31;
      answer = &it->second;
    } else {
      return 87;
    }
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(answer->size()), outSize);
    if (mDevice->limitAnswer) n = std::min(n, mDevice->limitAnswer(r, n));
    if (n != 0) std::memcpy(out, answer->data(), n);
    if (bytesReturned != nullptr) *bytesReturned = n;
    return 0;
  }

 private:
  std::shared_ptr<FakeDevice> mDevice;
};

// A DfuDevice whose transport is a FakeDeviceFile, with access to the
// members the tests look at.
class TestDfuDevice : public DfuDevice {
 public:
  void Attach(std::shared_ptr<FakeDevice> device, const std::string& path = "\\\\?\\fake#vid_1234#1") {
    mHandle = std::make_unique<FakeDeviceFile>(std::move(device));
    mDevicePath = path;
    mOverlappedEvent = platform::CreateSyncEvent(false, false);
  }
  // The two tracking events without a notificator, for latching tests.
  void CreateTrackingEvents() {
    mDeviceRemovedEvent = platform::CreateSyncEvent(false, false);
    mDeviceArrivedEvent = platform::CreateSyncEvent(false, false);
  }
  platform::Event* RemovedEvent() { return mDeviceRemovedEvent.get(); }
  platform::Event* ArrivedEvent() { return mDeviceArrivedEvent.get(); }
  void SetPath(const std::string& path) { mDevicePath = path; }
  void SetDeviceDescriptor(const Bytes& d) { std::memcpy(mDeviceDescriptor, d.data(), std::min<size_t>(18, d.size())); }

  uint8_t DfuInterfaceNumber() const { return mDfuInterfaceNumber; }
  uint8_t DfuAttributes() const { return mDfuAttributes; }
  uint16_t DetachTimeout() const { return mDetachTimeout; }
  uint16_t TransferSize() const { return mTransferSize; }
  uint32_t FirmwareCapacity() const { return mFirmwareBufferSize; }
  std::u16string Serial() const {
    uint16_t units[256] = {};
    CopySerialNumber(units, 256);
    std::u16string s;
    for (uint16_t u : units) {
      if (u == 0) break;
      s.push_back(static_cast<char16_t>(u));
    }
    return s;
  }
};

// ---- descriptor builders ---------------------------------------------------

inline Bytes DeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t serialIndex, uint8_t configurations) {
  return Bytes{18,
               1,
               0x00,
               0x02,
               0,
               0,
               0,
               64,
               static_cast<uint8_t>(vendor & 0xFF),
               static_cast<uint8_t>(vendor >> 8),
               static_cast<uint8_t>(product & 0xFF),
               static_cast<uint8_t>(product >> 8),
               0x00,
               0x01,
               1,
               2,
               serialIndex,
               configurations};
}

inline Bytes StringDescriptor(const std::u16string& text) {
  Bytes d{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char16_t c : text) {
    d.push_back(static_cast<uint8_t>(c & 0xFF));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

// `length` bytes of `fields`, zero-padded or cut. (Filled in place: resizing
// a vector made from a list trips GCC 12's bounds warnings at -O3.)
template <size_t N>
Bytes Sized(const uint8_t (&fields)[N], uint8_t length) {
  Bytes d(length, 0);
  for (size_t i = 0; i < d.size() && i < N; ++i) d[i] = fields[i];
  return d;
}

inline Bytes Interface(uint8_t number, uint8_t cls, uint8_t subclass, uint8_t protocol, uint8_t length = 9) {
  const uint8_t fields[] = {length, 4, number, 0, 0, cls, subclass, protocol, 0};
  return Sized(fields, length);
}

inline Bytes DfuInterface(uint8_t number, uint8_t protocol) { return Interface(number, 0xFE, 0x01, protocol); }

inline Bytes Functional(uint8_t attributes, uint16_t detach, uint16_t transfer, uint8_t length = 7) {
  const uint8_t fields[] = {length,
                            0x21,
                            attributes,
                            static_cast<uint8_t>(detach & 0xFF),
                            static_cast<uint8_t>(detach >> 8),
                            static_cast<uint8_t>(transfer & 0xFF),
                            static_cast<uint8_t>(transfer >> 8)};
  Bytes d = Sized(fields, length);
  if (length >= 9) {
    d[7] = 0x10;
    d[8] = 0x01;
  }
  return d;
}

inline Bytes Other(uint8_t type, uint8_t length) {
  Bytes d(length, 0xAA);
  if (length > 0) d[0] = length;
  if (length > 1) d[1] = type;
  return d;
}

// A configuration descriptor: header with wTotalLength (computed unless given) and the parts.
inline Bytes Configuration(const std::vector<Bytes>& parts, int totalLength = -1) {
  Bytes d{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const auto& p : parts) d.insert(d.end(), p.begin(), p.end());
  const uint16_t total = totalLength >= 0 ? static_cast<uint16_t>(totalLength) : static_cast<uint16_t>(d.size());
  d[2] = static_cast<uint8_t>(total & 0xFF);
  d[3] = static_cast<uint8_t>(total >> 8);
  return d;
}

// A plain, well-formed run-time device: serial "SN0001", DFU interface 2 with
// protocol 1 and a 9-byte functional descriptor.
inline std::shared_ptr<FakeDevice> GoodDevice() {
  auto d = std::make_shared<FakeDevice>();
  d->deviceDescriptor = DeviceDescriptor(0x1234, 0x5678, 3, 1);
  d->strings[{0, 0}] = Bytes{4, 3, 0x09, 0x04};
  d->strings[{3, 0x0409}] = StringDescriptor(u"SN0001");
  d->configurations.push_back(
      Configuration({Interface(0, 1, 1, 0), Other(0x24, 7), DfuInterface(2, 1), Functional(0x0B, 500, 4096, 9)}));
  return d;
}

}  // namespace devicetest
