// One worker thread at a time with a stop request and a running indication.
#include "dfu/TThread.h"

#include <future>
#include <system_error>

#include "log/DiagnosticLog.h"
#include "platform/Clock.h"

TThread::TThread() = default;

TThread::~TThread() {
  // The owner has stopped the worker (or it has ended by itself); release
  // the thread object. A worker destroying its own object cannot join itself.
  std::lock_guard<std::mutex> lock(mJoinLock);
  if (mThread.joinable()) {
    if (mThread.get_id() == std::this_thread::get_id()) {
      mThread.detach();
    } else {
      mThread.join();
    }
  }
}

void TThread::JoinFinishedLocked() {
  if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) mThread.join();
}

uint32_t TThread::StartThread() {
  if (mRunning.load()) {
    VLOG(LOG_ERROR, "StartThread: thread is already running\n");
    return kStartThreadFailed;
  }
  VLOG(LOG_INFO, "StartThread: starting new thread ...\n");

  std::lock_guard<std::mutex> joinLock(mJoinLock);
  // The previous run has cleared the running indication; wait for the very
  // end of its thread before reusing the thread object.
  JoinFinishedLocked();

  uint32_t error = 0;
  {
    std::lock_guard<std::mutex> stopLock(mStopLock);
    mStopEvent = platform::CreateSyncEvent(true, false, &error);
    if (!mStopEvent) {
      VLOG(LOG_ERROR, "StartThread: create stop event failed with error = 0x%08X.\n", error);
      return error;
    }
  }

  // The indication is set before the thread exists, so the worker's clearing
  // at its end always comes after it.
  mRunning.store(true);
  std::promise<uint64_t> idPromise;
  std::future<uint64_t> id = idPromise.get_future();
  try {
    mThread = std::thread([this, started = std::move(idPromise)]() mutable {
      started.set_value(platform::CurrentThreadId());
      Run_ThreadRoutine(this);
    });
  } catch (const std::system_error& e) {
    mRunning.store(false);
    VLOG(LOG_ERROR, "StartThread: _beginthreadex failed with errno = 0x%08X.\n",
         static_cast<unsigned>(e.code().value()));
    std::lock_guard<std::mutex> stopLock(mStopLock);
    mStopEvent.reset();
    return kStartThreadFailed;
  }
  const uint64_t threadId = id.get();
  VLOG(LOG_INFO, "StartThread: thread with thread ID 0x%X started.\n", static_cast<unsigned>(threadId));
  return 0;
}

uint32_t TThread::Run_ThreadRoutine(TThread* self) {
  self->ThreadRoutine();
  self->ThreadCleanup();
  // The thread object itself is released by whoever joins it next.
  self->mRunning.store(false);
  return 0;
}

void TThread::ThreadCleanup() {
  std::lock_guard<std::mutex> lock(mStopLock);
  mStopEvent.reset();
}

bool TThread::StopRequested() {
  std::lock_guard<std::mutex> lock(mStopLock);
  if (!mStopEvent) return true;
  return mStopEvent->Wait(0) != platform::WaitResult::Timeout;
}

bool TThread::IsThreadRunning() const { return mRunning.load(); }

void TThread::StopThreadAndWait() {
  if (!mRunning.load()) {
    VLOG(LOG_ERROR, "StopThreadAndWait: no running thread to stop.\n");
    std::lock_guard<std::mutex> joinLock(mJoinLock);
    JoinFinishedLocked();  // a worker past its last step: returns at once
    return;
  }
  {
    std::lock_guard<std::mutex> joinLock(mJoinLock);
    if (mThread.joinable() && mThread.get_id() == std::this_thread::get_id()) {
      // The worker cannot wait for its own end.
      VLOG(LOG_ERROR, "StopThreadAndWait: called on the worker thread itself.\n");
      return;
    }
  }
  VLOG(LOG_INFO, "StopThreadAndWait: stopping thread...\n");
  {
    std::lock_guard<std::mutex> stopLock(mStopLock);
    // No event any more means the worker is already in its cleanup.
    if (mStopEvent && !mStopEvent->Set()) {
      VLOG(LOG_ERROR, "StopThreadAndWait: set event that stops the thread failed with error = 0x%08X.\n",
           platform::kErrorEventSetFailed);
      return;
    }
  }
  {
    std::lock_guard<std::mutex> joinLock(mJoinLock);
    try {
      if (mThread.joinable()) mThread.join();
    } catch (const std::system_error& e) {
      VLOG(LOG_ERROR, "StopThreadAndWait: WaitForSingleObject failed with error = 0x%08X.\n",
           static_cast<unsigned>(e.code().value()));
    }
  }
  VLOG(LOG_INFO, "StopThreadAndWait: thread stopped.\n");
}
