#include "UsbTestbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Description.h"
#include "DeviceSource.h"
#include "Hex.h"
#include "SimulatedSource.h"
#include "platform/posix/DriverProtocol.h"

namespace usbtest {

using nlohmann::json;
using namespace vlmudrv;
using namespace driverproto;

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string HexOf(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

void PutLe16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
void PutLe32(std::string& s, uint32_t v) {
  PutLe16(s, static_cast<uint16_t>(v & 0xFFFF));
  PutLe16(s, static_cast<uint16_t>(v >> 16));
}

// A submitted URB, answered once the simulated device completes the request.
struct Urb {
  UMockdevIoctlData* data = nullptr;  // the client's struct usbdevfs_urb (and its buffer), referenced
  bool complete = false;
  int status = 0;
  std::string in;          // device-to-host data
  uint32_t outLength = 0;  // host-to-device bytes accepted
  bool isIn = false;
};

}  // namespace

struct UsbTestbed::Impl final : public Scheduler, public DeviceEvents {
  struct Dev {
    std::string id;
    std::string path;
    int port = 0;
    Description desc;
    // Current appearance on the testbed.
    bool onBus = false;
    std::string devnode;
    std::string syspath;
    DeviceHandle sim;
    int appearances = 0;
    uint64_t ioctls = 0;
    uint64_t controlUrbs = 0;
  };

  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  SimulatedSource source{*this, *this};

  // The simulated devices and everything below: one lock.
  std::mutex model;
  std::map<std::string, std::unique_ptr<Dev>> devs;              // by id
  std::map<std::string, Dev*> byNode;                            // device node -> device while on the bus
  std::map<std::string, std::deque<std::shared_ptr<Urb>>> urbs;  // by device node
  int nextDevnum = 2;

  // Timers of the simulated devices and testbed changes, run by the model
  // thread (timers under `model`, testbed changes outside it).
  std::mutex queueMutex;
  std::condition_variable queueCv;
  std::multimap<int64_t, uint64_t> timerQueue;
  std::map<uint64_t, std::function<void()>> timers;
  std::deque<std::function<void()>> tasks;
  uint64_t nextTimer = 1;
  bool stop = false;
  std::thread thread;
  int64_t start = SteadyMs();

  // Scheduler (called with `model` held)
  uint64_t NowMs() const override { return static_cast<uint64_t>(SteadyMs() - start); }
  uint64_t Schedule(uint64_t delayMs, std::function<void()> fn) override {
    std::lock_guard<std::mutex> lock(queueMutex);
    const uint64_t id = nextTimer++;
    timers.emplace(id, std::move(fn));
    timerQueue.emplace(SteadyMs() + static_cast<int64_t>(delayMs), id);
    queueCv.notify_one();
    return id;
  }
  void Cancel(uint64_t id) override {
    std::lock_guard<std::mutex> lock(queueMutex);
    timers.erase(id);
  }

  void AddTask(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(queueMutex);
    tasks.push_back(std::move(fn));
    queueCv.notify_one();
  }

  void Loop() {
    for (;;) {
      std::deque<std::function<void()>> batch;
      {
        std::unique_lock<std::mutex> lock(queueMutex);
        auto due = [this] { return !timerQueue.empty() && timerQueue.begin()->first <= SteadyMs(); };
        while (!stop && tasks.empty() && !due()) {
          if (timerQueue.empty())
            queueCv.wait(lock);
          else
            queueCv.wait_for(lock,
                             std::chrono::milliseconds(std::max<int64_t>(1, timerQueue.begin()->first - SteadyMs())));
        }
        if (stop) return;
        batch.swap(tasks);
      }
      RunDueTimers();
      for (auto& t : batch) t();
    }
  }

