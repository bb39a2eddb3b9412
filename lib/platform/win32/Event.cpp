// Kernel events.
#include <windows.h>

#include <new>

#include "platform/Event.h"

namespace platform {
namespace {

static_assert(kInfinite == INFINITE, "no time limit");
static_assert(kErrorEventSetFailed == ERROR_GEN_FAILURE, "event set failure");

class KernelEvent final : public Event {
 public:
  explicit KernelEvent(HANDLE handle) : mHandle(handle) {}
  ~KernelEvent() override { CloseHandle(mHandle); }
  KernelEvent(const KernelEvent&) = delete;
  KernelEvent& operator=(const KernelEvent&) = delete;

  bool Set() override { return SetEvent(mHandle) != FALSE; }
  bool Reset() override { return ResetEvent(mHandle) != FALSE; }

  WaitResult Wait(uint32_t timeoutMs) override {
    switch (WaitForSingleObject(mHandle, timeoutMs)) {
      case WAIT_OBJECT_0:
        return WaitResult::Signalled;
      case WAIT_TIMEOUT:
        return WaitResult::Timeout;
      default:
        return WaitResult::Failed;
    }
  }

 private:
  const HANDLE mHandle;
};

}  // namespace

std::unique_ptr<Event> CreateSyncEvent(bool manualReset, bool initialState, uint32_t* error) {
  HANDLE handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
  if (handle == nullptr) {
    if (error != nullptr) *error = GetLastError();
    return nullptr;
  }
  auto* event = new (std::nothrow) KernelEvent(handle);
  if (event == nullptr) {
    CloseHandle(handle);
    if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (error != nullptr) *error = 0;
  return std::unique_ptr<Event>(event);
}

}  // namespace platform
