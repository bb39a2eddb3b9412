// One device interface of the vendor driver and its I/O control transport.
#include "device/VlmuDevice.h"

#include <cctype>
#include <cstring>
#include <new>

#include "device/VlmuDeviceSet.h"
#include "log/DiagnosticLog.h"
#include "platform/AsciiText.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/MessageWindow.h"

namespace {

struct DescriptorRequest {
  uint32_t reserved;
  uint8_t descriptorType;
  uint8_t descriptorIndex;
  uint16_t languageId;
};
static_assert(sizeof(DescriptorRequest) == 8, "descriptor request is 8 bytes");

}  // namespace

const char* VlmuDevice::FixedDevicePath() { return "\\\\.\\{49F4A1FF-55DD-4d45-9743-7B623EFF0361}"; }

uint32_t VlmuDevice::ElapsedTicks(uint32_t start, uint32_t now) {
  if (now < start) return (0xFFFFFFFFu - start) + now;  // the counter wrapped
  return now - start;
}

VlmuDevice::VlmuDevice() = default;

VlmuDevice::~VlmuDevice() {
  // The steps of Close, without calling the overridable one.
  CloseTransport();
}

bool VlmuDevice::IsOpen() const { return mHandle.IsOpen(); }

void VlmuDevice::SetHandleLocked(std::unique_ptr<platform::DeviceFile> file) {
  std::lock_guard<std::mutex> lock(mLock);
  mHandle = std::move(file);
}

void VlmuDevice::CloseHandleLocked() {
  std::unique_ptr<platform::DeviceFile> handle;
  {
    std::lock_guard<std::mutex> lock(mLock);
    handle = mHandle.Release();
  }
  // Dropping the file (outside the lock) closes the interface.
}

uint32_t VlmuDevice::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                               uint32_t* bytesReceived) {
  if (bytesReceived != nullptr) *bytesReceived = 0;
  if (out != nullptr && outSize != 0) std::memset(out, 0, outSize);
  std::lock_guard<std::mutex> lock(mLock);
  if (!mHandle) return VLMU_E_DEVICE_NOT_OPEN;
  uint32_t received = 0;
  const uint32_t status = mHandle->IoControl(code, in, inSize, out, outSize, &received);
  if (bytesReceived != nullptr) *bytesReceived = received <= outSize ? received : outSize;
  return status;
}

uint32_t VlmuDevice::GetDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived, uint32_t reserved,
                                   uint8_t descriptorType, uint8_t index, uint16_t languageId) {
  if (bytesReceived != nullptr) *bytesReceived = 0;
  uint8_t request[sizeof(DescriptorRequest)];
  platform::StoreLe32(request, reserved);
  request[4] = descriptorType;
  request[5] = index;
  platform::StoreLe16(request + 6, languageId);
  return IoControl(platform::kIoctlGetDescriptor, request, sizeof request, buffer, bufferSize, bytesReceived);
}

uint32_t VlmuDevice::GetDeviceDescriptor(uint8_t* buffer18) {
  uint32_t received = 0;
  const uint32_t status = GetDescriptor(buffer18, 18, &received, 0, 1, 0, 0);
  if (status != 0) return status;
  return received == 18 ? 0 : VLMU_E_BAD_DESCRIPTOR_SIZE;
}

uint32_t VlmuDevice::GetStringDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived, uint8_t index,
                                         uint16_t languageId) {
  return GetDescriptor(buffer, bufferSize, bytesReceived, 0, 3, index, languageId);
}

uint32_t VlmuDevice::GetConfigurationDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived,
                                                uint8_t configIndex) {
  return GetDescriptor(buffer, bufferSize, bytesReceived, 0, 2, configIndex, 0);
}

uint32_t VlmuDevice::SendControlRequest(const void* request, uint32_t requestSize, void* data, uint32_t dataSize,
                                        uint32_t* bytesReceived) {
  return IoControl(platform::kIoctlControlRequest, request, requestSize, data, dataSize, bytesReceived);
}

uint32_t VlmuDevice::CyclePort() { return IoControl(platform::kIoctlCyclePort, nullptr, 0, nullptr, 0, nullptr); }

