#include "UsbTransfers.h"

#include <algorithm>
#include <cstdio>

#include "IoRequestLayout.h"
#include "dfu/DfuState.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;

namespace {

constexpr uint8_t kDfuFunctionalType = 0x21;

// libusb's results as the vendor driver reports them.
uint32_t MapLibusbError(int r) {
  switch (r) {
    case LIBUSB_ERROR_PIPE:      // stall
    case LIBUSB_ERROR_OVERFLOW:  // babble: the device sent more than asked
      return kErrorGenFailure;
    case LIBUSB_ERROR_NO_DEVICE:
      return kErrorDeviceNotConnected;
    case LIBUSB_ERROR_TIMEOUT:
      return kErrorSemTimeout;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

// wDetachTimeOut of a DFU functional descriptor among an interface's extra
// descriptors (0 when there is none).
uint16_t DetachTimeoutOf(const unsigned char* extra, int length) {
  for (int at = 0; at + 2 <= length && extra[at] >= 2; at += extra[at]) {
    if (extra[at + 1] == kDfuFunctionalType && extra[at] >= 5 && at + 5 <= length)
      return static_cast<uint16_t>(extra[at + 3] | (extra[at + 4] << 8));
  }
  return 0;
}

std::string SerialNumber(Link& link) {
  libusb_device_descriptor dd{};
  libusb_get_device_descriptor(link.dev, &dd);
  if (dd.iSerialNumber == 0) return "";
  unsigned char text[256];
  const int n = libusb_get_string_descriptor_ascii(link.handle, dd.iSerialNumber, text, sizeof text);
  return n > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n)) : std::string();
}

// The DFU interface carries the class requests: claim it (detaching a kernel
// driver if one is bound). Without it the kernel claims it on the first
// request where it can.
void ClaimDfuInterface(Link& link, Identity& id) {
  libusb_config_descriptor* cfg = nullptr;
  if (libusb_get_active_config_descriptor(link.dev, &cfg) != 0) return;
  for (int i = 0; i < cfg->bNumInterfaces && link.claimed < 0; ++i) {
    const auto& alt = cfg->interface[i].altsetting[0];
    if (alt.bInterfaceClass != kDfuClass || alt.bInterfaceSubClass != kDfuSubClass) continue;
    id.detachTimeoutMs = DetachTimeoutOf(alt.extra, alt.extra_length);
    const int r = libusb_claim_interface(link.handle, alt.bInterfaceNumber);
    if (r == 0)
      link.claimed = alt.bInterfaceNumber;
    else
      std::fprintf(stderr, "velmora-driverd: cannot claim the DFU interface %u of a USB device: %s\n",
                   alt.bInterfaceNumber, libusb_error_name(r));
  }
  libusb_free_config_descriptor(cfg);
}

IoResult Failed(int r) { return IoResult{MapLibusbError(r), {}}; }

IoResult GetDescriptor(Link& link, const IoRequest& request, uint32_t timeoutMs) {
  const DescriptorRequest d = DescriptorRequest::Read(request.in);
  std::string buf(std::min<uint32_t>(request.outSize, 0xFFFF), '\0');
  const int r = libusb_control_transfer(
      link.handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>((d.type << 8) | d.index),
      d.languageId, reinterpret_cast<unsigned char*>(buf.data()), static_cast<uint16_t>(buf.size()), timeoutMs);
  if (r < 0) return Failed(r);
  buf.resize(static_cast<size_t>(r));
  return IoResult{0, std::move(buf)};
}

IoResult ControlTransfer(Link& link, const IoRequest& request, uint32_t timeoutMs) {
  const ControlSetup s = ControlSetup::Read(request.in);
  const auto bmRequestType =
      static_cast<uint8_t>((s.ToHost() ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT) | (s.type << 5) | s.recipient);
  std::string buf = s.ToHost() ? std::string(s.wLength, '\0') : request.in.substr(ControlSetup::kSize);
  const int r = libusb_control_transfer(link.handle, bmRequestType, s.bRequest, s.wValue, s.wIndex,
                                        reinterpret_cast<unsigned char*>(buf.data()), s.wLength, timeoutMs);
  if (r < 0) return Failed(r);
  if (!s.ToHost()) return IoResult{0, {}};
  buf.resize(std::min<size_t>(static_cast<size_t>(r), request.outSize));
  return IoResult{0, std::move(buf)};
}

}  // namespace

Identity Identify(Link& link) {
  Identity id;
  id.error = libusb_open(link.dev, &link.handle);
  if (id.error != 0) return id;
  libusb_set_auto_detach_kernel_driver(link.handle, 1);
  id.serial = SerialNumber(link);
  ClaimDfuInterface(link, id);
  return id;
}

void CloseLink(Link& link) {
  if (link.handle != nullptr) {
    if (link.claimed >= 0) libusb_release_interface(link.handle, link.claimed);
    libusb_close(link.handle);
    link.handle = nullptr;
  }
  libusb_unref_device(link.dev);
  link.dev = nullptr;
}

IoResult Transfer(Link& link, const IoRequest& request, uint32_t timeoutMs) {
  if (request.code == kIoctlGetDescriptor) return GetDescriptor(link, request, timeoutMs);
  if (request.code == kIoctlControlRequest) return ControlTransfer(link, request, timeoutMs);
  // Cycle port: a port reset. Whether the device re-enumerates (its
  // descriptors changed, as after a switch into DFU mode) or keeps its
  // address, it leaves the bus for its clients and comes back.
  const int r = libusb_reset_device(link.handle);
  if (r == 0 || r == LIBUSB_ERROR_NOT_FOUND) return IoResult{0, {}};
  return Failed(r);
}

bool IsDetachRequest(const IoRequest& request) {
  if (request.code != kIoctlControlRequest) return false;
  const ControlSetup s = ControlSetup::Read(request.in);
  return !s.ToHost() && ((s.type == kTypeClass && s.bRequest == DFU_DETACH) ||
                         (s.type == kTypeVendor && s.bRequest == VENDOR_DFU_DETACH));
}

}  // namespace vlmudrv
