#include "UsbDevices.h"

#include <algorithm>
#include <cstdio>

#include "Description.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;

UsbPort UsbPort::Of(libusb_device* dev) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
  return {libusb_get_bus_number(dev), n > 0 ? std::vector<uint8_t>(ports, ports + n) : std::vector<uint8_t>{}};
}

std::string UsbPort::Text() const {
  std::string s = std::to_string(bus) + "-";
  for (size_t i = 0; i < ports.size(); ++i) s += (i ? "." : "") + std::to_string(ports[i]);
  return s;
}

std::string PathSafeSerial(const std::string& serial) {
  std::string s = serial;
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '#' || c == '\\' || c == '/') c = '_';
  }
  return s;
}

UsbDevice* UsbDevices::Find(uint64_t uid) {
  for (auto& d : mDevices)
    if (d->uid == uid) return d.get();
  return nullptr;
}

UsbDevice* UsbDevices::FindPresent(const std::string& path) {
  for (auto& d : mDevices)
    if (d->present && SamePath(d->path, path)) return d.get();
  return nullptr;
}

UsbDevice* UsbDevices::FollowerAt(libusb_device* dev) {
  const UsbPort port = UsbPort::Of(dev);
  for (auto& d : mDevices)
    if (d->following && !d->present && d->port == port) return d.get();
  return nullptr;
}

// Whether the configuration names the device: by id, or by its DFU interface.
bool UsbDevices::Listed(libusb_device* dev) const {
  libusb_device_descriptor dd{};
  if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
  for (const auto& [vid, pid] : mOptions.ids)
    if (dd.idVendor == vid && dd.idProduct == pid) return true;
  if (!mOptions.anyDfu) return false;
  for (uint8_t c = 0; c < dd.bNumConfigurations; ++c) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(dev, c, &cfg) != 0) continue;
    bool dfu = false;
    for (int i = 0; i < cfg->bNumInterfaces && !dfu; ++i)
      for (int a = 0; a < cfg->interface[i].num_altsetting && !dfu; ++a) {
        const auto& alt = cfg->interface[i].altsetting[a];
        dfu = alt.bInterfaceClass == kDfuClass && alt.bInterfaceSubClass == kDfuSubClass;
      }
    libusb_free_config_descriptor(cfg);
    if (dfu) return true;
  }
  return false;
}

bool UsbDevices::Probing(libusb_device* dev) const {
  return std::any_of(mProbing.begin(), mProbing.end(), [dev](const Link* l) { return l->dev == dev; });
}

bool UsbDevices::Known(libusb_device* dev) const {
  return Probing(dev) || std::any_of(mDevices.begin(), mDevices.end(), [dev](const auto& d) { return d->dev == dev; });
}

void UsbDevices::OnHotplug(libusb_device* dev, bool arrived) {
  if (arrived) {
    // A device that was reset comes back at its port, maybe with another id.
    if (!Known(dev) && (FollowerAt(dev) != nullptr || Listed(dev))) Probe(dev);
  } else {
    for (Link* l : mProbing)
      if (l->dev == dev) l->leftEarly = true;
    for (auto& d : mDevices) {
      if (d->dev != dev) continue;
      if (d->present) LeaveBus(*d);
      libusb_unref_device(d->dev);
      d->dev = nullptr;
    }
  }
  libusb_unref_device(dev);
}

void UsbDevices::Rescan(libusb_context* ctx) {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  std::vector<libusb_device*> now;
  for (ssize_t i = 0; i < n; ++i) now.push_back(libusb_ref_device(list[i]));
  if (list != nullptr) libusb_free_device_list(list, 1);
  for (libusb_device* dev : mSeen)
    if (std::find(now.begin(), now.end(), dev) == now.end()) OnHotplug(libusb_ref_device(dev), false);
  for (libusb_device* dev : now)
    if (std::find(mSeen.begin(), mSeen.end(), dev) == mSeen.end()) OnHotplug(libusb_ref_device(dev), true);
  for (libusb_device* dev : mSeen) libusb_unref_device(dev);
  mSeen = std::move(now);
  mRescanTimer = mTimers.Schedule(mOptions.rescanMs, [this, ctx] { Rescan(ctx); });
}

