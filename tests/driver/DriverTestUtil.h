#pragma once
// Request builders and a connected-device helper for the driver service tests.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverWire.h"
#include "support/DriverServiceFixture.h"

namespace drvtest {

using namespace driverproto;

inline platform::Guid VendorClass() {
  return platform::Guid{0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};
}

// 16-byte control request header followed by the data.
inline std::string ControlRequest(uint8_t dir, uint32_t type, uint32_t recipient, uint8_t bRequest, uint16_t wValue,
                                  uint16_t wIndex, uint16_t wLength, const std::string& data = {}) {
  std::string s(16, '\0');
  s[0] = static_cast<char>(dir);
  for (int i = 0; i < 4; ++i) s[1 + i] = static_cast<char>((type >> (8 * i)) & 0xFF);
  for (int i = 0; i < 4; ++i) s[5 + i] = static_cast<char>((recipient >> (8 * i)) & 0xFF);
  s[9] = static_cast<char>(bRequest);
  s[10] = static_cast<char>(wValue & 0xFF);
  s[11] = static_cast<char>(wValue >> 8);
  s[12] = static_cast<char>(wIndex & 0xFF);
  s[13] = static_cast<char>(wIndex >> 8);
  s[14] = static_cast<char>(wLength & 0xFF);
  s[15] = static_cast<char>(wLength >> 8);
  return s + data;
}

inline std::string DescriptorRequest(uint8_t type, uint8_t index, uint16_t language = 0) {
  std::string s(8, '\0');
  s[4] = static_cast<char>(type);
  s[5] = static_cast<char>(index);
  s[6] = static_cast<char>(language & 0xFF);
  s[7] = static_cast<char>(language >> 8);
  return s;
}

struct Reply {
  uint32_t error = 0;
  std::string data;
};

// A connection with one interface open.
class Device {
 public:
  uint32_t Connect() { return platform::DriverConnection::Connect(mConn, "driver-test"); }
  uint32_t Open(const std::string& path) { return mConn->Open(path); }
  platform::DriverConnection& Conn() { return *mConn; }

  Reply Io(uint32_t code, const std::string& in, uint32_t outSize) {
    Reply r;
    std::vector<char> out(outSize + 1, '\x5A');
    uint32_t got = 0xFFFFFFFF;
    r.error = mConn->IoControl(code, in.data(), static_cast<uint32_t>(in.size()), outSize ? out.data() : nullptr,
                               outSize, &got);
    EXPECT_LE(got, outSize);
    EXPECT_EQ(out[outSize], '\x5A') << "output written past its size";
    r.data.assign(out.data(), std::min<uint32_t>(got, outSize));
    return r;
  }
  Reply Descriptor(uint8_t type, uint8_t index, uint32_t outSize, uint16_t lang = 0) {
    return Io(kIoctlGetDescriptor, DescriptorRequest(type, index, lang), outSize);
  }
  // DFU class requests as the library sends them.
  Reply GetStatus(uint16_t iface, uint32_t outSize = 6) {
    return Io(kIoctlControlRequest, ControlRequest(1, 1, 1, 3, 0, iface, 6), outSize);
  }
  uint32_t ClrStatus(uint16_t iface) {
    return Io(kIoctlControlRequest, ControlRequest(0, 1, 1, 4, 0, iface, 0), 0).error;
  }
  uint32_t Dnload(uint16_t block, const std::string& data) {
    return Io(kIoctlControlRequest, ControlRequest(0, 1, 1, 1, block, 0, static_cast<uint16_t>(data.size()), data), 0)
        .error;
  }
  uint32_t Detach(uint16_t timeout = 1000) {
    return Io(kIoctlControlRequest, ControlRequest(0, 2, 0, 0x80, timeout, 0, 0), 0).error;
  }
  uint32_t CyclePort() { return Io(kIoctlCyclePort, "", 0).error; }
  uint32_t SetSerial(uint16_t iface, const std::string& text) {
    return Io(kIoctlControlRequest, ControlRequest(0, 2, 1, 0x83, 0, iface, static_cast<uint16_t>(text.size()), text),
              0)
        .error;
  }
  Reply GetSerial(uint16_t iface, uint16_t size) {
    return Io(kIoctlControlRequest, ControlRequest(1, 2, 1, 0x84, 0, iface, size), size);
  }

 private:
  std::unique_ptr<platform::DriverConnection> mConn;
};

// A raw connection to the service: bytes in, frames out.
class RawClient {
 public:
  explicit RawClient(const std::string& socketPath) {
    mFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    mConnected = ::connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { ::close(mFd); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool Connected() const { return mConnected; }
  bool Send(const std::string& bytes) {
    return ::send(mFd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The next frame, waiting at most `ms`; type 0 when none came (the stream ended or the wait ran out).
  std::pair<uint16_t, std::string> ReadFrame(int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (mIn.size() >= kFrameHeaderSize) {
        const FrameHeader h = DecodeHeader(mIn.data());
        if (mIn.size() - kFrameHeaderSize >= h.length) {
          auto f = std::make_pair(h.type, mIn.substr(kFrameHeaderSize, h.length));
          mIn.erase(0, kFrameHeaderSize + h.length);
          return f;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{mFd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {0, {}};
      char buf[4096];
      const ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
      if (n <= 0) return {0, {}};
      mIn.append(buf, static_cast<size_t>(n));
    }
  }
  void EndSending() { ::shutdown(mFd, SHUT_WR); }
  // Reads up to the end of the stream, waiting at most `ms` for each piece.
  std::string ReadToEnd(int ms = 5000) {
    std::string all = std::exchange(mIn, {});
    for (;;) {
      pollfd p{mFd, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) {
        ADD_FAILURE() << "the service neither sent more nor closed";
        return all;
      }
      char buf[4096];
      const ssize_t n = ::recv(mFd, buf, sizeof buf, 0);
      if (n <= 0) return all;
      all.append(buf, static_cast<size_t>(n));
    }
  }
  // True when the service closed the connection within `ms` (frames before the end are skipped).
  bool ClosedWithin(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{mFd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      if (::recv(mFd, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int mFd = -1;
  bool mConnected = false;
  std::string mIn;
};

inline std::string Hello() {
  return FrameWriter(MessageType::Hello).U32(kMagic).U32(kProtocolVersion).String("raw").Finish();
}

inline uint32_t ErrorCodeOf(const std::pair<uint16_t, std::string>& frame) {
  if (frame.first != static_cast<uint16_t>(MessageType::Error) || frame.second.size() < 4) return 0;
  PayloadReader r(frame.second);
  uint32_t code = 0;
  r.U32(code);
  return code;
}

// Header of a frame of `type` announcing `length` payload bytes.
inline std::string Header(MessageType type, uint32_t length) {
  std::string h(kFrameHeaderSize, '\0');
  EncodeHeader(h.data(), type, length);
  return h;
}

inline uint8_t StateOf(const Reply& r) { return r.data.size() >= 5 ? static_cast<uint8_t>(r.data[4]) : 0xFF; }
inline uint8_t StatusOf(const Reply& r) { return r.data.empty() ? 0xFF : static_cast<uint8_t>(r.data[0]); }
inline uint32_t PollOf(const Reply& r) {
  return r.data.size() >= 4 ? static_cast<uint8_t>(r.data[1]) | (static_cast<uint8_t>(r.data[2]) << 8) |
                                  (static_cast<uint8_t>(r.data[3]) << 16)
                            : 0;
}

}  // namespace drvtest
