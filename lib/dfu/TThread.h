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

  // 0 started; 1 a worker exists or the thread could not be created;
  // otherwise the system error of a failed event creation.
  virtual uint32_t StartThread();
  virtual void StopThreadAndWait();
  virtual bool IsThreadRunning() const;

 protected:
  virtual void ThreadRoutine() = 0;
  virtual void ThreadCleanup();
  bool StopRequested();

 private:
  static uint32_t Run_ThreadRoutine(TThread* self);
  // Implementation state (thread object, running flag, stop event) is private
  // to TThread.cpp's owner; see the implementation.
  std::atomic<bool> mRunning{false};
  std::unique_ptr<platform::Event> mStopEvent;
  std::mutex mJoinLock;
  std::thread mThread;
};
