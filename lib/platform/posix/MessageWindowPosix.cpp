// Message window on top of the driver service: registrations become
// subscriptions on one service connection of the window; that connection's
// reader thread queues each notification, and the window's message loop
// delivers it to the window procedure as WM_DEVICECHANGE.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/MessageWindow.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace platform {
namespace {

struct QueuedMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  Guid interfaceClass;
  std::string path;
};

class ServiceMessageWindow final : public MessageWindow {
 public:
  ServiceMessageWindow(WindowProcedure procedure, void* context) : mProcedure(procedure), mContext(context) {}

  ~ServiceMessageWindow() override {
    // Stops the connection's reader thread before the queue goes away.
    std::lock_guard<std::mutex> lock(mRegistrationLock);
    mConnection.reset();
  }

  uintptr_t RegisterInterfaceNotification(const Guid& interfaceClass, uint32_t* error) override {
    uint32_t status = 0;
    uintptr_t handle = 0;
    try {
      std::lock_guard<std::mutex> lock(mRegistrationLock);
      if (!mConnection || mConnection->IsBroken()) {
        mConnection.reset();
        status = DriverConnection::Connect(mConnection, "velmora_dfu_x64 notifications");
      }
      if (status == 0 && CountRegistrations(interfaceClass) == 0) {
        status = mConnection->Subscribe(interfaceClass, [this](const DriverNotification& n) { OnNotification(n); });
        if (status == 0) {
          std::lock_guard<std::mutex> classes(mClassLock);
          mSubscribedClasses.push_back(interfaceClass);
        }
      }
      if (status == 0) {
        handle = mNextHandle++;
        mRegistrations.emplace(handle, interfaceClass);
      }
    } catch (const std::bad_alloc&) {
      status = 8;  // ERROR_NOT_ENOUGH_MEMORY
    }
    if (error != nullptr) *error = status;
    return handle;
  }

  bool UnregisterInterfaceNotification(uintptr_t handle) override {
    std::lock_guard<std::mutex> lock(mRegistrationLock);
    const auto it = mRegistrations.find(handle);
    if (it == mRegistrations.end()) return false;
    const Guid interfaceClass = it->second;
    mRegistrations.erase(it);
    if (CountRegistrations(interfaceClass) != 0) return true;
    {
      std::lock_guard<std::mutex> classes(mClassLock);
      for (auto c = mSubscribedClasses.begin(); c != mSubscribedClasses.end(); ++c) {
        if (*c == interfaceClass) {
          mSubscribedClasses.erase(c);
          break;
        }
      }
    }
    // A connection that is gone took its subscriptions with it.
    if (!mConnection || mConnection->IsBroken()) return true;
    const uint32_t status = mConnection->Unsubscribe(interfaceClass);
    return status == 0 || mConnection->IsBroken();
  }

  bool NotificationSourceLost() override {
    std::lock_guard<std::mutex> lock(mRegistrationLock);
    return mConnection != nullptr && mConnection->IsBroken();
  }

  bool PostClose() override {
    {
      std::lock_guard<std::mutex> lock(mQueueLock);
      if (mClosed) return false;
      QueuedMessage close;
      close.message = kWmClose;
      mQueue.push_back(std::move(close));
    }
    mQueueReady.notify_one();
    return true;
  }

  void RunMessageLoop() override {
    for (;;) {
      QueuedMessage next;
      {
        std::unique_lock<std::mutex> lock(mQueueLock);
        mQueueReady.wait(lock, [this] { return !mQueue.empty(); });
        next = std::move(mQueue.front());
        mQueue.pop_front();
        if (next.message == kWmClose) mClosed = true;
      }
      if (next.message == kWmClose) {
        mProcedure(mContext, kWmClose, 0, 0);
        mProcedure(mContext, kWmDestroy, 0, 0);
        return;
      }
      Deliver(next);
    }
  }

 private:
  size_t CountRegistrations(const Guid& interfaceClass) const {
    size_t n = 0;
    for (const auto& r : mRegistrations) {
      if (r.second == interfaceClass) ++n;
    }
    return n;
  }

  // Runs on the connection's reader thread: only queues the message.
  void OnNotification(const DriverNotification& n) {
    if (n.event != driverproto::kDbtDeviceArrival && n.event != driverproto::kDbtDeviceRemoveComplete) {
      return;
    }
    {
      std::lock_guard<std::mutex> classes(mClassLock);
      bool wanted = false;
      for (const Guid& c : mSubscribedClasses) wanted = wanted || c == n.interfaceClass;
      if (!wanted) return;
    }
    try {
      QueuedMessage m;
      m.message = kWmDeviceChange;
      m.wParam = n.event;
      m.interfaceClass = n.interfaceClass;
      m.path = n.path;
      {
        std::lock_guard<std::mutex> lock(mQueueLock);
        if (mClosed) return;
        mQueue.push_back(std::move(m));
      }
      mQueueReady.notify_one();
    } catch (const std::bad_alloc&) {
      // A notification that cannot be queued is lost, as when the system drops one.
    }
  }

  void Deliver(const QueuedMessage& m) {
    // The record with the NUL-terminated path, in 8-byte aligned storage.
    const size_t size = offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) + m.path.size() + 1;
    std::vector<uint64_t> storage((size + 7) / 8, 0);
    auto* bytes = reinterpret_cast<unsigned char*>(storage.data());
    DevBroadcastDeviceInterfaceA header{};
    header.dbcc_size = static_cast<uint32_t>(size);
    header.dbcc_devicetype = kDbtDevTypDeviceInterface;
    header.dbcc_reserved = 0;
    header.dbcc_classguid = m.interfaceClass;
    std::memcpy(bytes, &header, offsetof(DevBroadcastDeviceInterfaceA, dbcc_name));
    std::memcpy(bytes + offsetof(DevBroadcastDeviceInterfaceA, dbcc_name), m.path.c_str(), m.path.size() + 1);
    mProcedure(mContext, kWmDeviceChange, m.wParam, reinterpret_cast<intptr_t>(bytes));
  }

  const WindowProcedure mProcedure;
  void* const mContext;

  std::mutex mQueueLock;
  std::condition_variable mQueueReady;
  std::deque<QueuedMessage> mQueue;
  bool mClosed = false;

  std::mutex mClassLock;  // never held across a service request
  std::vector<Guid> mSubscribedClasses;

  std::mutex mRegistrationLock;  // serialises registration requests
  std::map<uintptr_t, Guid> mRegistrations;
  uintptr_t mNextHandle = 1;
  std::unique_ptr<DriverConnection> mConnection;  // last member: destroyed first
};

}  // namespace

std::unique_ptr<MessageWindow> CreateMessageWindow(ModuleInstance instance, const char* className, const char* title,
                                                   WindowProcedure procedure, void* context, uint32_t* error) {
  if (instance == nullptr || className == nullptr || title == nullptr || procedure == nullptr) {
    if (error != nullptr) *error = 87;  // ERROR_INVALID_PARAMETER
    return nullptr;
  }
  auto* window = new (std::nothrow) ServiceMessageWindow(procedure, context);
  if (window == nullptr) {
    if (error != nullptr) *error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    return nullptr;
  }
  if (error != nullptr) *error = 0;
  return std::unique_ptr<MessageWindow>(window);
}

}  // namespace platform
