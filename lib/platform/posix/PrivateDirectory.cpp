#include "platform/posix/PrivateDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

bool IsPrivateDirectory(const std::string& dir, uid_t owner, bool rootMayOwn, std::string& why) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    why = "cannot examine " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != owner && !(rootMayOwn && st.st_uid == 0)) {
    why = dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = dir + " may be written by other users";
    return false;
  }
  return true;
}

bool MakePrivateDirectory(const std::string& dir, std::string& why) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    why = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return IsPrivateDirectory(dir, ::geteuid(), false, why);
}

std::string UserPrivateDirectory(std::string& why, std::string& note) {
  note.clear();
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') {
    std::string problem;
    if (*runtime == '/' && IsPrivateDirectory(runtime, ::geteuid(), false, problem)) return runtime;
    note = *runtime == '/' ? problem : std::string("XDG_RUNTIME_DIR is not an absolute path: ") + runtime;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  dir += "/velmora-" + std::to_string(::geteuid());
  if (!MakePrivateDirectory(dir, why)) return {};
  return dir;
}

}  // namespace platform