// Opens a device on a new transfer thread and reads its serial number.
void UsbDevices::Probe(libusb_device* dev) {
  auto owned = std::make_unique<Link>();
  Link* link = owned.get();
  link->dev = libusb_ref_device(dev);
  mLinks.push_back(std::move(owned));
  mProbing.push_back(link);
  link->worker.Post([this, link] {
    Identity id = Identify(*link);
    mInbox.Post([this, link, id] { OnIdentified(link, id); });
  });
}

void UsbDevices::OnIdentified(Link* link, const Identity& id) {
  mProbing.erase(std::find(mProbing.begin(), mProbing.end(), link));
  const UsbPort port = UsbPort::Of(link->dev);
  if (id.error != 0 || link->leftEarly) {
    if (id.error != 0)
      std::fprintf(stderr, "velmora-driverd: cannot open the USB device at %s: %s\n", port.Text().c_str(),
                   libusb_error_name(id.error));
    Retire(link);
    return;
  }
  libusb_device_descriptor dd{};
  libusb_get_device_descriptor(link->dev, &dd);
  const std::string serial = PathSafeSerial(id.serial);
  UsbDevice* d = DeviceFor(*link, dd, serial, port);
  if (d == nullptr) {
    Retire(link);
    return;
  }
  Arrive(*d, *link, dd, serial, id, port);
}

// The interface an identified device is: the one followed at its port with
// its serial number, an absent one with its path, or a new one. nullptr when
// it is not served.
UsbDevice* UsbDevices::DeviceFor(Link& link, const libusb_device_descriptor& dd, const std::string& serial,
                                 const UsbPort& port) {
  // A device that was reset comes back at the same port; with the same
  // serial number it is the same interface, whatever id it has now.
  UsbDevice* d = nullptr;
  for (auto& c : mDevices)
    if (c->following && !c->present && c->port == port && c->serial == serial) d = c.get();
  if (d != nullptr) return d;
  if (!Listed(link.dev)) return nullptr;  // another device at the port of one that was reset: not ours
  const std::string path = DefaultPath(dd.idVendor, dd.idProduct, serial, mOptions.interfaceClass);
  for (auto& c : mDevices)
    if (!c->present && SamePath(c->path, path)) d = c.get();
  if (d != nullptr) return d;
  if (FindPresent(path) != nullptr) {
    std::fprintf(stderr, "velmora-driverd: USB device at %s has the same path as another: %s; not served\n",
                 port.Text().c_str(), path.c_str());
    return nullptr;
  }
  mDevices.push_back(std::make_unique<UsbDevice>());
  d = mDevices.back().get();
  d->uid = mNextUid++;
  d->path = path;
  return d;
}

void UsbDevices::Arrive(UsbDevice& d, Link& link, const libusb_device_descriptor& dd, const std::string& serial,
                        const Identity& id, const UsbPort& port) {
  StopFollowing(d);
  if (d.dev != link.dev) {
    if (d.dev != nullptr) libusb_unref_device(d.dev);
    d.dev = libusb_ref_device(link.dev);
  }
  d.serial = serial;
  d.detachTimeoutMs = id.detachTimeoutMs;
  d.vid = dd.idVendor;
  d.pid = dd.idProduct;
  d.port = port;
  d.link = &link;
  d.present = true;
  ++d.appearance;
  mEvents.OnDeviceChange(kDbtDeviceArrival, mOptions.interfaceClass, d.path);
}

void UsbDevices::StopFollowing(UsbDevice& d) {
  d.following = false;
  d.detachExpected = false;
  mTimers.Cancel(d.followTimer);
  mTimers.Cancel(d.settleTimer);
  mTimers.Cancel(d.detachTimer);
  d.followTimer = d.settleTimer = d.detachTimer = 0;
}

