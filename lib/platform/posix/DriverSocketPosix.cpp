// Unix domain socket implementation of the driver service byte stream.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverSocket.h"
#include "platform/posix/DriverWire.h"
#include "platform/posix/PrivateDirectory.h"

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
    const SendPart part{data, size};
    return SendParts(&part, 1, timeoutMs);
  }

  // One sendmsg for all pieces (header and payload leave in one system call);
  // a partial send resumes where it stopped.
  uint32_t SendParts(const SendPart* parts, size_t count, uint32_t timeoutMs) override {
    constexpr size_t kMaxParts = 4;
    if (count > kMaxParts) {
      for (size_t i = 0; i < count; ++i) {
        const uint32_t err = SendParts(parts + i, 1, timeoutMs);
        if (err != 0) return err;
      }
      return 0;
    }
    iovec iov[kMaxParts];
    size_t first = 0, n = 0;
    for (size_t i = 0; i < count; ++i) {
      if (parts[i].size == 0) continue;
      iov[n].iov_base = const_cast<char*>(parts[i].data);
      iov[n].iov_len = parts[i].size;
      ++n;
    }
    const auto start = std::chrono::steady_clock::now();
    while (first < n) {
      if (mShutdown.load()) return kErrorDeviceNotConnected;
      msghdr msg{};
      msg.msg_iov = iov + first;
      msg.msg_iovlen = n - first;
      ssize_t sent = ::sendmsg(mFd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        while (first < n && static_cast<size_t>(sent) >= iov[first].iov_len) {
          sent -= static_cast<ssize_t>(iov[first].iov_len);
          ++first;
        }
        if (first < n) {
          iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
          iov[first].iov_len -= static_cast<size_t>(sent);
        }
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        const uint32_t err = WaitFor(POLLOUT, Remaining(start, timeoutMs));
        if (err != 0) return err;
        continue;
      }
      return kErrorDeviceNotConnected;
    }
    return 0;
  }

  // A bounded wait (a request waiting for its reply) first looks for data
  // without sleeping, within an adaptive budget (SpinBudget). Then one
  // blocking recv bounded by the socket's receive time-out, so that a reply
  // on its way costs a single system call (no readiness poll first). The
  // time-out set on the socket is kept while it is at most the wait asked
  // for and not much shorter; a wait cut short by it is resumed with what is
  // left, so the bound is kept to the millisecond either way.
  uint32_t Receive(char* data, size_t size, uint32_t timeoutMs, size_t& received) override {
    received = 0;
    const auto start = std::chrono::steady_clock::now();
    if (timeoutMs != kNoLimit && timeoutMs != 0) {
      const auto budget = mSpin.Next();
      if (budget.count() != 0) {
        for (;;) {
          if (mShutdown.load()) return kErrorDeviceNotConnected;
          const ssize_t n = ::recv(mFd, data, size, MSG_DONTWAIT);
          if (n > 0) {
            mSpin.Hit();
            received = static_cast<size_t>(n);
            return 0;
          }
          if (n == 0) return kErrorDeviceNotConnected;
          if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return kErrorDeviceNotConnected;
          if (std::chrono::steady_clock::now() - start >= budget) {
            mSpin.Miss();
            break;
          }
        }
      }
    }
    for (;;) {
      if (mShutdown.load()) return kErrorDeviceNotConnected;
      const uint32_t wait = Remaining(start, timeoutMs);
      int flags = 0;
      if (wait == 0) {
        flags = MSG_DONTWAIT;
      } else if (!SetReceiveTimeout(wait)) {
        return kErrorDeviceNotConnected;
      }
      const ssize_t n = ::recv(mFd, data, size, flags);
      if (n > 0) {
        received = static_cast<size_t>(n);
        return 0;
      }
      if (n == 0) return kErrorDeviceNotConnected;  // orderly end of stream, or shut down
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return kErrorDeviceNotConnected;
      if (wait == 0) return kErrorSemTimeout;
    }
  }

  void Shutdown() override {
    mShutdown.store(true);
    ::shutdown(mFd, SHUT_RDWR);
  }

 private:
  static uint32_t Remaining(std::chrono::steady_clock::time_point start, uint32_t timeoutMs) {
    if (timeoutMs == kNoLimit) return kNoLimit;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return elapsed >= timeoutMs ? 0 : timeoutMs - static_cast<uint32_t>(elapsed);
  }

  // Sets the socket's receive time-out for a wait of `waitMs` (> 0;
  // kNoLimit: none) unless the one in force already fits.
  bool SetReceiveTimeout(uint32_t waitMs) {
    if (waitMs == mReceiveTimeoutMs) return true;
    if (waitMs != kNoLimit && mReceiveTimeoutMs != kNoLimit && mReceiveTimeoutMs <= waitMs &&
        mReceiveTimeoutMs >= waitMs - waitMs / 8)
      return true;
    timeval tv{};
    if (waitMs != kNoLimit) {
      tv.tv_sec = static_cast<time_t>(waitMs / 1000u);
      tv.tv_usec = static_cast<suseconds_t>((waitMs % 1000u) * 1000u);
    }
    if (::setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    mReceiveTimeoutMs = waitMs;
    return true;
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
  // Receive time-out set on the socket (kNoLimit: none, as a new socket has)
  // and the budget of looking for a reply without sleeping. Only the thread
  // that receives touches them; one thread receives at a time.
  uint32_t mReceiveTimeoutMs = kNoLimit;
  SpinBudget mSpin;
};

// See ConnectDriverSocket: whether the service behind `fd`, connected at
// `path`, may be used.
bool TrustedService(int fd, const std::string& path, std::string& why) {
  ucred peer{};
  socklen_t length = sizeof peer;
  const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
  if (known && (peer.uid == ::geteuid() || peer.uid == 0)) return true;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string folderProblem;
  if (IsPrivateDirectory(folder, ::geteuid(), true, folderProblem)) return true;
  // A folder of the service's own user, inside a folder that only this user
  // or root controls: root (the service manager's runtime folder) or this
  // user gave it to that service, and no one else can have put it there.
  const size_t parentSlash = folder.rfind('/');
  const std::string parent = parentSlash == std::string::npos ? "."
                             : parentSlash == 0               ? "/"
                                                              : folder.substr(0, parentSlash);
  std::string ownerProblem;
  std::string parentProblem;
  if (known && folder != "/" && IsPrivateDirectory(folder, peer.uid, false, ownerProblem) &&
      IsPrivateDirectory(parent, ::geteuid(), true, parentProblem))
    return true;
  // For a folder of the service's user, say what keeps it from being trusted.
  struct stat folderStat {};
  if (known && ::lstat(folder.c_str(), &folderStat) == 0 && folderStat.st_uid == peer.uid)
    folderProblem = ownerProblem.empty() ? parentProblem : ownerProblem;
  why = "refused the driver service at " + path + ": it runs as another user (" +
        (known ? "uid " + std::to_string(peer.uid) : std::string("uid unknown")) + ") and " + folderProblem +
        "; a service is used only when it runs as you or root, or when its socket lies in a folder that only you "
        "or root control, or in a folder of the service's own user inside such a folder. Start a service of your own, "
        "or set " +
        kSocketEnv + " to the socket of one you trust";
  return false;
}

}  // namespace

std::string DriverSocketPath() {
  const char* env = std::getenv(kSocketEnv);
  if (env != nullptr && *env != '\0') return env;
  const char* runtimeDir = std::getenv(kRuntimeDirEnv);
  if (runtimeDir != nullptr && *runtimeDir == '/') {
    std::string user = std::string(runtimeDir) + kUserSocket;
    if (::access(user.c_str(), F_OK) == 0) return user;
  }
  return kSystemSocketPath;
}

uint32_t ConnectDriverSocket(const std::string& path, std::unique_ptr<DriverSocket>& socket, std::string* why) {
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
    // A service may be running that this user is not admitted to: callers
    // tell the person so rather than that nothing runs.
    const bool denied = errno == EACCES || errno == EPERM;
    ::close(fd);
    return denied ? kErrorAccessDenied : kErrorServiceNotActive;
  }
  std::string refusal;
  if (!TrustedService(fd, path, refusal)) {
    ::close(fd);
    if (why != nullptr) {
      *why = refusal;
    } else {
      std::fprintf(stderr, "velmora_dfu: %s\n", refusal.c_str());
    }
    return kErrorAccessDenied;
  }
  socket = std::make_unique<PosixDriverSocket>(fd);
  return 0;
}

}  // namespace platform
