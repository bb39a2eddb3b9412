#include "Service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Description.h"
#include "Hex.h"
#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverWire.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

constexpr const char* kServiceName = "velmora-driverd";
// A client that does not read its notifications is dropped once this much
// output has piled up for it.
constexpr size_t kMaxPendingOutput = 128u * 1024u * 1024u;
// Room offered to one recv of a client's bytes.
constexpr size_t kReadChunk = 64u * 1024u;
// Event-loop tags of the two descriptors that are not clients (client ids start at 1).
constexpr uint64_t kListenTag = 0;
constexpr uint64_t kStopTag = ~uint64_t{0};
// Descriptors of WatchReadable are tagged downwards from just below kStopTag.
constexpr uint64_t kWatchTagTop = kStopTag - 1;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsClientFrameType(uint16_t t) { return t >= static_cast<uint16_t>(MessageType::Hello) && t <= static_cast<uint16_t>(MessageType::Control); }

std::string CodeText(uint32_t code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", code);
  return buf;
}

// JSON text of a value; a string that is not UTF-8 (which nothing should put
// there) is written with replacement characters rather than ending the service.
std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

uint32_t Le16(const std::string& s, size_t off) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[off])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[off + 1])) << 8);
}
uint32_t Le32(const std::string& s, size_t off) { return Le16(s, off) | (Le16(s, off + 2) << 16); }

}  // namespace

Service::Service(Options options) : mOptions(std::move(options)), mStartNs(SteadyNs()) {}

Service::~Service() {
  for (auto& [id, c] : mClients)
    if (c->fd >= 0) ::close(c->fd);
  mClients.clear();
  if (mEpollFd >= 0) ::close(mEpollFd);
  if (mTraceFd >= 0) ::close(mTraceFd);
  if (mListenFd >= 0) {
    ::close(mListenFd);
    ::unlink(mOptions.socketPath.c_str());
  }
}

bool Service::Listen(std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& path = mOptions.socketPath;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  // A socket file left by a service of this user that died is taken over;
  // one that still has a listener, or that belongs to someone else, is not.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "socket path exists and is not a socket: " + path;
      return false;
    }
    if (st.st_uid != ::geteuid()) {
      error = "socket path " + path + " belongs to another user";
      return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      const bool alive = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
      ::close(probe);
      if (alive) {
        error = "another service is already listening on " + path;
        return false;
      }
    }
    ::unlink(path.c_str());
  }
  mListenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (mListenFd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // The socket file is created with owner-only access whatever the umask,
  // and opened up to the socket group (if any) only afterwards.
  const mode_t oldMask = ::umask(0177);
  const bool bound = ::bind(mListenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(oldMask);
  const bool grouped = mOptions.socketGroup != static_cast<gid_t>(-1);
  if (!bound || (grouped && ::chown(path.c_str(), static_cast<uid_t>(-1), mOptions.socketGroup) != 0) ||
      ::chmod(path.c_str(), grouped ? 0660 : 0600) != 0 || ::listen(mListenFd, 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (bound) ::unlink(path.c_str());
    ::close(mListenFd);
    mListenFd = -1;
    return false;
  }
  if (!mOptions.tracePath.empty()) {
    if (!SetTrace(true, mOptions.tracePath, error)) return false;
  }
  return true;
}

uint64_t Service::NowMs() const { return static_cast<uint64_t>((SteadyNs() - mStartNs) / 1000000); }

uint64_t Service::SinceStartNs() const { return static_cast<uint64_t>(SteadyNs() - mStartNs); }

// Due times are kept in nanoseconds: a due time in whole milliseconds of
// NowMs() would let a timer fire up to a millisecond before its delay is over.
uint64_t Service::Schedule(uint64_t delayMs, std::function<void()> fn) {
  const uint64_t id = mNextTimerId++;
  mTimers.emplace(id, std::move(fn));
  mTimerQueue.emplace(SinceStartNs() + delayMs * 1'000'000u, id);
  return id;
}

void Service::Cancel(uint64_t id) { mTimers.erase(id); }

void Service::RunTimers() {
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
      std::fprintf(stderr, "%s: timer failed: %s\n", kServiceName, e.what());
    }
  }
}

