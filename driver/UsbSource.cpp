#include "UsbSource.h"

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "IoRequestLayout.h"
#include "UsbDevices.h"
#include "UsbTransfers.h"
#include "UsbWorker.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

struct UsbSource::Impl {
  Impl(Scheduler& timers, DeviceEvents& events, UsbOptions o)
      : options(std::move(o)), devices(timers, events, options, inbox) {}

  static int HotplugCallback(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user);
  bool WatchBus(std::string& error);
  void StopEvents();
  void Complete(uint64_t uid, uint64_t appearance, uint64_t id, IoResult result);

  UsbOptions options;
  Inbox inbox;  // results of the other threads for the loop
  UsbDevices devices;
  libusb_context* ctx = nullptr;
  libusb_hotplug_callback_handle hotplug = 0;
  bool hasHotplug = false;
  std::thread eventThread;
  std::atomic<bool> stopEvents{false};
  uint64_t nextRequest = 1;
};

int UsbSource::Impl::HotplugCallback(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
  auto* self = static_cast<Impl*>(user);
  libusb_ref_device(dev);
  self->inbox.Post([self, dev, event] { self->devices.OnHotplug(dev, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED); });
  return 0;
}

// Arrivals and removals from libusb's hotplug events, or from rescans of the
// bus where it has none; then the thread that runs libusb's events.
bool UsbSource::Impl::WatchBus(std::string& error) {
  hasHotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
  if (hasHotplug) {
    // ENUMERATE reports the devices present now as arrivals too (queued for the loop).
    const int h = libusb_hotplug_register_callback(
        ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        &Impl::HotplugCallback, this, &hotplug);
    if (h != 0) {
      error = std::string("libusb hotplug: ") + libusb_error_name(h);
      return false;
    }
  } else {
    devices.Rescan(ctx);
  }
  eventThread = std::thread([this] {
    while (!stopEvents) {
      timeval tv{0, 200000};
      libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
  });
  return true;
}

void UsbSource::Impl::StopEvents() {
  if (hasHotplug) libusb_hotplug_deregister_callback(ctx, hotplug);
  stopEvents = true;
  libusb_interrupt_event_handler(ctx);
  if (eventThread.joinable()) eventThread.join();
}

// A request's result from its transfer thread, on the loop's thread.
void UsbSource::Impl::Complete(uint64_t uid, uint64_t appearance, uint64_t id, IoResult result) {
  UsbDevice* d = devices.Find(uid);
  if (d == nullptr) return;
  auto it = d->pending.find(id);
  if (it == d->pending.end()) return;  // already failed: the device left
  IoCompletion done = std::move(it->second.done);
  const bool cycle = it->second.cycle, detach = it->second.detach;
  d->pending.erase(it);
  if (d->appearance != appearance || !d->present) return done(IoResult{kErrorDeviceNotConnected, {}});
  if (result.error == kErrorDeviceNotConnected) {
    // A device that leaves while answering its detach request did as asked.
    if (detach) {
      d->detachExpected = true;
      result.error = kErrorSuccess;
    }
    done(std::move(result));
    devices.LeaveBus(*d);
    return;
  }
  if (cycle && result.error == 0) {
    done(std::move(result));
    devices.LeaveBus(*d);
    devices.FollowAfterReset(*d);
    return;
  }
  if (detach && result.error == 0) devices.ExpectDetach(*d);
  done(std::move(result));
}

UsbSource::UsbSource(Scheduler& scheduler, DeviceEvents& events, UsbOptions options)
    : mImpl(std::make_unique<Impl>(scheduler, events, std::move(options))) {}

UsbSource::~UsbSource() {
  Impl& m = *mImpl;
  m.devices.CloseAll();
  m.inbox.Clear();
  if (m.ctx != nullptr) {
    m.StopEvents();
    // Hotplug events still queued hold references.
    m.devices.ReleaseDevices();
    libusb_exit(m.ctx);
  }
}

bool UsbSource::Start(std::string& error) {
  Impl& m = *mImpl;
  if (m.inbox.WakeFd() < 0) {
    error = "eventfd failed";
    return false;
  }
  const int r = libusb_init(&m.ctx);
  if (r != 0) {
    m.ctx = nullptr;
    error = std::string("libusb_init: ") + libusb_error_name(r);
    return false;
  }
  return m.WatchBus(error);
}

std::vector<DeviceSource::WakeUp> UsbSource::WakeUps() {
  return {{mImpl->inbox.WakeFd(), [this] { mImpl->inbox.Drain(); }}};
}

std::vector<InterfaceEntry> UsbSource::ListInterfaces(const platform::Guid& interfaceClass) const {
  std::vector<InterfaceEntry> out;
  if (!(interfaceClass == mImpl->options.interfaceClass)) return out;
  for (const auto& d : mImpl->devices.All())
    if (d->present) out.push_back({d->path, mImpl->options.interfaceClass});
  return out;
}

uint32_t UsbSource::Open(const std::string& path, DeviceHandle& handle) {
  const UsbDevice* d = mImpl->devices.FindPresent(path);
  if (d == nullptr) return kErrorFileNotFound;
  handle.device = d->uid;
  handle.appearance = d->appearance;
  handle.path = d->path;
  return 0;
}

void UsbSource::IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) {
  Impl& m = *mImpl;
  UsbDevice* d = m.devices.Find(handle.device);
  if (d == nullptr || !d->present || d->appearance != handle.appearance || d->link == nullptr)
    return done(IoResult{kErrorDeviceNotConnected, {}});
  // The same checks as the simulated devices make, before the device sees anything.
  if (const uint32_t error = CheckIoRequest(request); error != kErrorSuccess) return done(IoResult{error, {}});
  const uint64_t id = m.nextRequest++;
  const uint64_t uid = d->uid, appearance = d->appearance;
  const bool cycle = request.code == kIoctlCyclePort;
  d->pending.emplace(id, UsbDevice::Pending{std::move(done), cycle, IsDetachRequest(request)});
  Link* link = d->link;
  const uint32_t timeoutMs = m.options.controlTimeoutMs;
  link->worker.Post([&m, link, uid, appearance, id, timeoutMs, request = std::move(request)] {
    IoResult result = Transfer(*link, request, timeoutMs);
    m.inbox.Post([&m, uid, appearance, id, result = std::move(result)]() mutable {
      m.Complete(uid, appearance, id, std::move(result));
    });
  });
}

bool UsbSource::Control(const json& command, uint32_t& error, json& result) {
  (void)error;
  if (command.value("cmd", std::string()) != "list-usb") return false;
  json list = json::array();
  for (const auto& d : mImpl->devices.All()) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d->vid, d->pid);
    list.push_back({{"path", d->path},
                    {"state", d->present ? "present" : (d->following ? "off-bus" : "unplugged")},
                    {"ids", ids},
                    {"serial", d->serial},
                    {"port", d->port.Text()},
                    {"appearance", d->appearance},
                    {"inFlight", d->pending.size()}});
  }
  result["devices"] = list;
  return true;
}

}  // namespace vlmudrv
