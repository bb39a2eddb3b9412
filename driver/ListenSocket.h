#pragma once
// Setting up the socket the service listens on: where it lives, who may
// connect, taking over the file a service that died left behind, a socket
// handed over by the service manager, and removing the file at the end only
// while it is still this service's.
#include <sys/types.h>

#include <string>

#include "Fd.h"

namespace vlmudrv {

class ListenSocket {
 public:
  ListenSocket() = default;
  ~ListenSocket() { Close(); }
  ListenSocket(const ListenSocket&) = delete;
  ListenSocket& operator=(const ListenSocket&) = delete;

  // Binds and listens on `path` (mode 0600, or 0660 and `group` when that is
  // not -1). A socket file left by a service of this user that died is taken
  // over; one that still has a listener, or that belongs to someone else, is
  // not. False with a message when the socket cannot be set up.
  bool Bind(const std::string& path, gid_t group, std::string& error);
  // Takes the listening socket the service manager handed over (systemd's
  // socket activation: LISTEN_PID is this process, LISTEN_FDS 1, the socket
  // is descriptor 3). Its file, mode and group are the manager's, and the
  // file is left alone at the end. False when nothing was handed over
  // (`error` empty) or what was is not a listening Unix stream socket.
  bool TakeHandedOver(std::string& error);
  // Whether the service manager hands over a socket (see TakeHandedOver).
  static bool HandedOver();

  int Get() const { return mFd.Get(); }
  bool Valid() const { return mFd.Valid(); }
  const std::string& Path() const { return mPath; }
  // Closes the socket and removes its file, unless that file is no longer
  // the one this service made (another service may have put its own socket
  // at the path meanwhile): same device and inode, or it stays.
  void Close();

 private:
  Fd mFd;
  std::string mPath;
  bool mOwnsFile = false;
  dev_t mDevice = 0;
  ino_t mInode = 0;
};

// Creates (when missing) the private directory a default socket lives in,
// owned by this user, mode 0700 (0750 with a socket group); refuses one that
// is not a directory of this user or that others may write to.
bool PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error);

}  // namespace vlmudrv
