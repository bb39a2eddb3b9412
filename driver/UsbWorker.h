#pragma once
// The threads of the USB device source and the way back from them: a Worker
// runs the blocking libusb calls of one device appearance in order on a
// thread of its own; the Inbox carries their results to the service's loop,
// whose wake-up descriptor it is.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "Fd.h"

namespace vlmudrv {

class Worker {
 public:
  Worker() : mThread([this] { Loop(); }) {}
  ~Worker() { StopAndJoin(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Post(std::function<void()> job);
  // Runs what is queued, then ends the thread.
  void StopAndJoin();

 private:
  void Loop();

  std::mutex mMutex;
  std::condition_variable mCv;
  std::deque<std::function<void()>> mJobs;
  bool mStop = false;
  std::thread mThread;  // last: starts once the members above exist
};

class Inbox {
 public:
  Inbox();
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // Readable while jobs wait; -1 when it could not be made.
  int WakeFd() const { return mWake.Get(); }
  // Any thread: queues a job for the loop.
  void Post(std::function<void()> job);
  // The loop's thread: runs the jobs queued so far.
  void Drain();
  // Drops what is queued (when the source goes away).
  void Clear();

 private:
  Fd mWake;
  std::mutex mMutex;
  std::deque<std::function<void()>> mJobs;
};

}  // namespace vlmudrv
