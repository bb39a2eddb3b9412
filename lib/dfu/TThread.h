#pragma once
// One worker thread at a time with a stop request and a running indication
// that any thread may query.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Event.h"

class TThread {
 public:
  TThread();
  // Neither stops a running worker nor waits: owners must not destroy a
  // TThread while IsThreadRunning() is true.
  virtual ~TThread();

  // StartThread's code when a worker exists or the thread could not be
  // created (not a library status; callers log it and answer their own).
  static constexpr uint32_t kStartThreadFailed = 1;

  // 0 started; kStartThreadFailed; otherwise the system error of a failed
  // event creation.
  virtual uint32_t StartThread();
  virtual void StopThreadAndWait();
  virtual bool IsThreadRunning() const;

 protected:
  virtual void ThreadRoutine() = 0;
  virtual void ThreadCleanup();
  bool StopRequested();

 private:
  static uint32_t Run_ThreadRoutine(TThread* self);
  // Joins a worker that has ended (or is ending); call with mJoinLock held.
  void JoinFinishedLocked();

  // Running indication: set before the worker starts, cleared by the worker
  // as its last step. The thread object stays joinable until a later start,
  // stop or the destructor joins it, so a stop can always wait for the end
  // of the thread even after the worker has cleared the indication.
  std::atomic<bool> mRunning{false};
  std::mutex mStopLock;                         // guards mStopEvent
  std::unique_ptr<platform::Event> mStopEvent;  // manual reset, one per run
  std::mutex mJoinLock;                         // guards mThread
  std::thread mThread;
};