uint32_t VlmuDevice::Open(uint32_t deviceIndex, platform::DeviceInfoSet* deviceInfoSet,
                          const platform::Guid* interfaceGuid) {
  if (IsOpen()) return VLMU_E_ALREADY_OPEN;

  if (deviceInfoSet == nullptr) {
    mDevicePath = FixedDevicePath();
  } else {
    if (interfaceGuid == nullptr) return VLMU_E_NO_GUID;
    if (!BindSetupLibrary()) return VLMU_E_FAILED;
    SetupFunctionTable& setup = TheSetupFunctions();

    platform::DeviceInterfaceData interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!setup.SetupDiEnumDeviceInterfaces(deviceInfoSet, nullptr, interfaceGuid, deviceIndex, &interfaceData)) {
      const uint32_t error = SetupFailureCode();
      return error == platform::kErrorNoMoreItems ? VLMU_E_NO_MORE_DEVICES : error;
    }
    uint32_t required = 0;
    if (!setup.SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, nullptr, 0, &required, nullptr)) {
      const uint32_t error = SetupFailureCode();
      if (error != platform::kErrorInsufficientBuffer) return error;
    }
    // At least the fixed part, so that the size field can always be set.
    const size_t size = required > sizeof(platform::DeviceInterfaceDetailDataA)
                            ? required
                            : sizeof(platform::DeviceInterfaceDetailDataA);
    std::unique_ptr<uint64_t[]> storage(new (std::nothrow) uint64_t[(size + 7) / 8]());
    if (!storage) return VLMU_E_OUT_OF_MEMORY;
    auto* detail = reinterpret_cast<platform::DeviceInterfaceDetailDataA*>(storage.get());
    detail->cbSize = sizeof(platform::DeviceInterfaceDetailDataA);
    if (!setup.SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, &interfaceData, detail, static_cast<uint32_t>(size),
                                                nullptr, nullptr)) {
      return SetupFailureCode();
    }
    const char* path =
        reinterpret_cast<const char*>(storage.get()) + offsetof(platform::DeviceInterfaceDetailDataA, DevicePath);
    const size_t maxLength = size - offsetof(platform::DeviceInterfaceDetailDataA, DevicePath);
    mDevicePath.assign(path, strnlen(path, maxLength));
  }

  std::unique_ptr<platform::DeviceFile> file;
  const uint32_t openError = platform::OpenDeviceFile(mDevicePath, file);
  if (openError != 0) {
    mDevicePath.clear();
    return openError == platform::kErrorFileNotFound ? VLMU_E_PATH_NOT_FOUND : openError;
  }
  SetHandleLocked(std::move(file));

  uint32_t eventError = 0;
  mOverlappedEvent = platform::CreateSyncEvent(false, false, &eventError);
  if (!mOverlappedEvent) {
    mDevicePath.clear();
    Close();
    return eventError;
  }

  mDeviceIndex = deviceIndex;
  // The fixed-path route may come without a class; the zero GUID stands for it.
  mInterfaceGuid = interfaceGuid != nullptr ? *interfaceGuid : platform::Guid{};
  return 0;
}

void VlmuDevice::CloseTransport() {
  StopPnPTracking();
  CloseHandleLocked();
  mOverlappedEvent.reset();
  mDevicePath.clear();
  mInterfaceGuid = platform::Guid{};
  mDeviceIndex = 0;
}

uint32_t VlmuDevice::Close() {
  CloseTransport();
  return 0;
}

uint32_t VlmuDevice::CloseAndReopen(bool waitForReplug, uint32_t timeoutMs) {
  if (!IsOpen()) return VLMU_E_DEVICE_NOT_OPEN;

  const uint32_t start = platform::GetTickCount();
  CloseHandleLocked();  // path, GUID, index, overlapped event and tracking stay

  if (waitForReplug) {
    if (!mDeviceRemovedEvent || !mDeviceArrivedEvent) {
      Close();
      return VLMU_E_NOT_TRACKING;
    }
    // Waited for in slices: a stop of the owner, or the loss of the
    // notifications' source (no arrival can come), ends the wait at once.
    auto waitFor = [&](platform::Event& event) {
      for (;;) {
        if (ReplugWaitCancelled() || mNotificator.NotificationsLost()) return platform::WaitResult::Failed;
        const uint32_t elapsed = ElapsedTicks(start, platform::GetTickCount());
        const uint32_t rest = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        const platform::WaitResult r = event.Wait(rest < kReplugCheckMs ? rest : kReplugCheckMs);
        if (r != platform::WaitResult::Timeout || rest <= kReplugCheckMs) return r;
      }
    };
    platform::WaitResult wait = waitFor(*mDeviceRemovedEvent);
    if (wait == platform::WaitResult::Signalled) wait = waitFor(*mDeviceArrivedEvent);
    if (wait != platform::WaitResult::Signalled) {
      Close();
      return wait == platform::WaitResult::Timeout ? VLMU_E_TIMEOUT : VLMU_E_FAILED;
    }
  }

  for (;;) {
    std::unique_ptr<platform::DeviceFile> file;
    if (platform::OpenDeviceFile(mDevicePath, file) == 0) {
      SetHandleLocked(std::move(file));
      return 0;
    }
    if (ReplugWaitCancelled()) {
      Close();
      return VLMU_E_FAILED;
    }
    if (ElapsedTicks(start, platform::GetTickCount()) >= timeoutMs) {
      Close();
      return VLMU_E_TIMEOUT;
    }
    platform::Sleep(kReopenRetryMs);
  }
}

