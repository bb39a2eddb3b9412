#include "ListenSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "NumberText.h"
#include "platform/posix/PrivateDirectory.h"

namespace vlmudrv {

namespace {

constexpr gid_t kNoGroup = static_cast<gid_t>(-1);

// A file at the socket path: false with a message unless it is a stale
// socket of this user, which is then removed.
bool TakeOverStaleSocket(const std::string& path, const sockaddr_un& addr, std::string& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return true;  // nothing there
  if (!S_ISSOCK(st.st_mode)) {
    error = "socket path exists and is not a socket: " + path;
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = "socket path " + path + " belongs to another user";
    return false;
  }
  const Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe.Valid() && ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    error = "another service is already listening on " + path;
    return false;
  }
  ::unlink(path.c_str());
  return true;
}

}  // namespace

bool ListenSocket::Bind(const std::string& path, gid_t group, std::string& error) {
  Close();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (!TakeOverStaleSocket(path, addr, error)) return false;
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // The socket file is created with owner-only access whatever the umask,
  // and opened up to the socket group (if any) only afterwards.
  const mode_t oldMask = ::umask(0177);
  const bool bound = ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(oldMask);
  struct stat st {};
  if (bound && ::lstat(path.c_str(), &st) == 0) {
    // The file is this service's from now on: removed at the end only while
    // it is still this one.
    mPath = path;
    mOwnsFile = true;
    mDevice = st.st_dev;
    mInode = st.st_ino;
  }
  const bool grouped = group != kNoGroup;
  if (!bound || !mOwnsFile || (grouped && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || ::listen(fd.Get(), 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    Close();
    return false;
  }
  mFd = std::move(fd);
  return true;
}

namespace {

// A decimal number from the environment; 0 when unset or not a number.
uint64_t EnvironmentNumber(const char* name) {
  const char* text = std::getenv(name);
  uint64_t value = 0;
  return text != nullptr && vlmutool::ParseNumber(text, vlmutool::NumberBase::kDecimal, value) ? value : 0;
}

}  // namespace

bool ListenSocket::HandedOver() {
  return EnvironmentNumber("LISTEN_PID") == static_cast<uint64_t>(::getpid()) && EnvironmentNumber("LISTEN_FDS") >= 1;
}

bool ListenSocket::TakeHandedOver(std::string& error) {
  error.clear();
  if (!HandedOver()) return false;
  const uint64_t count = EnvironmentNumber("LISTEN_FDS");
  // Not passed on to anything this service might start.
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  constexpr int kFirstHandedOver = 3;
  int listening = 0, type = 0;
  socklen_t length = sizeof listening;
  socklen_t typeLength = sizeof type;
  sockaddr_un addr{};
  socklen_t addrLength = sizeof addr;
  if (count != 1 || ::getsockopt(kFirstHandedOver, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
      ::getsockopt(kFirstHandedOver, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || listening == 0 ||
      type != SOCK_STREAM || ::getsockname(kFirstHandedOver, reinterpret_cast<sockaddr*>(&addr), &addrLength) != 0 ||
      addr.sun_family != AF_UNIX) {
    error = "the service manager handed over " + std::to_string(count) +
            " descriptors; expected one listening Unix stream socket";
    return false;
  }
  Close();
  mFd.Reset(kFirstHandedOver);
  ::fcntl(mFd.Get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(mFd.Get(), F_SETFL, ::fcntl(mFd.Get(), F_GETFL) | O_NONBLOCK);
  mPath.assign(addr.sun_path, ::strnlen(addr.sun_path, sizeof addr.sun_path));
  return true;
}

void ListenSocket::Close() {
  mFd.Reset();
  struct stat st {};
  if (mOwnsFile && ::lstat(mPath.c_str(), &st) == 0 && st.st_dev == mDevice && st.st_ino == mInode) {
    ::unlink(mPath.c_str());
  }
  mOwnsFile = false;
  mPath.clear();
}

bool PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error) {
  if (!platform::MakePrivateDirectory(dir, error)) return false;
  const bool grouped = group != kNoGroup;
  if ((grouped && ::chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(dir.c_str(), grouped ? 0750 : 0700) != 0) {
    error = "cannot set the access of " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vlmudrv
