// The test bus driver's conversation with the driver service through the
// relay. Under Wine a .sys is a PE module inside winedevice.exe, so this part
// may use Winsock, the registry functions and msvcrt like any DLL; it must
// not need kernel32 or ntdll itself (see CMakeLists.txt).
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "RelaySettings.h"
#include "ServiceLink.h"
#include "platform/posix/DriverProtocol.h"

namespace testbus {

using driverproto::MessageType;

namespace {

// Largest reply this driver takes: an IOCONTROL reply with a full output
// buffer, or the interface list of a service with many devices.
constexpr size_t kMaxPayload = 4u * 1024u * 1024u;
// How often a wait looks whether the link was aborted.
constexpr uint32_t kAbortCheckMs = 250;
constexpr uint32_t kForever = 0xFFFFFFFFu;

void PutU32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

SOCKET AsSocket(uintptr_t s) { return static_cast<SOCKET>(s); }

}  // namespace

struct ServiceLink::Frame {
  uint16_t type = 0;
  uint32_t length = 0;
  const uint8_t* payload = nullptr;
};

uint32_t ServiceLink::Connect(const char* clientName, ServiceLink*& link) {
  link = nullptr;
  DWORD port = 0;
  char token[64] = {};
  if (!ReadRelaySettings(port, token)) return driverproto::kErrorServiceNotActive;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return driverproto::kErrorServiceNotActive;
  void* memory = std::malloc(sizeof(ServiceLink));
  if (memory == nullptr) {
    WSACleanup();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  auto* self = new (memory) ServiceLink();
  self->mWinsock = true;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  self->mSocket = static_cast<uintptr_t>(s);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const BOOL noDelay = TRUE;
  const DWORD sendTimeout = kRoundTripMs;
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Destroy(self);
    return driverproto::kErrorServiceNotActive;
  }
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout);

  // The relay's token, then HELLO: magic, protocol version, client name.
  const size_t tokenLength = std::strlen(token);
  token[tokenLength] = '\n';
  uint8_t hello[12 + 64];
  const size_t nameLength = std::min<size_t>(std::strlen(clientName), 64);
  PutU32(hello, driverproto::kMagic);
  PutU32(hello + 4, driverproto::kProtocolVersion);
  PutU32(hello + 8, static_cast<uint32_t>(nameLength));
  std::memcpy(hello + 12, clientName, nameLength);
  Frame reply;
  uint32_t status = self->Send(token, tokenLength + 1);
  if (status == 0) {
    status = self->Request(static_cast<uint16_t>(MessageType::Hello), hello, 12 + nameLength, nullptr, 0,
                           static_cast<uint16_t>(MessageType::HelloReply), reply);
  }
  if (status == 0 && (reply.length < 8 || GetU32(reply.payload) != driverproto::kMagic)) {
    status = driverproto::kErrorInvalidData;
  }
  if (status != 0) {
    Destroy(self);
    return status;
  }
  link = self;
  return 0;
}

void ServiceLink::Destroy(ServiceLink* link) {
  if (link == nullptr) return;
  if (link->mSocket != static_cast<uintptr_t>(INVALID_SOCKET)) closesocket(AsSocket(link->mSocket));
  if (link->mWinsock) WSACleanup();
  std::free(link->mBuffer);
  link->~ServiceLink();
  std::free(link);
}

void ServiceLink::Abort() {
  InterlockedExchange(&mAborted, 1);
  // Wakes a receive in progress at once; the abort flag covers the rest.
  shutdown(AsSocket(mSocket), SD_BOTH);
}

uint32_t ServiceLink::Send(const void* data, size_t size) {
  auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (mAborted != 0) return driverproto::kErrorDeviceNotConnected;
    const int chunk = size > 0x10000000 ? 0x10000000 : static_cast<int>(size);
    const int sent = send(AsSocket(mSocket), bytes, chunk, 0);
    if (sent <= 0) return driverproto::kErrorDeviceNotConnected;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return 0;
}

uint32_t ServiceLink::Receive(void* data, size_t size, uint32_t timeoutMs) {
  auto* bytes = static_cast<char*>(data);
  uint32_t waited = 0;
  while (size > 0) {
    if (mAborted != 0) return driverproto::kErrorDeviceNotConnected;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(mSocket), &readable);
    timeval step{0, static_cast<long>(kAbortCheckMs * 1000)};
    const int ready = select(0, &readable, nullptr, nullptr, &step);
    if (ready < 0) return driverproto::kErrorDeviceNotConnected;
    if (ready == 0) {
      waited += kAbortCheckMs;
      if (timeoutMs != kForever && waited >= timeoutMs) return driverproto::kErrorSemTimeout;
      continue;
    }
    const int chunk = size > 0x10000000 ? 0x10000000 : static_cast<int>(size);
    const int got = recv(AsSocket(mSocket), bytes, chunk, 0);
    if (got <= 0) return driverproto::kErrorDeviceNotConnected;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return 0;
}

