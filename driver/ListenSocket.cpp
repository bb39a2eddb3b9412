#include "ListenSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

Fd ListenOn(const std::string& path, gid_t group, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes: " + path;
    return Fd();
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (!TakeOverStaleSocket(path, addr, error)) return Fd();
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    return Fd();
  }
  // The socket file is created with owner-only access whatever the umask,
  // and opened up to the socket group (if any) only afterwards.
  const mode_t oldMask = ::umask(0177);
  const bool bound = ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(oldMask);
  const bool grouped = group != kNoGroup;
  if (!bound || (grouped && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || ::listen(fd.Get(), 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (bound) ::unlink(path.c_str());
    return Fd();
  }
  return fd;
}

bool PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error) {
  const bool grouped = group != kNoGroup;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = dir + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 0022) != 0) {
    error = dir + " may be written by other users";
    return false;
  }
  if ((grouped && ::chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(dir.c_str(), grouped ? 0750 : 0700) != 0) {
    error = "cannot set the access of " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vlmudrv
