// A device interface opened through the driver service: one connection per
// open interface, like one file handle.
#include <memory>
#include <new>

#include "platform/DeviceFile.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace platform {
namespace {

class ServiceDeviceFile final : public DeviceFile {
 public:
  explicit ServiceDeviceFile(std::unique_ptr<DriverConnection> connection) : mConnection(std::move(connection)) {}

  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) override {
    uint32_t received = 0;
    const uint32_t error = mConnection->IoControl(code, in, inSize, out, outSize, &received);
    // Never report more than the caller's buffer holds.
    if (bytesReturned != nullptr) *bytesReturned = received <= outSize ? received : outSize;
    return error;
  }

 private:
  // Dropping the connection closes the interface on the service's side.
  std::unique_ptr<DriverConnection> mConnection;
};

}  // namespace

uint32_t OpenDeviceFile(const std::string& path, std::unique_ptr<DeviceFile>& file) {
  file.reset();
  try {
    std::unique_ptr<DriverConnection> connection;
    uint32_t error = DriverConnection::Connect(connection, "velmora_dfu_x64 device");
    if (error != 0) return error;
    error = connection->Open(path);
    if (error != 0) return error;
    file = std::make_unique<ServiceDeviceFile>(std::move(connection));
    return 0;
  } catch (const std::bad_alloc&) {
    return 8;  // ERROR_NOT_ENOUGH_MEMORY
  } catch (...) {
    return driverproto::kErrorGenFailure;
  }
}

}  // namespace platform
