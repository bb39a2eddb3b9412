#include "UsbSource.h"

#include <libusb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "Description.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

constexpr uint8_t kDfuClass = 0xFE, kDfuSubClass = 0x01;
constexpr uint8_t kDfuFunctionalType = 0x21;
// Requests after which a device may leave the bus by itself: DFU_DETACH
// (class, interface) and the vendor's detach request 0x80 (vendor, device).
constexpr uint8_t kDfuDetach = 0x00, kVendorDetach = 0x80;
constexpr uint32_t kTypeClass = 1, kTypeVendor = 2;

uint16_t Le16(std::string_view s, size_t off) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[off]) | (static_cast<uint8_t>(s[off + 1]) << 8));
}
uint32_t Le32(std::string_view s, size_t off) {
  return static_cast<uint32_t>(Le16(s, off)) | (static_cast<uint32_t>(Le16(s, off + 2)) << 16);
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// libusb's results as the vendor driver reports them.
uint32_t MapLibusbError(int r) {
  switch (r) {
    case LIBUSB_ERROR_PIPE:       // stall
    case LIBUSB_ERROR_OVERFLOW:   // babble: the device sent more than asked
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

// Runs jobs in order on a thread of its own: the blocking libusb calls of
// one device appearance.
class Worker {
 public:
  Worker() : mThread([this] { Loop(); }) {}
  ~Worker() { StopAndJoin(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mJobs.push_back(std::move(job));
    }
    mCv.notify_one();
  }
  // Runs what is queued, then ends the thread.
  void StopAndJoin() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mStop = true;
    }
    mCv.notify_one();
    if (mThread.joinable()) mThread.join();
  }
  bool Finished() const { return mFinished.load(); }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mMutex);
        mCv.wait(lock, [this] { return mStop || !mJobs.empty(); });
        if (mJobs.empty()) break;
        job = std::move(mJobs.front());
        mJobs.pop_front();
      }
      job();
    }
    mFinished = true;
  }

  std::mutex mMutex;
  std::condition_variable mCv;
  std::deque<std::function<void()>> mJobs;
  bool mStop = false;
  std::atomic<bool> mFinished{false};
  std::thread mThread;  // last: starts once the members above exist
};

// An open handle on one appearance of a device, with its transfer thread.
struct Link {
  libusb_device* dev = nullptr;  // referenced
  libusb_device_handle* handle = nullptr;
  int claimed = -1;  // claimed DFU interface number
  bool leftEarly = false;  // the device left before it was identified (loop thread)
  Worker worker;
};

// What identifying an opened device found out.
struct Identity {
  int error = 0;  // libusb error of the open, 0 on success
  std::string serial;
  uint16_t detachTimeoutMs = 0;  // wDetachTimeOut of the DFU functional descriptor, 0 without one
};

// wDetachTimeOut of a DFU functional descriptor among an interface's extra
// descriptors (0 when there is none).
uint16_t DetachTimeoutOf(const unsigned char* extra, int length) {
  for (int at = 0; at + 2 <= length && extra[at] >= 2; at += extra[at]) {
    if (extra[at + 1] == kDfuFunctionalType && extra[at] >= 5 && at + 5 <= length)
      return static_cast<uint16_t>(extra[at + 3] | (extra[at + 4] << 8));
  }
  return 0;
}

// Whether a control request header asks the device to detach.
bool IsDetachRequest(std::string_view in) {
  const auto dir = static_cast<uint8_t>(in[0]), bRequest = static_cast<uint8_t>(in[9]);
  const uint32_t type = Le32(in, 1);
  return dir == 0 && ((type == kTypeClass && bRequest == kDfuDetach) || (type == kTypeVendor && bRequest == kVendorDetach));
}

}  // namespace

std::string PathSafeSerial(const std::string& serial) {
  std::string s = serial;
  for (char& c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || c == '#' || c == '\\' || c == '/') c = '_';
  }
  return s;
}

// ---------------------------------------------------------------- Impl

