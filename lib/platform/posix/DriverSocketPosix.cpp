// Unix domain socket implementation of the driver service byte stream.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/DriverProtocol.h"
#include "platform/DriverSocket.h"

namespace platform {
namespace {

using namespace driverproto;

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

class PosixDriverSocket final : public DriverSocket {
 public:
  explicit PosixDriverSocket(int fd) : mFd(fd) {}
  ~PosixDriverSocket() override { ::close(mFd); }
  PosixDriverSocket(const PosixDriverSocket&) = delete;
  PosixDriverSocket& operator=(const PosixDriverSocket&) = delete;

  uint32_t SendAll(const char* data, size_t size, uint32_t timeoutMs) override {
    const auto start = std::chrono::steady_clock::now();
    while (size > 0) {
      if (mShutdown.load()) return kErrorDeviceNotConnected;
      const ssize_t n = ::send(mFd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const uint32_t err = WaitFor(POLLOUT, Remaining(start, timeoutMs));
        if (err != 0) return err;
        continue;
      }
      return kErrorDeviceNotConnected;
    }
    return 0;
  }

  uint32_t Receive(char* data, size_t size, uint32_t timeoutMs, size_t& received) override {
    received = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (mShutdown.load()) return kErrorDeviceNotConnected;
      const ssize_t n = ::recv(mFd, data, size, MSG_DONTWAIT);
      if (n > 0) {
        received = static_cast<size_t>(n);
        return 0;
      }
      if (n == 0) return kErrorDeviceNotConnected;  // orderly end of stream
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return kErrorDeviceNotConnected;
      const uint32_t err = WaitFor(POLLIN, Remaining(start, timeoutMs));
      if (err != 0) return err;
    }
  }

  void Shutdown() override {
    mShutdown.store(true);
    ::shutdown(mFd, SHUT_RDWR);
  }

 private:
  static uint32_t Remaining(std::chrono::steady_clock::time_point start, uint32_t timeoutMs) {
    if (timeoutMs == kNoLimit) return kNoLimit;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
    return elapsed >= timeoutMs ? 0 : timeoutMs - static_cast<uint32_t>(elapsed);
  }

  uint32_t WaitFor(short events, uint32_t timeoutMs) {
    pollfd p{mFd, events, 0};
    for (;;) {
      const int t = timeoutMs == kNoLimit ? -1 : static_cast<int>(std::min<uint32_t>(timeoutMs, 0x7FFFFFFF));
      const int r = ::poll(&p, 1, t);
      if (r > 0) return 0;  // readable, writable, hung up or error: the next call tells
      if (r == 0) return kErrorSemTimeout;
      if (errno != EINTR) return kErrorDeviceNotConnected;
    }
  }

  int mFd;
  std::atomic<bool> mShutdown{false};
};

}  // namespace

std::string DriverSocketPath() {
  const char* env = std::getenv(kSocketEnv);
  if (env != nullptr && *env != '\0') return env;
  return kDefaultSocketPath;
}

uint32_t ConnectDriverSocket(const std::string& path, std::unique_ptr<DriverSocket>& socket) {
  socket.reset();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path || path.find('\0') != std::string::npos)
    return kErrorInvalidParameter;
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kErrorServiceNotActive;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    ::close(fd);
    return kErrorServiceNotActive;
  }
  socket = std::make_unique<PosixDriverSocket>(fd);
  return 0;
}

}  // namespace platform
