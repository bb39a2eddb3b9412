#include "EventLoop.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

namespace vlmudrv {

namespace {

// Tag of the stop descriptor given to Run.
constexpr uint64_t kStopTag = ~uint64_t{0};

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

EventLoop::EventLoop() : mStartNs(SteadyNs()) {}

uint64_t EventLoop::NowMs() const { return SinceStartNs() / 1000000; }

uint64_t EventLoop::SinceStartNs() const { return static_cast<uint64_t>(SteadyNs() - mStartNs); }

uint64_t EventLoop::Schedule(uint64_t delayMs, std::function<void()> fn) {
  const uint64_t id = mNextTimerId++;
  mTimers.emplace(id, std::move(fn));
  mTimerQueue.emplace(SinceStartNs() + delayMs * 1'000'000u, id);
  return id;
}

void EventLoop::Cancel(uint64_t id) { mTimers.erase(id); }

void EventLoop::RunTimers() {
  const uint64_t now = SinceStartNs();
  while (!mTimerQueue.empty() && mTimerQueue.begin()->first <= now) {
    const uint64_t id = mTimerQueue.begin()->second;
    mTimerQueue.erase(mTimerQueue.begin());
    auto it = mTimers.find(id);
    if (it == mTimers.end()) continue;  // cancelled
    auto fn = std::move(it->second);
    mTimers.erase(it);
    try {
      fn();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "velmora-driverd: timer failed: %s\n", e.what());
    }
  }
}

int EventLoop::NextTimerWaitMs() const {
  // Cancelled timers stay in the queue until due; waking for them is harmless.
  if (mTimerQueue.empty()) return -1;
  const uint64_t now = SinceStartNs();
  const uint64_t due = mTimerQueue.begin()->first;
  // Rounded up: waking before the due time would only mean waiting again.
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>((due - now + 999'999u) / 1'000'000u, 60000));
}

void EventLoop::WatchReadable(int fd, std::function<void()> onReadable) {
  mWatches.push_back({fd, std::move(onReadable)});
  if (mEpoll.Valid() && !AddWatch(mWatches.size() - 1)) std::perror("epoll_ctl");
}

bool EventLoop::AddWatch(size_t index) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = WatchTag(index);
  return ::epoll_ctl(mEpoll.Get(), EPOLL_CTL_ADD, mWatches[index].fd, &ev) == 0;
}

bool EventLoop::PauseWatch(int fd, bool paused) {
  const auto it = std::find_if(mWatches.begin(), mWatches.end(), [fd](const Watch& w) { return w.fd == fd; });
  if (!mEpoll.Valid() || it == mWatches.end()) return false;
  epoll_event ev{};
  ev.events = paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  ev.data.u64 = WatchTag(static_cast<size_t>(it - mWatches.begin()));
  return ::epoll_ctl(mEpoll.Get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

bool EventLoop::SetInterest(int fd, uint64_t tag, uint32_t was, uint32_t want) {
  if (!mEpoll.Valid()) return false;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = tag;
  const int op = was == 0 ? EPOLL_CTL_ADD : (want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
  return ::epoll_ctl(mEpoll.Get(), op, fd, &ev) == 0;
}

bool EventLoop::Open(int stopFd, std::string& error) {
  // The loop waits on an epoll set: one system call per wake-up whatever the
  // number of clients, and only the descriptors that had events (or whose
  // owner's state changed) are looked at afterwards.
  mEpoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event stop{};
  stop.events = EPOLLIN;
  stop.data.u64 = kStopTag;
  bool ready = mEpoll.Valid() && (stopFd < 0 || ::epoll_ctl(mEpoll.Get(), EPOLL_CTL_ADD, stopFd, &stop) == 0);
  for (size_t i = 0; ready && i < mWatches.size(); ++i) ready = AddWatch(i);
  if (!ready) {
    error = std::string("cannot wait for events: ") + std::strerror(errno);
    mEpoll.Reset();
  }
  return ready;
}

void EventLoop::Run(Handler& handler) {
  // A client in the middle of a conversation sends its next request a few
  // microseconds after the reply to the last one: after a turn that took a
  // request the loop looks for the next one without sleeping, within the
  // adaptive budget of SpinBudget.
  int64_t spinUntilNs = 0;  // 0: no looking without sleeping
  while (mEpoll.Valid() && !mStopping && Turn(spinUntilNs, handler)) {
  }
  mEpoll.Reset();
}

bool EventLoop::Turn(int64_t& spinUntilNs, Handler& handler) {
  constexpr int kMaxEvents = 64;
  epoll_event events[kMaxEvents];
  const int n = ::epoll_wait(mEpoll.Get(), events, kMaxEvents, spinUntilNs != 0 ? 0 : NextTimerWaitMs());
  if (n < 0 && errno != EINTR) {
    std::perror("epoll_wait");
    return false;
  }
  if (spinUntilNs != 0 && n > 0) {
    mSpin.Hit();
    spinUntilNs = 0;
  } else if (spinUntilNs != 0 && SteadyNs() >= spinUntilNs) {
    mSpin.Miss();
    spinUntilNs = 0;
  }
  for (int i = 0; i < n; ++i) {
    const uint64_t tag = events[i].data.u64;
    if (tag == kStopTag) return false;
    if (tag < kFirstOwnTag)
      handler.OnReady(tag, events[i].events);
    else if (tag - kFirstOwnTag < mWatches.size())
      mWatches[tag - kFirstOwnTag].onReadable();
  }
  RunTimers();
  if (handler.EndTurn() && spinUntilNs == 0) {
    const auto budget = mSpin.Next();
    if (budget.count() != 0)
      spinUntilNs = SteadyNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(budget).count();
  }
  return true;
}

}  // namespace vlmudrv
