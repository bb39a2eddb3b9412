#pragma once
// Byte stream to the driver service: the operating-system part of the
// driver connection (a Unix domain socket on POSIX systems).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// One piece of a message sent in one go (see DriverSocket::SendParts).
struct SendPart {
  const char* data = nullptr;
  size_t size = 0;
};

class DriverSocket {
 public:
  virtual ~DriverSocket() = default;
  // Sends all bytes within timeoutMs. Returns 0, kErrorSemTimeout or
  // kErrorDeviceNotConnected (peer gone, socket shut down).
  virtual uint32_t SendAll(const char* data, size_t size, uint32_t timeoutMs) = 0;
  // Same for the pieces of one message, in order, as one stream of bytes
  // (a frame header and its payload without joining them first).
  virtual uint32_t SendParts(const SendPart* parts, size_t count, uint32_t timeoutMs) = 0;
  // Waits up to timeoutMs (platform::kInfinite: no limit) for data and reads
  // what is there, at most `size` bytes. Returns 0 with received > 0,
  // kErrorSemTimeout, or kErrorDeviceNotConnected (end of stream, error,
  // socket shut down).
  virtual uint32_t Receive(char* data, size_t size, uint32_t timeoutMs, size_t& received) = 0;
  // Wakes a Receive blocked on another thread; every later call fails with
  // kErrorDeviceNotConnected. Safe to call from any thread, more than once.
  virtual void Shutdown() = 0;
};

// Socket path of the driver service: the environment variable
// VLMU_DRIVER_SOCKET when set and not empty (read at every call), else the
// socket in $XDG_RUNTIME_DIR/velmora when it exists, else the system
// service's socket (/run/velmora/driver.sock).
std::string DriverSocketPath();

// Connects to the service listening at `path`. Returns 0 and sets `socket`;
// kErrorServiceNotActive when nothing listens there; kErrorInvalidParameter
// for a path that cannot be a socket address; kErrorAccessDenied for a
// service that is not trusted: one is used only when it runs as this user or
// root, or when its socket lies in a folder that only this user or root
// controls (another user could have put it anywhere else). The reason for a
// refusal goes to `why`, or to standard error when `why` is null.
uint32_t ConnectDriverSocket(const std::string& path, std::unique_ptr<DriverSocket>& socket,
                             std::string* why = nullptr);

}  // namespace platform
