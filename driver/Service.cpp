#include "Service.h"

#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "Description.h"
#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using namespace driverproto;
using nlohmann::json;

namespace {

constexpr const char* kServiceName = "velmora-driverd";

// A malformed command: error 87 with a text saying what is wrong.
void Refuse(uint32_t& error, json& result, const std::string& message) {
  error = kErrorInvalidParameter;
  result["error"] = message;
}

// Whoever may connect may use the devices and look at the lists; changing
// the service (devices, trace files, shutting it down) is for its own user
// and root.
bool OpenToAll(const std::string& cmd) { return cmd == "ping" || cmd == "list-devices" || cmd == "list-usb"; }

// Largest HELLO payload: magic, version and a client name of a path's length.
constexpr uint32_t kMaxHelloPayload = 4 + 4 + 4 + kMaxPathLength;
// Largest control command other users may send: the commands open to all
// are a few bytes long.
constexpr uint32_t kMaxOpenCommandPayload = 4 + 4096;

}  // namespace

Service::Service(Options options) : mOptions(std::move(options)), mClients(mLoop, *this, mOptions.frameTimeoutMs) {}

Service::~Service() = default;

void Service::SetSource(std::unique_ptr<DeviceSource> source) {
  mSource = std::move(source);
  if (!mSource) return;
  for (DeviceSource::WakeUp& w : mSource->WakeUps()) mLoop.WatchReadable(w.fd, std::move(w.onReadable));
}

bool Service::Listen(std::string& error) {
  const bool listening = ListenSocket::HandedOver() ? mListen.TakeHandedOver(error)
                                                    : mListen.Bind(mOptions.socketPath, mOptions.socketGroup, error);
  if (!listening) return false;
  mLoop.WatchReadable(mListen.Get(), [this] { mClients.Accept(mListen.Get()); });
  return mOptions.tracePath.empty() || mTrace.Set(true, mOptions.tracePath, error);
}

void Service::Run() {
  mLoop.Run(mClients);
  // Flush what can be flushed (the reply to a shutdown command), then close.
  mClients.CloseAll();
  mListen.Close();
}

void Service::OnDeviceChange(uint32_t event, const platform::Guid& interfaceClass, const std::string& path) {
  mTrace.DeviceChange(event, path);
  const std::string frame = FrameWriter(MessageType::Notify).U32(event).GuidBytes(interfaceClass).String(path).Finish();
  mClients.ForEachOpen([&](Client& c) {
    if (std::find(c.subscriptions.begin(), c.subscriptions.end(), interfaceClass) != c.subscriptions.end())
      mClients.Send(c, frame);
  });
}

void Service::OnFrame(Client& c, uint16_t type, std::string_view payload) {
  PayloadReader r(payload);
  if (!c.helloDone) return OnHello(c, type, r);
  bool wellFormed = true;
  switch (static_cast<MessageType>(type)) {
    case MessageType::ListInterfaces:
      wellFormed = OnListInterfaces(c, r);
      break;
    case MessageType::Open:
      wellFormed = OnOpen(c, r);
      break;
    case MessageType::Close:
      wellFormed = OnClose(c, r);
      break;
    case MessageType::IoControl:
      OnIoControl(c, payload);
      break;
    case MessageType::Subscribe:
      wellFormed = OnSubscribe(c, r, true);
      break;
    case MessageType::Unsubscribe:
      wellFormed = OnSubscribe(c, r, false);
      break;
    case MessageType::Control:
      OnControl(c, payload);
      break;
    case MessageType::Hello:
      mClients.SendError(c, kErrorInvalidData, "HELLO sent twice");
      break;
    default:
      mClients.SendError(c, kErrorInvalidFunction, "unknown message type " + std::to_string(type));
      break;
  }
  if (!wellFormed) mClients.SendError(c, kErrorInvalidParameter, "malformed request of type " + std::to_string(type));
}