struct UsbSource::Impl {
  // One interface the service serves: a device followed across its
  // appearances (a port reset, a switch into DFU mode).
  struct Dev {
    uint64_t uid = 0;
    std::string path;
    std::string serial;
    uint16_t vid = 0, pid = 0;
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint64_t appearance = 0;
    bool present = false;
    libusb_device* dev = nullptr;  // current (or, after a reset, last) appearance; referenced
    Link* link = nullptr;          // open handle of the present appearance
    bool following = false;        // after a port reset: wait for the device at its port
    uint64_t followTimer = 0;
    uint64_t settleTimer = 0;
    // After a detach request the device may leave by itself (WillDetach) and
    // come back in DFU mode, maybe with another product id: until this timer
    // runs out, leaving the bus is followed like a port reset.
    uint16_t detachTimeoutMs = 0;
    uint64_t detachTimer = 0;
    bool detachExpected = false;
    struct Pending {
      IoCompletion done;
      bool cycle = false;   // a port reset
      bool detach = false;  // a detach request
    };
    std::map<uint64_t, Pending> pending;
  };

  Impl(Scheduler& s, DeviceEvents& e, UsbOptions o) : scheduler(s), events(e), options(std::move(o)) {}

  Scheduler& scheduler;
  DeviceEvents& events;
  UsbOptions options;
  libusb_context* ctx = nullptr;
  libusb_hotplug_callback_handle hotplug = 0;
  bool hasHotplug = false;
  std::thread eventThread;
  std::atomic<bool> stopEvents{false};
  uint64_t rescanTimer = 0;
  std::vector<libusb_device*> seen;  // rescans: devices of the last list (referenced)

  // Results of the other threads for the loop.
  int wakeFd = -1;
  std::mutex inboxMutex;
  std::deque<std::function<void()>> inbox;

  std::vector<std::unique_ptr<Dev>> devs;  // in order of first arrival
  std::vector<std::unique_ptr<Link>> links;  // every link whose thread was not joined yet
  std::vector<Link*> probing;                // links opened and not yet identified
  uint64_t nextUid = 1;
  uint64_t nextRequest = 1;

