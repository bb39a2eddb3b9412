#include "UsbWorker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vlmudrv {

void Worker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mJobs.push_back(std::move(job));
  }
  mCv.notify_one();
}

void Worker::StopAndJoin() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mStop = true;
  }
  mCv.notify_one();
  if (mThread.joinable()) mThread.join();
}

void Worker::Loop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mMutex);
      mCv.wait(lock, [this] { return mStop || !mJobs.empty(); });
      if (mJobs.empty()) break;
      job = std::move(mJobs.front());
      mJobs.pop_front();
    }
    job();
  }
}

Inbox::Inbox() : mWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Inbox::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mJobs.push_back(std::move(job));
  }
  const uint64_t one = 1;
  if (::write(mWake.Get(), &one, sizeof one) < 0) {
    // The counter cannot overflow in practice; a failed write only delays the drain.
  }
}

void Inbox::Drain() {
  uint64_t count = 0;
  if (::read(mWake.Get(), &count, sizeof count) < 0) {
    // Nothing to read: another drain took it.
  }
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    batch.swap(mJobs);
  }
  for (auto& job : batch) job();
}

void Inbox::Clear() {
  std::lock_guard<std::mutex> lock(mMutex);
  mJobs.clear();
}

}  // namespace vlmudrv