uint32_t Service::Admit(const Client& c, uint16_t type, uint32_t length, std::string& message) {
  const bool hello = type == static_cast<uint16_t>(MessageType::Hello);
  if (!c.helloDone && (!hello || length > kMaxHelloPayload)) {
    message = hello ? "HELLO longer than " + std::to_string(kMaxHelloPayload) + " bytes"
                    : std::string("expected HELLO as the first frame");
    return kErrorInvalidData;
  }
  // Decided before the text is read or parsed: a long command of another
  // user would only be refused afterwards, having held the service meanwhile.
  if (type == static_cast<uint16_t>(MessageType::Control) && length > kMaxOpenCommandPayload && !IsServiceUser(c.uid)) {
    message = "control commands longer than " + std::to_string(kMaxOpenCommandPayload - 4) +
              " bytes are reserved for the service's user and root";
    return kErrorAccessDenied;
  }
  return 0;
}

void Service::OnHello(Client& c, uint16_t type, PayloadReader& r) {
  uint32_t magic = 0, version = 0;
  std::string name;
  if (type != static_cast<uint16_t>(MessageType::Hello) || !r.U32(magic) || !r.U32(version) || magic != kMagic) {
    mClients.SendError(c, kErrorInvalidData, "expected HELLO as the first frame");
    return;
  }
  if (version != kProtocolVersion) {
    mClients.SendError(c, kErrorRevisionMismatch,
                       "protocol version " + std::to_string(version) +
                           " is not supported; this service speaks version " + std::to_string(kProtocolVersion));
    return;
  }
  if (!r.String(name, kMaxPathLength) || !r.Done()) {
    mClients.SendError(c, kErrorInvalidData, "malformed HELLO");
    return;
  }
  c.name = name;
  c.helloDone = true;
  mClients.Send(c,
                FrameWriter(MessageType::HelloReply).U32(kMagic).U32(kProtocolVersion).String(kServiceName).Finish());
}

bool Service::OnListInterfaces(Client& c, PayloadReader& r) {
  platform::Guid g;
  if (!r.GuidBytes(g) || !r.Done()) return false;
  const std::vector<InterfaceEntry> list = mSource ? mSource->ListInterfaces(g) : std::vector<InterfaceEntry>{};
  FrameWriter w(MessageType::ListReply);
  w.U32(0).U32(static_cast<uint32_t>(list.size()));
  for (const auto& e : list) w.String(e.path);
  mClients.Send(c, w.Finish());
  return true;
}

bool Service::OnOpen(Client& c, PayloadReader& r) {
  std::string path;
  if (!r.String(path, kMaxPathLength) || !r.Done()) return false;
  uint32_t status = kErrorInvalidParameter;  // one open interface per connection
  if (!c.hasHandle) {
    DeviceHandle h;
    status = mSource ? mSource->Open(path, h) : kErrorFileNotFound;
    if (status == 0) {
      c.handle = h;
      c.hasHandle = true;
    }
  }
  mTrace.Open(c.id, path, status);
  mClients.Send(c, FrameWriter(MessageType::Status).U32(status).Finish());
  return true;
}

bool Service::OnClose(Client& c, PayloadReader& r) {
  if (!r.Done()) return false;
  const uint32_t status = c.hasHandle ? 0 : kErrorInvalidHandle;
  mTrace.Close(c.id, c.handle.path, status);
  c.hasHandle = false;
  c.handle = DeviceHandle{};
  mClients.Send(c, FrameWriter(MessageType::Status).U32(status).Finish());
  return true;
}

bool Service::OnSubscribe(Client& c, PayloadReader& r, bool subscribe) {
  platform::Guid g;
  if (!r.GuidBytes(g) || !r.Done()) return false;
  auto it = std::find(c.subscriptions.begin(), c.subscriptions.end(), g);
  if (subscribe && it == c.subscriptions.end()) c.subscriptions.push_back(g);
  if (!subscribe && it != c.subscriptions.end()) c.subscriptions.erase(it);
  mClients.Send(c, FrameWriter(MessageType::Status).U32(0).Finish());
  return true;
}

