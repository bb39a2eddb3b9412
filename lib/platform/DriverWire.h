#pragma once
// Encoding and bounds-checked decoding of the driver protocol's frames
// (see DriverProtocol.h). Shared by the client connection and the service.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/DriverProtocol.h"
#include "platform/Guid.h"

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

inline FrameHeader DecodeHeader(const char* h) {
  const auto b = [h](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(h[i])); };
  FrameHeader fh;
  fh.length = b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
  fh.type = static_cast<uint16_t>(b(4) | (b(5) << 8));
  fh.reserved = static_cast<uint16_t>(b(6) | (b(7) << 8));
  return fh;
}

}  // namespace driverproto