uint32_t VlmuDevice::StartPnPTracking() {
  if (!IsOpen()) return VLMU_E_DEVICE_NOT_OPEN;
  if (mDeviceRemovedEvent || mDeviceArrivedEvent) return VLMU_E_ALREADY_TRACKING;

  uint32_t error = 0;
  mDeviceRemovedEvent = platform::CreateSyncEvent(false, false, &error);
  if (!mDeviceRemovedEvent) {
    VLOG(LOG_ERROR, "StartPnPTracking: create 'device removed' event failed with 0x%08X.\n", error);
    return error;
  }
  mDeviceArrivedEvent = platform::CreateSyncEvent(false, false, &error);
  if (!mDeviceArrivedEvent) {
    VLOG(LOG_ERROR, "StartPnPTracking: create 'device arrived' event failed with 0x%08X.\n", error);
    mDeviceRemovedEvent.reset();
    return error;
  }
  if (!mNotificator.Initialize(mModuleInstance, this)) {
    VLOG(LOG_ERROR, "StartPnPTracking: Initialize failed.\n");
    mDeviceRemovedEvent.reset();
    mDeviceArrivedEvent.reset();
    return VLMU_E_FAILED;
  }
  if (!mNotificator.EnableDeviceNotifications(mInterfaceGuid)) {
    VLOG(LOG_ERROR, "StartPnPTracking: EnableDeviceNotifications failed.\n");
    mNotificator.Shutdown();
    mDeviceRemovedEvent.reset();
    mDeviceArrivedEvent.reset();
    return VLMU_E_FAILED;
  }
  return 0;
}

void VlmuDevice::StopPnPTracking() {
  if (!mNotificator.DisableDeviceNotifications(mInterfaceGuid)) {
    VLOG(LOG_ERROR, "StopPnPTracking: DisableDeviceNotifications failed.\n");
  }
  if (!mNotificator.Shutdown()) {
    VLOG(LOG_ERROR, "StopPnPTracking: Shutdown failed.\n");
  }
  // Closing an event cannot fail here; the thread that could set it has ended.
  mDeviceArrivedEvent.reset();
  mDeviceRemovedEvent.reset();
}

void VlmuDevice::OnDeviceChange(uint32_t /*message*/, uintptr_t wParam, const void* lParam) {
  if (!mDeviceRemovedEvent || !mDeviceArrivedEvent || lParam == nullptr) return;
  const auto* record = static_cast<const unsigned char*>(lParam);
  uint32_t recordSize = 0;
  uint32_t deviceType = 0;
  std::memcpy(&recordSize, record + offsetof(platform::DevBroadcastDeviceInterfaceA, dbcc_size), sizeof recordSize);
  std::memcpy(&deviceType, record + offsetof(platform::DevBroadcastDeviceInterfaceA, dbcc_devicetype),
              sizeof deviceType);
  if (deviceType != platform::kDbtDevTypDeviceInterface) return;
  constexpr size_t kNameOffset = offsetof(platform::DevBroadcastDeviceInterfaceA, dbcc_name);
  if (recordSize <= kNameOffset) return;
  // The name ends with a NUL inside the record; never read past the record.
  const char* name = reinterpret_cast<const char*>(record + kNameOffset);
  const size_t nameLength = strnlen(name, recordSize - kNameOffset);
  if (!platform::EqualsIgnoreAsciiCase(std::string_view(name, nameLength), mDevicePath)) return;

  if (wParam == platform::kDbtDeviceArrival) {
    mDeviceArrivedEvent->Set();
  } else if (wParam == platform::kDbtDeviceRemoveComplete) {
    // A removal withdraws an arrival nobody has consumed yet.
    mDeviceArrivedEvent->Reset();
    mDeviceRemovedEvent->Set();
  }
}
