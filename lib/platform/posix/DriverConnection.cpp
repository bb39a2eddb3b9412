#include "platform/posix/DriverConnection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverSocket.h"
#include "platform/posix/DriverWire.h"

namespace platform {

using namespace driverproto;

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr size_t kReceiveChunk = 64 * 1024;

struct Frame {
  MessageType type{};
  std::string payload;
};

bool IsServiceFrameType(uint16_t t) {
  switch (static_cast<MessageType>(t)) {
    case MessageType::HelloReply:
    case MessageType::Error:
    case MessageType::ListReply:
    case MessageType::Status:
    case MessageType::IoControlReply:
    case MessageType::Notify:
    case MessageType::ControlReply:
      return true;
    default:
      return false;
  }
}

using Clock = std::chrono::steady_clock;

uint32_t RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<uint32_t>(std::min<long long>(left, 0x7FFFFFFF));
}

}  // namespace

struct DriverConnection::Impl {
  std::unique_ptr<DriverSocket> socket;
  std::atomic<uint32_t> timeoutMs{kDefaultRequestTimeoutMs};
  std::string serviceName;

  // Serialises requests: one frame out, one reply in.
  std::mutex requestMutex;

  // Receive buffer; used by the requesting thread until the reader thread
  // starts, by the reader thread afterwards (never by both).
  ReceiveBuffer rx;

  // Shared between the requesting thread and the reader thread.
  mutable std::mutex stateMutex;
  std::condition_variable replyArrived;
  bool broken = false;
  uint32_t brokenError = kErrorDeviceNotConnected;  // why it broke (answer to the request in flight)
  bool readerRunning = false;
  bool awaitingReply = false;
  std::optional<Frame> reply;
  std::string serviceMessage;

  std::mutex handlerMutex;
  NotifyHandler handler;
  std::thread reader;

  ~Impl() {
    if (socket) socket->Shutdown();
    if (reader.joinable()) reader.join();
  }

  void MarkBroken(uint32_t error) {
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      if (!broken) {
        broken = true;
        brokenError = error;
      }
    }
    replyArrived.notify_all();
  }

  // Reads one complete frame, waiting at most timeoutMs in total. Whatever
  // the socket has is read in one go (up to kReceiveChunk and more for a
  // large frame); bytes beyond the frame stay buffered for the next one.
  uint32_t ReadFrame(uint32_t waitMs, Frame& frame) {
    const auto start = Clock::now();
    for (;;) {
      size_t wanted = kReceiveChunk;
      if (rx.Size() >= kFrameHeaderSize) {
        const FrameHeader h = DecodeHeader(rx.Data());
        if (h.reserved != 0 || h.length > kMaxFrame || !IsServiceFrameType(h.type)) return kErrorInvalidData;
        if (rx.Size() - kFrameHeaderSize >= h.length) {
          frame.type = static_cast<MessageType>(h.type);
          frame.payload.assign(rx.Data() + kFrameHeaderSize, h.length);
          rx.Consume(kFrameHeaderSize + h.length);
          return 0;
        }
        wanted = std::max<size_t>(wanted, kFrameHeaderSize + h.length - rx.Size());
      }
      uint32_t wait = kNoLimit;
      if (waitMs != kNoLimit) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        wait = elapsed >= waitMs ? 0 : waitMs - static_cast<uint32_t>(elapsed);
      }
      size_t room = 0;
      char* into = rx.Reserve(wanted, room);
      size_t got = 0;
      const uint32_t err = socket->Receive(into, room, wait, got);
      if (err != 0) return err;
      rx.Commit(got);
    }
  }

  void Dispatch(const Frame& frame) {
    PayloadReader r(frame.payload);
    DriverNotification n;
    if (!r.U32(n.event) || !r.GuidBytes(n.interfaceClass) || !r.String(n.path, kMaxPathLength) || !r.Done())
      return;  // a malformed notification is dropped; it answers no request
    NotifyHandler h;
    {
      std::lock_guard<std::mutex> lock(handlerMutex);
      h = handler;
    }
    if (h) h(n);
  }

  // Error frame: remember the text, report its code (or a generic one).
  uint32_t TakeError(const Frame& frame) {
    PayloadReader r(frame.payload);
    uint32_t code = 0;
    std::string msg;
    if (!r.U32(code) || !r.String(msg, kMaxFrame)) code = kErrorInvalidData;
    if (code == 0) code = kErrorInvalidData;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      serviceMessage = msg;
    }
    MarkBroken(kErrorDeviceNotConnected);  // the service closes after an Error frame
    return code;
  }

  void ReaderLoop() {
    for (;;) {
      Frame f;
      const uint32_t err = ReadFrame(kNoLimit, f);
      if (err != 0) {
        MarkBroken(err == kErrorInvalidData ? kErrorInvalidData : kErrorDeviceNotConnected);
        return;
      }
      if (f.type == MessageType::Notify) {
        Dispatch(f);
        continue;
      }
      std::unique_lock<std::mutex> lock(stateMutex);
      if (!awaitingReply || reply.has_value()) {
        lock.unlock();
        MarkBroken(kErrorInvalidData);  // a reply nobody asked for
        return;
      }
      reply = std::move(f);
      lock.unlock();
      replyArrived.notify_all();
    }
  }

  // Sends one request frame and returns its reply (Error frames become their code).
  uint32_t Transact(const std::string& request, MessageType expected, Frame& out) {
    const SendPart part{request.data(), request.size()};
    return Transact(&part, 1, expected, out);
  }

  // Same for a frame given in pieces (sent in one go, not joined first).
  uint32_t Transact(const SendPart* request, size_t parts, MessageType expected, Frame& out) {
    std::lock_guard<std::mutex> requestLock(requestMutex);
    bool threaded;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      if (broken) return kErrorDeviceNotConnected;
      threaded = readerRunning;
      awaitingReply = true;
      reply.reset();
    }
    const uint32_t timeout = timeoutMs.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    uint32_t err = socket->SendParts(request, parts, timeout);
    if (err != 0) {
      MarkBroken(kErrorDeviceNotConnected);
      return err;
    }
    Frame f;
    if (threaded) {
      std::unique_lock<std::mutex> lock(stateMutex);
      replyArrived.wait_until(lock, deadline, [this] { return reply.has_value() || broken; });
      awaitingReply = false;
      if (reply.has_value()) {
        f = std::move(*reply);
        reply.reset();
      } else if (broken) {
        return brokenError;
      } else {
        lock.unlock();
        MarkBroken(kErrorDeviceNotConnected);
        return kErrorSemTimeout;
      }
    } else {
      for (;;) {
        err = ReadFrame(RemainingMs(deadline), f);
        if (err != 0) {
          MarkBroken(err == kErrorInvalidData ? kErrorInvalidData : kErrorDeviceNotConnected);
          return err;
        }
        if (f.type != MessageType::Notify) break;
        Dispatch(f);
      }
      std::lock_guard<std::mutex> lock(stateMutex);
      awaitingReply = false;
    }
    if (f.type == MessageType::Error) return TakeError(f);
    if (f.type != expected) {
      MarkBroken(kErrorInvalidData);
      return kErrorInvalidData;
    }
    out = std::move(f);
    return 0;
  }

  // Requests answered by a Status frame.
  uint32_t StatusRequest(const std::string& request) {
    Frame f;
    const uint32_t err = Transact(request, MessageType::Status, f);
    if (err != 0) return err;
    PayloadReader r(f.payload);
    uint32_t status = 0;
    if (!r.U32(status) || !r.Done()) {
      MarkBroken(kErrorInvalidData);
      return kErrorInvalidData;
    }
    return status;
  }
};

