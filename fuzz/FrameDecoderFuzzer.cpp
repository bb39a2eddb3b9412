// libFuzzer target: the driver protocol's frame decoding as the service and
// the client do it: bytes arrive in pieces in a receive buffer, frames are
// taken from it by their headers, and each payload is parsed by the layout
// of its message type.
//
// Input layout:
//   byte 0  size of the pieces the bytes arrive in (1 to 256)
//   rest    the byte stream
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverWire.h"

using namespace driverproto;

namespace {

// Parses a payload by the layout of its type; true when it is well formed.
bool ParsePayload(uint16_t type, std::string_view payload) {
  PayloadReader r(payload);
  uint32_t a = 0, b = 0, c = 0;
  std::string s;
  std::string_view bytes;
  platform::Guid g;
  switch (static_cast<MessageType>(type)) {
    case MessageType::Hello:
      return r.U32(a) && r.U32(b) && r.String(s, kMaxPathLength) && r.Done();
    case MessageType::ListInterfaces:
    case MessageType::Subscribe:
    case MessageType::Unsubscribe:
      return r.GuidBytes(g) && r.Done();
    case MessageType::Open:
      return r.String(s, kMaxPathLength) && r.Done();
    case MessageType::IoControl:
      return r.U32(a) && r.U32(b) && r.U32(c) && c <= kMaxIoBuffer && r.Bytes(c, bytes) && r.Done();
    case MessageType::Close:
      return r.Done();
    case MessageType::Control:
      return r.String(s, kMaxFrame) && r.Done();
    case MessageType::HelloReply:
      return r.U32(a) && r.U32(b) && r.String(s, kMaxPathLength) && r.Done();
    case MessageType::Error:
      return r.U32(a) && r.String(s, kMaxFrame) && r.Done();
    case MessageType::ListReply:
      if (!r.U32(a) || !r.U32(b) || b > kMaxFrame / 4) return false;
      for (uint32_t i = 0; i < b; ++i)
        if (!r.String(s, kMaxPathLength)) return false;
      return r.Done();
    case MessageType::Status:
      return r.U32(a) && r.Done();
    case MessageType::IoControlReply:
      return r.U32(a) && r.U32(b) && r.Bytes(b, bytes) && r.Done();
    case MessageType::Notify:
      return r.U32(a) && r.GuidBytes(g) && r.String(s, kMaxPathLength) && r.Done();
    case MessageType::ControlReply:
      return r.U32(a) && r.String(s, kMaxFrame) && r.Done();
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  ReceiveBuffer rx;
  while (!stream.empty()) {
    const size_t n = std::min(piece, stream.size());
    size_t room = 0;
    char* into = rx.Reserve(n, room);
    if (room < n) std::abort();
    std::copy(stream.begin(), stream.begin() + static_cast<long>(n), into);
    rx.Commit(n);
    stream.remove_prefix(n);
    while (rx.Size() >= kFrameHeaderSize) {
      const FrameHeader h = DecodeHeader(rx.Data());
      if (h.reserved != 0 || h.length > kMaxFrame) return 0;  // both sides close the connection here
      if (rx.Size() - kFrameHeaderSize < h.length) break;
      const std::string_view payload(rx.Data() + kFrameHeaderSize, h.length);
      const bool ok = ParsePayload(h.type, payload);
      // A well-formed payload written back gives the same bytes.
      if (ok && static_cast<MessageType>(h.type) == MessageType::Status) {
        PayloadReader r(payload);
        uint32_t v = 0;
        r.U32(v);
        if (FrameWriter(MessageType::Status).U32(v).Finish() != std::string(rx.Data(), kFrameHeaderSize + h.length))
          std::abort();
      }
      rx.Consume(kFrameHeaderSize + h.length);
    }
  }
  return 0;
}
