#pragma once
// What the USB device source does with a device, on the transfer thread of
// one of its appearances (a Link): open it and find out who it is, turn the
// vendor driver's requests into control transfers and port resets, close it.
#include <libusb.h>

#include <cstdint>
#include <string>

#include "DeviceSource.h"
#include "UsbWorker.h"

namespace vlmudrv {

inline constexpr uint8_t kDfuClass = 0xFE, kDfuSubClass = 0x01;

// An open handle on one appearance of a device, with its transfer thread.
struct Link {
  libusb_device* dev = nullptr;  // referenced
  libusb_device_handle* handle = nullptr;
  int claimed = -1;        // claimed DFU interface number
  bool leftEarly = false;  // the device left before it was identified (loop thread)
  Worker worker;
};

// What identifying an opened device found out.
struct Identity {
  int error = 0;  // libusb error of the open, 0 on success
  std::string serial;
  uint16_t detachTimeoutMs = 0;  // wDetachTimeOut of the DFU functional descriptor, 0 without one
};

// Opens the device (kernel drivers detached where needed), reads its serial
// number and claims its DFU interface.
Identity Identify(Link& link);
// Releases the interface, closes the handle and drops the device reference.
void CloseLink(Link& link);
// One well-formed request (see CheckIoRequest): a descriptor request or
// control request as a control transfer, cycle port as a port reset.
IoResult Transfer(Link& link, const IoRequest& request, uint32_t timeoutMs);
// Whether a well-formed request asks the device to detach (DFU_DETACH, or
// the vendor's detach request 0x80), after which it may leave the bus by itself.
bool IsDetachRequest(const IoRequest& request);

}  // namespace vlmudrv