DriverConnection::DriverConnection(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}
DriverConnection::~DriverConnection() = default;

std::string DriverConnection::SocketPath() { return DriverSocketPath(); }

uint32_t DriverConnection::Connect(std::unique_ptr<DriverConnection>& connection, const std::string& clientName,
                                   uint32_t timeoutMs) {
  return ConnectTo(DriverSocketPath(), connection, clientName, timeoutMs);
}

uint32_t DriverConnection::ConnectTo(const std::string& socketPath, std::unique_ptr<DriverConnection>& connection,
                                     const std::string& clientName, uint32_t timeoutMs, std::string* message,
                                     uint32_t protocolVersion) {
  connection.reset();
  if (message) message->clear();
  auto impl = std::make_unique<Impl>();
  uint32_t err = ConnectDriverSocket(socketPath, impl->socket, message);
  if (err != 0) return err;
  if (timeoutMs == 0) timeoutMs = 1;
  impl->timeoutMs = timeoutMs;
  const uint32_t version = protocolVersion == 0 ? kProtocolVersion : protocolVersion;
  Frame reply;
  err = impl->Transact(FrameWriter(MessageType::Hello).U32(kMagic).U32(version).String(clientName).Finish(),
                       MessageType::HelloReply, reply);
  if (err != 0) {
    if (message) *message = impl->serviceMessage;
    return err;
  }
  PayloadReader r(reply.payload);
  uint32_t magic = 0, serviceVersion = 0;
  if (!r.U32(magic) || !r.U32(serviceVersion) || !r.String(impl->serviceName, kMaxPathLength) || !r.Done() ||
      magic != kMagic)
    return kErrorInvalidData;
  if (serviceVersion != version) return kErrorRevisionMismatch;
  impl->timeoutMs = kDefaultRequestTimeoutMs;
  connection.reset(new DriverConnection(std::move(impl)));
  return 0;
}

