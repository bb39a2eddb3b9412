#include "DeviceSnapshot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "FlashOptions.h"
#include "FlashText.h"
#include "ImageDisplay.h"
#include "RegularFile.h"
#include "StatusText.h"
#include "platform/AsciiText.h"
#include "platform/posix/DriverConnection.h"
#include "vlmufwdl.h"

namespace vlmuflash {

namespace {

constexpr uint32_t kSnapshotRetryMs = 50;
constexpr size_t kDfuSuffixSize = 16;

// The product id an interface path names ("...&pid_XXXX#..."), or -1.
int ProductIdInPath(const std::string& path) {
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("&pid_");
  if (at == std::string::npos || at + 9 > lower.size()) return -1;
  unsigned value = 0;
  if (std::sscanf(lower.c_str() + at + 5, "%4x", &value) != 1) return -1;
  return static_cast<int>(value);
}

// Paths of the present interfaces; the connection's error when no service answered.
uint32_t ServicePaths(std::vector<std::string>& paths) {
  paths.clear();
  std::unique_ptr<platform::DriverConnection> conn;
  const uint32_t reached = platform::DriverConnection::Connect(conn, "vlmu-flash", 5000);
  if (reached != 0) return reached;
  return conn->ListInterfaces(platform::kVendorInterfaceClass, paths);
}

void ReadEntry(DeviceEntry& d) {
  VLMUFWDL_DEVICE_INFO info;
  std::memset(&info, 0, sizeof info);
  d.status = VLMUFWDL_GetDeviceInfo(d.index, &info);
  d.vendorId = info.VendorId;
  d.productId = info.ProductId;
  d.serial = Utf16ToUtf8(info.SerialNumber, VLMUFWDL_SERIAL_NUMBER_CHARS);
}

int Refuse(const Options& o, int exitStatus, const std::string& message) {
  if (o.json) std::printf("{\"status\":%d,\"statusText\":%s}\n", exitStatus, vlmutool::JsonString(message).c_str());
  std::fprintf(stderr, "vlmu-flash: %s\n", message.c_str());
  return exitStatus;
}

}  // namespace

std::string DeviceName(const DeviceEntry& d) {
  const std::string serial = d.serial.empty() ? "(no serial number)" : vlmutool::Printable(d.serial);
  return d.path.empty() ? serial : serial + " at " + vlmutool::Printable(d.path);
}

ImageIds ReadImageIds(const std::string& path) {
  ImageIds ids;
  std::string bytes, error;
  if (!vlmutool::ReadRegularFile(path, bytes, error) || bytes.size() < kDfuSuffixSize) return ids;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - kDfuSuffixSize);
  // bcdDevice, idProduct, idVendor, bcdDFU, "UFD", bLength, dwCRC
  if (s[8] != 'U' || s[9] != 'F' || s[10] != 'D' || s[11] < kDfuSuffixSize) return ids;
  ids.present = true;
  ids.productId = static_cast<uint16_t>(s[2] | (s[3] << 8));
  ids.vendorId = static_cast<uint16_t>(s[4] | (s[5] << 8));
  return ids;
}

uint32_t TakeSnapshot(std::vector<DeviceEntry>& devices, uint32_t waitMs, const SnapshotScope& scope,
                      uint32_t* serviceError) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  auto position = [&](const std::vector<std::string>& paths) {
    return std::find(paths.begin(), paths.end(), scope.only) - paths.begin();
  };
  for (;;) {
    devices.clear();
    std::vector<std::string> before, after;
    const uint32_t reached = ServicePaths(before);
    const bool service = reached == 0;
    if (serviceError != nullptr) *serviceError = reached;
    uint32_t count = 0;
    const uint32_t st = VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count);
    if (st != 0) return st;
    // Without a service the library finds nothing either: nothing to match.
    const bool matched = service && before.size() == count;
    for (uint32_t i = 0; i < count; ++i) {
      DeviceEntry d;
      d.index = i;
      if (matched) d.path = before[i];
      const bool read = matched ? (scope.only.empty() ? scope.skip.count(d.path) == 0 : d.path == scope.only)
                                : scope.only.empty() && scope.skip.empty();
      if (read)
        ReadEntry(d);
      else
        d.status = VLMUFWDL_STATUS_INVALID_DEVICE_INDEX;
      devices.push_back(std::move(d));
    }
    if (!service) return 0;
    if (matched && ServicePaths(after) == 0 && after.size() == count &&
        (scope.only.empty() ? after == before : position(after) == position(before)))
      return 0;
    if (std::chrono::steady_clock::now() >= end) {
      // The list kept changing: positions stay valid for the library, paths are unknown.
      for (DeviceEntry& d : devices) d.path.clear();
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSnapshotRetryMs));
  }
}