void Service::OnIoControl(Client& c, std::string_view payload) {
  PayloadReader r(payload);
  IoRequest req;
  uint32_t inLen = 0;
  std::string_view in;
  if (!r.U32(req.code) || !r.U32(req.outSize) || !r.U32(inLen) || inLen > kMaxIoBuffer || req.outSize > kMaxIoBuffer ||
      !r.Bytes(inLen, in) || !r.Done()) {
    mClients.SendError(c, kErrorInvalidParameter, "malformed IoControl request");
    return;
  }
  if (!c.hasHandle || !mSource) {
    CompleteIo(c.id, IoTrace(req, in), IoResult{kErrorInvalidHandle, {}});
    return;
  }
  IoTrace trace(req, in, c.handle.path);
  req.in.assign(in.data(), in.size());
  mClients.BeginWait(c);
  const uint64_t clientId = c.id;
  mSource->IoControl(c.handle, std::move(req), [this, clientId, trace = std::move(trace)](const IoResult& result) {
    CompleteIo(clientId, trace, result);
  });
}

void Service::CompleteIo(uint64_t clientId, const IoTrace& trace, const IoResult& result) {
  const size_t count = std::min<size_t>(result.out.size(), trace.outSize);
  mTrace.Io(clientId, trace, result, count);
  Client* c = mClients.Find(clientId);
  if (c == nullptr) return;  // the client went away meanwhile
  mClients.EndWait(*c);
  mClients.Send(*c, FrameWriter(MessageType::IoControlReply)
                        .U32(result.error)
                        .U32(static_cast<uint32_t>(count))
                        .Bytes(result.out.data(), count)
                        .Finish());
}

void Service::OnControl(Client& c, std::string_view payload) {
  PayloadReader r(payload);
  std::string text;
  if (!r.String(text, kMaxFrame) || !r.Done()) {
    mClients.SendError(c, kErrorInvalidParameter, "malformed Control request");
    return;
  }
  uint32_t error = 0;
  json result = json::object();
  json cmd;
  std::string name;
  if (CheckCommand(c, text, cmd, name, error, result)) RunCommand(name, cmd, error, result);
  mTrace.Control(c.id, name, error);
  mClients.Send(c, FrameWriter(MessageType::ControlReply).U32(error).String(JsonText(result)).Finish());
}

bool Service::CheckCommand(const Client& c, std::string_view text, json& cmd, std::string& name, uint32_t& error,
                           json& result) const {
  std::string parseError;
  if (!ParseJsonText(text, cmd, parseError)) {
    Refuse(error, result, "command is not a JSON object: " + parseError);
  } else if (!cmd.is_object()) {
    Refuse(error, result, "command is not a JSON object");
  } else if (cmd.contains("cmd") && !cmd.at("cmd").is_string()) {
    Refuse(error, result, "\"cmd\" must be a text");
  } else if (name = cmd.value("cmd", std::string()); !OpenToAll(name) && !IsServiceUser(c.uid)) {
    error = kErrorAccessDenied;
    result["error"] = "control commands are reserved for the service's user and root";
  } else {
    return true;
  }
  return false;
}

void Service::RunCommand(const std::string& name, const json& cmd, uint32_t& error, json& result) {
  if (name == "trace") {
    TraceCommand(cmd, error, result);
  } else if (name == "shutdown") {
    result["shutdown"] = true;
    mLoop.Stop();
  } else if (name == "ping") {
    result["service"] = kServiceName;
    result["protocol"] = kProtocolVersion;
  } else if (!mSource || !mSource->Control(cmd, error, result)) {
    error = kErrorInvalidFunction;
    result["error"] = name.empty() ? std::string("missing \"cmd\"") : "unknown command \"" + name + "\"";
  }
}

void Service::TraceCommand(const json& cmd, uint32_t& error, json& result) {
  std::string message;
  if (cmd.contains("on") && !cmd.at("on").is_boolean()) {
    Refuse(error, result, "\"on\" must be true or false");
  } else if (cmd.contains("file") && !cmd.at("file").is_string()) {
    Refuse(error, result, "\"file\" must be a text");
  } else if (!mTrace.Set(cmd.value("on", true), cmd.value("file", std::string()), message)) {
    Refuse(error, result, message);
  } else {
    result["trace"] = mTrace.On();
    result["file"] = mTrace.Path();
  }
}

}  // namespace vlmudrv