  void RunDueTimers() {
    std::lock_guard<std::mutex> lock(model);
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> q(queueMutex);
        if (timerQueue.empty() || timerQueue.begin()->first > SteadyMs()) return;
        const uint64_t id = timerQueue.begin()->second;
        timerQueue.erase(timerQueue.begin());
        auto it = timers.find(id);
        if (it == timers.end()) continue;
        fn = std::move(it->second);
        timers.erase(it);
      }
      fn();
    }
  }

  Dev* FindByPath(const std::string& path) {
    for (auto& [id, d] : devs)
      if (d->path == path) return d.get();
    return nullptr;
  }

  // The sysfs "descriptors" file: device descriptor and every configuration.
  std::string SysfsDescriptors(Dev& d) {
    json info;
    uint32_t error = 0;
    source.Control({{"cmd", "list-devices"}}, error, info);
    bool dfuMode = false;
    uint16_t bcd = 0;
    for (const auto& i : info["devices"])
      if (i["id"] == d.id) {
        dfuMode = i["mode"] == "dfu";
        bcd = i["bcdDevice"].get<uint16_t>();
      }
    const Personality& p = dfuMode ? d.desc.dfu : d.desc.runtime;
    std::string dd = p.deviceDescriptor;
    if (!dfuMode && dd.size() >= 14) {
      dd[12] = static_cast<char>(bcd & 0xFF);
      dd[13] = static_cast<char>(bcd >> 8);
    }
    std::string all = dd;
    for (const auto& c : p.configurations) all += c;
    return all;
  }

  // DeviceEvents: the simulated device arrives or leaves (called with `model` held).
  void OnDeviceChange(uint32_t event, const platform::Guid&, const std::string& path) override {
    Dev* d = FindByPath(path);
    if (d == nullptr) return;
    if (event == kDbtDeviceArrival) {
      DeviceHandle h;
      if (source.Open(path, h) != 0) return;
      d->sim = h;
      const int devnum = nextDevnum++;
      char node[64];
      std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
      d->devnode = node;
      d->syspath = "/sys/devices/usb1/1-" + std::to_string(d->port);
      d->onBus = true;
      ++d->appearances;
      byNode[d->devnode] = d;
      const std::string descriptors = SysfsDescriptors(*d);
      const std::string devnode = d->devnode, port = std::to_string(d->port);
      char text[1024];
      std::snprintf(text, sizeof text,
                    "P: /devices/usb1/1-%s\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DRIVER=usb\nE: BUSNUM=001\n"
                    "E: DEVNUM=%03d\nE: DEVNAME=/dev/bus/usb/001/%03d\nE: DEVTYPE=usb_device\nA: busnum=1\\n\n"
                    "A: devnum=%d\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\n",
                    port.c_str(), devnum, devnum, devnum, devnum);
      const std::string record = std::string(text) + "H: descriptors=" + HexOf(descriptors) + "\n";
      AddTask([this, devnode, record] {
        umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler, nullptr);
        GError* err = nullptr;
        if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &err)) {
          std::fprintf(stderr, "usb testbed: cannot add %s: %s\n", devnode.c_str(), err ? err->message : "?");
          if (err) g_error_free(err);
        }
      });
    } else {
      if (!d->onBus) return;
      d->onBus = false;
      byNode.erase(d->devnode);
      // URBs still queued end as a device that is gone ends them.
      for (auto& u : urbs[d->devnode])
        if (!u->complete) {
          u->complete = true;
          u->status = -ENODEV;
        }
      const std::string devnode = d->devnode, syspath = d->syspath;
      d->devnode.clear();
      AddTask([this, devnode, syspath] {
        umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, syspath.c_str());
        umockdev_testbed_detach_ioctl(testbed, devnode.c_str(), nullptr);
      });
    }
  }

  static void Complete(UMockdevIoctlClient* client, long result, int err) {
    umockdev_ioctl_client_complete(client, result, err);
  }

  // Submits a control URB to the simulated device.
  void SubmitControl(Dev& d, const std::string& node, UMockdevIoctlData* urbData, usbdevfs_urb* urb) {
    auto u = std::make_shared<Urb>();
    u->data = umockdev_ioctl_data_ref(urbData);
    urbs[node].push_back(u);
    ++d.controlUrbs;
    const auto* buf = static_cast<const unsigned char*>(urb->buffer);
    const uint8_t bm = buf[0], bRequest = buf[1];
    const uint16_t wValue = static_cast<uint16_t>(buf[2] | (buf[3] << 8));
    const uint16_t wIndex = static_cast<uint16_t>(buf[4] | (buf[5] << 8));
    const uint16_t wLength = static_cast<uint16_t>(buf[6] | (buf[7] << 8));
    const bool in = (bm & 0x80) != 0;
    const uint32_t type = (bm >> 5) & 3, recipient = bm & 0x1F;
    u->isIn = in;
    IoRequest req;
    if (type == 0 && bRequest == 6 && in) {  // GET_DESCRIPTOR
      req.code = kIoctlGetDescriptor;
      PutLe32(req.in, 0);
      req.in.push_back(static_cast<char>(wValue >> 8));
      req.in.push_back(static_cast<char>(wValue & 0xFF));
      PutLe16(req.in, wIndex);
      req.outSize = wLength;
    } else if (type == 0 && !in && (bRequest == 9 || bRequest == 11)) {  // SET_CONFIGURATION, SET_INTERFACE
      u->complete = true;
      return;
    } else {
      req.code = kIoctlControlRequest;
      req.in.push_back(static_cast<char>(in ? 1 : 0));
      PutLe32(req.in, type);
      PutLe32(req.in, recipient);
      req.in.push_back(static_cast<char>(bRequest));
      PutLe16(req.in, wValue);
      PutLe16(req.in, wIndex);
      PutLe16(req.in, wLength);
      if (!in) req.in.append(reinterpret_cast<const char*>(buf + 8), wLength);
      req.outSize = in ? wLength : 0;
    }
    std::weak_ptr<Urb> weak = u;
    source.IoControl(d.sim, std::move(req), [weak, wLength, in](IoResult r) {
      auto x = weak.lock();
      if (!x || x->complete) return;
      x->complete = true;
      if (r.error == 0) {
        x->in = r.out;
        x->outLength = in ? 0 : wLength;
      } else {
        x->status = r.error == kErrorGenFailure ? -EPIPE : r.error == kErrorDeviceNotConnected ? -ENODEV : -EPROTO;
      }
    });
  }

  gboolean OnIoctl(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const std::string node = umockdev_ioctl_client_get_devnode(client);
    std::lock_guard<std::mutex> lock(model);
    auto it = byNode.find(node);
    Dev* d = it == byNode.end() ? nullptr : it->second;
    if (d != nullptr) ++d->ioctls;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        if (d == nullptr) return Complete(client, -1, ENODEV), TRUE;
        UMockdevIoctlData* c = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        const guint32 caps = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(c->data, &caps, sizeof caps);
        umockdev_ioctl_data_unref(c);
        Complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:
      case USBDEVFS_SETINTERFACE:
      case USBDEVFS_SETCONFIGURATION:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
        if (d == nullptr) return Complete(client, -1, ENODEV), TRUE;
        Complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_GETDRIVER:
        Complete(client, -1, d == nullptr ? ENODEV : ENODATA);  // no kernel driver bound
        return TRUE;
      case USBDEVFS_RESET: {
        if (d == nullptr) return Complete(client, -1, ENODEV), TRUE;
        IoRequest req;
        req.code = kIoctlCyclePort;
        uint32_t error = 0;
        source.IoControl(d->sim, std::move(req), [&error](IoResult r) { error = r.error; });
        Complete(client, error == 0 ? 0 : -1, error == 0 ? 0 : ENODEV);
        return TRUE;
      }
      case USBDEVFS_SUBMITURB: {
        if (d == nullptr) return Complete(client, -1, ENODEV), TRUE;
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
          umockdev_ioctl_data_unref(urbData);
          Complete(client, -1, EINVAL);
          return TRUE;
        }
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                                static_cast<gsize>(urb->buffer_length), nullptr);
        SubmitControl(*d, node, urbData, urb);
        umockdev_ioctl_data_unref(buffer);
        umockdev_ioctl_data_unref(urbData);
        Complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        auto& list = urbs[node];
        auto done = std::find_if(list.begin(), list.end(), [](const auto& u) { return u->complete; });
        if (done == list.end()) {
          Complete(client, -1, d == nullptr && list.empty() ? ENODEV : EAGAIN);
          return TRUE;
        }
        std::shared_ptr<Urb> u = *done;
        list.erase(done);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(u->data->data);
        urb->status = u->status;
        if (u->status == 0 && u->isIn) {
          const size_t room = urb->buffer_length > 8 ? static_cast<size_t>(urb->buffer_length - 8) : 0;
          const size_t n = std::min(room, u->in.size());
          std::memcpy(static_cast<unsigned char*>(urb->buffer) + 8, u->in.data(), n);
          urb->actual_length = static_cast<int>(n);
        } else {
          urb->actual_length = u->status == 0 ? static_cast<int>(u->outLength) : 0;
        }
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(ptr, 0, u->data);
        umockdev_ioctl_data_unref(ptr);
        umockdev_ioctl_data_unref(u->data);
        u->data = nullptr;
        Complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_DISCARDURB: {
        void* addr = nullptr;
        std::memcpy(&addr, arg->data, sizeof addr);
        for (auto& u : urbs[node]) {
          if (u->data != nullptr && u->data->client_addr == reinterpret_cast<gulong>(addr)) {
            u->complete = true;
            u->status = -ENOENT;
            Complete(client, 0, 0);
            return TRUE;
          }
        }
        Complete(client, -1, EINVAL);
        return TRUE;
      }
      default:
        Complete(client, -1, d == nullptr ? ENODEV : ENOTTY);
        return TRUE;
    }
  }

  static gboolean OnIoctlSignal(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<Impl*>(self)->OnIoctl(client);
  }
};