int SelectDevices(const Options& o, const std::vector<DeviceEntry>& snapshot, const ImageIds& ids,
                  std::vector<DeviceEntry>& chosen) {
  chosen.clear();
  auto add = [&](const DeviceEntry& d) {
    for (const DeviceEntry& c : chosen)
      if (c.index == d.index) return;
    chosen.push_back(d);
  };
  for (const std::string& serial : o.serials) {
    std::vector<const DeviceEntry*> found;
    for (const DeviceEntry& d : snapshot)
      if (d.status == 0 && d.serial == serial) found.push_back(&d);
    if (found.empty())
      return Refuse(o, kExitNoSuchDevice, "no device with serial number " + vlmutool::Printable(serial));
    if (found.size() > 1)
      return Refuse(o, kExitAmbiguousSerial,
                    "serial number " + vlmutool::Printable(serial) + " is not unique: devices at " +
                        vlmutool::Printable(found[0]->path) + " and " + vlmutool::Printable(found[1]->path) +
                        " both have it; choose one with --path");
    add(*found[0]);
  }
  for (const std::string& path : o.paths) {
    const DeviceEntry* found = nullptr;
    for (const DeviceEntry& d : snapshot)
      if (!d.path.empty() && platform::EqualsIgnoreAsciiCase(d.path, path)) found = &d;
    if (found == nullptr) return Refuse(o, kExitNoSuchDevice, "no device at path " + vlmutool::Printable(path));
    if (found->status != 0)
      return Refuse(
          o, ExitStatusFor(found->status),
          "the device at " + vlmutool::Printable(path) + " cannot be read: " + vlmutool::DescribeStatus(found->status));
    add(*found);
  }
  if (o.all) {
    for (const DeviceEntry& d : snapshot)
      if (d.status == 0 && ids.Match(d.vendorId, d.productId)) add(d);
    if (chosen.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "no device matches the image's ids %04x:%04x; nothing was written", ids.vendorId,
                    ids.productId);
      return Refuse(o, kExitNoSuchDevice,
                    snapshot.empty() ? std::string("no device found; nothing was written") : text);
    }
  }
  return 0;
}

bool SameDevice(const DeviceEntry& selected, uint16_t vendorId, uint16_t productId, const std::string& serial) {
  return vendorId == selected.vendorId && serial == selected.serial &&
         (productId == selected.productId || static_cast<int>(productId) == ProductIdInPath(selected.path));
}

std::string IdentityText(const DeviceEntry& d) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x:", d.vendorId, d.productId);
  return ids + d.serial;
}

bool ParseIdentityText(const std::string& text, DeviceEntry& d) {
  unsigned vid = 0, pid = 0;
  int used = 0;
  if (text.size() < 10 || text[4] != ':' || text[9] != ':' ||
      std::sscanf(text.c_str(), "%4x:%4x:%n", &vid, &pid, &used) != 2 || used != 10)
    return false;
  d.vendorId = static_cast<uint16_t>(vid);
  d.productId = static_cast<uint16_t>(pid);
  d.serial = text.substr(10);
  return true;
}

}  // namespace vlmuflash
