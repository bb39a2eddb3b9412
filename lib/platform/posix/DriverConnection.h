#pragma once
// Client connection to the driver service (the program that stands in for the
// vendor's kernel driver; protocol in DriverProtocol.h and
// docs/driver-protocol.md).
//
// One connection holds at most one open device interface, like one file
// handle. Every request is synchronous: it sends one frame and waits for the
// reply, at most the request time-out (default 10 s). A reply that does not
// come in time yields kErrorSemTimeout; a service that went away, a reply
// that is not a well-formed frame of the expected kind, or a connection
// already broken yields kErrorDeviceNotConnected or kErrorInvalidData. After
// a time-out or a malformed reply the connection is broken for good (a late
// reply could no longer be matched to its request): every further request
// fails at once with kErrorDeviceNotConnected; open a new connection.
//
// Threads: all operations may be called from any thread. Requests on one
// connection are serialised (one request at a time; a second thread waits for
// the first to finish). Once Subscribe succeeds the connection runs a reader
// thread of its own that receives every frame and calls the notification
// handler on that thread; the handler must not issue requests on the same
// connection (they would wait for the very thread that runs the handler) and
// should return quickly. The destructor stops and joins the reader thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Guid.h"

namespace platform {

class DriverSocket;

struct DriverNotification {
  uint32_t event = 0;  // driverproto::kDbtDeviceArrival or kDbtDeviceRemoveComplete
  Guid interfaceClass;
  std::string path;
};

class DriverConnection {
 public:
  using NotifyHandler = std::function<void(const DriverNotification&)>;

  ~DriverConnection();
  DriverConnection(const DriverConnection&) = delete;
  DriverConnection& operator=(const DriverConnection&) = delete;

  // Socket path used by Connect: VLMU_DRIVER_SOCKET (read at each call) or the default.
  static std::string SocketPath();

  // Connects to the service at SocketPath() and performs the HELLO handshake
  // within `timeoutMs`. Returns 0 and sets `connection`, or an error code:
  // kErrorServiceNotActive (nothing listens), kErrorAccessDenied (a service
  // that is not trusted, see ConnectDriverSocket; the reason goes to standard
  // error), kErrorRevisionMismatch (the
  // service speaks another protocol version; ServiceMessage() of the failed
  // attempt is not kept, see ConnectTo's `message`), kErrorSemTimeout,
  // kErrorDeviceNotConnected, kErrorInvalidData.
  static uint32_t Connect(std::unique_ptr<DriverConnection>& connection, const std::string& clientName = "velmora",
                          uint32_t timeoutMs = 10000);
  // Same for an explicit socket path; `message` (optional) receives the
  // service's error text when it refused the handshake, or why the service
  // was not trusted (then nothing goes to standard error).
  static uint32_t ConnectTo(const std::string& socketPath, std::unique_ptr<DriverConnection>& connection,
                            const std::string& clientName = "velmora", uint32_t timeoutMs = 10000,
                            std::string* message = nullptr, uint32_t protocolVersion = 0);

  // Paths of the present interfaces of a class, in the service's stable order.
  uint32_t ListInterfaces(const Guid& interfaceClass, std::vector<std::string>& paths);
  // Opens the interface at `path` (case-insensitive) on this connection:
  // 0 or kErrorFileNotFound; kErrorInvalidParameter when one is already open.
  uint32_t Open(const std::string& path);
  // One I/O control request on the open interface. `out` is zero-filled
  // first; at most outSize bytes are copied back; bytesReturned (optional)
  // receives the count. Returns 0 or a system error code.
  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned);
  // Closes the open interface (kErrorInvalidHandle when none is open).
  uint32_t Close();
  // Asks for arrival / removal-complete notifications of a class. The handler
  // given here replaces any earlier one and is called on the reader thread.
  uint32_t Subscribe(const Guid& interfaceClass, NotifyHandler handler);
  uint32_t Unsubscribe(const Guid& interfaceClass);
  // Sends a control command (JSON text) and returns the service's answer
  // (JSON text) in `reply`; the result is the service's error code.
  uint32_t Control(const std::string& command, std::string& reply);

  // Bound of every later request round trip (milliseconds, > 0).
  void SetRequestTimeout(uint32_t timeoutMs);
  // True after a time-out, a malformed reply or the loss of the service.
  bool IsBroken() const;
  // Name the service gave in its HELLO reply.
  const std::string& ServiceName() const;
  // Text of the last Error frame the service sent (empty when none).
  std::string ServiceMessage() const;

  // Sends raw bytes on the socket (tests use it to feed the service garbage).
  uint32_t SendRaw(const std::string& bytes);

 private:
  struct Impl;
  explicit DriverConnection(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> mImpl;
};

}  // namespace platform
