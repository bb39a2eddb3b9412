#include "ClientIo.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace vlmudrv {

using namespace driverproto;

namespace {

// A client that does not read its notifications is dropped once this much
// output has piled up for it.
constexpr size_t kMaxPendingOutput = 128u * 1024u * 1024u;
// Replies the client has not taken yet hold back its next requests.
constexpr size_t kMaxUnreadReplies = 1024u * 1024u;
// Room offered to one recv of a client's bytes.
constexpr size_t kReadChunk = 64u * 1024u;

bool IsClientFrameType(uint16_t t) {
  return t >= static_cast<uint16_t>(MessageType::Hello) && t <= static_cast<uint16_t>(MessageType::Control);
}

unsigned long long Number(uint64_t id) { return static_cast<unsigned long long>(id); }

}  // namespace

void ClientIo::Accept(int listenFd) {
  for (;;) {
    Fd fd(::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) PauseAccepting(listenFd);
      return;  // EAGAIN or a transient error: the event loop tells us again
    }
    ucred cred{};
    socklen_t credLen = sizeof cred;
    uid_t uid = static_cast<uid_t>(-1);
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0 && credLen == sizeof cred) uid = cred.uid;
    if (const std::string refusal = SlotRefusal(uid); !refusal.empty()) {
      const std::string frame = FrameWriter(MessageType::Error).U32(kErrorBusy).String(refusal).Finish();
      (void)!::send(fd.Get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      continue;
    }
    auto c = std::make_unique<Client>();
    c->id = mNextClientId++;
    c->uid = uid;
    c->fd = std::move(fd);
    Client& added = *c;
    mClients.emplace(c->id, std::move(c));
    UpdateInterest(added);
    Touch(added);  // its first frame is awaited from now on (WatchPartialFrame)
  }
}

std::string ClientIo::SlotRefusal(uid_t uid) const {
  size_t all = 0, others = 0, same = 0;
  for (const auto& [id, c] : mClients) {
    if (c->dead) continue;
    ++all;
    others += IsServiceUser(c->uid) ? 0 : 1;
    same += c->uid == uid ? 1 : 0;
  }
  const bool privileged = IsServiceUser(uid);
  if (all >= kMaxClients || (!privileged && others >= kMaxClients - kReservedClients))
    return "too many clients; try again later";
  if (!privileged && same >= kMaxClientsPerUser) {
    return "too many connections of user " + std::to_string(uid) + " (at most " + std::to_string(kMaxClientsPerUser) +
           "); close some and try again";
  }
  return "";
}

// Out of descriptors (or memory) the waiting connection stays pending and
// the listening socket stays readable: waiting on it again at once would
// spin. It is left out of the wait set for a while; the connection is taken
// once the service has room again.
void ClientIo::PauseAccepting(int listenFd) {
  if (mAcceptPaused || !mLoop.Running()) return;
  std::fprintf(stderr, "velmora-driverd: cannot accept a connection: %s; pausing for %u ms\n", std::strerror(errno),
               kAcceptBackoffMs);
  if (!mLoop.PauseWatch(listenFd, true)) return;
  mAcceptPaused = true;
  mLoop.Schedule(kAcceptBackoffMs, [this, listenFd] {
    if (mLoop.PauseWatch(listenFd, false))
      mAcceptPaused = false;
    else
      std::perror("epoll_ctl");
  });
}

void ClientIo::OnReady(uint64_t id, uint32_t events) {
  auto it = mClients.find(id);
  if (it == mClients.end()) return;
  Client& c = *it->second;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadFrom(c);
  if (!c.dead && (events & EPOLLOUT)) WriteTo(c);
  Touch(c);
}

bool ClientIo::EndTurn() {
  const uint64_t framesBefore = mFramesTaken;
  ServeTouched();
  return mFramesTaken != framesBefore;
}

