#pragma once
// Which device is which: the library's device list matched with the
// interface paths of the driver service, selection by position, serial
// number or path, and the check on the opened device that it is the one
// selected.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vlmuflash {

struct Options;

// One device of the list, as enumerated by the library.
struct DeviceEntry {
  uint32_t index = 0;  // position in the library's list
  std::string path;    // interface path ("" when it could not be matched)
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;   // UTF-8
  uint32_t status = 0;  // of VLMUFWDL_GetDeviceInfo: 0 when the fields are valid
};

// "SERIAL at PATH" (or "(no serial number)"): how messages name a device.
std::string DeviceName(const DeviceEntry& d);

// Ids of an image's DFU suffix; 0xFFFF stands for any.
struct ImageIds {
  bool present = false;
  uint16_t vendorId = 0xFFFF;
  uint16_t productId = 0xFFFF;
  bool Match(uint16_t vid, uint16_t pid) const {
    return !present || ((vendorId == 0xFFFF || vendorId == vid) && (productId == 0xFFFF || productId == pid));
  }
};
// Reads the DFU suffix of an image file (absent: present stays false).
ImageIds ReadImageIds(const std::string& path);

// Which devices a snapshot reads (opening a device to read its identity
// costs requests on the bus; a device under download is left alone).
struct SnapshotScope {
  std::set<std::string> skip;  // paths whose devices are not read
  std::string only;            // when set: only this path's device is read
};

// Enumerates through the library and gives each index its interface path:
// the service's path list is read before and after the enumeration, and the
// two must agree with each other and with the library's count (no device
// came or went in between; with `only`, it is enough that the count holds
// and that path keeps its position). Otherwise it tries again, for up to
// `waitMs`, and then leaves the paths empty. Devices not read get status 13
// ("not read"). Returns 0 or the failed library status; `serviceError` gets
// the answer of the connection to the driver service (0: it answered;
// kErrorServiceNotActive: none listens; kErrorAccessDenied: this user may
// not use it).
uint32_t TakeSnapshot(std::vector<DeviceEntry>& devices, uint32_t waitMs, const SnapshotScope& scope = {},
                      uint32_t* serviceError = nullptr);

// The devices the selectors of `o` name in `snapshot`. Returns 0, or an exit
// status after a message on stderr (and in JSON with --json): unknown serial
// number or path, a serial number two devices have, --all without a match.
int SelectDevices(const Options& o, const std::vector<DeviceEntry>& snapshot, const ImageIds& ids,
                  std::vector<DeviceEntry>& chosen);

// Whether the opened device (its ids and serial number as the library read
// them when it opened the device) is the selected one: same vendor id and
// serial number, and the product id it had when selected or the one its
// interface path names (a device in DFU mode may have another).
bool SameDevice(const DeviceEntry& selected, uint16_t vendorId, uint16_t productId, const std::string& serial);

// "VVVV:PPPP:SERIAL" and back (worker processes get their device this way).
std::string IdentityText(const DeviceEntry& d);
bool ParseIdentityText(const std::string& text, DeviceEntry& d);

}  // namespace vlmuflash