  void Post(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(inboxMutex);
      inbox.push_back(std::move(fn));
    }
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0) {
      // The counter cannot overflow in practice; a failed write only delays the drain.
    }
  }

  void Drain() {
    uint64_t count = 0;
    if (::read(wakeFd, &count, sizeof count) < 0) {
      // Nothing to read: another drain took it.
    }
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(inboxMutex);
      batch.swap(inbox);
    }
    for (auto& fn : batch) fn();
  }

  static int HotplugCallback(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
    auto* self = static_cast<Impl*>(user);
    libusb_ref_device(dev);
    self->Post([self, dev, event] { self->OnHotplug(dev, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED); });
    return 0;
  }

  Dev* FindByUid(uint64_t uid) {
    for (auto& d : devs)
      if (d->uid == uid) return d.get();
    return nullptr;
  }

  static std::vector<uint8_t> PortsOf(libusb_device* dev) {
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    return n > 0 ? std::vector<uint8_t>(ports, ports + n) : std::vector<uint8_t>{};
  }

  static std::string PortText(uint8_t bus, const std::vector<uint8_t>& ports) {
    std::string s = std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) s += (i ? "." : "") + std::to_string(ports[i]);
    return s;
  }

  Dev* FollowerAt(libusb_device* dev) {
    const uint8_t bus = libusb_get_bus_number(dev);
    const auto ports = PortsOf(dev);
    for (auto& d : devs)
      if (d->following && !d->present && d->bus == bus && d->ports == ports) return d.get();
    return nullptr;
  }

  bool Matches(libusb_device* dev) {
    // A device that was reset comes back at its port, maybe with another id.
    return FollowerAt(dev) != nullptr || Listed(dev);
  }

  // Whether the configuration names the device: by id, or by its DFU interface.
  bool Listed(libusb_device* dev) {
    libusb_device_descriptor dd{};
    if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
    for (const auto& [vid, pid] : options.ids)
      if (dd.idVendor == vid && dd.idProduct == pid) return true;
    if (!options.anyDfu) return false;
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

  bool Known(libusb_device* dev) const {
    for (const auto& d : devs)
      if (d->dev == dev) return true;
    for (const Link* l : probing)
      if (l->dev == dev) return true;
    return false;
  }

  void OnHotplug(libusb_device* dev, bool arrived) {
    if (arrived) {
      if (!Known(dev) && Matches(dev)) Probe(dev);
    } else {
      for (Link* l : probing)
        if (l->dev == dev) l->leftEarly = true;
      for (auto& d : devs) {
        if (d->dev != dev) continue;
        if (d->present) LeaveBus(*d);
        libusb_unref_device(d->dev);
        d->dev = nullptr;
      }
    }
    libusb_unref_device(dev);
  }

  // Opens a device on a new transfer thread and reads its serial number.
  void Probe(libusb_device* dev) {
    auto owned = std::make_unique<Link>();
    Link* link = owned.get();
    link->dev = libusb_ref_device(dev);
    links.push_back(std::move(owned));
    probing.push_back(link);
    link->worker.Post([this, link] {
      Identity id = Identify(*link);
      Post([this, link, id] { OnIdentified(link, id); });
    });
  }

  // On the link's thread.
  Identity Identify(Link& link) {
    Identity id;
    id.error = libusb_open(link.dev, &link.handle);
    if (id.error != 0) return id;
    libusb_set_auto_detach_kernel_driver(link.handle, 1);
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(link.dev, &dd);
    if (dd.iSerialNumber != 0) {
      unsigned char text[256];
      const int n = libusb_get_string_descriptor_ascii(link.handle, dd.iSerialNumber, text, sizeof text);
      if (n > 0) id.serial.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
    }
    // The DFU interface carries the class requests: claim it (detaching a
    // kernel driver if one is bound). Without it the kernel claims it on the
    // first request where it can.
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(link.dev, &cfg) == 0) {
      for (int i = 0; i < cfg->bNumInterfaces && link.claimed < 0; ++i) {
        const auto& alt = cfg->interface[i].altsetting[0];
        if (alt.bInterfaceClass == kDfuClass && alt.bInterfaceSubClass == kDfuSubClass) {
          id.detachTimeoutMs = DetachTimeoutOf(alt.extra, alt.extra_length);
          const int r = libusb_claim_interface(link.handle, alt.bInterfaceNumber);
          if (r == 0)
            link.claimed = alt.bInterfaceNumber;
          else
            std::fprintf(stderr, "velmora-driverd: cannot claim the DFU interface %u of a USB device: %s\n",
                         alt.bInterfaceNumber, libusb_error_name(r));
        }
      }
      libusb_free_config_descriptor(cfg);
    }
    return id;
  }

  void OnIdentified(Link* link, const Identity& id) {
    probing.erase(std::find(probing.begin(), probing.end(), link));
    const uint8_t bus = libusb_get_bus_number(link->dev);
    const auto ports = PortsOf(link->dev);
    if (id.error != 0 || link->leftEarly) {
      if (id.error != 0)
        std::fprintf(stderr, "velmora-driverd: cannot open the USB device at %s: %s\n", PortText(bus, ports).c_str(),
                     libusb_error_name(id.error));
      Retire(link);
      return;
    }
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(link->dev, &dd);
    const std::string serial = PathSafeSerial(id.serial);
    // A device that was reset comes back at the same port; with the same
    // serial number it is the same interface, whatever id it has now.
    Dev* d = nullptr;
    for (auto& c : devs)
      if (c->following && !c->present && c->bus == bus && c->ports == ports && c->serial == serial) d = c.get();
    if (d == nullptr && !Listed(link->dev)) {
      // Another device at the port of one that was reset: not ours.
      Retire(link);
      return;
    }
    if (d == nullptr) {
      const std::string path = DefaultPath(dd.idVendor, dd.idProduct, serial, options.interfaceClass);
      for (auto& c : devs)
        if (!c->present && EqualsIgnoreCase(c->path, path)) d = c.get();
      if (d == nullptr) {
        for (auto& c : devs) {
          if (c->present && EqualsIgnoreCase(c->path, path)) {
            std::fprintf(stderr, "velmora-driverd: USB device at %s has the same path as another: %s; not served\n",
                         PortText(bus, ports).c_str(), path.c_str());
            Retire(link);
            return;
          }
        }
        devs.push_back(std::make_unique<Dev>());
        d = devs.back().get();
        d->uid = nextUid++;
        d->path = path;
      }
    }
    StopFollowing(*d);
    if (d->dev != link->dev) {
      if (d->dev != nullptr) libusb_unref_device(d->dev);
      d->dev = libusb_ref_device(link->dev);
    }
    d->serial = serial;
    d->detachTimeoutMs = id.detachTimeoutMs;
    d->vid = dd.idVendor;
    d->pid = dd.idProduct;
    d->bus = bus;
    d->ports = ports;
    d->link = link;
    d->present = true;
    ++d->appearance;
    events.OnDeviceChange(kDbtDeviceArrival, options.interfaceClass, d->path);
  }

  void StopFollowing(Dev& d) {
    d.following = false;
    d.detachExpected = false;
    scheduler.Cancel(d.followTimer);
    scheduler.Cancel(d.settleTimer);
    scheduler.Cancel(d.detachTimer);
    d.followTimer = d.settleTimer = d.detachTimer = 0;
  }

  // A detach request was accepted: a device that leaves the bus within its
  // detach time-out (at least the return time-out) is the same device when
  // it comes back at its port with its serial number.
  void ExpectDetach(Dev& d) {
    scheduler.Cancel(d.detachTimer);
    d.detachExpected = true;
    const uint64_t uid = d.uid;
    d.detachTimer = scheduler.Schedule(std::max<uint32_t>(d.detachTimeoutMs, options.returnTimeoutMs), [this, uid] {
      if (Dev* x = FindByUid(uid)) {
        x->detachTimer = 0;
        x->detachExpected = false;
      }
    });
  }

  // Closes the link's handle on its own thread and lets the thread end.
  void Retire(Link* link) {
    link->worker.Post([this, link] {
      if (link->handle != nullptr) {
        if (link->claimed >= 0) libusb_release_interface(link->handle, link->claimed);
        libusb_close(link->handle);
        link->handle = nullptr;
      }
      libusb_unref_device(link->dev);
      link->dev = nullptr;
      Post([this, link] { Reap(link); });
    });
  }

  void Reap(Link* link) {
    auto it = std::find_if(links.begin(), links.end(), [link](const auto& p) { return p.get() == link; });
    if (it == links.end()) return;
    (*it)->worker.StopAndJoin();  // its last job is done: the join is immediate
    links.erase(it);
  }

  void LeaveBus(Dev& d) {
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
    events.OnDeviceChange(kDbtDeviceRemoveComplete, options.interfaceClass, d.path);
    if (reset) FollowAfterReset(d);
  }

  // After a port reset the device has left the bus for its clients. Either it
  // re-enumerates (a hotplug removal, then an arrival at the same port) or it
  // keeps its address (descriptors unchanged): then it is opened again.
  void FollowAfterReset(Dev& d) {
    StopFollowing(d);
    d.following = true;
    const uint64_t uid = d.uid;
    d.followTimer = scheduler.Schedule(options.returnTimeoutMs, [this, uid] {
      if (Dev* x = FindByUid(uid)) {
        x->followTimer = 0;
        if (!x->present) StopFollowing(*x);
      }
    });
    d.settleTimer = scheduler.Schedule(options.resetSettleMs, [this, uid] {
      Dev* x = FindByUid(uid);
      if (x == nullptr) return;
      x->settleTimer = 0;
      if (!x->present && x->following && x->dev != nullptr && !Known2(x->dev)) Probe(x->dev);
    });
  }

  bool Known2(libusb_device* dev) const {
    for (const Link* l : probing)
      if (l->dev == dev) return true;
    return false;
  }

  IoResult Execute(Link& link, const IoRequest& req) {
    const uint32_t timeout = options.controlTimeoutMs;
    if (req.code == kIoctlGetDescriptor) {
      const auto type = static_cast<uint8_t>(req.in[4]), index = static_cast<uint8_t>(req.in[5]);
      const uint16_t lang = Le16(req.in, 6);
      std::string buf(std::min<uint32_t>(req.outSize, 0xFFFF), '\0');
      const int r = libusb_control_transfer(link.handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                            static_cast<uint16_t>((type << 8) | index), lang,
                                            reinterpret_cast<unsigned char*>(buf.data()),
                                            static_cast<uint16_t>(buf.size()), timeout);
      if (r < 0) return IoResult{MapLibusbError(r), {}};
      buf.resize(static_cast<size_t>(r));
      return IoResult{0, std::move(buf)};
    }
    if (req.code == kIoctlControlRequest) {
      const auto dir = static_cast<uint8_t>(req.in[0]);
      const uint8_t bmRequestType =
          static_cast<uint8_t>((dir != 0 ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT) | (Le32(req.in, 1) << 5) | Le32(req.in, 5));
      const auto bRequest = static_cast<uint8_t>(req.in[9]);
      const uint16_t wValue = Le16(req.in, 10), wIndex = Le16(req.in, 12), wLength = Le16(req.in, 14);
      std::string buf = dir != 0 ? std::string(wLength, '\0') : req.in.substr(16);
      const int r = libusb_control_transfer(link.handle, bmRequestType, bRequest, wValue, wIndex,
                                            reinterpret_cast<unsigned char*>(buf.data()), wLength, timeout);
      if (r < 0) return IoResult{MapLibusbError(r), {}};
      if (dir == 0) return IoResult{0, {}};
      buf.resize(std::min<size_t>(static_cast<size_t>(r), req.outSize));
      return IoResult{0, std::move(buf)};
    }
    // Cycle port: a port reset. Whether the device re-enumerates (its
    // descriptors changed, as after a switch into DFU mode) or keeps its
    // address, it leaves the bus for its clients and comes back.
    const int r = libusb_reset_device(link.handle);
    if (r == 0 || r == LIBUSB_ERROR_NOT_FOUND) return IoResult{0, {}};
    return IoResult{MapLibusbError(r), {}};
  }

  void IoControl(const DeviceHandle& handle, IoRequest req, IoCompletion done) {
    Dev* d = FindByUid(handle.device);
    if (d == nullptr || !d->present || d->appearance != handle.appearance || d->link == nullptr)
      return done(IoResult{kErrorDeviceNotConnected, {}});
    // The same checks as the simulated devices make, before the device sees anything.
    const std::string& in = req.in;
    switch (req.code) {
      case kIoctlGetDescriptor:
        if (in.size() != 8) return done(IoResult{kErrorInvalidParameter, {}});
        break;
      case kIoctlControlRequest: {
        if (in.size() < 16) return done(IoResult{kErrorInvalidParameter, {}});
        const auto dir = static_cast<uint8_t>(in[0]);
        const uint32_t type = Le32(in, 1), recipient = Le32(in, 5);
        const uint16_t wLength = Le16(in, 14);
        if (dir > 1 || type > 2 || recipient > 3) return done(IoResult{kErrorInvalidParameter, {}});
        if (dir == 0 && in.size() != 16u + wLength) return done(IoResult{kErrorInvalidParameter, {}});
        if (dir == 1 && in.size() != 16) return done(IoResult{kErrorInvalidParameter, {}});
        break;
      }
      case kIoctlCyclePort:
        if (!in.empty()) return done(IoResult{kErrorInvalidParameter, {}});
        break;
      default:
        return done(IoResult{kErrorInvalidFunction, {}});
    }
    const uint64_t id = nextRequest++;
    const uint64_t uid = d->uid, appearance = d->appearance;
    const bool cycle = req.code == kIoctlCyclePort;
    const bool detach = req.code == kIoctlControlRequest && IsDetachRequest(in);
    d->pending.emplace(id, Dev::Pending{std::move(done), cycle, detach});
    Link* link = d->link;
    link->worker.Post([this, link, uid, appearance, id, cycle, req = std::move(req)] {
      IoResult result = Execute(*link, req);
      Post([this, uid, appearance, id, cycle, result = std::move(result)]() mutable {
        Complete(uid, appearance, id, cycle, std::move(result));
      });
    });
  }

  void Complete(uint64_t uid, uint64_t appearance, uint64_t id, bool cycle, IoResult result) {
    Dev* d = FindByUid(uid);
    if (d == nullptr) return;
    auto it = d->pending.find(id);
    if (it == d->pending.end()) return;  // already failed: the device left
    IoCompletion done = std::move(it->second.done);
    const bool detach = it->second.detach;
    d->pending.erase(it);
    if (d->appearance != appearance || !d->present) return done(IoResult{kErrorDeviceNotConnected, {}});
    if (result.error == kErrorDeviceNotConnected) {
      // A device that leaves while answering its detach request did as asked.
      if (detach) {
        d->detachExpected = true;
        result.error = kErrorSuccess;
      }
      done(std::move(result));
      LeaveBus(*d);
      return;
    }
    if (cycle && result.error == 0) {
      done(std::move(result));
      LeaveBus(*d);
      FollowAfterReset(*d);
      return;
    }
    if (detach && result.error == 0) ExpectDetach(*d);
    done(std::move(result));
  }

  void Rescan() {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::vector<libusb_device*> now;
    for (ssize_t i = 0; i < n; ++i) now.push_back(libusb_ref_device(list[i]));
    if (list != nullptr) libusb_free_device_list(list, 1);
    for (libusb_device* dev : seen)
      if (std::find(now.begin(), now.end(), dev) == now.end()) OnHotplug(libusb_ref_device(dev), false);
    for (libusb_device* dev : now)
      if (std::find(seen.begin(), seen.end(), dev) == seen.end()) OnHotplug(libusb_ref_device(dev), true);
    for (libusb_device* dev : seen) libusb_unref_device(dev);
    seen = std::move(now);
    rescanTimer = scheduler.Schedule(options.rescanMs, [this] { Rescan(); });
  }
};