UsbTestbed::UsbTestbed() : mImpl(std::make_unique<Impl>()) {
  Impl& m = *mImpl;
  m.testbed = umockdev_testbed_new();
  m.handler = umockdev_ioctl_base_new();
  g_signal_connect(m.handler, "handle-ioctl", G_CALLBACK(&Impl::OnIoctlSignal), &m);
  // The root hub, parent of every device.
  umockdev_testbed_add_from_string(
      m.testbed,
      "P: /devices/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\n"
      "E: DEVNUM=001\nA: busnum=1\\n\nA: devnum=1\\n\nA: speed=480\\n\n"
      "H: descriptors=12010002090001406b1d020000010302010109021900010100e0000904000001090000000705810304000c\n",
      nullptr);
  m.thread = std::thread([&m] { m.Loop(); });
}

UsbTestbed::~UsbTestbed() {
  Impl& m = *mImpl;
  {
    std::lock_guard<std::mutex> lock(m.queueMutex);
    m.stop = true;
    m.queueCv.notify_one();
  }
  m.thread.join();
  {
    std::lock_guard<std::mutex> lock(m.model);
    for (auto& [node, list] : m.urbs)
      for (auto& u : list)
        if (u->data != nullptr) umockdev_ioctl_data_unref(u->data);
    m.urbs.clear();
  }
  g_object_unref(m.handler);
  g_object_unref(m.testbed);
}