void ClientIo::Send(Client& c, std::string_view frame) {
  if (c.dead) return;
  if (c.tx.size() + frame.size() > kMaxPendingOutput) {
    std::fprintf(stderr, "velmora-driverd: dropping client %llu: it does not read its messages\n", Number(c.id));
    DropClient(c);
    return;
  }
  // With nothing queued before it the frame goes straight to the socket;
  // only what the socket does not take now is queued.
  while (c.tx.empty() && !frame.empty()) {
    const ssize_t n = ::send(c.fd.Get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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

void ClientIo::WriteTo(Client& c) {
  while (!c.dead && !c.tx.empty()) {
    const ssize_t n = ::send(c.fd.Get(), c.tx.data(), c.tx.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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

void ClientIo::SendError(Client& c, uint32_t error, const std::string& message) {
  Send(c, FrameWriter(MessageType::Error).U32(error).String(message).Finish());
  c.closing = true;
  c.rx.Clear();
  if (!c.dead && c.tx.empty()) DropClient(c);
}

void ClientIo::EndWait(Client& c) {
  c.pending = false;
  Touch(c);  // frames that came meanwhile are served now
}

Client* ClientIo::Find(uint64_t id) {
  auto it = mClients.find(id);
  return it == mClients.end() || it->second->dead ? nullptr : it->second.get();
}

void ClientIo::ForEachOpen(const std::function<void(Client&)>& fn) {
  for (auto& [id, c] : mClients)
    if (!c->dead && !c->closing) fn(*c);
}

void ClientIo::ReleaseAnnounced(Client& c) {
  mAnnouncedBytes -= c.announced;
  c.announced = 0;
}

void ClientIo::DropClient(Client& c) {
  if (c.dead) return;
  c.dead = true;
  ReleaseAnnounced(c);
  c.fd.Reset();  // also takes it out of the event loop's set
  c.watched = 0;
  Touch(c);  // to be removed at the end of the loop turn
}

void ClientIo::Touch(Client& c) {
  if (c.touched) return;
  c.touched = true;
  mTouched.push_back(c.id);
}

void ClientIo::UpdateInterest(Client& c) {
  if (c.dead || !mLoop.Running()) return;
  uint32_t want = 0;
  // Reading stops while a whole request is buffered and waits (for the
  // device, or for the client to take its replies).
  if (!c.eof && c.rx.Size() <= kMaxRequestPayload + kFrameHeaderSize) want |= EPOLLIN;
  if (!c.tx.empty()) want |= EPOLLOUT;
  if (want == c.watched) return;
  // A descriptor with nothing to wait for leaves the set: a hung-up peer
  // would otherwise wake the loop again and again.
  if (!mLoop.SetInterest(c.fd.Get(), c.id, c.watched, want)) {
    std::fprintf(stderr, "velmora-driverd: dropping client %llu: epoll_ctl: %s\n", Number(c.id), std::strerror(errno));
    DropClient(c);
    return;
  }
  c.watched = want;
}

void ClientIo::ServeTouched() {
  std::vector<uint64_t> batch;
  while (!mTouched.empty()) {
    batch.swap(mTouched);
    for (const uint64_t id : batch) {
      auto it = mClients.find(id);
      if (it == mClients.end()) continue;
      ServeTouched(*it->second);
      // Every client that dies is touched (DropClient), so it ends here.
      if (it->second->dead && !it->second->touched) mClients.erase(it);
    }
    batch.clear();
  }
}

void ClientIo::ServeTouched(Client& c) {
  c.touched = false;
  ProcessFrames(c);
  WatchPartialFrame(c);
  if (c.eof && !c.pending && !c.dead) {
    c.closing = true;
    WriteTo(c);
  }
  UpdateInterest(c);
}

void ClientIo::ReadFrom(Client& c) {
  Touch(c);
  for (;;) {
    size_t room = 0;
    char* into = c.rx.Reserve(kReadChunk, room);
    const ssize_t n = ::recv(c.fd.Get(), into, room, MSG_DONTWAIT);
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

void ClientIo::ProcessFrames(Client& c) {
  while (!c.dead && !c.closing && !c.pending && c.tx.size() < kMaxUnreadReplies && c.rx.Size() >= kFrameHeaderSize) {
    const FrameHeader h = DecodeHeader(c.rx.Data());
    if (!FrameComplete(c, h)) return;
    TakeFrame(c, h);
  }
  // The storage grown for a large frame is given back once it is drained
  // (the request's bytes were copied where they are still needed).
  if (!c.dead && c.largeFrameTaken && c.rx.Empty()) {
    c.rx = ReceiveBuffer();
    c.largeFrameTaken = false;
  }
}

bool ClientIo::FrameComplete(Client& c, const FrameHeader& h) {
  if (h.reserved != 0 || h.length > kMaxRequestPayload || !IsClientFrameType(h.type)) {
    SendError(c, kErrorInvalidData,
              "malformed frame (type " + std::to_string(h.type) + ", length " + std::to_string(h.length) + ")");
    return false;
  }
  std::string refusal;
  if (const uint32_t error = mHandler.Admit(c, h.type, h.length, refusal); error != 0) {
    SendError(c, error, refusal);
    return false;
  }
  if (c.rx.Size() - kFrameHeaderSize >= h.length) return true;
  // A large frame is on its way: its bytes count against the budget of all
  // clients, so that many half-sent frames cannot exhaust memory.
  if (h.length > kSmallFrame && c.announced == 0) {
    if (mAnnouncedBytes + h.length > kMaxAnnouncedBytes) {
      SendError(c, kErrorBusy, "the service is short of buffer space; try again later");
      return false;
    }
    c.announced = h.length;
    mAnnouncedBytes += h.length;
  }
  return false;
}

void ClientIo::TakeFrame(Client& c, const FrameHeader& h) {
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
    mHandler.OnFrame(c, h.type, payload);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora-driverd: request of type %u from client %llu failed: %s\n", h.type, Number(c.id),
                 e.what());
    if (!c.dead) SendError(c, kErrorInvalidParameter, "request failed in the service");
  }
}

// An incomplete frame at the front of the buffer (and no request of the
// client in progress) must be completed within the frame time-out. A new
// connection counts as one with a frame under way until its first frame
// came: one that never sends a byte would hold its slot forever.
void ClientIo::WatchPartialFrame(Client& c) {
  if (c.dead || c.closing || c.pending || (c.rx.Empty() && c.frames != 0)) {
    c.partialSinceNs = 0;
    return;
  }
  if (c.partialSinceNs != 0 && c.partialFrame == c.frames) return;  // the same frame, already watched
  c.partialSinceNs = mLoop.SinceStartNs();
  c.partialFrame = c.frames;
  if (c.frameTimer != 0) return;
  const uint64_t id = c.id;
  c.frameTimer = mLoop.Schedule(mFrameTimeoutMs, [this, id] { CheckPartialFrame(id); });
}

void ClientIo::CheckPartialFrame(uint64_t clientId) {
  Client* c = Find(clientId);
  if (c == nullptr) return;
  c->frameTimer = 0;
  if (c->partialSinceNs == 0) return;
  const uint64_t limitNs = uint64_t{mFrameTimeoutMs} * 1'000'000u;
  const uint64_t elapsed = mLoop.SinceStartNs() - c->partialSinceNs;
  if (elapsed >= limitNs) {
    const bool silent = c->frames == 0 && c->rx.Empty();
    std::fprintf(stderr, "velmora-driverd: dropping client %llu: %s within %u ms\n", Number(c->id),
                 silent ? "it sent nothing" : "a frame was not completed", mFrameTimeoutMs);
    SendError(*c, kErrorSemTimeout,
              std::string(silent ? "no request" : "frame not completed") + " within " +
                  std::to_string(mFrameTimeoutMs) + " ms");
    return;
  }
  // A later frame is incomplete now: it gets its own full time.
  const uint64_t leftMs = (limitNs - elapsed + 999'999u) / 1'000'000u;
  c->frameTimer = mLoop.Schedule(leftMs, [this, clientId] { CheckPartialFrame(clientId); });
}

void ClientIo::CloseAll() {
  for (auto& [id, c] : mClients) {
    if (!c->dead && !c->tx.empty()) {
      pollfd p{c->fd.Get(), POLLOUT, 0};
      for (int tries = 0; tries < 10 && !c->dead && !c->tx.empty(); ++tries) {
        if (::poll(&p, 1, 100) > 0) WriteTo(*c);
      }
    }
    DropClient(*c);
  }
  mClients.clear();
  mTouched.clear();
}

}  // namespace vlmudrv
