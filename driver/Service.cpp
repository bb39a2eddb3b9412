#include "Service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Hex.h"
#include "platform/DriverProtocol.h"
#include "platform/DriverWire.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

constexpr const char* kServiceName = "velmora-driverd";
// A client that does not read its notifications is dropped once this much
// output has piled up for it.
constexpr size_t kMaxPendingOutput = 128u * 1024u * 1024u;

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

uint32_t Le16(const std::string& s, size_t off) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[off])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(s[off + 1])) << 8);
}
uint32_t Le32(const std::string& s, size_t off) { return Le16(s, off) | (Le16(s, off + 2) << 16); }

}  // namespace

Service::Service(Options options) : mOptions(std::move(options)), mStartNs(SteadyNs()) {}

Service::~Service() {
  for (auto& [id, c] : mClients) ::close(c->fd);
  mClients.clear();
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
  // A socket file left by a service that died is taken over; one that still
  // has a listener is not.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "socket path exists and is not a socket: " + path;
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
  if (::bind(mListenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(mListenFd, 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
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

uint64_t Service::Schedule(uint64_t delayMs, std::function<void()> fn) {
  const uint64_t id = mNextTimerId++;
  mTimers.emplace(id, std::move(fn));
  mTimerQueue.emplace(NowMs() + delayMs, id);
  return id;
}

void Service::Cancel(uint64_t id) { mTimers.erase(id); }

void Service::RunTimers() {
  const uint64_t now = NowMs();
  while (!mTimerQueue.empty() && mTimerQueue.begin()->first <= now) {
    const uint64_t id = mTimerQueue.begin()->second;
    mTimerQueue.erase(mTimerQueue.begin());
    auto it = mTimers.find(id);
    if (it == mTimers.end()) continue;  // cancelled
    auto fn = std::move(it->second);
    mTimers.erase(it);
    fn();
  }
}

int Service::NextTimerWaitMs() const {
  // Cancelled timers stay in the queue until due; waking for them is harmless.
  if (mTimerQueue.empty()) return -1;
  const uint64_t now = NowMs();
  const uint64_t due = mTimerQueue.begin()->first;
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 60000));
}

bool Service::SetTrace(bool on, const std::string& path, std::string& error) {
  if (!path.empty() && path != mTracePath) {
    if (mTrace.is_open()) mTrace.close();
    mTrace.clear();
    mTrace.open(path, std::ios::out | std::ios::app);
    if (!mTrace.is_open()) {
      error = "cannot open trace file " + path;
      mTraceOn = false;
      mTracePath.clear();
      return false;
    }
    mTracePath = path;
  }
  if (on && !mTrace.is_open()) {
    error = "no trace file given";
    return false;
  }
  mTraceOn = on;
  return true;
}

void Service::TraceLine(const json& line) {
  if (!mTraceOn || !mTrace.is_open()) return;
  mTrace << line.dump() << '\n';
  mTrace.flush();  // readers (tests) look at the file right after the reply
}

void Service::OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) {
  TraceLine({{"time", NowMs()},
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
    if (fd < 0) return;  // EAGAIN or a transient error: poll tells us again
    auto c = std::make_unique<Client>();
    c->id = mNextClientId++;
    c->fd = fd;
    mClients.emplace(c->id, std::move(c));
  }
}

void Service::Send(Client& c, std::string frame) {
  if (c.dead) return;
  if (c.tx.size() + frame.size() > kMaxPendingOutput) {
    std::fprintf(stderr, "%s: dropping client %llu: it does not read its messages\n", kServiceName,
                 static_cast<unsigned long long>(c.id));
    DropClient(c);
    return;
  }
  c.tx += frame;
  WriteTo(c);
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
  c.rx.clear();
  if (!c.dead && c.tx.empty()) DropClient(c);
}

void Service::DropClient(Client& c) {
  if (c.dead) return;
  c.dead = true;
  ::close(c.fd);
  c.fd = -1;
}

void Service::ReadFrom(Client& c) {
  char buf[64 * 1024];
  for (;;) {
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      if (!c.closing) c.rx.append(buf, static_cast<size_t>(n));
      // Stop reading ahead while a request is in progress and plenty is buffered.
      if (c.rx.size() > kMaxFrame + kFrameHeaderSize) return;
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
  while (!c.dead && !c.closing && !c.pending && c.rx.size() >= kFrameHeaderSize) {
    const FrameHeader h = DecodeHeader(c.rx.data());
    if (h.reserved != 0 || h.length > kMaxFrame || !IsClientFrameType(h.type)) {
      SendError(c, kErrorInvalidData,
                "malformed frame (type " + std::to_string(h.type) + ", length " + std::to_string(h.length) + ")");
      return;
    }
    if (c.rx.size() - kFrameHeaderSize < h.length) return;
    std::string payload = c.rx.substr(kFrameHeaderSize, h.length);
    c.rx.erase(0, kFrameHeaderSize + h.length);
    HandleFrame(c, h.type, payload);
  }
}

void Service::HandleFrame(Client& c, uint16_t type, const std::string& payload) {
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
      TraceLine({{"time", NowMs()}, {"client", c.id}, {"op", "open"}, {"path", path}, {"result", status}});
      Send(c, FrameWriter(MessageType::Status).U32(status).Finish());
      return;
    }
    case MessageType::Close: {
      if (!r.Done()) break;
      const uint32_t status = c.hasHandle ? 0 : kErrorInvalidHandle;
      TraceLine({{"time", NowMs()}, {"client", c.id}, {"op", "close"}, {"path", c.handle.path}, {"result", status}});
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

void Service::HandleIoControl(Client& c, const std::string& payload) {
  PayloadReader r(payload);
  IoRequest req;
  uint32_t inLen = 0;
  std::string_view in;
  if (!r.U32(req.code) || !r.U32(req.outSize) || !r.U32(inLen) || inLen > kMaxIoBuffer ||
      req.outSize > kMaxIoBuffer || !r.Bytes(inLen, in) || !r.Done()) {
    SendError(c, kErrorInvalidParameter, "malformed IoControl request");
    return;
  }
  req.in.assign(in.data(), in.size());
  if (!c.hasHandle || !mSource) {
    CompleteIo(c.id, req, "", IoResult{kErrorInvalidHandle, {}});
    return;
  }
  c.pending = true;
  const uint64_t clientId = c.id;
  const std::string path = c.handle.path;
  IoRequest copy = req;
  mSource->IoControl(c.handle, std::move(req), [this, clientId, copy, path](IoResult result) {
    CompleteIo(clientId, copy, path, result);
  });
}

void Service::CompleteIo(uint64_t clientId, const IoRequest& req, const std::string& path, const IoResult& result) {
  const size_t count = std::min<size_t>(result.out.size(), req.outSize);
  if (mTraceOn) {
    json line = {{"time", NowMs()},      {"client", clientId},      {"op", "ioctl"},
                 {"path", path},          {"code", CodeText(req.code)}, {"inLength", req.in.size()},
                 {"outSize", req.outSize}, {"bytesReturned", count},  {"result", result.error}};
    if (req.code == kIoctlControlRequest && req.in.size() >= 16) {
      const std::string& s = req.in;
      line["setup"] = {{"direction", static_cast<uint8_t>(s[0])}, {"type", Le32(s, 1)},      {"recipient", Le32(s, 5)},
                       {"bRequest", static_cast<uint8_t>(s[9])},  {"wValue", Le16(s, 10)}, {"wIndex", Le16(s, 12)},
                       {"wLength", Le16(s, 14)}};
      const size_t dataLen = s.size() - 16;
      line["dataLength"] = dataLen;
      line["data"] = ToHex(s.substr(16, std::min<size_t>(dataLen, 64)));
    } else if (req.code == kIoctlGetDescriptor && req.in.size() >= 8) {
      const std::string& s = req.in;
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
  Send(c, FrameWriter(MessageType::IoControlReply)
              .U32(result.error)
              .U32(static_cast<uint32_t>(count))
              .Bytes(result.out.data(), count)
              .Finish());
}

void Service::HandleControl(Client& c, const std::string& payload) {
  PayloadReader r(payload);
  std::string text;
  if (!r.String(text, kMaxFrame) || !r.Done()) {
    SendError(c, kErrorInvalidParameter, "malformed Control request");
    return;
  }
  uint32_t error = 0;
  json result = json::object();
  const json cmd = json::parse(text, nullptr, false);
  const std::string name = cmd.is_object() && cmd.contains("cmd") && cmd["cmd"].is_string() ? cmd["cmd"].get<std::string>() : "";
  if (cmd.is_discarded() || !cmd.is_object()) {
    error = kErrorInvalidParameter;
    result["error"] = "command is not a JSON object";
  } else if (name == "trace") {
    const bool on = cmd.value("on", true);
    std::string msg;
    if (!SetTrace(on, cmd.value("file", std::string()), msg)) {
      error = kErrorInvalidParameter;
      result["error"] = msg;
    } else {
      result["trace"] = mTraceOn;
      result["file"] = mTracePath;
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
  TraceLine({{"time", NowMs()}, {"client", c.id}, {"op", "control"}, {"cmd", name}, {"result", error}});
  Send(c, FrameWriter(MessageType::ControlReply).U32(error).String(result.dump()).Finish());
}

void Service::Run(int stopFd) {
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  while (!mStopping) {
    fds.clear();
    ids.clear();
    fds.push_back({mListenFd, POLLIN, 0});
    fds.push_back({stopFd, POLLIN, 0});
    for (auto& [id, c] : mClients) {
      short ev = 0;
      if (!c->eof && (!c->pending || c->rx.size() <= kMaxFrame)) ev |= POLLIN;
      if (!c->tx.empty()) ev |= POLLOUT;
      fds.push_back({c->fd, ev, 0});
      ids.push_back(id);
    }
    const int r = ::poll(fds.data(), fds.size(), NextTimerWaitMs());
    if (r < 0 && errno != EINTR) {
      std::perror("poll");
      break;
    }
    if (r > 0) {
      if (fds[1].revents != 0 && stopFd >= 0) break;
      if (fds[0].revents & POLLIN) Accept();
      for (size_t i = 2; i < fds.size(); ++i) {
        auto it = mClients.find(ids[i - 2]);
        if (it == mClients.end()) continue;
        Client& c = *it->second;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(c);
        if (!c.dead && (fds[i].revents & POLLOUT)) WriteTo(c);
      }
    }
    RunTimers();
    for (auto& [id, c] : mClients) {
      ProcessFrames(*c);
      if (c->eof && !c->pending && !c->dead) {
        c->closing = true;
        WriteTo(*c);
      }
    }
    for (auto it = mClients.begin(); it != mClients.end();) {
      if (it->second->dead)
        it = mClients.erase(it);
      else
        ++it;
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
  if (mListenFd >= 0) {
    ::close(mListenFd);
    mListenFd = -1;
    ::unlink(mOptions.socketPath.c_str());
  }
}

}  // namespace vlmudrv
