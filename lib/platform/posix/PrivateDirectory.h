#pragma once
// Folders that only one user controls. What lives in such a folder (a
// socket, a lock, a log) cannot have been put there, or be replaced, by
// anyone else: a user may create, rename and delete entries of a folder
// exactly when the folder is writable for them.
#include <sys/types.h>

#include <string>

namespace platform {

// Whether `dir` is a directory itself (not a symbolic link to one), owned by
// `owner` (or by root when `rootMayOwn`), with no write permission for its
// group or for others. Otherwise false, and `why` says what is wrong, naming
// the folder ("/x may be written by other users", "/x belongs to another user").
bool IsPrivateDirectory(const std::string& dir, uid_t owner, bool rootMayOwn, std::string& why);

// Creates `dir` with mode 0700 when it is missing, then checks it with
// IsPrivateDirectory for this process's user.
bool MakePrivateDirectory(const std::string& dir, std::string& why);

// A folder for this user's transient files that only this user controls:
// $XDG_RUNTIME_DIR when it is one, else "<temporary folder>/velmora-<uid>"
// ($TMPDIR, else /tmp), made with mode 0700 when missing. Empty when neither
// is such a folder; `why` then says what is wrong. `note` tells, when
// $XDG_RUNTIME_DIR is set but not used, why not (empty otherwise).
std::string UserPrivateDirectory(std::string& why, std::string& note);

}  // namespace platform
