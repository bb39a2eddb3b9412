// Events built from a mutex and a condition variable.
#include "platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace platform {
namespace {

class CondEvent final : public Event {
 public:
  CondEvent(bool manualReset, bool initialState) : mManualReset(manualReset), mSignalled(initialState) {}

  bool Set() override {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mSignalled = true;
    }
    // A manual-reset event releases every waiter; an auto-reset event one.
    if (mManualReset) {
      mCond.notify_all();
    } else {
      mCond.notify_one();
    }
    return true;
  }

  bool Reset() override {
    std::lock_guard<std::mutex> lock(mMutex);
    mSignalled = false;
    return true;
  }

  WaitResult Wait(uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lock(mMutex);
    // A zero time-out only tests the state; it never enters a timed wait,
    // which costs a system call per poll on the download's hot path.
    if (timeoutMs == 0 && !mSignalled) return WaitResult::Timeout;
    if (timeoutMs == kInfinite) {
      mCond.wait(lock, [this] { return mSignalled; });
    } else if (!mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return mSignalled; })) {
      return WaitResult::Timeout;
    }
    if (!mManualReset) mSignalled = false;
    return WaitResult::Signalled;
  }

 private:
  const bool mManualReset;
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mSignalled;
};

}  // namespace

std::unique_ptr<Event> CreateSyncEvent(bool manualReset, bool initialState, uint32_t* error) {
  auto* event = new (std::nothrow) CondEvent(manualReset, initialState);
  if (event == nullptr) {
    if (error != nullptr) *error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  if (error != nullptr) *error = 0;
  return std::unique_ptr<Event>(event);
}

}  // namespace platform
