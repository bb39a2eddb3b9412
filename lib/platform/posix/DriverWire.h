#pragma once
// Encoding and bounds-checked decoding of the driver protocol's frames
// (see DriverProtocol.h). Shared by the client connection and the service.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ByteOrder.h"
#include "platform/Guid.h"
#include "platform/posix/DriverProtocol.h"

namespace driverproto {

// Builds one frame: header first, payload appended, length patched by Finish().
class FrameWriter {
 public:
  explicit FrameWriter(MessageType type) {
    mBytes.resize(kFrameHeaderSize, '\0');
    const auto t = static_cast<uint16_t>(type);
    mBytes[4] = static_cast<char>(t & 0xFF);
    mBytes[5] = static_cast<char>(t >> 8);
  }
  FrameWriter& U16(uint16_t v) {
    mBytes.push_back(static_cast<char>(v & 0xFF));
    mBytes.push_back(static_cast<char>(v >> 8));
    return *this;
  }
  FrameWriter& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) mBytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  FrameWriter& Bytes(const void* data, size_t size) {
    if (size != 0) mBytes.append(static_cast<const char*>(data), size);
    return *this;
  }
  FrameWriter& String(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    return Bytes(s.data(), s.size());
  }
  FrameWriter& GuidBytes(const platform::Guid& g) {
    U32(g.Data1).U16(g.Data2).U16(g.Data3);
    return Bytes(g.Data4, sizeof g.Data4);
  }
  // Returns the complete frame with its payload length filled in.
  std::string Finish() {
    const auto len = static_cast<uint32_t>(mBytes.size() - kFrameHeaderSize);
    for (int i = 0; i < 4; ++i) mBytes[static_cast<size_t>(i)] = static_cast<char>((len >> (8 * i)) & 0xFF);
    return std::move(mBytes);
  }

 private:
  std::string mBytes;
};

// Reads a payload; every getter returns false (and leaves the reader failed)
// when the payload is too short, so callers check once at the end with Ok().
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view payload) : mData(payload) {}
  bool U16(uint16_t& v) {
    if (!Need(2)) return false;
    v = static_cast<uint16_t>(Byte(0) | (Byte(1) << 8));
    mPos += 2;
    return true;
  }
  bool U32(uint32_t& v) {
    if (!Need(4)) return false;
    v = static_cast<uint32_t>(Byte(0)) | (static_cast<uint32_t>(Byte(1)) << 8) |
        (static_cast<uint32_t>(Byte(2)) << 16) | (static_cast<uint32_t>(Byte(3)) << 24);
    mPos += 4;
    return true;
  }
  bool Bytes(size_t size, std::string_view& out) {
    if (!Need(size)) return false;
    out = mData.substr(mPos, size);
    mPos += size;
    return true;
  }
  bool String(std::string& out, uint32_t maxLength) {
    uint32_t len = 0;
    if (!U32(len)) return false;
    if (len > maxLength) return Fail();
    std::string_view v;
    if (!Bytes(len, v)) return false;
    out.assign(v.data(), v.size());
    return true;
  }
  bool GuidBytes(platform::Guid& g) {
    std::string_view d4;
    if (!U32(g.Data1) || !U16(g.Data2) || !U16(g.Data3) || !Bytes(8, d4)) return false;
    std::memcpy(g.Data4, d4.data(), 8);
    return true;
  }
  // True when every read succeeded and the whole payload was consumed.
  bool Done() const { return mOk && mPos == mData.size(); }
  bool Ok() const { return mOk; }

 private:
  bool Need(size_t n) {
    if (!mOk || mData.size() - mPos < n) return Fail();
    return true;
  }
  bool Fail() {
    mOk = false;
    return false;
  }
  uint32_t Byte(size_t i) const { return static_cast<uint8_t>(mData[mPos + i]); }

  std::string_view mData;
  size_t mPos = 0;
  bool mOk = true;
};

struct FrameHeader {
  uint32_t length = 0;
  uint16_t type = 0;
  uint16_t reserved = 0;
};

