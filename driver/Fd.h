#pragma once
// A file descriptor that is closed when its owner goes away.
#include <unistd.h>

#include <utility>

namespace vlmudrv {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : mFd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      mFd = std::exchange(other.mFd, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return mFd; }
  bool Valid() const { return mFd >= 0; }
  void Reset(int fd = -1) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
  }

 private:
  int mFd = -1;
};

}  // namespace vlmudrv
