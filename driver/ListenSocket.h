#pragma once
// Setting up the socket the service listens on: where it lives, who may
// connect, and taking over the file a service that died left behind.
#include <sys/types.h>

#include <string>

#include "Fd.h"

namespace vlmudrv {

// Binds and listens on `path` (mode 0600, or 0660 and `group` when that is
// not -1). A socket file left by a service of this user that died is taken
// over; one that still has a listener, or that belongs to someone else, is
// not. An invalid Fd and a message when the socket cannot be set up.
Fd ListenOn(const std::string& path, gid_t group, std::string& error);

// Creates (when missing) the private directory a default socket lives in,
// owned by this user, mode 0700 (0750 with a socket group); refuses one that
// is not a directory of this user or that others may write to.
bool PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error);

}  // namespace vlmudrv