// Bytes received and not yet taken as frames. Data is read straight into the
// free room at the end (no staging copy, no zero-filling), frames are taken
// from the front. Consume and Clear only move offsets: a view into Data()
// stays valid until the next Reserve.
class ReceiveBuffer {
 public:
  // Free room of at least `minRoom` bytes at the end: moves the unconsumed
  // bytes to the front or grows the storage when needed. Returns the room's
  // start; `room` receives its size.
  char* Reserve(size_t minRoom, size_t& room) {
    if (mCapacity - mEnd < minRoom) {
      const size_t used = mEnd - mBegin;
      if (mCapacity - used >= minRoom) {
        if (used != 0) std::memmove(mBytes.get(), mBytes.get() + mBegin, used);
      } else {
        size_t capacity = mCapacity == 0 ? minRoom : mCapacity;
        while (capacity - used < minRoom) capacity *= 2;
        auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
        if (used != 0) std::memcpy(bytes.get(), mBytes.get() + mBegin, used);
        mBytes = std::move(bytes);
        mCapacity = capacity;
      }
      mBegin = 0;
      mEnd = used;
    }
    room = mCapacity - mEnd;
    return mBytes.get() + mEnd;
  }
  // Takes `count` bytes written into the room as received.
  void Commit(size_t count) { mEnd += count; }
  const char* Data() const { return mBytes.get() + mBegin; }
  size_t Size() const { return mEnd - mBegin; }
  bool Empty() const { return mEnd == mBegin; }
  // Drops `count` bytes from the front (at most Size()).
  void Consume(size_t count) {
    mBegin += count < Size() ? count : Size();
    if (mBegin == mEnd) mBegin = mEnd = 0;
  }
  void Clear() { mBegin = mEnd = 0; }

 private:
  std::unique_ptr<char[]> mBytes;
  size_t mCapacity = 0;
  size_t mBegin = 0;
  size_t mEnd = 0;
};

// How long to look for the peer's next message without going to sleep.
// Waking a sleeping thread of another process can cost tens of microseconds
// (on virtual machines above all), more than a reply or the next request of a
// busy conversation takes to come; checking for a short while first saves
// that. It pays off only while the peer runs on another processor, so the
// budget adapts: a wait in which the message came within the budget restores
// it, one in which it did not halves it, down to nothing on a machine whose
// processors are busy. At nothing, a smaller budget is tried again after
// kRetryAfter waits.
class SpinBudget {
 public:
  using Micros = std::chrono::microseconds;
  static constexpr Micros kMax{50};
  static constexpr Micros kRetry{25};
  static constexpr Micros kMin{4};  // a smaller budget counts as nothing
  static constexpr uint32_t kRetryAfter = 64;

  // Budget for the next wait; zero: go to sleep at once.
  Micros Next() {
    if (mBudget.count() == 0 && ++mWaitsWithout >= kRetryAfter) {
      mBudget = kRetry;
      mWaitsWithout = 0;
    }
    return mBudget;
  }
  // The message came within the budget.
  void Hit() { mBudget = kMax; }
  // The budget ran out first.
  void Miss() {
    mBudget /= 2;
    if (mBudget < kMin) mBudget = Micros{0};
  }
  Micros Current() const { return mBudget; }

 private:
  Micros mBudget = kMax;
  uint32_t mWaitsWithout = 0;
};

// Writes a frame header (kFrameHeaderSize bytes) for a payload of
// `payloadLength` bytes that the caller sends right after it.
inline void EncodeHeader(char* out, MessageType type, uint32_t payloadLength) {
  platform::StoreLe32(out, payloadLength);
  const auto t = static_cast<uint16_t>(type);
  out[4] = static_cast<char>(t & 0xFF);
  out[5] = static_cast<char>(t >> 8);
  out[6] = 0;
  out[7] = 0;
}

inline FrameHeader DecodeHeader(const char* h) {
  const auto b = [h](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(h[i])); };
  FrameHeader fh;
  fh.length = b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
  fh.type = static_cast<uint16_t>(b(4) | (b(5) << 8));
  fh.reserved = static_cast<uint16_t>(b(6) | (b(7) << 8));
  return fh;
}

}  // namespace driverproto
