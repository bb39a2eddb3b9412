#pragma once
// The service's client connections: accepting them, reading and writing
// their bytes without blocking, taking whole frames off the receive buffer,
// and the limits that keep one client from holding the service (connection
// count, buffer budget, frame time-out, unread replies). What a frame asks
// for is the FrameHandler's business.
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceSource.h"
#include "EventLoop.h"
#include "Fd.h"
#include "platform/posix/DriverProtocol.h"
#include "platform/posix/DriverWire.h"

namespace vlmudrv {

// The service's own user and root: they always find a connection slot and
// may give every command.
inline bool IsServiceUser(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

struct Client {
  uint64_t id = 0;
  Fd fd;
  uid_t uid = static_cast<uid_t>(-1);  // peer's user (SO_PEERCRED); -1: unknown
  // The conversation, kept by the frame handler.
  bool helloDone = false;
  std::string name;
  bool hasHandle = false;
  DeviceHandle handle;
  std::vector<platform::Guid> subscriptions;

  // Input and output.
  driverproto::ReceiveBuffer rx;
  std::string tx;
  bool pending = false;  // a request is in progress: later frames wait
  bool closing = false;  // close once tx is flushed
  bool dead = false;
  bool eof = false;              // the client closed its sending side
  uint32_t watched = 0;          // events the event loop waits for on fd (0: none, not registered)
  bool touched = false;          // listed in ClientIo::mTouched
  uint64_t frames = 0;           // frames taken from this client
  uint64_t partialSinceNs = 0;   // first bytes of the incomplete frame at the front came then (0: none)
  uint64_t partialFrame = 0;     // value of `frames` when that frame started
  uint64_t frameTimer = 0;       // timer that checks the incomplete frame
  size_t announced = 0;          // share of the announced-bytes budget held by the incomplete frame
  bool largeFrameTaken = false;  // the receive buffer grew for a large frame
};

class ClientIo final : public EventLoop::Handler {
 public:
  class FrameHandler {
   public:
    virtual ~FrameHandler() = default;
    // One whole frame of a client; the payload lives until the call returns.
    virtual void OnFrame(Client& client, uint16_t type, std::string_view payload) = 0;
    // Decides from a frame's header alone, before its body is waited for or
    // read, whether the client may send it: 0, or the error the client is
    // answered with (and then closed), with `message`.
    virtual uint32_t Admit(const Client& client, uint16_t type, uint32_t length, std::string& message) = 0;
  };

  // Largest request payload the service takes: an IoControl with a full
  // input buffer, or a control command of 1 MiB of JSON.
  static constexpr uint32_t kMaxRequestPayload = driverproto::kMaxIoBuffer + 64;
  // Connections served at once; one more is answered with ERROR 170 and
  // closed. The last kReservedClients of them are for the service's own user
  // and root alone, and any other user holds at most kMaxClientsPerUser, so
  // that no user can lock the others out.
  static constexpr size_t kMaxClients = 128;
  static constexpr size_t kReservedClients = 16;
  static constexpr size_t kMaxClientsPerUser = 32;
  // Bytes of large incomplete frames (above kSmallFrame) all clients together
  // may have announced; a client beyond it is answered with ERROR 170.
  static constexpr size_t kMaxAnnouncedBytes = 32u * 1024u * 1024u;
  static constexpr uint32_t kSmallFrame = 64u * 1024u;
  // Pause after accept failed for want of descriptors or memory.
  static constexpr uint32_t kAcceptBackoffMs = 100;

  // A frame whose first bytes came must be complete within frameTimeoutMs,
  // and a new connection must have sent its first frame within that time;
  // otherwise the client is dropped (it would hold buffer space or a
  // connection slot forever).
  ClientIo(EventLoop& loop, FrameHandler& handler, uint32_t frameTimeoutMs)
      : mLoop(loop), mHandler(handler), mFrameTimeoutMs(frameTimeoutMs) {}

  // Takes the connections waiting on the listening socket.
  void Accept(int listenFd);
  // EventLoop::Handler
  void OnReady(uint64_t id, uint32_t events) override;
  bool EndTurn() override;

  // Queues a frame for a client; what the socket takes now goes at once.
  void Send(Client& c, std::string_view frame);
  // Sends an ERROR frame and closes the connection once it is out.
  void SendError(Client& c, uint32_t error, const std::string& message);
  // A request of the client waits (for a device); its later frames wait too.
  void BeginWait(Client& c) { c.pending = true; }
  void EndWait(Client& c);
  // The client with this id, unless it is gone.
  Client* Find(uint64_t id);
  // Every client still taking messages.
  void ForEachOpen(const std::function<void(Client&)>& fn);
  // Writes out what can be written within a short bound (the reply to a
  // shutdown command), then closes every connection.
  void CloseAll();

 private:
  void ReadFrom(Client& c);
  void WriteTo(Client& c);
  void ProcessFrames(Client& c);
  // False when the frame at the front of the buffer is not whole yet (or
  // the client was answered with an error).
  bool FrameComplete(Client& c, const driverproto::FrameHeader& h);
  void TakeFrame(Client& c, const driverproto::FrameHeader& h);
  void DropClient(Client& c);
  void ReleaseAnnounced(Client& c);
  void WatchPartialFrame(Client& c);
  void CheckPartialFrame(uint64_t clientId);
  void PauseAccepting(int listenFd);
  // Why a new connection of `uid` gets no slot; empty when it gets one.
  std::string SlotRefusal(uid_t uid) const;
  // Marks a client for the end of the current loop turn: its buffered frames
  // are served, its end of stream handled, its wait events brought up to
  // date, and a dead client is removed.
  void Touch(Client& c);
  void ServeTouched();
  void ServeTouched(Client& c);
  void UpdateInterest(Client& c);

  EventLoop& mLoop;
  FrameHandler& mHandler;
  uint32_t mFrameTimeoutMs;
  bool mAcceptPaused = false;
  size_t mAnnouncedBytes = 0;
  std::vector<uint64_t> mTouched;  // ids of touched clients
  uint64_t mNextClientId = 1;
  std::map<uint64_t, std::unique_ptr<Client>> mClients;
  uint64_t mFramesTaken = 0;  // frames taken from clients so far
};

}  // namespace vlmudrv
