#pragma once
// Handle to one device interface of the vendor driver: descriptor requests,
// control transfers, port cycle, and close/reopen around a re-enumeration.
// The transport and the enumeration write no log entries (callers log the
// codes); the start and stop of device-change tracking log their failures.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "device/CPnPNotificator.h"
#include "device/CPnPNotifyHandler.h"
#include "device/DeviceCodes.h"
#include "platform/DeviceFile.h"
#include "platform/Event.h"
#include "platform/Guid.h"
#include "platform/Module.h"
#include "platform/SetupApi.h"

// The open device file with an open indication that any thread may read.
class DeviceHandle {
 public:
  DeviceHandle& operator=(std::unique_ptr<platform::DeviceFile> file) {
    mFile = std::move(file);
    mOpen.store(mFile != nullptr);
    return *this;
  }
  std::unique_ptr<platform::DeviceFile> Release() {
    mOpen.store(false);
    return std::move(mFile);
  }
  explicit operator bool() const { return mFile != nullptr; }
  platform::DeviceFile* operator->() const { return mFile.get(); }
  bool IsOpen() const { return mOpen.load(); }

 private:
  std::unique_ptr<platform::DeviceFile> mFile;
  std::atomic<bool> mOpen{false};
};

class VlmuDevice : public CPnPNotifyHandler {
 public:
  VlmuDevice();
  void OnDeviceChange(uint32_t message, uintptr_t wParam, const void* lParam) override;
  ~VlmuDevice() override;

  virtual uint32_t Open(uint32_t deviceIndex, platform::DeviceInfoSet* deviceInfoSet,
                        const platform::Guid* interfaceGuid);
  virtual uint32_t Close();
  virtual uint32_t CloseAndReopen(bool waitForReplug, uint32_t timeoutMs);
  virtual uint32_t GetDeviceDescriptor(uint8_t* buffer18);
  virtual uint32_t GetStringDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived, uint8_t index,
                                       uint16_t languageId);
  virtual uint32_t GetConfigurationDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived,
                                              uint8_t configIndex);
  virtual uint32_t SendControlRequest(const void* request, uint32_t requestSize, void* data, uint32_t dataSize,
                                      uint32_t* bytesReceived);
  virtual uint32_t CyclePort();
  virtual uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                             uint32_t* bytesReceived);
  virtual uint32_t GetDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived, uint32_t reserved,
                                 uint8_t descriptorType, uint8_t index, uint16_t languageId);

  uint32_t StartPnPTracking();
  void StopPnPTracking();

  bool IsOpen() const;
  bool IsTracking() const { return mDeviceRemovedEvent != nullptr || mDeviceArrivedEvent != nullptr; }
  uint32_t DeviceIndex() const { return mDeviceIndex; }
  const std::string& DevicePath() const { return mDevicePath; }
  // Set once by the library entry at load.
  void SetModuleInstance(platform::ModuleInstance instance) { mModuleInstance = instance; }

  // The fixed interface path used when Open is given no device information set.
  static const char* FixedDevicePath();
  // Milliseconds from `start` to `now` of the wrapping tick counter.
  static uint32_t ElapsedTicks(uint32_t start, uint32_t now);
  // Re-open attempts of CloseAndReopen are this far apart.
  static constexpr uint32_t kReopenRetryMs = 100;
  // The re-plug wait looks this often whether it is to end early.
  static constexpr uint32_t kReplugCheckMs = 50;

 protected:
  // True when a re-plug wait in progress is to end at once (the owner is
  // stopping). The wait also ends when the notifications' source is lost.
  virtual bool ReplugWaitCancelled() { return false; }
  // Closes the device file (under mLock, so that no request is using it).
  void CloseHandleLocked();
  // The transport's close steps: stop tracking, close the handle and the
  // overlapped event, forget path, class and index.
  void CloseTransport();

  // Stores an opened device file (under mLock).
  void SetHandleLocked(std::unique_ptr<platform::DeviceFile> file);

  DeviceHandle mHandle;                               // empty when closed
  std::atomic<uint32_t> mDeviceIndex{0};              // read by exports during a download
  std::unique_ptr<platform::Event> mOverlappedEvent;  // created by Open, closed by Close
  std::mutex mLock;                                   // one request at a time
  platform::Guid mInterfaceGuid{};
  std::string mDevicePath;
  std::unique_ptr<platform::Event> mDeviceRemovedEvent;  // null unless tracking
  std::unique_ptr<platform::Event> mDeviceArrivedEvent;  // null unless tracking
  CPnPNotificator mNotificator;
  platform::ModuleInstance mModuleInstance = nullptr;
};