bool UsbTestbed::Active() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::string UsbTestbed::AddDevice(const std::string& descriptionJson, int port, std::string& error) {
  Impl& m = *mImpl;
  const json j = json::parse(descriptionJson, nullptr, false);
  auto d = std::make_unique<Impl::Dev>();
  if (j.is_discarded() || !ParseDescription(j, d->desc, error)) {
    if (error.empty()) error = "not JSON";
    return "";
  }
  d->port = port;
  d->path = d->desc.runtime.path;
  json desc = j;
  desc["present"] = false;  // plugged in below, once the fixture knows the device
  std::lock_guard<std::mutex> lock(m.model);
  std::string id;
  if (!m.source.AddDevice(desc, id, error)) return "";
  d->id = id;
  Impl::Dev* dev = d.get();
  m.devs[id] = std::move(d);
  json result;
  uint32_t err = 0;
  if (j.value("present", true)) m.source.Control({{"cmd", "plug"}, {"id", id}}, err, result);
  (void)dev;
  return id;
}

uint32_t UsbTestbed::Control(const json& command, json& result) {
  std::lock_guard<std::mutex> lock(mImpl->model);
  uint32_t error = 0;
  result = json::object();
  if (!mImpl->source.Control(command, error, result)) error = kErrorInvalidFunction;
  return error;
}

bool UsbTestbed::GetFirmware(const std::string& id, std::string& bytes) {
  json r;
  if (Control({{"cmd", "get-firmware"}, {"id", id}}, r) != 0) return false;
  return FromBase64(r.value("base64", std::string()), bytes);
}

std::string UsbTestbed::DevNode(const std::string& id) {
  std::lock_guard<std::mutex> lock(mImpl->model);
  auto it = mImpl->devs.find(id);
  return it == mImpl->devs.end() ? "" : it->second->devnode;
}

int UsbTestbed::Appearances(const std::string& id) {
  std::lock_guard<std::mutex> lock(mImpl->model);
  auto it = mImpl->devs.find(id);
  return it == mImpl->devs.end() ? 0 : it->second->appearances;
}

uint64_t UsbTestbed::Ioctls(const std::string& id) {
  std::lock_guard<std::mutex> lock(mImpl->model);
  auto it = mImpl->devs.find(id);
  return it == mImpl->devs.end() ? 0 : it->second->ioctls;
}

uint64_t UsbTestbed::ControlUrbs(const std::string& id) {
  std::lock_guard<std::mutex> lock(mImpl->model);
  auto it = mImpl->devs.find(id);
  return it == mImpl->devs.end() ? 0 : it->second->controlUrbs;
}

bool UsbTestbed::WaitOnBus(const std::string& id, bool on, uint32_t timeoutMs) {
  const int64_t end = SteadyMs() + timeoutMs;
  do {
    {
      std::lock_guard<std::mutex> lock(mImpl->model);
      auto it = mImpl->devs.find(id);
      if (it != mImpl->devs.end() && it->second->onBus == on) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (SteadyMs() < end);
  return false;
}

}  // namespace usbtest
