#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <string_view>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace platform {

bool QueryFileAttributes(const char* path, FileAttributes& out) {
  struct stat st {};
  if (path == nullptr || ::stat(path, &st) != 0) return false;
  out.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  out.isDirectory = S_ISDIR(st.st_mode);
  out.readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return true;
}

bool FileExists(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0;
}

bool RemoveFile(const char* path) {
  FileAttributes attributes;
  if (!QueryFileAttributes(path, attributes)) return false;
  if (attributes.isDirectory || attributes.readOnly) {
    errno = EACCES;
    return false;
  }
  return ::unlink(path) == 0;
}

bool RenameFile(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return false;
#if defined(__linux__) && defined(SYS_renameat2)
  // Atomic "rename unless the target exists" where the kernel offers it.
  constexpr unsigned kRenameNoReplace = 1;
  if (::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, kRenameNoReplace) == 0) return true;
  if (errno != ENOSYS && errno != EINVAL) return false;
#endif
  if (FileExists(to)) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from, to) == 0;
}

FILE* OpenRegularFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  const std::string_view m(mode);
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;  // O_NONBLOCK: a FIFO never waits for its peer
  if (m == "rb") {
    flags |= O_RDONLY;
  } else if (m == "wb") {
    flags |= O_WRONLY | O_CREAT | O_TRUNC;
  } else if (m == "a+") {
    flags |= O_RDWR | O_CREAT | O_APPEND;
  } else {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = ::open(path, flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  bool usable = ::fstat(fd, &st) == 0;
  if (usable && !S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    usable = false;
  }
  // Blocking again for the stream's reads and writes (of a regular file).
  FILE* file = usable && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 ? ::fdopen(fd, mode) : nullptr;
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

FirstByte ReadFirstByte(const char* path) {
  FILE* file = OpenRegularFile(path, "rb");
  if (file == nullptr) return FirstByte::CannotOpen;
  const int c = std::fgetc(file);
  const bool failed = c == EOF && std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return FirstByte::CannotOpen;
  return c == EOF ? FirstByte::Empty : FirstByte::Readable;
}

}  // namespace platform
