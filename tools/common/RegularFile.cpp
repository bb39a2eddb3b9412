#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vlmutool {

bool ReadRegularFile(const std::string& path, std::string& out, std::string& error, uint64_t maxSize) {
  out.clear();
  // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > maxSize) {
    error = "larger than " + std::to_string(maxSize) + " bytes";
  } else {
    // Read straight into a buffer of the file's size, in large pieces.
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    ok = true;
    while (ok) {
      if (got == out.size()) {
        if (out.size() >= maxSize) break;
        out.resize(std::min<uint64_t>(maxSize, out.size() + 65536));  // the file grew meanwhile
      }
      const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = std::strerror(errno);
        ok = false;
      } else if (n == 0) {
        break;
      } else {
        got += static_cast<size_t>(n);
      }
    }
    out.resize(ok ? got : 0);
  }
  ::close(fd);
  return ok;
}

}  // namespace vlmutool