uint32_t ServiceLink::ReadFrame(Frame& frame, uint32_t timeoutMs) {
  uint8_t header[driverproto::kFrameHeaderSize];
  uint32_t status = Receive(header, sizeof header, timeoutMs);
  if (status != 0) return status;
  frame.length = GetU32(header);
  frame.type = static_cast<uint16_t>(header[4] | header[5] << 8);
  if (header[6] != 0 || header[7] != 0 || frame.length > kMaxPayload) return driverproto::kErrorInvalidData;
  if (frame.length > mCapacity) {
    void* grown = std::realloc(mBuffer, frame.length);
    if (grown == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    mBuffer = static_cast<uint8_t*>(grown);
    mCapacity = frame.length;
  }
  frame.payload = mBuffer;
  return frame.length == 0 ? 0 : Receive(mBuffer, frame.length, timeoutMs);
}

bool ServiceLink::Deliver(const Frame& frame) {
  if (frame.type != static_cast<uint16_t>(MessageType::Notify)) return false;
  // u32 event, guid, string path; a malformed one is dropped.
  if (frame.length >= 24 && mNotify != nullptr) {
    const uint32_t length = GetU32(frame.payload + 20);
    if (length <= frame.length - 24 && length <= driverproto::kMaxPathLength) {
      mNotify(mNotifyContext, GetU32(frame.payload), reinterpret_cast<const char*>(frame.payload + 24), length);
    }
  }
  return true;
}

uint32_t ServiceLink::Request(uint16_t type, const void* head, size_t headSize, const void* data, size_t dataSize,
                              uint16_t replyType, Frame& reply) {
  uint8_t header[driverproto::kFrameHeaderSize] = {};
  PutU32(header, static_cast<uint32_t>(headSize + dataSize));
  header[4] = static_cast<uint8_t>(type & 0xFF);
  header[5] = static_cast<uint8_t>(type >> 8);
  uint32_t status = Send(header, sizeof header);
  if (status == 0) status = Send(head, headSize);
  if (status == 0 && dataSize != 0) status = Send(data, dataSize);
  while (status == 0) {
    status = ReadFrame(reply, kRoundTripMs);
    if (status != 0 || Deliver(reply)) continue;
    // The service closes the connection after an Error frame.
    if (reply.type == static_cast<uint16_t>(MessageType::Error))
      status = driverproto::kErrorDeviceNotConnected;
    else if (reply.type != replyType)
      status = driverproto::kErrorInvalidData;
    break;
  }
  // A late reply could no longer be matched to its request: the link is done.
  if (status != 0) InterlockedExchange(&mAborted, 1);
  return status;
}

uint32_t ServiceLink::Open(const char* path, uint32_t length) {
  uint8_t head[4];
  PutU32(head, length);
  Frame reply;
  const uint32_t status = Request(static_cast<uint16_t>(MessageType::Open), head, sizeof head, path, length,
                                  static_cast<uint16_t>(MessageType::Status), reply);
  if (status != 0) return status;
  return reply.length == 4 ? GetU32(reply.payload) : driverproto::kErrorInvalidData;
}

uint32_t ServiceLink::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                uint32_t& returned) {
  returned = 0;
  uint8_t head[12];
  PutU32(head, code);
  PutU32(head + 4, outSize);
  PutU32(head + 8, inSize);
  Frame reply;
  const uint32_t status = Request(static_cast<uint16_t>(MessageType::IoControl), head, sizeof head, in, inSize,
                                  static_cast<uint16_t>(MessageType::IoControlReply), reply);
  if (status != 0) return status;
  if (reply.length < 8) return driverproto::kErrorInvalidData;
  const uint32_t bytes = GetU32(reply.payload + 4);
  if (bytes > reply.length - 8 || bytes > outSize) return driverproto::kErrorInvalidData;
  if (bytes != 0) std::memcpy(out, reply.payload + 8, bytes);
  returned = bytes;
  return GetU32(reply.payload);
}

uint32_t ServiceLink::Subscribe(const uint8_t (&interfaceClass)[16], NotifyCallback callback, void* context) {
  mNotify = callback;
  mNotifyContext = context;
  Frame reply;
  const uint32_t status = Request(static_cast<uint16_t>(MessageType::Subscribe), interfaceClass, 16, nullptr, 0,
                                  static_cast<uint16_t>(MessageType::Status), reply);
  if (status != 0) return status;
  return reply.length == 4 ? GetU32(reply.payload) : driverproto::kErrorInvalidData;
}

uint32_t ServiceLink::List(const uint8_t (&interfaceClass)[16], PathCallback callback, void* context) {
  Frame reply;
  const uint32_t status = Request(static_cast<uint16_t>(MessageType::ListInterfaces), interfaceClass, 16, nullptr, 0,
                                  static_cast<uint16_t>(MessageType::ListReply), reply);
  if (status != 0) return status;
  if (reply.length < 8) return driverproto::kErrorInvalidData;
  if (GetU32(reply.payload) != 0) return GetU32(reply.payload);
  size_t at = 8;
  for (uint32_t i = GetU32(reply.payload + 4); i > 0; --i) {
    if (reply.length - at < 4) return driverproto::kErrorInvalidData;
    const uint32_t length = GetU32(reply.payload + at);
    if (length > reply.length - at - 4) return driverproto::kErrorInvalidData;
    callback(context, reinterpret_cast<const char*>(reply.payload + at + 4), length);
    at += 4 + length;
  }
  return 0;
}

uint32_t ServiceLink::WaitNotification() {
  Frame frame;
  const uint32_t status = ReadFrame(frame, kForever);
  if (status != 0) return status;
  return Deliver(frame) ? 0 : driverproto::kErrorInvalidData;
}

}  // namespace testbus
