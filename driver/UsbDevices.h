#pragma once
// The USB devices the source serves, tracked across their appearances: a
// device that arrives and is listed is opened on a transfer thread of its own
// (a Link) and becomes an interface with a path; one that leaves fails its
// requests and is announced gone; after a port reset or a detach it is
// followed at its port, and when it comes back there with its serial number
// it is the same interface again, whatever product id it has now.
// Everything here runs on the service loop's thread.
#include <libusb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceSource.h"
#include "UsbOptions.h"
#include "UsbTransfers.h"
#include "UsbWorker.h"

namespace vlmudrv {

// Where a device is plugged in: its bus and the port numbers from the root.
struct UsbPort {
  uint8_t bus = 0;
  std::vector<uint8_t> ports;

  static UsbPort Of(libusb_device* dev);
  std::string Text() const;  // "1-3.2"
  bool operator==(const UsbPort&) const = default;
};

// One interface the service serves: a device followed across its
// appearances (a port reset, a switch into DFU mode).
struct UsbDevice {
  struct Pending {
    IoCompletion done;
    bool cycle = false;   // a port reset
    bool detach = false;  // a detach request
  };

  uint64_t uid = 0;
  std::string path;
  std::string serial;
  uint16_t vid = 0, pid = 0;
  UsbPort port;
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
  std::map<uint64_t, Pending> pending;  // requests in flight by id
};

// The part of a serial number that may stand in an interface path: printable
// ASCII without '#', '\\', '/' and blanks (others become '_').
std::string PathSafeSerial(const std::string& serial);

class UsbDevices {
 public:
  // Results of the transfer threads come back through `inbox`.
  UsbDevices(Scheduler& timers, DeviceEvents& events, const UsbOptions& options, Inbox& inbox)
      : mTimers(timers), mEvents(events), mOptions(options), mInbox(inbox) {}
  UsbDevices(const UsbDevices&) = delete;
  UsbDevices& operator=(const UsbDevices&) = delete;

  // Served devices in the order they first arrived.
  const std::vector<std::unique_ptr<UsbDevice>>& All() const { return mDevices; }
  UsbDevice* Find(uint64_t uid);
  // The present interface with this path (compared ignoring case).
  UsbDevice* FindPresent(const std::string& path);

  // A device arrived or left the bus (takes over the reference on `dev`).
  void OnHotplug(libusb_device* dev, bool arrived);
  // Where libusb has no hotplug events: compares the bus with the last look
  // and looks again after the rescan interval.
  void Rescan(libusb_context* ctx);

  // The device left the bus for its clients: its requests fail (a port reset
  // or detach in progress did what was asked), its link is closed, the
  // removal is announced, and after a reset or detach it is followed.
  void LeaveBus(UsbDevice& d);
  // After a port reset: wait for the device at its port.
  void FollowAfterReset(UsbDevice& d);
  // A detach request was accepted: the device may leave within its detach time-out.
  void ExpectDetach(UsbDevice& d);

  // Stops following, closes every link and joins the transfer threads.
  void CloseAll();
  // Drops the device references (once libusb's event thread has ended).
  void ReleaseDevices();

 private:
  UsbDevice* FollowerAt(libusb_device* dev);
  bool Listed(libusb_device* dev) const;
  bool Known(libusb_device* dev) const;
  bool Probing(libusb_device* dev) const;
  void Probe(libusb_device* dev);
  void OnIdentified(Link* link, const Identity& id);
  UsbDevice* DeviceFor(Link& link, const libusb_device_descriptor& dd, const std::string& serial, const UsbPort& port);
  void Arrive(UsbDevice& d, Link& link, const libusb_device_descriptor& dd, const std::string& serial,
              const Identity& id, const UsbPort& port);
  void StopFollowing(UsbDevice& d);
  void Retire(Link* link);
  void Reap(Link* link);

  Scheduler& mTimers;
  DeviceEvents& mEvents;
  const UsbOptions& mOptions;
  Inbox& mInbox;
  std::vector<std::unique_ptr<UsbDevice>> mDevices;  // in order of first arrival
  std::vector<std::unique_ptr<Link>> mLinks;         // every link whose thread was not joined yet
  std::vector<Link*> mProbing;                       // links opened and not yet identified
  uint64_t mNextUid = 1;
  uint64_t mRescanTimer = 0;
  std::vector<libusb_device*> mSeen;  // rescans: devices of the last list (referenced)
};

}  // namespace vlmudrv
