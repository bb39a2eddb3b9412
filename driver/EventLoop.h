#pragma once
// The service's event loop: one epoll set for every descriptor, the timers
// of the service and its device sources, and the adaptive spin that looks
// for a client's next request without sleeping. Everything runs on the
// thread that calls Run.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DeviceSource.h"
#include "Fd.h"
#include "platform/posix/DriverWire.h"

namespace vlmudrv {

class EventLoop final : public Scheduler {
 public:
  // The owner of the descriptors added with a tag (the clients).
  class Handler {
   public:
    virtual ~Handler() = default;
    // `events` (EPOLLIN, EPOLLOUT, ...) came for the descriptor of `tag`.
    virtual void OnReady(uint64_t tag, uint32_t events) = 0;
    // Ends a loop turn, after the timers that were due ran. Returns whether
    // the turn took a request: the loop then looks for the next one without
    // sleeping, within the spin budget.
    virtual bool EndTurn() = 0;
  };

  // Tags of Handler descriptors are below this; the loop's own are above.
  static constexpr uint64_t kFirstOwnTag = uint64_t{1} << 63;

  EventLoop();

  // Calls `onReadable` whenever `fd` is readable. Descriptors given before
  // Run are added when it starts.
  void WatchReadable(int fd, std::function<void()> onReadable);
  // Leaves a descriptor of WatchReadable out of the wait set for a while (or
  // takes it back). False when the set refused the change.
  bool PauseWatch(int fd, bool paused);
  // Brings the events waited for on a Handler descriptor from `was` to
  // `want` (0: not in the set). False (errno set) when the set refused.
  bool SetInterest(int fd, uint64_t tag, uint32_t was, uint32_t want);

  // Makes the wait set with the descriptors given so far and `stopFd` (-1:
  // none), so that a service reports that it is ready only once it can
  // serve. False with a message when the set cannot be made.
  bool Open(int stopFd, std::string& error);
  // Serves (after Open) until Stop() or until the stop descriptor becomes
  // readable; the set is closed afterwards.
  void Run(Handler& handler);
  void Stop() { mStopping = true; }
  // Between Open and the end of Run.
  bool Running() const { return mEpoll.Valid(); }

  // Scheduler. Due times are kept in nanoseconds: a due time in whole
  // milliseconds of NowMs() would let a timer fire up to a millisecond
  // before its delay is over.
  uint64_t NowMs() const override;
  uint64_t Schedule(uint64_t delayMs, std::function<void()> fn) override;
  void Cancel(uint64_t id) override;
  // Time since the loop was made: the clock of trace lines and frame time-outs.
  uint64_t SinceStartNs() const;

 private:
  struct Watch {
    int fd;
    std::function<void()> onReadable;
  };

  bool AddWatch(size_t index);
  uint64_t WatchTag(size_t index) const { return kFirstOwnTag + index; }
  int NextTimerWaitMs() const;
  void RunTimers();
  // One wait and the events it brought. False when the loop must end.
  bool Turn(int64_t& spinUntilNs, Handler& handler);

  Fd mEpoll;
  bool mStopping = false;
  int64_t mStartNs = 0;
  std::vector<Watch> mWatches;
  uint64_t mNextTimerId = 1;
  std::multimap<uint64_t, uint64_t> mTimerQueue;  // due time (ns since the start) -> id
  std::unordered_map<uint64_t, std::function<void()>> mTimers;
  driverproto::SpinBudget mSpin;  // looking for the next request without sleeping
};

}  // namespace vlmudrv
