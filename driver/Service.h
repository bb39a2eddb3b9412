#pragma once
// The driver service: a single-threaded event loop that accepts clients on a
// Unix domain socket, speaks the driver protocol (lib/platform/posix/DriverProtocol.h)
// and forwards device requests to a DeviceSource.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "DeviceSource.h"
#include "platform/posix/DriverWire.h"

namespace vlmudrv {

class Service final : public Scheduler, public DeviceEvents {
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

  // Largest request payload the service takes: an IoControl with a full
  // input buffer, or a control command of kMaxJsonText bytes.
  static constexpr uint32_t kMaxRequestPayload = driverproto::kMaxIoBuffer + 64;
  // Connections served at once; one more is answered with ERROR and closed.
  static constexpr size_t kMaxClients = 128;
  // Bytes of large incomplete frames (above kSmallFrame) all clients together
  // may have announced; a client beyond it is answered with ERROR 170.
  static constexpr size_t kMaxAnnouncedBytes = 32u * 1024u * 1024u;
  static constexpr uint32_t kSmallFrame = 64u * 1024u;
  // Pause after accept failed for want of descriptors or memory.
  static constexpr uint32_t kAcceptBackoffMs = 100;

  explicit Service(Options options);
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  void SetSource(std::unique_ptr<DeviceSource> source) { mSource = std::move(source); }
  DeviceSource* Source() const { return mSource.get(); }

  // Binds and listens. Returns false with a message when the socket cannot be
  // created (path too long, another service is listening there, ...).
  bool Listen(std::string& error);
  // Serves until Stop() or a stop signal on `stopFd` (a descriptor that
  // becomes readable when the service must end; -1 for none). Closes every
  // client and removes the socket file before it returns.
  void Run(int stopFd);
  void Stop() { mStopping = true; }
  // Calls `onReadable` on the loop's thread whenever `fd` is readable: how a
  // device source that works on threads of its own hands results back.
  void WatchReadable(int fd, std::function<void()> onReadable);

  // Scheduler
  uint64_t NowMs() const override;
  uint64_t Schedule(uint64_t delayMs, std::function<void()> fn) override;
  void Cancel(uint64_t id) override;
  // DeviceEvents
  void OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) override;

  // Trace of every request (JSON lines). Returns false when the file cannot be opened.
  bool SetTrace(bool on, const std::string& path, std::string& error);

  // Creates (when missing) the private directory a default socket lives in,
  // owned by this user, mode 0700 (0750 with a socket group); refuses one
  // that is not a directory of this user or that others may write to.
  static bool PreparePrivateDirectory(const std::string& dir, gid_t group, std::string& error);

 private:
  struct Client {
    uint64_t id = 0;
    int fd = -1;
    driverproto::ReceiveBuffer rx;
    std::string tx;
    bool helloDone = false;
    bool pending = false;
    bool closing = false;  // close once tx is flushed
    bool dead = false;
    bool eof = false;      // the client closed its sending side
    std::string name;
    uid_t uid = static_cast<uid_t>(-1);  // peer's user (SO_PEERCRED); -1: unknown
    bool hasHandle = false;
    DeviceHandle handle;
    std::vector<platform::Guid> subscriptions;
    uint32_t watched = 0;  // events the event loop waits for on fd (0: none, not registered)
    bool touched = false;  // listed in mTouched
    uint64_t frames = 0;          // frames taken from this client
    uint64_t partialSinceNs = 0;  // first bytes of the incomplete frame at the front came then (0: none)
    uint64_t partialFrame = 0;    // value of `frames` when that frame started
    uint64_t frameTimer = 0;      // timer that checks the incomplete frame
    size_t announced = 0;         // share of mAnnouncedBytes held by the incomplete frame
    bool largeFrameTaken = false; // the receive buffer grew for a large frame
  };

  // What the trace line of an I/O control request needs once it completes:
  // the request's first bytes stand in for the whole input.
  struct IoTrace {
    uint32_t code = 0;
    uint32_t outSize = 0;
    size_t inLength = 0;
    std::string inHead;  // the first kTracedInput bytes of the input
    std::string path;
  };
  static constexpr size_t kTracedInput = 16 + 64;

  void Accept();
  void ReadFrom(Client& c);
  void WriteTo(Client& c);
  void Send(Client& c, std::string_view frame);
  void SendError(Client& c, uint32_t error, const std::string& message);
  void ProcessFrames(Client& c);
  void HandleFrame(Client& c, uint16_t type, std::string_view payload);
  void HandleIoControl(Client& c, std::string_view payload);
  void HandleControl(Client& c, std::string_view payload);
  void CompleteIo(uint64_t clientId, const IoTrace& trace, const IoResult& result);
  void DropClient(Client& c);
  void ReleaseAnnounced(Client& c);
  void WatchPartialFrame(Client& c);
  void CheckPartialFrame(uint64_t clientId);
  void PauseAccepting();
  // Marks a client for the end of the current loop turn: its buffered frames
  // are served, its end of stream handled, its wait events brought up to
  // date, and a dead client is removed.
  void Touch(Client& c);
  void ServeTouched();
  void UpdateInterest(Client& c);
  void RunTimers();
  int NextTimerWaitMs() const;
  uint64_t SinceStartNs() const;
  void TraceLine(const nlohmann::json& line);

  Options mOptions;
  std::unique_ptr<DeviceSource> mSource;
  int mListenFd = -1;
  int mEpollFd = -1;
  bool mStopping = false;
  bool mAcceptPaused = false;
  size_t mAnnouncedBytes = 0;
  std::vector<uint64_t> mTouched;  // ids of touched clients
  uint64_t mNextClientId = 1;
  std::map<uint64_t, std::unique_ptr<Client>> mClients;
  uint64_t mNextTimerId = 1;
  std::multimap<uint64_t, uint64_t> mTimerQueue;  // due time (ns since the start) -> id
  std::unordered_map<uint64_t, std::function<void()>> mTimers;
  int64_t mStartNs = 0;
  uint64_t mFramesTaken = 0;           // frames taken from clients so far
  driverproto::SpinBudget mSpin;        // looking for the next request without sleeping
  std::vector<std::pair<int, std::function<void()>>> mWatches;  // WatchReadable
  int mTraceFd = -1;
  bool mTraceOn = false;
  std::string mTracePath;
};

}  // namespace vlmudrv
