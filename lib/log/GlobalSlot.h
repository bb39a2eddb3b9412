#pragma once
// Raw storage for one process-wide object of the library: constructed and
// destroyed explicitly by the library's entry, never by the C++ run time, so
// that the order across source files and against the unload function is
// fixed. Each layer keeps the slots of its own global objects; the entry
// (lib/api) decides the order.
#include <new>

template <class T>
class GlobalSlot {
 public:
  constexpr GlobalSlot() = default;
  GlobalSlot(const GlobalSlot&) = delete;
  GlobalSlot& operator=(const GlobalSlot&) = delete;

  void Construct() {
    if (mObject == nullptr) mObject = ::new (static_cast<void*>(mStorage)) T();
  }
  void Destroy() noexcept {
    if (mObject != nullptr) {
      mObject->~T();
      mObject = nullptr;
    }
  }
  T& Get() const noexcept { return *mObject; }
  bool IsConstructed() const noexcept { return mObject != nullptr; }

 private:
  alignas(T) unsigned char mStorage[sizeof(T)] = {};
  T* mObject = nullptr;
};
