#pragma once
// The driver service: answers the requests of the driver protocol
// (lib/platform/posix/DriverProtocol.h) that its clients send over a Unix
// domain socket, and forwards device requests to a DeviceSource. Its parts:
// EventLoop (epoll, timers, spin), ClientIo (connections, frames, limits),
// Trace (the request trace), ListenSocket (the socket's set-up); this class
// handles each message type.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ClientIo.h"
#include "DeviceSource.h"
#include "EventLoop.h"
#include "Fd.h"
#include "ListenSocket.h"
#include "Trace.h"
#include "platform/posix/DriverWire.h"

namespace vlmudrv {

class Service final : public DeviceEvents, private ClientIo::FrameHandler {
 public:
  struct Options {
    std::string socketPath;
    std::string tracePath;  // empty: no trace
    // A frame whose first bytes came must be complete within this time;
    // otherwise the client is dropped (it would hold buffer space forever).
    uint32_t frameTimeoutMs = 10000;
    // Group given access to the socket (mode 0660); -1: the owner alone (0600).
    gid_t socketGroup = static_cast<gid_t>(-1);
  };

  explicit Service(Options options);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The devices served; set once, before Run. The loop watches the source's
  // wake-up descriptors from then on. The source goes before the loop whose
  // timers it cancels.
  void SetSource(std::unique_ptr<DeviceSource> source);
  DeviceSource* Source() const { return mSource.get(); }
  // The timers device sources run on (callbacks on the loop's thread).
  Scheduler& Timers() { return mLoop; }

  // Binds and listens (or takes the socket the service manager handed
  // over), and opens the trace file. Returns false with a message when the
  // socket cannot be created (path too long, another service is listening
  // there, ...) or the trace file cannot be opened.
  bool Listen(std::string& error);
  // The socket's path (the handed-over socket's own when there is one).
  const std::string& SocketPath() const { return mListen.Path(); }
  // Makes the service ready to serve: false with a message when it cannot
  // wait for events. `stopFd` becomes readable when the service must end
  // (-1: none).
  bool Prepare(int stopFd, std::string& error) { return mLoop.Open(stopFd, error); }
  // Serves (after Prepare) until Stop(), a shutdown command or the stop
  // descriptor. Closes every client and removes the socket file (while it is
  // still this service's) before it returns.
  void Run();
  void Stop() { mLoop.Stop(); }

  // DeviceEvents: traced, and sent to the clients subscribed to the class.
  void OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) override;

 private:
  // ClientIo::FrameHandler: one function per message type. Those returning
  // bool return false for a payload that does not parse.
  void OnFrame(Client& c, uint16_t type, std::string_view payload) override;
  uint32_t Admit(const Client& c, uint16_t type, uint32_t length, std::string& message) override;
  void OnHello(Client& c, uint16_t type, driverproto::PayloadReader& r);
  bool OnListInterfaces(Client& c, driverproto::PayloadReader& r);
  bool OnOpen(Client& c, driverproto::PayloadReader& r);
  bool OnClose(Client& c, driverproto::PayloadReader& r);
  void OnIoControl(Client& c, std::string_view payload);
  bool OnSubscribe(Client& c, driverproto::PayloadReader& r, bool subscribe);
  void OnControl(Client& c, std::string_view payload);

  void CompleteIo(uint64_t clientId, const IoTrace& trace, const IoResult& result);
  // A command text as it may be run: JSON, an object, "cmd" a text, and the
  // client allowed to give it. False with `error` and result["error"] set.
  bool CheckCommand(const Client& c, std::string_view text, nlohmann::json& cmd, std::string& name, uint32_t& error,
                    nlohmann::json& result) const;
  void RunCommand(const std::string& name, const nlohmann::json& cmd, uint32_t& error, nlohmann::json& result);
  void TraceCommand(const nlohmann::json& cmd, uint32_t& error, nlohmann::json& result);

  Options mOptions;
  EventLoop mLoop;
  Trace mTrace{mLoop};
  ClientIo mClients;
  ListenSocket mListen;
  std::unique_ptr<DeviceSource> mSource;  // after the loop: destroyed first
};

}  // namespace vlmudrv