// A device that leaves the bus within its detach time-out (at least the
// return time-out) is the same device when it comes back at its port with
// its serial number.
void UsbDevices::ExpectDetach(UsbDevice& d) {
  mTimers.Cancel(d.detachTimer);
  d.detachExpected = true;
  const uint64_t uid = d.uid;
  d.detachTimer = mTimers.Schedule(std::max<uint32_t>(d.detachTimeoutMs, mOptions.returnTimeoutMs), [this, uid] {
    if (UsbDevice* x = Find(uid)) {
      x->detachTimer = 0;
      x->detachExpected = false;
    }
  });
}

// Closes the link's handle on its own thread and lets the thread end.
void UsbDevices::Retire(Link* link) {
  link->worker.Post([this, link] {
    CloseLink(*link);
    mInbox.Post([this, link] { Reap(link); });
  });
}

void UsbDevices::Reap(Link* link) {
  auto it = std::find_if(mLinks.begin(), mLinks.end(), [link](const auto& p) { return p.get() == link; });
  if (it == mLinks.end()) return;
  (*it)->worker.StopAndJoin();  // its last job is done: the join is immediate
  mLinks.erase(it);
}

void UsbDevices::LeaveBus(UsbDevice& d) {
  if (!d.present) return;
  d.present = false;
  ++d.appearance;  // handles of this appearance are dead from now on
  auto pending = std::move(d.pending);
  d.pending.clear();
  // A port reset in progress did what it was asked: the device left. So
  // did a detach request of a device that leaves while answering it.
  bool reset = d.detachExpected;
  for (auto& [id, p] : pending) {
    reset = reset || p.cycle || p.detach;
    p.done(IoResult{p.cycle || p.detach ? kErrorSuccess : kErrorDeviceNotConnected, {}});
  }
  if (d.link != nullptr) {
    Retire(d.link);
    d.link = nullptr;
  }
  mEvents.OnDeviceChange(kDbtDeviceRemoveComplete, mOptions.interfaceClass, d.path);
  if (reset) FollowAfterReset(d);
}

// After a port reset the device has left the bus for its clients. Either it
// re-enumerates (a hotplug removal, then an arrival at the same port) or it
// keeps its address (descriptors unchanged): then it is opened again.
void UsbDevices::FollowAfterReset(UsbDevice& d) {
  StopFollowing(d);
  d.following = true;
  const uint64_t uid = d.uid;
  d.followTimer = mTimers.Schedule(mOptions.returnTimeoutMs, [this, uid] {
    if (UsbDevice* x = Find(uid)) {
      x->followTimer = 0;
      if (!x->present) StopFollowing(*x);
    }
  });
  d.settleTimer = mTimers.Schedule(mOptions.resetSettleMs, [this, uid] {
    UsbDevice* x = Find(uid);
    if (x == nullptr) return;
    x->settleTimer = 0;
    if (!x->present && x->following && x->dev != nullptr && !Probing(x->dev)) Probe(x->dev);
  });
}

void UsbDevices::CloseAll() {
  mTimers.Cancel(mRescanTimer);
  for (auto& d : mDevices) {
    StopFollowing(*d);
    if (d->link != nullptr) Retire(d->link);
    d->link = nullptr;
  }
  for (Link* l : mProbing) Retire(l);
  mProbing.clear();
  // Every thread finishes its transfer (bounded by the control time-out),
  // closes its handle and ends.
  for (auto& l : mLinks) l->worker.StopAndJoin();
  mLinks.clear();
}

void UsbDevices::ReleaseDevices() {
  for (auto& d : mDevices)
    if (d->dev != nullptr) libusb_unref_device(d->dev);
  for (libusb_device* dev : mSeen) libusb_unref_device(dev);
}

}  // namespace vlmudrv