int Service::NextTimerWaitMs() const {
  // Cancelled timers stay in the queue until due; waking for them is harmless.
  if (mTimerQueue.empty()) return -1;
  const uint64_t now = SinceStartNs();
  const uint64_t due = mTimerQueue.begin()->first;
  // Rounded up: waking before the due time would only mean waiting again.
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>((due - now + 999'999u) / 1'000'000u, 60000));
}

bool Service::SetTrace(bool on, const std::string& path, std::string& error) {
  if (!path.empty() && path != mTracePath) {
    if (mTraceFd >= 0) ::close(mTraceFd);
    mTraceFd = -1;
    mTraceOn = false;
    mTracePath.clear();
    // A symbolic link is not followed (it could point anywhere), and only a
    // regular file is written (a FIFO would block the service).
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          0600);
    if (fd < 0) {
      error = "cannot open trace file " + path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      error = "cannot open trace file " + path + ": not a regular file";
      return false;
    }
    mTraceFd = fd;
    mTracePath = path;
  }
  if (on && mTraceFd < 0) {
    error = "no trace file given";
    return false;
  }
  mTraceOn = on;
  return true;
}

bool Service::PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error) {
  const bool grouped = group != static_cast<gid_t>(-1);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = dir + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 0022) != 0) {
    error = dir + " may be written by other users";
    return false;
  }
  if ((grouped && ::chown(dir.c_str(), static_cast<uid_t>(-1), group) != 0) ||
      ::chmod(dir.c_str(), grouped ? 0750 : 0700) != 0) {
    error = "cannot set the access of " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Service::TraceLine(const json& line) {
  if (!mTraceOn || mTraceFd < 0) return;
  // Written at once: readers (tests) look at the file right after the reply.
  std::string text = Dump(line);
  text.push_back('\n');
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::write(mTraceFd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk loses trace lines, never requests
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

void Service::OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) {
  if (mTraceOn)
    TraceLine({{"time", SinceStartNs() / 1000},
               {"op", event == kDbtDeviceArrival ? "arrival" : "removal"},
               {"event", CodeText(event)},
               {"path", path}});
  const std::string frame = FrameWriter(MessageType::Notify).U32(event).GuidBytes(interfaceClass).String(path).Finish();
  for (auto& [id, c] : mClients) {
    if (c->dead || c->closing) continue;
    if (std::find(c->subscriptions.begin(), c->subscriptions.end(), interfaceClass) != c->subscriptions.end())
      Send(*c, frame);
  }
}

void Service::Accept() {
  for (;;) {
    const int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) PauseAccepting();
      return;  // EAGAIN or a transient error: the event loop tells us again
    }
    if (mClients.size() >= kMaxClients) {
      const std::string frame =
          FrameWriter(MessageType::Error).U32(kErrorBusy).String("too many clients; try again later").Finish();
      (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<Client>();
    c->id = mNextClientId++;
    c->fd = fd;
    ucred cred{};
    socklen_t credLen = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0 && credLen == sizeof cred) c->uid = cred.uid;
    Client& added = *c;
    mClients.emplace(c->id, std::move(c));
    UpdateInterest(added);
  }
}

// Out of descriptors (or memory) the waiting connection stays pending and
// the listening socket stays readable: waiting on it again at once would
// spin. It is left out of the wait set for a while; the connection is taken
// once the service has room again.
void Service::PauseAccepting() {
  if (mAcceptPaused || mEpollFd < 0) return;
  std::fprintf(stderr, "%s: cannot accept a connection: %s; pausing for %u ms\n", kServiceName, std::strerror(errno),
               kAcceptBackoffMs);
  epoll_event ev{};
  ev.events = 0;
  ev.data.u64 = kListenTag;
  if (::epoll_ctl(mEpollFd, EPOLL_CTL_MOD, mListenFd, &ev) != 0) return;
  mAcceptPaused = true;
  Schedule(kAcceptBackoffMs, [this] {
    epoll_event on{};
    on.events = EPOLLIN;
    on.data.u64 = kListenTag;
    if (::epoll_ctl(mEpollFd, EPOLL_CTL_MOD, mListenFd, &on) == 0) mAcceptPaused = false;
    else std::perror("epoll_ctl");
  });
}

void Service::Send(Client& c, std::string_view frame) {
  if (c.dead) return;
  if (c.tx.size() + frame.size() > kMaxPendingOutput) {
    std::fprintf(stderr, "%s: dropping client %llu: it does not read its messages\n", kServiceName,
                 static_cast<unsigned long long>(c.id));
    DropClient(c);
    return;
  }
  // With nothing queued before it the frame goes straight to the socket;
  // only what the socket does not take now is queued.
  while (c.tx.empty() && !frame.empty()) {
    const ssize_t n = ::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      frame.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    DropClient(c);
    return;
  }
  if (!frame.empty()) {
    c.tx.append(frame);
    Touch(c);  // wait until the socket takes more
  }
  if (c.closing && c.tx.empty()) DropClient(c);
}

void Service::WriteTo(Client& c) {
  while (!c.dead && !c.tx.empty()) {
    const ssize_t n = ::send(c.fd, c.tx.data(), c.tx.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.tx.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    DropClient(c);
    return;
  }
  if (!c.dead && c.closing && c.tx.empty()) DropClient(c);
}

void Service::SendError(Client& c, uint32_t error, const std::string& message) {
  Send(c, FrameWriter(MessageType::Error).U32(error).String(message).Finish());
  c.closing = true;
  c.rx.Clear();
  if (!c.dead && c.tx.empty()) DropClient(c);
}

void Service::ReleaseAnnounced(Client& c) {
  mAnnouncedBytes -= c.announced;
  c.announced = 0;
}

void Service::DropClient(Client& c) {
  if (c.dead) return;
  c.dead = true;
  ReleaseAnnounced(c);
  ::close(c.fd);  // also takes it out of the event loop's set
  c.fd = -1;
  c.watched = 0;
  Touch(c);  // to be removed at the end of the loop turn
}

void Service::Touch(Client& c) {
  if (c.touched) return;
  c.touched = true;
  mTouched.push_back(c.id);
}

void Service::UpdateInterest(Client& c) {
  if (c.dead || mEpollFd < 0) return;
  uint32_t want = 0;
  // Reading stops while a whole request is buffered and waits (for the
  // device, or for the client to take its replies).
  if (!c.eof && c.rx.Size() <= kMaxRequestPayload + kFrameHeaderSize) want |= EPOLLIN;
  if (!c.tx.empty()) want |= EPOLLOUT;
  if (want == c.watched) return;
  // A descriptor with nothing to wait for leaves the set: a hung-up peer
  // would otherwise wake the loop again and again.
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = c.id;
  const int op = c.watched == 0 ? EPOLL_CTL_ADD : (want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
  if (::epoll_ctl(mEpollFd, op, c.fd, &ev) != 0) {
    std::fprintf(stderr, "%s: dropping client %llu: epoll_ctl: %s\n", kServiceName,
                 static_cast<unsigned long long>(c.id), std::strerror(errno));
    DropClient(c);
    return;
  }
  c.watched = want;
}

void Service::ServeTouched() {
  std::vector<uint64_t> batch;
  while (!mTouched.empty()) {
    batch.swap(mTouched);
    for (const uint64_t id : batch) {
      auto it = mClients.find(id);
      if (it == mClients.end()) continue;
      Client& c = *it->second;
      c.touched = false;
      ProcessFrames(c);
      WatchPartialFrame(c);
      if (c.eof && !c.pending && !c.dead) {
        c.closing = true;
        WriteTo(c);
      }
      UpdateInterest(c);
      // Every client that dies is touched (DropClient), so it ends here.
      if (c.dead && !c.touched) mClients.erase(it);
    }
    batch.clear();
  }
}

void Service::ReadFrom(Client& c) {
  Touch(c);
  for (;;) {
    size_t room = 0;
    char* into = c.rx.Reserve(kReadChunk, room);
    const ssize_t n = ::recv(c.fd, into, room, MSG_DONTWAIT);
    if (n > 0) {
      if (!c.closing) c.rx.Commit(static_cast<size_t>(n));  // a closing client's bytes are dropped
      // Less than the room offered: the socket has nothing more for now
      // (the event loop reports it again when more comes).
      if (static_cast<size_t>(n) < room) return;
      // Stop reading ahead while a request is in progress and plenty is buffered.
      if (c.rx.Size() > kMaxRequestPayload + kFrameHeaderSize) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n == 0) {
      c.eof = true;  // answer what was sent before the end of the stream, then close
      return;
    }
    DropClient(c);
    return;
  }
}

void Service::ProcessFrames(Client& c) {
  // Replies the client has not taken yet hold back its next requests.
  constexpr size_t kMaxUnreadReplies = 1024u * 1024u;
  while (!c.dead && !c.closing && !c.pending && c.tx.size() < kMaxUnreadReplies && c.rx.Size() >= kFrameHeaderSize) {
    const FrameHeader h = DecodeHeader(c.rx.Data());
    if (h.reserved != 0 || h.length > kMaxRequestPayload || !IsClientFrameType(h.type)) {
      SendError(c, kErrorInvalidData,
                "malformed frame (type " + std::to_string(h.type) + ", length " + std::to_string(h.length) + ")");
      return;
    }
    if (c.rx.Size() - kFrameHeaderSize < h.length) {
      // A large frame is on its way: its bytes count against the budget of
      // all clients, so that many half-sent frames cannot exhaust memory.
      if (h.length > kSmallFrame && c.announced == 0) {
        if (mAnnouncedBytes + h.length > kMaxAnnouncedBytes) {
          SendError(c, kErrorBusy, "the service is short of buffer space; try again later");
          return;
        }
        c.announced = h.length;
        mAnnouncedBytes += h.length;
      }
      return;
    }
    ReleaseAnnounced(c);
    if (h.length > kSmallFrame) c.largeFrameTaken = true;
    // The payload is used where it was received: taking the frame off the
    // buffer moves no bytes, and nothing reads into the buffer meanwhile.
    const std::string_view payload(c.rx.Data() + kFrameHeaderSize, h.length);
    c.rx.Consume(kFrameHeaderSize + h.length);
    ++mFramesTaken;
    ++c.frames;
    // One request must never take the service down: anything it throws
    // (memory, a library error) ends that client's connection only.
    try {
      HandleFrame(c, h.type, payload);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: request of type %u from client %llu failed: %s\n", kServiceName, h.type,
                   static_cast<unsigned long long>(c.id), e.what());
      if (!c.dead) SendError(c, kErrorInvalidParameter, "request failed in the service");
    }
  }
  // The storage grown for a large frame is given back once it is drained
  // (the request's bytes were copied where they are still needed).
  if (!c.dead && c.largeFrameTaken && c.rx.Empty()) {
    c.rx = ReceiveBuffer();
    c.largeFrameTaken = false;
  }
}

// An incomplete frame at the front of the buffer (and no request of the
// client in progress) must be completed within the frame time-out.
void Service::WatchPartialFrame(Client& c) {
  if (c.dead || c.closing || c.pending || c.rx.Empty()) {
    c.partialSinceNs = 0;
    return;
  }
  if (c.partialSinceNs != 0 && c.partialFrame == c.frames) return;  // the same frame, already watched
  c.partialSinceNs = SinceStartNs();
  c.partialFrame = c.frames;
  if (c.frameTimer != 0) return;
  const uint64_t id = c.id;
  c.frameTimer = Schedule(mOptions.frameTimeoutMs, [this, id] { CheckPartialFrame(id); });
}

void Service::CheckPartialFrame(uint64_t clientId) {
  auto it = mClients.find(clientId);
  if (it == mClients.end() || it->second->dead) return;
  Client& c = *it->second;
  c.frameTimer = 0;
  if (c.partialSinceNs == 0) return;
  const uint64_t limitNs = uint64_t{mOptions.frameTimeoutMs} * 1'000'000u;
  const uint64_t elapsed = SinceStartNs() - c.partialSinceNs;
  if (elapsed >= limitNs) {
    std::fprintf(stderr, "%s: dropping client %llu: a frame was not completed within %u ms\n", kServiceName,
                 static_cast<unsigned long long>(c.id), mOptions.frameTimeoutMs);
    SendError(c, kErrorSemTimeout, "frame not completed within " + std::to_string(mOptions.frameTimeoutMs) + " ms");
    return;
  }
  // A later frame is incomplete now: it gets its own full time.
  c.frameTimer = Schedule((limitNs - elapsed + 999'999u) / 1'000'000u, [this, clientId] { CheckPartialFrame(clientId); });
}

void Service::HandleFrame(Client& c, uint16_t type, std::string_view payload) {
  const auto mt = static_cast<MessageType>(type);
  PayloadReader r(payload);
  if (!c.helloDone) {
    uint32_t magic = 0, version = 0;
    std::string name;
    if (mt != MessageType::Hello || !r.U32(magic) || !r.U32(version) || magic != kMagic) {
      SendError(c, kErrorInvalidData, "expected HELLO as the first frame");
      return;
    }
    if (version != kProtocolVersion) {
      SendError(c, kErrorRevisionMismatch,
                "protocol version " + std::to_string(version) + " is not supported; this service speaks version " +
                    std::to_string(kProtocolVersion));
      return;
    }
    if (!r.String(name, kMaxPathLength) || !r.Done()) {
      SendError(c, kErrorInvalidData, "malformed HELLO");
      return;
    }
    c.name = name;
    c.helloDone = true;
    Send(c, FrameWriter(MessageType::HelloReply).U32(kMagic).U32(kProtocolVersion).String(kServiceName).Finish());
    return;
  }
  switch (mt) {
    case MessageType::ListInterfaces: {
      platform::Guid g;
      if (!r.GuidBytes(g) || !r.Done()) break;
      std::vector<InterfaceEntry> list = mSource ? mSource->ListInterfaces(g) : std::vector<InterfaceEntry>{};
      FrameWriter w(MessageType::ListReply);
      w.U32(0).U32(static_cast<uint32_t>(list.size()));
      for (const auto& e : list) w.String(e.path);
      Send(c, w.Finish());
      return;
    }
    case MessageType::Open: {
      std::string path;
      if (!r.String(path, kMaxPathLength) || !r.Done()) break;
      uint32_t status;
      if (c.hasHandle) {
        status = kErrorInvalidParameter;  // one open interface per connection
      } else {
        DeviceHandle h;
        status = mSource ? mSource->Open(path, h) : kErrorFileNotFound;
        if (status == 0) {
          c.handle = h;
          c.hasHandle = true;
        }
      }
      if (mTraceOn) {
        // The path is the client's bytes: kept readable, and in hex as well when it is not UTF-8.
        json line = {{"time", SinceStartNs() / 1000}, {"client", c.id}, {"op", "open"}, {"path", EscapedText(path)}, {"result", status}};
        if (!IsUtf8(path)) line["pathHex"] = ToHex(path);
        TraceLine(line);
      }
      Send(c, FrameWriter(MessageType::Status).U32(status).Finish());
      return;
    }
    case MessageType::Close: {
      if (!r.Done()) break;
      const uint32_t status = c.hasHandle ? 0 : kErrorInvalidHandle;
      if (mTraceOn)
        TraceLine(
            {{"time", SinceStartNs() / 1000}, {"client", c.id}, {"op", "close"}, {"path", c.handle.path}, {"result", status}});
      c.hasHandle = false;
      c.handle = DeviceHandle{};
      Send(c, FrameWriter(MessageType::Status).U32(status).Finish());
      return;
    }
    case MessageType::IoControl:
      HandleIoControl(c, payload);
      return;
    case MessageType::Subscribe:
    case MessageType::Unsubscribe: {
      platform::Guid g;
      if (!r.GuidBytes(g) || !r.Done()) break;
      auto it = std::find(c.subscriptions.begin(), c.subscriptions.end(), g);
      if (mt == MessageType::Subscribe && it == c.subscriptions.end()) c.subscriptions.push_back(g);
      if (mt == MessageType::Unsubscribe && it != c.subscriptions.end()) c.subscriptions.erase(it);
      Send(c, FrameWriter(MessageType::Status).U32(0).Finish());
      return;
    }
    case MessageType::Control:
      HandleControl(c, payload);
      return;
    case MessageType::Hello:
      SendError(c, kErrorInvalidData, "HELLO sent twice");
      return;
    default:
      SendError(c, kErrorInvalidFunction, "unknown message type " + std::to_string(type));
      return;
  }
  SendError(c, kErrorInvalidParameter, "malformed request of type " + std::to_string(type));
}

void Service::HandleIoControl(Client& c, std::string_view payload) {
  PayloadReader r(payload);
  IoRequest req;
  uint32_t inLen = 0;
  std::string_view in;
  if (!r.U32(req.code) || !r.U32(req.outSize) || !r.U32(inLen) || inLen > kMaxIoBuffer ||
      req.outSize > kMaxIoBuffer || !r.Bytes(inLen, in) || !r.Done()) {
    SendError(c, kErrorInvalidParameter, "malformed IoControl request");
    return;
  }
  IoTrace trace{req.code, req.outSize, in.size(), std::string(in.substr(0, kTracedInput)), {}};
  if (!c.hasHandle || !mSource) {
    CompleteIo(c.id, trace, IoResult{kErrorInvalidHandle, {}});
    return;
  }
  req.in.assign(in.data(), in.size());
  trace.path = c.handle.path;
  c.pending = true;
  const uint64_t clientId = c.id;
  mSource->IoControl(c.handle, std::move(req), [this, clientId, trace = std::move(trace)](IoResult result) {
    CompleteIo(clientId, trace, result);
  });
}

void Service::CompleteIo(uint64_t clientId, const IoTrace& trace, const IoResult& result) {
  const size_t count = std::min<size_t>(result.out.size(), trace.outSize);
  if (mTraceOn) {
    json line = {{"time", SinceStartNs() / 1000},          {"client", clientId},          {"op", "ioctl"},
                 {"path", trace.path},        {"code", CodeText(trace.code)}, {"inLength", trace.inLength},
                 {"outSize", trace.outSize},  {"bytesReturned", count},      {"result", result.error}};
    const std::string& s = trace.inHead;
    if (trace.code == kIoctlControlRequest && trace.inLength >= 16) {
      line["setup"] = {{"direction", static_cast<uint8_t>(s[0])}, {"type", Le32(s, 1)},      {"recipient", Le32(s, 5)},
                       {"bRequest", static_cast<uint8_t>(s[9])},  {"wValue", Le16(s, 10)}, {"wIndex", Le16(s, 12)},
                       {"wLength", Le16(s, 14)}};
      const size_t dataLen = trace.inLength - 16;
      line["dataLength"] = dataLen;
      line["data"] = ToHex(s.substr(16, std::min<size_t>(dataLen, 64)));
    } else if (trace.code == kIoctlGetDescriptor && trace.inLength >= 8) {
      line["descriptor"] = {{"reserved", Le32(s, 0)},
                            {"type", static_cast<uint8_t>(s[4])},
                            {"index", static_cast<uint8_t>(s[5])},
                            {"languageId", Le16(s, 6)}};
    }
    if (count != 0) line["out"] = ToHex(result.out.substr(0, std::min<size_t>(count, 64)));
    TraceLine(line);
  }

  auto it = mClients.find(clientId);
  if (it == mClients.end() || it->second->dead) return;  // the client went away meanwhile
  Client& c = *it->second;
  c.pending = false;
  Touch(c);  // frames that came meanwhile are served now
  Send(c, FrameWriter(MessageType::IoControlReply)
              .U32(result.error)
              .U32(static_cast<uint32_t>(count))
              .Bytes(result.out.data(), count)
              .Finish());
}

void Service::HandleControl(Client& c, std::string_view payload) {
  PayloadReader r(payload);
  std::string text;
  if (!r.String(text, kMaxFrame) || !r.Done()) {
    SendError(c, kErrorInvalidParameter, "malformed Control request");
    return;
  }
  uint32_t error = 0;
  json result = json::object();
  json cmd;
  std::string parseError;
  std::string name;
  auto refuse = [&](const std::string& message) {
    error = kErrorInvalidParameter;
    result["error"] = message;
  };
  if (!ParseJsonText(text, cmd, parseError)) {
    refuse("command is not a JSON object: " + parseError);
  } else if (!cmd.is_object()) {
    refuse("command is not a JSON object");
  } else if (cmd.contains("cmd") && !cmd["cmd"].is_string()) {
    refuse("\"cmd\" must be a text");
  } else if (name = cmd.value("cmd", std::string());
             name != "ping" && name != "list-devices" && name != "list-usb" && c.uid != 0 && c.uid != ::geteuid()) {
    // Whoever may connect may use the devices and look at the lists; changing
    // the service (devices, trace files, shutting it down) is for its own user
    // and root.
    error = kErrorAccessDenied;
    result["error"] = "control commands are reserved for the service's user and root";
  } else if (name == "trace") {
    if (cmd.contains("on") && !cmd["on"].is_boolean()) {
      refuse("\"on\" must be true or false");
    } else if (cmd.contains("file") && !cmd["file"].is_string()) {
      refuse("\"file\" must be a text");
    } else {
      const bool on = cmd.value("on", true);
      std::string msg;
      if (!SetTrace(on, cmd.value("file", std::string()), msg)) {
        refuse(msg);
      } else {
        result["trace"] = mTraceOn;
        result["file"] = mTracePath;
      }
    }
  } else if (name == "shutdown") {
    result["shutdown"] = true;
    mStopping = true;
  } else if (name == "ping") {
    result["service"] = kServiceName;
    result["protocol"] = kProtocolVersion;
  } else if (!mSource || !mSource->Control(cmd, error, result)) {
    error = kErrorInvalidFunction;
    result["error"] = name.empty() ? std::string("missing \"cmd\"") : "unknown command \"" + name + "\"";
  }
  if (mTraceOn) TraceLine({{"time", SinceStartNs() / 1000}, {"client", c.id}, {"op", "control"}, {"cmd", name}, {"result", error}});
  Send(c, FrameWriter(MessageType::ControlReply).U32(error).String(Dump(result)).Finish());
}

void Service::WatchReadable(int fd, std::function<void()> onReadable) {
  mWatches.emplace_back(fd, std::move(onReadable));
}

void Service::Run(int stopFd) {
  // The loop waits on an epoll set: one system call per wake-up whatever the
  // number of clients, and only the clients that had events (or whose state
  // changed, see Touch) are looked at afterwards.
  mEpollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (mEpollFd < 0) {
    std::perror("epoll_create1");
    mStopping = true;
  }
  auto watch = [this](int fd, uint64_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    if (::epoll_ctl(mEpollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
      std::perror("epoll_ctl");
      mStopping = true;
    }
  };
  if (!mStopping) {
    watch(mListenFd, kListenTag);
    if (stopFd >= 0) watch(stopFd, kStopTag);
    for (size_t i = 0; i < mWatches.size(); ++i) watch(mWatches[i].first, kWatchTagTop - i);
    for (auto& [id, c] : mClients) UpdateInterest(*c);
  }
  constexpr int kMaxEvents = 64;
  epoll_event events[kMaxEvents];
  // A client in the middle of a conversation sends its next request a few
  // microseconds after the reply to the last one: after a turn that took a
  // request the loop looks for the next one without sleeping, within the
  // adaptive budget of SpinBudget.
  int64_t spinUntilNs = 0;  // 0: no looking without sleeping
  while (!mStopping) {
    int waitMs = NextTimerWaitMs();
    if (spinUntilNs != 0) waitMs = 0;
    const int n = ::epoll_wait(mEpollFd, events, kMaxEvents, waitMs);
    if (n < 0 && errno != EINTR) {
      std::perror("epoll_wait");
      break;
    }
    if (spinUntilNs != 0) {
      if (n > 0) {
        mSpin.Hit();
        spinUntilNs = 0;
      } else if (SteadyNs() >= spinUntilNs) {
        mSpin.Miss();
        spinUntilNs = 0;
      }
    }
    bool stop = false;
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == kStopTag) {
        stop = true;
        break;
      }
      if (tag == kListenTag) {
        Accept();
        continue;
      }
      if (tag <= kWatchTagTop && kWatchTagTop - tag < mWatches.size()) {
        mWatches[kWatchTagTop - tag].second();
        continue;
      }
      auto it = mClients.find(tag);
      if (it == mClients.end()) continue;
      Client& c = *it->second;
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadFrom(c);
      if (!c.dead && (events[i].events & EPOLLOUT)) WriteTo(c);
      Touch(c);
    }
    if (stop) break;
    const uint64_t framesBefore = mFramesTaken;
    RunTimers();
    ServeTouched();
    if (mFramesTaken != framesBefore && spinUntilNs == 0) {
      const auto budget = mSpin.Next();
      if (budget.count() != 0)
        spinUntilNs = SteadyNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(budget).count();
    }
  }
  // Flush what can be flushed (the reply to a shutdown command), then close.
  for (auto& [id, c] : mClients) {
    if (!c->dead && !c->tx.empty()) {
      pollfd p{c->fd, POLLOUT, 0};
      for (int tries = 0; tries < 10 && !c->dead && !c->tx.empty(); ++tries) {
        if (::poll(&p, 1, 100) > 0) WriteTo(*c);
      }
    }
    DropClient(*c);
  }
  mClients.clear();
  mTouched.clear();
  if (mEpollFd >= 0) {
    ::close(mEpollFd);
    mEpollFd = -1;
  }
  if (mListenFd >= 0) {
    ::close(mListenFd);
    mListenFd = -1;
    ::unlink(mOptions.socketPath.c_str());
  }
}

}  // namespace vlmudrv