// ---------------------------------------------------------------- UsbSource

UsbSource::UsbSource(Scheduler& scheduler, DeviceEvents& events, UsbOptions options)
    : mImpl(std::make_unique<Impl>(scheduler, events, std::move(options))) {
  mImpl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

UsbSource::~UsbSource() {
  Impl& m = *mImpl;
  m.scheduler.Cancel(m.rescanTimer);
  for (auto& d : m.devs) {
    m.StopFollowing(*d);
    if (d->link != nullptr) m.Retire(d->link);
    d->link = nullptr;
  }
  for (Link* l : m.probing) m.Retire(l);
  m.probing.clear();
  // Every thread finishes its transfer (bounded by the control time-out),
  // closes its handle and ends.
  for (auto& l : m.links) l->worker.StopAndJoin();
  m.links.clear();
  m.inbox.clear();
  if (m.ctx != nullptr) {
    if (m.hasHotplug) libusb_hotplug_deregister_callback(m.ctx, m.hotplug);
    m.stopEvents = true;
    libusb_interrupt_event_handler(m.ctx);
    if (m.eventThread.joinable()) m.eventThread.join();
    // Hotplug events still queued hold references.
    for (auto& d : m.devs)
      if (d->dev != nullptr) libusb_unref_device(d->dev);
    for (libusb_device* dev : m.seen) libusb_unref_device(dev);
    libusb_exit(m.ctx);
  }
  if (m.wakeFd >= 0) ::close(m.wakeFd);
}

bool UsbSource::Start(std::string& error) {
  Impl& m = *mImpl;
  if (m.wakeFd < 0) {
    error = "eventfd failed";
    return false;
  }
  const int r = libusb_init(&m.ctx);
  if (r != 0) {
    m.ctx = nullptr;
    error = std::string("libusb_init: ") + libusb_error_name(r);
    return false;
  }
  m.hasHotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
  if (m.hasHotplug) {
    // ENUMERATE reports the devices present now as arrivals too (queued for the loop).
    const int h = libusb_hotplug_register_callback(
        m.ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        &Impl::HotplugCallback, &m, &m.hotplug);
    if (h != 0) {
      error = std::string("libusb hotplug: ") + libusb_error_name(h);
      return false;
    }
  } else {
    m.Rescan();
  }
  m.eventThread = std::thread([&m] {
    while (!m.stopEvents) {
      timeval tv{0, 200000};
      libusb_handle_events_timeout_completed(m.ctx, &tv, nullptr);
    }
  });
  return true;
}

int UsbSource::WakeFd() const { return mImpl->wakeFd; }
std::vector<DeviceSource::WakeUp> UsbSource::WakeUps() { return {{mImpl->wakeFd, [this] { Drain(); }}}; }
void UsbSource::Drain() { mImpl->Drain(); }

std::vector<InterfaceEntry> UsbSource::ListInterfaces(const platform::Guid& interfaceClass) const {
  std::vector<InterfaceEntry> out;
  if (!(interfaceClass == mImpl->options.interfaceClass)) return out;
  for (const auto& d : mImpl->devs)
    if (d->present) out.push_back({d->path, mImpl->options.interfaceClass});
  return out;
}

uint32_t UsbSource::Open(const std::string& path, DeviceHandle& handle) {
  for (const auto& d : mImpl->devs) {
    if (d->present && EqualsIgnoreCase(d->path, path)) {
      handle.device = d->uid;
      handle.appearance = d->appearance;
      handle.path = d->path;
      return 0;
    }
  }
  return kErrorFileNotFound;
}

void UsbSource::IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) {
  mImpl->IoControl(handle, std::move(request), std::move(done));
}

bool UsbSource::Control(const json& command, uint32_t& error, json& result) {
  (void)error;
  if (command.value("cmd", std::string()) != "list-usb") return false;
  json list = json::array();
  for (const auto& d : mImpl->devs) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", d->vid, d->pid);
    list.push_back({{"path", d->path},
                    {"state", d->present ? "present" : (d->following ? "off-bus" : "unplugged")},
                    {"ids", ids},
                    {"serial", d->serial},
                    {"port", Impl::PortText(d->bus, d->ports)},
                    {"appearance", d->appearance},
                    {"inFlight", d->pending.size()}});
  }
  result["devices"] = list;
  return true;
}

}  // namespace vlmudrv
