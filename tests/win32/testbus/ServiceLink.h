#pragma once
// One connection of the test bus driver to the driver service
// (velmora-driverd), reached through the fixture's relay on 127.0.0.1 (see
// tests/wine-relay). It speaks the service's protocol (docs/driver-protocol.md)
// as the Linux client does: HELLO, then one request at a time.
//
// ServiceLink.cpp is compiled with the user-mode headers (Winsock, the
// registry) while the rest of the driver uses the kernel's; this header
// includes neither, so both sides can use it. Every result is a system error
// code as the service answers it (0, 2, 31, 87, 121, 1167, ...).
//
// Threads: one thread uses a link at a time; Abort may come from any other.
#include <cstddef>
#include <cstdint>

namespace testbus {

// Bound of one request's round trip, as the Linux client has it; a reply that
// does not come in time fails the request with 121 and breaks the link.
inline constexpr uint32_t kRoundTripMs = 10000;

// Receives the device notifications (event 0x8000 arrival, 0x8004 removal
// complete) of a subscribed link with the interface path (not NUL-terminated).
using NotifyCallback = void (*)(void* context, uint32_t event, const char* path, uint32_t length);
// Receives one interface path of a list.
using PathCallback = void (*)(void* context, const char* path, uint32_t length);

class ServiceLink {
 public:
  // Connects through the relay and greets the service. Returns 0 and sets
  // `link`, or 1062 (no relay configured or listening), 1167, 121, 13.
  static uint32_t Connect(const char* clientName, ServiceLink*& link);
  // Closes the connection (the service then closes what it had open for it).
  static void Destroy(ServiceLink* link);

  // Ends the conversation from another thread: a request or wait in progress
  // fails at once with 1167, and so does every later one.
  void Abort();

  uint32_t Open(const char* path, uint32_t length);
  // One I/O control request; `out` may be the same buffer as `in`.
  uint32_t IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t& returned);
  // Asks for the notifications of an interface class; from now on they go to
  // `callback`, also while a later request waits for its reply.
  uint32_t Subscribe(const uint8_t (&interfaceClass)[16], NotifyCallback callback, void* context);
  // The present interfaces of a class, in the service's order.
  uint32_t List(const uint8_t (&interfaceClass)[16], PathCallback callback, void* context);
  // Waits without a time-out for the next notification (Abort ends the wait).
  uint32_t WaitNotification();

 private:
  struct Frame;
  ServiceLink() = default;
  uint32_t Request(uint16_t type, const void* head, size_t headSize, const void* data, size_t dataSize,
                   uint16_t replyType, Frame& reply);
  uint32_t Send(const void* data, size_t size);
  uint32_t Receive(void* data, size_t size, uint32_t timeoutMs);
  uint32_t ReadFrame(Frame& frame, uint32_t timeoutMs);
  bool Deliver(const Frame& frame);

  uintptr_t mSocket = ~uintptr_t{0};  // INVALID_SOCKET until connected
  bool mWinsock = false;              // WSAStartup done; WSACleanup owed
  volatile long mAborted = 0;
  uint8_t* mBuffer = nullptr;  // payload of the last frame (malloc'ed, grows)
  size_t mCapacity = 0;
  NotifyCallback mNotify = nullptr;
  void* mNotifyContext = nullptr;
};

}  // namespace testbus
