// A device interface of the vendor driver opened with CreateFileA for
// overlapped I/O and driven with DeviceIoControl. Every request is awaited to
// its end; the file's one OVERLAPPED record serves one request at a time
// (the caller's transport lock).
#include <windows.h>

#include <memory>
#include <new>

#include "platform/DeviceFile.h"

namespace platform {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "path not found");

namespace {

class DriverDeviceFile final : public DeviceFile {
 public:
  DriverDeviceFile(HANDLE file, HANDLE event) : mFile(file), mEvent(event) {}
  ~DriverDeviceFile() override {
    CloseHandle(mFile);
    CloseHandle(mEvent);
  }
  DriverDeviceFile(const DriverDeviceFile&) = delete;
  DriverDeviceFile& operator=(const DriverDeviceFile&) = delete;

  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) override {
    OVERLAPPED overlapped{};
    overlapped.hEvent = mEvent;
    DWORD transferred = 0;
    uint32_t status = 0;
    if (!DeviceIoControl(mFile, code, const_cast<void*>(in), inSize, out, outSize, &transferred, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        status = error;
        transferred = 0;
      } else if (!GetOverlappedResult(mFile, &overlapped, &transferred, TRUE)) {
        status = GetLastError();
      }
    }
    if (bytesReturned != nullptr) *bytesReturned = transferred <= outSize ? transferred : outSize;
    return status;
  }

 private:
  const HANDLE mFile;
  const HANDLE mEvent;  // auto-reset, signalled by the completed request
};

}  // namespace

uint32_t OpenDeviceFile(const std::string& path, std::unique_ptr<DeviceFile>& file) {
  file.reset();
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    return error;
  }
  auto* opened = new (std::nothrow) DriverDeviceFile(handle, event);
  if (opened == nullptr) {
    CloseHandle(handle);
    CloseHandle(event);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  file.reset(opened);
  return 0;
}

}  // namespace platform
