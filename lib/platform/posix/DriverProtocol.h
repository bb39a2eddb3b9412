#pragma once
// Wire protocol between the driver service (driver/) and its clients (the
// library's platform layer, the control tool, tests). Documented in
// docs/driver-protocol.md; keep both in step and bump kProtocolVersion on any
// incompatible change.
//
// Transport: a Unix domain stream socket. Every message is a frame:
//   uint32 payloadLength (little-endian, not counting this 8-byte header)
//   uint16 type          (MessageType)
//   uint16 reserved      (0)
//   payload bytes
// The first frame on every connection is HELLO from the client; the service
// answers HELLO_REPLY, or ERROR and closes when the version differs.
// Requests are answered in order, one reply per request; a client sends its
// next request only after the reply to the previous one. A connection that
// subscribed to device notifications may also receive NOTIFY frames at any
// time between replies.
// All integers are little-endian. Strings are uint32 length + bytes (no NUL).
// A GUID travels as 16 bytes in the Windows memory layout (Data1 as uint32,
// Data2 and Data3 as uint16, then the eight Data4 bytes).
#include <cstdint>

#include "platform/DeviceFile.h"

namespace driverproto {

inline constexpr uint32_t kMagic = 0x554D4C56;  // "VLMU"
inline constexpr uint32_t kProtocolVersion = 1;
inline constexpr uint32_t kFrameHeaderSize = 8;
// Largest payload either side accepts; a larger announced length is garbage.
inline constexpr uint32_t kMaxFrame = 64u * 1024u * 1024u;
// Largest input or output buffer of one IoControl (a 16-byte header plus a
// full 16-bit wLength of data fits easily).
inline constexpr uint32_t kMaxIoBuffer = 1024u * 1024u;
// Largest string inside a frame other than a Control command or reply.
inline constexpr uint32_t kMaxPathLength = 4096;
// Bound a client puts on each request/reply round trip unless told otherwise.
inline constexpr uint32_t kDefaultRequestTimeoutMs = 10000;
inline constexpr const char* kSocketEnv = "VLMU_DRIVER_SOCKET";
// Default socket when VLMU_DRIVER_SOCKET is unset: the service of a user
// listens in that user's runtime directory ($XDG_RUNTIME_DIR + kUserSocket),
// the system service (root) in kSystemSocketPath. A client takes the user's
// socket when it exists, else the system one.
inline constexpr const char* kRuntimeDirEnv = "XDG_RUNTIME_DIR";
inline constexpr const char* kUserSocket = "/velmora/driver.sock";
inline constexpr const char* kSystemSocketPath = "/run/velmora/driver.sock";

enum class MessageType : uint16_t {
  // client -> service
  Hello = 1,           // u32 magic, u32 version, string clientName         -> HelloReply | Error
  ListInterfaces = 2,  // guid[16]                                          -> ListReply
  Open = 3,            // string path                                       -> Status (0 = open)
  IoControl = 4,       // u32 code, u32 outSize, u32 inLen, in[inLen]       -> IoControlReply
  Close = 5,           //                                                   -> Status
  Subscribe = 6,       // guid[16]                                          -> Status; then Notify frames
  Unsubscribe = 7,     // guid[16]                                          -> Status
  Control = 8,         // string json command                               -> ControlReply
  // service -> client
  HelloReply = 101,      // u32 magic, u32 version, string serviceName
  Error = 102,           // u32 error, string message (then the service closes the connection)
  ListReply = 103,       // u32 error, u32 count, count x string path (stable order)
  Status = 104,          // u32 error
  IoControlReply = 105,  // u32 error, u32 bytesReturned, out[bytesReturned]
  Notify = 106,          // u32 event (kDbtDeviceArrival / kDbtDeviceRemoveComplete), guid[16], string path
  ControlReply = 107,    // u32 error, string json result
};

// Device-change events carried by Notify (the values of the Windows broadcast codes).
inline constexpr uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;

// I/O control codes of the vendor driver (defined with the device file).
using platform::kIoctlControlRequest;
using platform::kIoctlCyclePort;
using platform::kIoctlGetDescriptor;

// System-style error codes the service and the client connection answer with
// (Windows values).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;  // unknown control code or message
inline constexpr uint32_t kErrorFileNotFound = 2;     // no such interface path / device id
inline constexpr uint32_t kErrorAccessDenied = 5;     // control command of another user; service not trusted
inline constexpr uint32_t kErrorInvalidHandle = 6;    // request without an open device
inline constexpr uint32_t kErrorInvalidData = 13;     // malformed frame from the other side
inline constexpr uint32_t kErrorGenFailure = 31;      // request stalled by the device
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;  // malformed request
inline constexpr uint32_t kErrorSemTimeout = 121;       // the service did not answer in time
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorBusy = 170;                 // a request is already in progress
inline constexpr uint32_t kErrorServiceNotActive = 1062;    // no service listens on the socket
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;  // device left the bus, or the service is gone
inline constexpr uint32_t kErrorRevisionMismatch = 1306;    // protocol version differs

}  // namespace driverproto