uint32_t DriverConnection::ListInterfaces(const Guid& interfaceClass, std::vector<std::string>& paths) {
  paths.clear();
  Frame f;
  uint32_t err = mImpl->Transact(FrameWriter(MessageType::ListInterfaces).GuidBytes(interfaceClass).Finish(),
                                 MessageType::ListReply, f);
  if (err != 0) return err;
  PayloadReader r(f.payload);
  uint32_t status = 0, count = 0;
  if (!r.U32(status) || !r.U32(count) || count > kMaxFrame / 4) {
    mImpl->MarkBroken(kErrorInvalidData);
    return kErrorInvalidData;
  }
  std::vector<std::string> result;
  for (uint32_t i = 0; i < count; ++i) {
    std::string p;
    if (!r.String(p, kMaxPathLength)) break;
    result.push_back(std::move(p));
  }
  if (!r.Done()) {
    mImpl->MarkBroken(kErrorInvalidData);
    return kErrorInvalidData;
  }
  if (status == 0) paths = std::move(result);
  return status;
}

uint32_t DriverConnection::Open(const std::string& path) {
  if (path.size() > kMaxPathLength) return kErrorFileNotFound;
  return mImpl->StatusRequest(FrameWriter(MessageType::Open).String(path).Finish());
}

uint32_t DriverConnection::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                     uint32_t* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  if (out != nullptr && outSize != 0) std::memset(out, 0, outSize);
  if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0) || inSize > kMaxIoBuffer ||
      outSize > kMaxIoBuffer)
    return kErrorInvalidParameter;
  // Header and fixed fields, then the caller's input bytes as they are.
  char head[kFrameHeaderSize + 12];
  EncodeHeader(head, MessageType::IoControl, 12 + inSize);
  StoreLe32(head + 8, code);
  StoreLe32(head + 12, outSize);
  StoreLe32(head + 16, inSize);
  const SendPart parts[2] = {{head, sizeof head}, {static_cast<const char*>(in), inSize}};
  Frame f;
  const uint32_t err = mImpl->Transact(parts, 2, MessageType::IoControlReply, f);
  if (err != 0) return err;
  PayloadReader r(f.payload);
  uint32_t status = 0, count = 0;
  std::string_view data;
  if (!r.U32(status) || !r.U32(count) || count > outSize || !r.Bytes(count, data) || !r.Done()) {
    mImpl->MarkBroken(kErrorInvalidData);
    return kErrorInvalidData;
  }
  if (count != 0) std::memcpy(out, data.data(), count);
  if (bytesReturned) *bytesReturned = count;
  return status;
}

uint32_t DriverConnection::Close() { return mImpl->StatusRequest(FrameWriter(MessageType::Close).Finish()); }

uint32_t DriverConnection::Subscribe(const Guid& interfaceClass, NotifyHandler handler) {
  {
    std::lock_guard<std::mutex> lock(mImpl->handlerMutex);
    mImpl->handler = std::move(handler);
  }
  const uint32_t status = mImpl->StatusRequest(FrameWriter(MessageType::Subscribe).GuidBytes(interfaceClass).Finish());
  if (status != 0) return status;
  // From now on notifications may come at any time: a reader thread takes
  // over the socket. Holding the request lock keeps requests out meanwhile.
  std::lock_guard<std::mutex> requestLock(mImpl->requestMutex);
  std::lock_guard<std::mutex> lock(mImpl->stateMutex);
  if (!mImpl->readerRunning && !mImpl->broken) {
    mImpl->readerRunning = true;
    Impl* impl = mImpl.get();
    mImpl->reader = std::thread([impl] { impl->ReaderLoop(); });
  }
  return 0;
}

uint32_t DriverConnection::Unsubscribe(const Guid& interfaceClass) {
  return mImpl->StatusRequest(FrameWriter(MessageType::Unsubscribe).GuidBytes(interfaceClass).Finish());
}

uint32_t DriverConnection::Control(const std::string& command, std::string& reply) {
  reply.clear();
  Frame f;
  const uint32_t err =
      mImpl->Transact(FrameWriter(MessageType::Control).String(command).Finish(), MessageType::ControlReply, f);
  if (err != 0) return err;
  PayloadReader r(f.payload);
  uint32_t status = 0;
  if (!r.U32(status) || !r.String(reply, kMaxFrame) || !r.Done()) {
    reply.clear();
    mImpl->MarkBroken(kErrorInvalidData);
    return kErrorInvalidData;
  }
  return status;
}

void DriverConnection::SetRequestTimeout(uint32_t timeoutMs) { mImpl->timeoutMs = timeoutMs == 0 ? 1 : timeoutMs; }

bool DriverConnection::IsBroken() const {
  std::lock_guard<std::mutex> lock(mImpl->stateMutex);
  return mImpl->broken;
}

const std::string& DriverConnection::ServiceName() const { return mImpl->serviceName; }

std::string DriverConnection::ServiceMessage() const {
  std::lock_guard<std::mutex> lock(mImpl->stateMutex);
  return mImpl->serviceMessage;
}

uint32_t DriverConnection::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> requestLock(mImpl->requestMutex);
  return mImpl->socket->SendAll(bytes.data(), bytes.size(), mImpl->timeoutMs.load());
}

}  // namespace platform
